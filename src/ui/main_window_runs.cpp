// The window's worker threads and what they post: the start-up check, the USB drive scan and the runs; their done
// handlers, the restart into the PE and the AI help of the environment page; and the live seams.

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "base/constants.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "base/winpe.h"
#include "config/default_image.h"
#include "inspect/diagnostics.h"
#include "log/log.h"
#include "pipeline/backup_restore.h"
#include "pipeline/reinstall.h"
#include "reporting/report_session.h"
#include "ui/ai_diagnosis_dialog.h"
#include "ui/main_window_state.h"
#include "ui/worker_guard.h"
#include "usb/usb_drives.h"
#include "usb/usb_maker.h"

namespace pl::ui {
namespace {

// Posts a heap record, which the window then owns; frees it when the window is gone.
template <typename T>
void PostRecord(HWND window, UINT message, T* record) {
  if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

struct RunMessages {
  UINT status;
  UINT progress;
  UINT done;
};
constexpr RunMessages kReinstallMessages{MsgReinstallStatus, MsgReinstallProgress, MsgReinstallDone};
constexpr RunMessages kBackupMessages{MsgBackupStatus, MsgBackupProgress, MsgBackupDone};
constexpr RunMessages kUsbMessages{MsgUsbStatus, MsgUsbProgress, MsgUsbDone};

RunMessages MessagesOf(RunKind kind) {
  return kind == RunKind::Reinstall ? kReinstallMessages : kind == RunKind::Usb ? kUsbMessages : kBackupMessages;
}

void ClearTransfer(MainWindowState& state) {
  state.transfer = {};
  state.transferRate = {};
  SetControlText(state, kIdTransfer, L"");
}

// Sets the mode's busy flag and progress page, then starts the run's thread; a thread that cannot be created ends
// the run at once as a failure, through the same done handler, and so does a run that throws.
void StartRun(MainWindowState& state, const RunRequest& request, const wchar_t* statusText) {
  const RunMessages messages = MessagesOf(request.kind);
  SetControlText(state, kIdStatus, statusText);
  state.targetPercent = state.shownPercent = 0;
  SendMessageW(Control(state, kIdProgress), PBM_SETPOS, 0, 0);
  ClearTransfer(state);
  HWND window = state.window;
  auto run = state.seams.run;
  const bool started = state.seams.startThread([window, request, run, messages] {
    const RunProgress progress = [window, messages](const std::string& message, int percent) {
      PostRecord(window, messages.status, new std::wstring(base::Utf8ToWide(message)));
      PostMessageW(window, messages.progress, static_cast<WPARAM>(percent), 0);
    };
    const RunBytes bytes = [window](const pipeline::TransferBytes& figures) {
      PostRecord(window, MsgRunBytes, new pipeline::TransferBytes(figures));
    };
    RunGuarded(
        "[MainWindow] 后台任务线程",
        [&] {
          auto* outcome = new RunOutcome(run(request, progress, bytes));
          if (outcome->ok) PostMessageW(window, messages.progress, 100, 0);
          PostRecord(window, messages.done, outcome);
        },
        [&](const std::string& what) {
          PostRecord(window, messages.done, new RunOutcome{.error = WorkerFailure("后台任务", what)});
        });
  });
  if (!started) {
    const DWORD error = GetLastError();
    log::LogError("无法创建后台任务线程, GetLastError=" + std::to_string(error));
    RunOutcome failure;
    failure.error = ThreadStartFailure(error);
    SendMessageW(window, messages.done, 0, reinterpret_cast<LPARAM>(new RunOutcome(failure)));
  }
}

// Sets the run's own mode's page: a retry may start while another tab is shown.
void ShowProgressPage(MainWindowState& state, WindowMode mode) {
  if (mode == WindowMode::Reinstall) {
    state.reinstallPage = reinstall_page::kProgress;
  } else if (mode == WindowMode::BackupRestore) {
    state.backupPage = backup_page::kProgress;
  } else {
    state.usbPage = usb_page::kProgress;
  }
  if (state.mode == mode) ApplyPage(state);
}

bool AskAiForRetry(MainWindowState& state, const std::string& sessionId, const std::string& error) {
  if (sessionId.empty()) return false;
  AiRequest request{sessionId, "", error, state.seams.buildDiagnosticText()};
  const ModalScope modal(state);
  return state.seams.runAiDiagnosis(state.window, request);
}

RunRequest ReinstallRequest(const MainWindowState& state) {
  RunRequest request;
  request.kind = RunKind::Reinstall;
  request.image = state.config.osImages[state.reinstallImageIndex];
  request.items = state.chosenSoftware;
  request.resources = state.config.exResources;
  request.clientVersion = base::kClientVersion;
  request.dryRun = state.dryRun;
  request.wishlist = state.wishlistNames;
  return request;
}

}  // namespace

// ---- Start-up ----

namespace {

// The catalog; what its loading throws makes it a catalog that failed, which the window shows and closes on.
config::ServiceConfig LoadCatalog(const MainWindowSeams& seams) {
  config::ServiceConfig catalog;
  RunGuarded(
      "[MainWindow] 目录加载线程", [&] { catalog = seams.loadConfig(); },
      [&](const std::string& what) {
        catalog = {};
        catalog.error = WorkerFailure("加载系统镜像目录时", what);
      });
  return catalog;
}

void GatherStartup(const MainWindowSeams& seams, StartupResult* result) {
  // The catalog comes over the network; the machine is asked meanwhile.
  std::thread configThread;
  try {
    configThread = std::thread([result, &seams] { result->config = LoadCatalog(seams); });
  } catch (const std::system_error&) {
    result->config = LoadCatalog(seams);
  }
  // Joined on every way out, also when a question to the machine throws.
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{configThread};
  result->environment = seams.gatherEnvironment();
  result->installedSoftware = seams.scanSoftware();
  if (seams.isWinPE()) {
    bool found = true;
    result->candidateVolumes = seams.findTarget(&found);
    result->needsManualTarget = !found;
  }
}

}  // namespace

bool StartStartupThread(MainWindowState& state) {
  HWND window = state.window;
  const MainWindowSeams seams = state.seams;
  return seams.startThread([window, seams] {
    // A start-up check that throws ends like a catalog that failed: the window says why and closes.
    RunGuarded(
        "[MainWindow] 环境检测线程",
        [&] {
          auto result = std::make_unique<StartupResult>();
          GatherStartup(seams, result.get());
          PostRecord(window, MsgStartupResult, result.release());
        },
        [&](const std::string& what) {
          auto* failed = new StartupResult;
          failed->config.error = WorkerFailure("环境检测时", what);
          PostRecord(window, MsgStartupResult, failed);
        });
  });
}

void OnStartupResult(MainWindowState& state, StartupResult* result) {
  std::unique_ptr<StartupResult> owned(result);
  state.environment = result->environment;
  state.config = std::move(result->config);
  state.installedSoftware = std::move(result->installedSoftware);
  state.needsManualTarget = result->needsManualTarget;
  state.candidateVolumes = std::move(result->candidateVolumes);
  state.environmentReady = true;
  state.footerText = L"系统盘符: " + base::Utf8ToWide(state.environment.systemDriveText) + L"  |  " +
                     base::Utf8ToWide(state.environment.osText) + L"  |  软件版本: " + kClientVersionText;
  if (!state.config.ok) {
    InvalidateRect(state.window, nullptr, FALSE);  // the finished check behind the box
    ShowBox(state, base::Utf8ToWide(state.config.error), MB_ICONERROR);
    PostMessageW(state.window, WM_CLOSE, 0, 0);
    return;
  }
  const config::SystemEditionInfo edition = config::DetectSystemEdition();
  state.defaultImageIndex = config::PickDefaultImage(state.config.osImages, edition);
  state.windowsFilter = edition.isWin11 ? 11 : 10;
  FillImageList(state);
  FillInstallItems(state);
  FillInstalledSoftware(state);
  ShowBackupDescription(state);
  if (state.reinstallPage != reinstall_page::kEnvCheck) {
    InvalidateRect(state.window, nullptr, FALSE);
  } else {
    ApplyPage(state);
  }
  // Last: enabled tabs tell a watching test (and the user) that the page is complete.
  for (int id : {kIdTabReinstall, kIdTabUsb, kIdTabBackup}) EnableWindow(Control(state, id), TRUE);
  log::LogInfo("[MainWindow] 环境检测结果已显示");
}

// ---- USB drives ----

void StartUsbDriveScan(MainWindowState& state) {
  state.usbDrives.clear();
  state.usbDriveNotice.clear();
  state.chosenUsbDrive = {};
  ShowListPlaceholder(state, L"正在检测 U 盘，请稍候...");
  EnableWindow(Control(state, kIdNext), FALSE);
  state.listTakenByUsb = true;
  HWND window = state.window;
  auto list = state.seams.listUsbDrives;
  if (!state.seams.startThread([window, list] {
        // A scan that throws found no drive.
        RunGuarded(
            "[MainWindow] U 盘检测线程", [&] { PostRecord(window, MsgUsbDrives, new UsbDriveList(list())); },
            [&](const std::string&) { PostRecord(window, MsgUsbDrives, new UsbDriveList()); });
      })) {
    log::LogError("无法创建 U 盘检测线程, GetLastError=" + std::to_string(GetLastError()));
    ShowListPlaceholder(state, L"未检测到可用的 U 盘，请插入后重新进入该功能");
  }
}

void OnUsbDrives(MainWindowState& state, UsbDriveList* list) {
  std::unique_ptr<UsbDriveList> owned(list);
  if (state.mode != WindowMode::UsbMaker || state.usbPage != usb_page::kChooseDrive) return;
  state.usbDrives = std::move(list->drives);
  state.usbDriveNotice = std::move(list->notice);
  FillDriveRows(state);
  ApplyPage(state);
}

// ---- Runs ----

void StartReinstallRun(MainWindowState& state, bool retry) {
  if (!retry) {
    state.chosenSoftware.clear();
    state.wishlistNames.clear();
    std::vector<std::string> taken;
    const auto take = [&](const config::InstallItem& item) {
      if (std::find(taken.begin(), taken.end(), item.key) != taken.end()) return;
      taken.push_back(item.key);
      state.chosenSoftware.push_back(item);
    };
    for (size_t i = 0; i < state.config.installItems.size(); ++i) {
      if (ListViewChecked(state, kIdItemList, static_cast<int>(i))) take(state.config.installItems[i]);
    }
    for (size_t i = 0; i < state.installedSoftware.size(); ++i) {
      if (!ListViewChecked(state, kIdInstalledList, static_cast<int>(i))) continue;
      const std::string& name = state.installedSoftware[i].name;
      const auto match = std::find_if(state.config.installItems.begin(), state.config.installItems.end(),
                                      [&](const config::InstallItem& item) {
                                        return software::SoftwareNameMatches(name, InstallItemText(item));
                                      });
      if (match != state.config.installItems.end()) {
        take(*match);
      } else {
        state.wishlistNames.push_back(name);
      }
    }
  }
  state.reinstallBusy = true;
  ShowProgressPage(state, WindowMode::Reinstall);
  StartRun(state, ReinstallRequest(state), retry ? L"正在重试..." : L"正在准备...");
}

void StartBackupRun(MainWindowState& state, bool retry) {
  RunRequest request;
  request.kind = state.restoreSelected ? RunKind::Restore : RunKind::Backup;
  request.restoreImagePath = state.restoreImagePath;
  request.resources = state.config.exResources;
  request.clientVersion = base::kClientVersion;
  request.dryRun = state.dryRun;
  state.lastBackupWasRestore = state.restoreSelected;
  state.backupBusy = true;
  ShowProgressPage(state, WindowMode::BackupRestore);
  StartRun(state, request, retry ? L"正在重试..." : L"正在准备...");
}

void StartUsbRun(MainWindowState& state) {
  RunRequest request;
  request.kind = RunKind::Usb;
  request.usbDrive = state.chosenUsbDrive;
  request.image = state.config.osImages[state.usbImageIndex];
  request.items = state.config.installItems;
  request.resources = state.config.exResources;
  request.clientVersion = base::kClientVersion;
  request.dryRun = state.dryRun;
  state.usbBusy = true;
  ShowProgressPage(state, WindowMode::UsbMaker);
  StartRun(state, request, L"正在准备...");
}

void OnStatus(MainWindowState& state, std::wstring* text) {
  std::unique_ptr<std::wstring> owned(text);
  if (text != nullptr) SetControlText(state, kIdStatus, *text);
}

void OnProgress(MainWindowState& state, WPARAM percent) {
  state.targetPercent = ClampPercent(static_cast<int>(static_cast<INT_PTR>(percent)));
}

void OnRunBytes(MainWindowState& state, pipeline::TransferBytes* bytes) {
  std::unique_ptr<pipeline::TransferBytes> owned(bytes);
  if (*bytes == pipeline::TransferBytes{}) {
    ClearTransfer(state);  // the download group is over
    return;
  }
  state.transfer = *bytes;
  RefreshTransferLine(state, true);
}

void RefreshTransferLine(MainWindowState& state, bool newFigures) {
  if (state.transfer == pipeline::TransferBytes{}) return;
  const ULONGLONG now = GetTickCount64();
  // Without new figures for a second the count still stands at its last value: the rate falls as it should.
  if (!newFigures && now - state.transferSampledMs < 1000) return;
  base::AddRateSample(&state.transferRate, now, state.transfer.received);
  state.transferSampledMs = now;
  const std::wstring line =
      base::TransferLine(state.transfer.done, state.transfer.total, base::EstimateRate(state.transferRate));
  wchar_t shown[256] = L"";
  GetWindowTextW(Control(state, kIdTransfer), shown, 256);
  if (line != shown) SetControlText(state, kIdTransfer, line);
}

void OnReinstallDone(MainWindowState& state, RunOutcome* outcome) {
  std::unique_ptr<RunOutcome> owned(outcome);
  state.reinstallBusy = false;
  state.reinstallOk = outcome->ok;
  state.reinstallError = outcome->error;
  state.reinstallSessionId = outcome->sessionId;
  if (outcome->ok && SendMessageW(Control(state, kIdAutoRestart), BM_GETCHECK, 0, 0) == BST_CHECKED && RebootIntoPe(state, true)) {
    return;
  }
  if (!outcome->ok && AskAiForRetry(state, outcome->sessionId, outcome->error)) {
    state.reinstallPage = reinstall_page::kProgress;  // the mode may have changed meanwhile
    state.reinstallBusy = true;
    if (state.mode == WindowMode::Reinstall) ApplyPage(state);
    StartRun(state, ReinstallRequest(state), L"正在重试...");
    return;
  }
  const std::string name =
      state.reinstallImageIndex >= 0 ? state.config.osImages[state.reinstallImageIndex].displayName : "";
  state.reinstallResultText =
      ReinstallResultText(outcome->ok, name, outcome->imageEdition, outcome->error, log::GetLogFilePath());
  state.reinstallPage = reinstall_page::kResult;
  ApplyPage(state);
}

void OnBackupDone(MainWindowState& state, RunOutcome* outcome) {
  std::unique_ptr<RunOutcome> owned(outcome);
  state.backupBusy = false;
  state.backupOk = outcome->ok;
  state.backupError = outcome->error;
  state.backupSessionId = outcome->sessionId;
  state.backupFilePath = outcome->backupPath;
  if (!outcome->ok && AskAiForRetry(state, outcome->sessionId, outcome->error)) {
    StartBackupRun(state, true);
    return;
  }
  state.backupResultText = BackupResultText(outcome->ok, state.lastBackupWasRestore, state.backupFilePath,
                                            outcome->error, log::GetLogFilePath());
  state.backupPage = backup_page::kResult;
  ApplyPage(state);
}

void OnUsbDone(MainWindowState& state, RunOutcome* outcome) {
  std::unique_ptr<RunOutcome> owned(outcome);
  state.usbBusy = false;
  state.usbOk = outcome->ok;
  state.usbError = outcome->error;
  state.usbResultText = UsbResultText(outcome->ok, outcome->error, log::GetLogFilePath());
  state.usbPage = usb_page::kResult;
  ApplyPage(state);
}

// ---- Restart ----

bool RebootIntoPe(MainWindowState& state, bool reinstallVariant) {
  if (state.dryRun) {
    ShowBox(state, L"[dry-run] 流程走查完成，不会真正重启。", MB_ICONINFORMATION);
    PostMessageW(state.window, WM_CLOSE, 0, 0);
    return true;
  }
  const std::string& sessionId = reinstallVariant ? state.reinstallSessionId : state.backupSessionId;
  reporting::ReportStageEvent(sessionId, "host_complete", "success", -1, "");
  if (state.seams.restartWindows()) return true;
  const DWORD error = GetLastError();
  reporting::ReportError(sessionId, "reboot", "触发重启失败, GetLastError=" + std::to_string(error), "");
  ShowBox(state, reinstallVariant ? L"触发重启失败，请手动重启一次进入 PE 环境。" : L"触发重启失败，请手动重启一次。",
          MB_ICONERROR);
  return false;
}

// ---- AI help on the environment page ----

void OnAiHelp(MainWindowState& state) {
  try {
    log::LogInfo("[AI帮我看看] 开始：创建上报 session");
    const std::string sessionId = reporting::CreateReportSession("", base::kClientVersion);
    if (sessionId.empty()) {
      log::LogWarn("[AI帮我看看] 创建 session 失败（网络问题），中止");
      ShowBox(state, L"暂时连不上诊断服务（可能是网络问题），请稍后重试，或点击页脚\"生成诊断信息\"按钮联系人工客服。",
              MB_ICONWARNING);
      return;
    }
    log::LogInfo("[AI帮我看看] session 创建成功: " + sessionId);
    const std::string error = "环境检测阶段：暂存区空间不足，系统盘剩余空间不够压缩出数据区，无法继续重装";
    log::LogInfo("[AI帮我看看] 正在上报错误信息");
    reporting::ReportError(sessionId, "env_check", error, "");
    log::LogInfo("[AI帮我看看] 错误信息已上报，开始生成诊断信息文本");
    const std::string text = state.seams.buildDiagnosticText();
    log::LogInfo("[AI帮我看看] 诊断信息文本已生成，长度=" + std::to_string(text.size()) + "，准备弹出对话框");
    bool retry = false;
    {
      const ModalScope modal(state);
      retry = state.seams.runAiDiagnosis(state.window, {sessionId, "env_check", error, text});
    }
    log::LogInfo(std::string("[AI帮我看看] 对话框已关闭，retryRequested=") + (retry ? "1" : "0"));
    if (retry) {
      state.environment.staging = state.seams.checkStaging();
      ApplyPage(state);
    }
  } catch (const std::exception& exception) {
    log::LogError(std::string("[AI帮我看看] 捕获到异常: ") + exception.what());
    ShowBox(state, L"生成诊断信息时出现异常，已取消本次操作，请查看 pl_host_gui.log。", MB_ICONERROR);
  } catch (...) {
    log::LogError("[AI帮我看看] 捕获到未知类型异常");
    ShowBox(state, L"生成诊断信息时出现未知异常，已取消本次操作，请查看 pl_host_gui.log。", MB_ICONERROR);
  }
}

// ---- Live seams ----

namespace {

DWORD WINAPI ThreadBody(void* parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

bool StartDetachedThread(std::function<void()> body) {
  auto* parameter = new std::function<void()>(std::move(body));
  base::UniqueKernelHandle thread(CreateThread(nullptr, 0, ThreadBody, parameter, 0, nullptr));
  if (!thread) {
    const DWORD error = GetLastError();
    delete parameter;
    SetLastError(error);
    return false;
  }
  return true;
}

bool RestartWindows() {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken)) return false;
  base::UniqueKernelHandle token(rawToken);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) return false;
  if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) ||
      GetLastError() != ERROR_SUCCESS) {
    return false;
  }
  token.reset();
  return ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM |
                                       SHTDN_REASON_MINOR_RECONFIG) != FALSE;
}

