#include "app/entry.h"

#include <gdiplus.h>

#include "app/run_mode.h"
#include "base/constants.h"
#include "base/system_paths.h"
#include "base/unique_handle.h"
#include "base/winpe.h"
#include "install/self_install.h"
#include "log/log.h"
#include "ui/main_window.h"

namespace pl::app {
namespace {

constexpr wchar_t kSingleInstanceMutex[] = L"Pellora_Kavrin_SingleInstance_Mutex";

void RunUninstallMode() {
  log::LogInfo("pl_host_gui 以 --uninstall 参数启动，进入卸载流程");
  const int answer = MessageBoxW(nullptr,
                                 L"确定要卸载Pellora重装大师吗？\n\n这会删除桌面快捷方式、卸载记录和安装目录。",
                                 L"Pellora重装大师 - 卸载", MB_ICONQUESTION | MB_YESNO);
  if (answer != IDYES) {
    log::LogInfo("用户取消卸载");
    return;
  }
  std::string error;
  base::UniqueKernelHandle deletion;
  const bool deletionStarted = install::Uninstall(
      &error, [&deletion](const std::wstring& application, const std::wstring& line, const std::wstring& folder) {
        return install::StartHiddenProcessKeepingHandle(application, line, folder, &deletion);
      });
  if (!deletionStarted) log::LogWarn("卸载过程中有步骤失败（不代表完全没清理）: " + error);
  MessageBoxW(nullptr, L"卸载完成。", base::kProductNameW, MB_ICONINFORMATION);
  if (!deletionStarted) return;
  // When this is the installed copy, its own file keeps the folder until the process ends, and the deletion
  // started above gives up after about 20 seconds: a box left open longer would leave the folder behind for good.
  // So it starts afresh now, and the first one is stopped before: two would both keep trying, and the later one
  // would delete a folder installed again just after the earlier one had removed it.
  if (deletion && WaitForSingleObject(deletion.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(deletion.get(), 1);
    WaitForSingleObject(deletion.get(), 10000);
  }
  const std::wstring directory = install::InstallDirectory();
  if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !install::StartDeferredDeletion(directory, &error)) {
    log::LogWarn("卸载过程中有步骤失败（不代表完全没清理）: " + error);
  }
}

// Brings the first instance's window forward, or tells the user when it has none yet.
void HandOverToRunningInstance() {
  log::LogInfo("检测到已有一个 pl_host_gui 实例在运行，本次启动直接让位退出");
  HWND window = FindWindowW(ui::kMainWindowClass, nullptr);
  if (window != nullptr) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
  } else {
    MessageBoxW(nullptr, L"Pellora重装大师已经在运行中。", base::kProductNameW, MB_ICONINFORMATION);
  }
}

void InstallSelfOutsidePe() {
  if (base::IsWinPE()) return;
  const std::wstring path = base::ModuleFilePath();
  if (path.empty()) return;
  std::string error;
  if (!install::SelfInstall(path, base::kClientVersion, &error)) {
    log::LogWarn("自我安装到 ProgramData 失败（不影响正常使用）: " + error);
  }
}

}  // namespace

int RunEntry(HINSTANCE instance, int showCommand) {
  const RunModeFlags flags = ParseProcessCommandLine();
  log::SetLogFile(L"pl_host_gui.log");
  if (flags.uninstall) {
    RunUninstallMode();
    return 0;
  }

  base::UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, kSingleInstanceMutex));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    HandOverToRunningInstance();
    return 0;
  }
  // Held for the life of the process and never closed: its existence is the single-instance signal.
  mutex.release();

  log::LogInfo(std::string("pl_host_gui 启动，模式: ") + (flags.dryRun ? "dry-run" : "execute"));
  InstallSelfOutsidePe();

  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  const int result = ui::RunMainWindow(instance, showCommand, flags.dryRun);
  Gdiplus::GdiplusShutdown(gdiplusToken);
  return result;
}

}  // namespace pl::app
