#include "deploy/deployer_entry.h"

#include <windows.h>
#include <gdiplus.h>
#include <shellapi.h>

#include <cwchar>

#include "base/text.h"
#include "base/unique_handle.h"
#include "deploy/deployer_window.h"
#include "deploy/setup_stage.h"
#include "log/log.h"

namespace pl::deploy {

PeArguments ParsePeArguments(const wchar_t* const* arguments, int count) {
  PeArguments parsed;
  if (arguments == nullptr) return parsed;
  for (int i = 1; i < count; ++i) {
    const std::wstring argument = arguments[i];
    if (argument == L"--dry-run") {
      parsed.dryRun = true;
    } else if (argument == L"--setup") {
      parsed.setup = true;
    } else if (argument == L"--task" && i + 1 < count) {
      parsed.taskPath = arguments[++i];
    } else {
      parsed.error = "看不懂的参数: " + base::WideToUtf8(argument);
    }
  }
  return parsed;
}

int RunPeEntry() {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  base::UniqueLocalMem owner(reinterpret_cast<HLOCAL>(split));
  const PeArguments arguments = ParsePeArguments(split, count);
  if (arguments.setup) return RunSetupStage({});
  // Until the task is found; then the log moves into the data folder it serves.
  log::SetLogFile(L"pl_pe.log");
  if (!arguments.error.empty()) {
    log::LogError(arguments.error + "（用法: pl_pe.exe [--dry-run [--task <task.ini>]]）");
    return 1;
  }
  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  const int exitCode = RunDeployerWindow({.dryRun = arguments.dryRun, .taskPath = arguments.taskPath});
  Gdiplus::GdiplusShutdown(gdiplusToken);
  return exitCode;
}

}  // namespace pl::deploy
