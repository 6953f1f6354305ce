#include "inspect/driver_export.h"

#include <windows.h>

#include "base/file_tree.h"
#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::inspect {
namespace {

// "/Online /Export-Driver /Destination:"<destination>"", or "/Image:D:\ ..." for an offline letter. Quoted, so a
// destination with blanks stays one argument.
std::wstring DriverExportArguments(const std::wstring& destination, wchar_t offlineLetter) {
  const std::wstring image = offlineLetter == 0 ? L"/Online" : L"/Image:" + base::DriveRoot(offlineLetter);
  return image + L" /Export-Driver /Destination:\"" + destination + L"\"";
}

}  // namespace

bool ExportDrivers(const std::wstring& destination, wchar_t offlineLetter, bool dryRun) {
  // A dry run changes no files, so the folder is not created either.
  if (!dryRun && !base::CreateDirectoryTree(destination)) {
    const DWORD error = GetLastError();
    log::LogWarn("创建驱动备份目录失败: " + base::WideToUtf8(destination) + ", GetLastError=" + std::to_string(error));
  }
  const std::wstring arguments = DriverExportArguments(destination, offlineLetter);
  log::LogInfo("Dism " + base::WideToUtf8(arguments));
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际执行");
    return true;
  }
  const tools::ToolRunResult run = tools::RunSystemTool(L"Dism.exe", arguments, 0);
  if (!run.started) {
    log::LogError("启动 Dism 失败");
    return false;
  }
  if (run.exitCode != 0) {
    log::LogError("Dism /Export-Driver 失败, exitCode=" + std::to_string(run.exitCode) + "\n" + run.output);
    return false;
  }
  log::LogInfo(run.output);
  return true;
}

}  // namespace pl::inspect