std::vector<disks::VolumeInfo> FindTargetLive(bool* found) {
  const std::wstring skip(1, disks::RunningWindowsDriveLetter());
  *found = disks::FindWindowsVolume(skip) != 0;
  return *found ? std::vector<disks::VolumeInfo>{} : disks::ListFixedVolumes();
}

RunOutcome OutcomeOf(const pipeline::PipelineResult& result) {
  return {result.ok, result.error, result.sessionId, result.backupPath, result.imageEdition};
}

// The pipelines' callback also names the stage, which the window does not show.
RunOutcome RunLive(const RunRequest& request, const RunProgress& progress, const RunBytes& bytes) {
  const pipeline::ProgressCallback callback = [&progress](const std::string&, const std::string& message,
                                                          int percent) { progress(message, percent); };
  const pipeline::PipelineMachine& machine = pipeline::LivePipelineMachine();
  switch (request.kind) {
    case RunKind::Reinstall:
      return OutcomeOf(pipeline::RunReinstall(request.image, request.items, request.resources, request.clientVersion,
                                              request.dryRun, callback, request.wishlist, machine, bytes));
    case RunKind::Backup:
      return OutcomeOf(
          pipeline::RunBackup(request.resources, request.clientVersion, request.dryRun, callback, machine, bytes));
    case RunKind::Restore:
      return OutcomeOf(pipeline::RunRestore(request.restoreImagePath, request.items, request.resources,
                                            request.clientVersion, request.dryRun, callback, machine, bytes));
    default: {
      const usb::UsbDriveInfo drive{request.usbDrive.diskNumber, request.usbDrive.name, request.usbDrive.sizeGb};
      const usb::UsbMakeResult result =
          usb::MakeUsbBootDisk(drive, request.image, request.items, request.resources, request.clientVersion,
                               request.dryRun, callback, usb::LiveUsbMachine(), bytes);
      return {result.ok, result.error, result.sessionId, {}, {}};
    }
  }
}

UsbDriveList ListUsbDrivesLive() {
  const usb::UsbDriveScan scan = usb::ListUsbDrives();
  UsbDriveList list{{}, scan.notice};
  for (const usb::UsbDriveInfo& drive : scan.drives) list.drives.push_back({drive.diskNumber, drive.name, drive.sizeGb});
  return list;
}

}  // namespace

MainWindowSeams LiveMainWindowSeams() {
  MainWindowSeams seams;
  seams.loadConfig = [] { return config::LoadServiceConfig(L"ini\\imglist3.ini"); };
  seams.gatherEnvironment = inspect::GatherEnvironmentSummary;
  seams.checkStaging = [] { return disks::CheckStagingFeasibility(); };
  seams.scanSoftware = [] { return software::ScanInstalledSoftware(); };
  seams.isWinPE = base::IsWinPE;
  seams.findTarget = FindTargetLive;
  seams.run = RunLive;
  seams.listUsbDrives = ListUsbDrivesLive;
  seams.runAiDiagnosis = [](HWND owner, const AiRequest& request) {
    return RunAiDiagnosis(owner, {request.sessionId, request.stage, request.errorMessage, request.diagnosticText});
  };
  seams.buildDiagnosticText = [] { return inspect::BuildDiagnosticText(base::kClientVersion); };
  seams.restartWindows = RestartWindows;
  seams.startThread = StartDetachedThread;
  return seams;
}

}  // namespace pl::ui
