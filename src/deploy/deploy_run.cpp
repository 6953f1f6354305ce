#include "deploy/deploy_run.h"

#include <windows.h>

#include <cctype>

#include "archive/wim_file.h"
#include "base/secure_directory.h"
#include "base/transfer_line.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "boot/pe_boot_entry.h"
#include "deploy/deploy_task.h"
#include "deploy/deploy_tools.h"
#include "deploy/setup_stage.h"
#include "log/log.h"
#include "pipeline/image_check.h"
#include "pipeline/pipeline_common.h"
#include "pipeline/target_marker.h"
#include "reporting/report_session.h"
#include "tools/tool_runner.h"

namespace pl::deploy {
namespace {

using base::Utf8ToWide;
using base::WideToUtf8;

constexpr char kDryRunMark[] = "[dry-run] ";
// Files the capture leaves out: the staging folders and the marker (they may lie on the captured volume), and
// what Windows leaves out of every image.
constexpr wchar_t kCaptureExclusions[] =
    L"[ExclusionList]\r\n\\$PelloraData$\r\n\\$PelloraData$Boot$\r\n\\$PelloraTarget$.ini\r\n\\$ntfs.log\r\n"
    L"\\hiberfil.sys\r\n\\pagefile.sys\r\n\\swapfile.sys\r\n\\System Volume Information\r\n\\RECYCLER\r\n"
    L"\\$Recycle.Bin\r\n\\Windows\\CSC\r\n";
constexpr size_t kLogExcerptLines = 20;

struct Run {
  const DeployOptions& options;
  const DeployUi& ui;
  const DeployMachine& machine;
  FoundTask found;
  bool usb = false;        // a stick's task: the user picks the target
  std::vector<VolumeFacts> volumes;
  std::string sessionId;   // empty in dry-run
  wchar_t target = 0;
  pipeline::TargetMarker marker;  // the task's, as found on a volume, or made from the task when there is none
  bool formatted = false;
  DeployOutcome outcome;
};

std::string Letter(wchar_t letter) { return base::DriveLetterText(letter) + ":"; }
wchar_t LetterOf(const std::string& path) {
  return path.size() > 2 && path[1] == ':' ? static_cast<wchar_t>(path[0]) : 0;
}
std::wstring Root(wchar_t letter) { return base::DriveRoot(letter); }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void Step(const Run& run, const std::string& text, int percent) {
  log::LogInfo(text);
  if (run.ui.step) run.ui.step(text, percent);
}

void Detail(const Run& run, const std::string& text) {
  if (run.ui.detail) run.ui.detail(text);
}

// The line under the bar while Dism works, as the host shows a download's: Dism's percentage of `total` bytes (the
// image file for an apply, the volume's used bytes for a capture) with the speed and the time left; Dism's own
// figure when no size is known.
struct DismLine {
  uint64_t total = 0;
  const wchar_t* label;
  base::TransferRate rate;

  std::string Text(int percent) {
    if (total == 0) return "Dism 已完成 " + std::to_string(percent) + "%";
    const uint64_t done = total / 100 * static_cast<uint64_t>(percent) + total % 100 * percent / 100;
    base::AddRateSample(&rate, GetTickCount64(), done);
    return WideToUtf8(base::TransferLine(done, total, base::EstimateRate(rate), label));
  }
};

uint64_t FileBytes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint64_t UsedBytes(wchar_t letter) {
  ULARGE_INTEGER free{}, total{};
  if (!GetDiskFreeSpaceExW(base::DriveRoot(letter).c_str(), nullptr, &total, &free)) return 0;
  return total.QuadPart - free.QuadPart;
}

void Event(const Run& run, const char* stage, const char* status, const std::string& message = {}) {
  reporting::ReportStageEvent(run.sessionId, stage, status, -1, message);
}

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  return bytes;
}

// The last lines of this log, for a failure that no tool printed.
std::string LogExcerpt() {
  const std::string text = ReadAll(log::GetLogFilePath());
  // The last line ends with a line feed too: the excerpt starts after the one before the last N.
  size_t start = text.size();
  for (size_t feeds = 0; start > 0; --start) {
    if (text[start - 1] == '\n' && ++feeds > kLogExcerptLines) break;
  }
  return text.substr(start);
}

// The PE entry goes; `previous` says which default and time-out come back (empty and -1 keep what is there).
void RemoveEntry(const Run& run, const boot::BootDefaults& previous) {
  const std::string& entry = run.found.task.peBootId;
  if (entry.empty()) {
    log::LogInfo("任务没有 PE 启动项（U 盘任务，或宿主在 PE 里直接调起），不用清理启动项");
    return;
  }
  std::string error;
  if (!boot::RemovePeBootEntry(entry, previous, run.options.dryRun, &error)) {
    log::LogWarn("清理 PE 启动项失败: " + error);
    reporting::ReportError(run.sessionId, "boot_entry_cleanup", "清理 PE 启动项失败: " + error, LogExcerpt());
  }
}

boot::BootDefaults EarlierDefaults(const Run& run) {
  return {.defaultId = run.marker.previousDefault, .timeoutSeconds = run.marker.previousTimeout};
}

// After a deployment bcdboot has made the new system the default: the PE entry goes, and the menu time-out from
// before comes back.
void RemoveEntryAfterDeploy(const Run& run) {
  const std::string& entry = run.found.task.peBootId;
  if (entry.empty()) {
    RemoveEntry(run, {});
    return;
  }
  bool ok = tools::RunBcdedit(L"/delete " + Utf8ToWide(entry), run.options.dryRun);
  if (run.marker.previousTimeout >= 0) {
    ok = tools::RunBcdedit(L"/timeout " + std::to_wstring(run.marker.previousTimeout), run.options.dryRun) && ok;
  }
  if (!ok) {
    log::LogWarn("清理 PE 启动项失败（新系统已经是默认启动项，不影响开机）");
    reporting::ReportError(run.sessionId, "boot_entry_cleanup", "清理 PE 启动项失败", LogExcerpt());
  }
}

// An entry's own identifier, "{8-4-4-4-12 hex}"; an alias such as "{current}" is none.
bool IsEntryIdentifier(const std::string& id) {
  if (id.size() != 38 || id.front() != '{' || id.back() != '}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
  }
  return true;
}

// Reports the failure; before the format the old system gets its boot back and the session ends, after it the PE
// entry stays for the retry. Returns false, for `return Fail(...)`.
bool Fail(Run& run, const char* stage, const std::string& message, std::string excerpt = {}) {
  log::LogError(message);
  if (excerpt.empty()) excerpt = LogExcerpt();
  Event(run, stage, "failed", message);
  reporting::ReportError(run.sessionId, stage, message, excerpt);
  run.outcome.error = message;
  if (run.formatted) {
    log::LogWarn("目标分区已经格式化，保留 PE 启动项：下次开机会重新进入 PE，从头再部署一次");
    run.outcome.exitCode = kExitRetryNextStart;
  } else {
    if (!run.found.task.peBootId.empty()) {
      log::LogInfo("还没有改动任何分区，删除 PE 启动项并恢复原来的默认启动项，下次开机回到原来的系统");
    }
    RemoveEntry(run, EarlierDefaults(run));
    reporting::FinishReportSession(run.sessionId, "failed");
    run.outcome.exitCode = kExitNothingChanged;
  }
  return false;
}

// Lines logged so far go along into the data folder's log, which the host's diagnostics read back.
void MoveLogInto(const std::wstring& folder) {
  const std::wstring early = log::GetLogFilePath();
  const std::wstring path = folder + L"\\pl_pe.log";
  if (base::AsciiLower(early) == base::AsciiLower(path)) return;
  const std::string bytes = ReadAll(early);
  base::UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    log::LogWarn("日志没能移到暂存区（继续写在 " + WideToUtf8(early) + "）: " + WideToUtf8(path));
    return;
  }
  file.reset();
  log::SetLogFile(path);
}

bool ReadTask(const std::wstring& path, wchar_t letter, FoundTask* found, std::string* error) {
  found->path = path;
  found->letter = letter;
  return ParseTaskText(ReadAll(path), &found->task, &found->items, error);
}

std::vector<FoundTask> FindTasks(const std::vector<VolumeFacts>& volumes) {
  std::vector<FoundTask> tasks;
  for (const VolumeFacts& volume : volumes) {
    const std::wstring path = Root(volume.letter) + kDataFolderName + L"\\task.ini";
    if (!Exists(path)) continue;
    FoundTask found;
    std::string error;
    if (!ReadTask(path, volume.letter, &found, &error)) {
      log::LogWarn("任务文件读不懂，跳过: " + WideToUtf8(path) + "（" + error + "）");
      continue;
    }
    log::LogInfo("找到任务文件: " + WideToUtf8(path) + "（mode=" + found.task.mode + ", peBootId=" +
                 found.task.peBootId + ", sessionId=" + found.task.sessionId + "）");
    tasks.push_back(found);
  }
  return tasks;
}

// A stick's task: image and tools lie beside it.
void CompleteUsbTask(Run& run) {
  pipeline::DeployTask& task = run.found.task;
  const std::wstring folder = run.found.path.substr(0, run.found.path.find_last_of(L'\\'));
  task.stagingDir = WideToUtf8(folder);
  task.toolsPath = WideToUtf8(folder + L"\\tools");
  for (const wchar_t* name : {L"\\os_image.wim", L"\\os_image.esd"}) {
    if (Exists(folder + name)) task.imagePath = WideToUtf8(folder + name);
  }
  log::LogInfo("U 盘任务：镜像和工具包就在任务文件旁边（" + WideToUtf8(folder) + "），目标分区由用户在窗口里选");
}

bool TakeTask(Run& run) {
  Step(run, "正在查找任务文件...", 1);
  run.volumes = run.machine.volumes();
  if (!run.options.taskPath.empty()) {
    std::string error;
    if (!ReadTask(run.options.taskPath, 0, &run.found, &error)) {
      run.outcome.error = "任务文件读不懂: " + WideToUtf8(run.options.taskPath) + "（" + error + "）";
      log::LogError(run.outcome.error);
      return false;
    }
    // Where the host had it: the volume a real start would find it on (a stick's task names none: where it is).
    run.found.letter = LetterOf(run.found.task.stagingDir);
    if (run.found.letter == 0) run.found.letter = LetterOf(WideToUtf8(run.options.taskPath));
    log::LogInfo(std::string(kDryRunMark) + "使用命令行指定的任务文件: " + WideToUtf8(run.options.taskPath) +
                 "（路径按宿主写的原样使用，不换盘符）");
  } else {
    const std::vector<FoundTask> tasks = FindTasks(run.volumes);
    const std::string current = run.machine.currentBootEntry();
    log::LogInfo(current.empty() ? "读不出当前 PE 的启动项（bcdedit /enum {current} 没有给出标识）"
                                 : "当前 PE 的启动项: " + current);
    const TaskChoice choice = ChooseTask(tasks, current);
    if (choice.index < 0) {
      run.outcome.error = choice.error;
      log::LogError(choice.error);
      return false;
    }
    run.found = tasks[choice.index];
    MoveLogInto(Root(run.found.letter) + kDataFolderName);
    log::LogInfo("执行任务: " + WideToUtf8(run.found.path));
    const std::string host = run.found.task.stagingDir.substr(0, 2);
    for (const std::string& left : RebaseTask(&run.found.task, run.found.letter)) {
      log::LogWarn("路径不在任务文件所在的分区上，没法换盘符，按原样使用: " + left);
    }
    if (!host.empty() && base::AsciiLower(host) != base::AsciiLower(Letter(run.found.letter))) {
      log::LogInfo("宿主写任务时暂存区在 " + host + "，这个 PE 里它是 " + Letter(run.found.letter) +
                   "，任务里的路径已经换到 " + Letter(run.found.letter) + " 上");
    }
  }
  run.usb = IsUsbTask(run.found.task);
  if (run.usb) CompleteUsbTask(run);
  // The boot defaults from before the PE entry travel in the task's marker, wherever it lies; a failure before the
  // target is known puts them back too.
  run.marker = {.peBootId = run.found.task.peBootId, .sessionId = run.found.task.sessionId};
  for (const VolumeFacts& volume : run.volumes) {
    if (!run.usb && volume.hasMarker && volume.marker.peBootId == run.marker.peBootId &&
        volume.marker.sessionId == run.marker.sessionId) {
      run.marker = volume.marker;
      break;
    }
  }
  // Read on the host, "{current}" named the old system; here it would name the PE.
  if (!run.marker.previousDefault.empty() && !IsEntryIdentifier(run.marker.previousDefault)) {
    log::LogWarn("标记文件里记的原默认启动项 " + run.marker.previousDefault +
                 " 不是具体的启动项标识，在 PE 里它指的不是原来的系统，不拿它恢复默认项");
    run.marker.previousDefault.clear();
  }
  run.sessionId = run.found.task.sessionId;
  if (run.options.dryRun && !run.sessionId.empty()) {
    log::LogInfo(std::string(kDryRunMark) + "不向后台上报（session " + run.sessionId + "）");
    run.sessionId.clear();
  }
  return true;
}

bool CheckImage(Run& run) {
  const pipeline::DeployTask& task = run.found.task;
  const std::string what = task.isRestore ? "备份文件" : "系统镜像";
  Step(run, "正在检查" + what + "...", 3);
  if (run.options.dryRun) {
    log::LogInfo(kDryRunMark + ("跳过" + what + "检查: " + task.imagePath));
    return true;
  }
  Event(run, "deploy_image_check", "started");
  archive::WimInfo info;
  std::string reason;
  const archive::WimImage* image = nullptr;
  if (task.imagePath.empty()) {
    reason = "U 盘上没有 os_image.wim 或 os_image.esd";
  } else if (archive::ReadWimFileImageList(Utf8ToWide(task.imagePath), &info, &reason)) {
    image = archive::FindWimImage(info, task.imageIndex);
    if (image == nullptr) {
      reason = "没有第 " + std::to_string(task.imageIndex) + " 号映像（镜像里的映像序号: " +
               archive::WimImageIndexes(info) + "）";
    }
  }
  if (image == nullptr) {
    return Fail(run, "deploy_image_check", what + "检查失败（" + task.imagePath + "）: " + reason);
  }
  log::LogInfo(what + "检查通过，将部署第 " + std::to_string(task.imageIndex) + " 号映像: " +
               pipeline::EditionText(*image));
  Event(run, "deploy_image_check", "success");
  return true;
}

bool PickUsbTarget(Run& run, const std::vector<VolumeFacts>& volumes, const KeptVolumes& kept) {
  const std::vector<VolumeFacts> candidates = UsbTargetCandidates(volumes, kept, run.machine.peLetter());
  if (candidates.empty()) {
    return Fail(run, "deploy_target", "没有可以安装系统的分区（只列本机固定磁盘上的分区，不含 U 盘本身）");
  }
  for (const VolumeFacts& volume : candidates) log::LogInfo("可选的目标分区: " + VolumeText(volume));
  const int index = run.ui.chooseVolume ? run.ui.chooseVolume(candidates, run.found.task.osDisplayName) : -1;
  if (index < 0 || index >= static_cast<int>(candidates.size())) {
    return Fail(run, "deploy_target", "没有选择要安装系统的分区（已取消），什么都没有改动");
  }
  run.target = candidates[index].letter;
  log::LogInfo("用户选择并确认清除: " + VolumeText(candidates[index]));
  return true;
}

bool FindTarget(Run& run, const std::vector<VolumeFacts>& volumes, TargetRole role) {
  const pipeline::DeployTask& task = run.found.task;
  const bool capture = role == TargetRole::Capture;
  const char* stage = capture ? "capture_target" : "deploy_target";
  Step(run, capture ? "正在确认要备份的分区..." : "正在确认目标分区...", 5);
  Event(run, stage, "started");
  const KeptVolumes kept = {.task = run.found.letter,
                            .image = LetterOf(capture ? task.captureDestPath : task.imagePath)};
  if (run.usb) {
    if (!PickUsbTarget(run, volumes, kept)) return false;
  } else {
    const TargetChoice choice = IdentifyTarget(task, volumes, kept, role);
    if (choice.letter == 0) return Fail(run, stage, choice.error);
    run.target = choice.letter;
    log::LogInfo(std::string(capture ? "要备份的分区: " : "目标分区: ") + Letter(run.target) + "（认出方式: " +
                 choice.how + "）");
  }
  Event(run, stage, "success");
  return true;
}

// The formatted volume gets its marker back at once: should a later step fail, the next start must find it again.
bool FormatTarget(Run& run) {
  Step(run, "正在格式化 " + Letter(run.target) + "...", 10);
  Event(run, "deploy_format", "started");
  const std::wstring root = Root(run.target);
  if (run.options.dryRun) {
    log::LogInfo(kDryRunMark + ("跳过清除卷标: " + Letter(run.target)));
  } else {
    run.formatted = true;
    // format asks for the current label of a labelled volume, which nobody can type here. (An empty label clears
    // it as no label does; Wine 8 crashes on the latter.)
    if (!SetVolumeLabelW(root.c_str(), L"")) {
      log::LogWarn("清除 " + Letter(run.target) + " 的卷标失败, GetLastError=" + std::to_string(GetLastError()) +
                   "（format 可能会要求输入卷标）");
    }
  }
  const ToolRun format = RunDeployTool(L"format.com", FormatArguments(run.target), run.options.dryRun);
  if (!format.ok) {
    return Fail(run, "deploy_format", "格式化 " + Letter(run.target) + " 失败", FailureExcerpt(format.output, false));
  }
  const std::wstring marker = root + pipeline::kTargetMarkerName;
  if (run.options.dryRun) {
    log::LogInfo(kDryRunMark + ("跳过重写目标分区标记文件: " + WideToUtf8(marker)));
  } else if (!pipeline::WriteHandOverFile(marker, pipeline::TargetMarkerText(run.marker))) {
    return Fail(run, "deploy_format", "格式化后重写目标分区标记文件失败: " + WideToUtf8(marker));
  }
  Event(run, "deploy_format", "success");
  return true;
}

bool ApplyImage(Run& run) {
  const pipeline::DeployTask& task = run.found.task;
  Step(run, "正在应用系统镜像（第 " + std::to_string(task.imageIndex) + " 号映像）...", 12);
  Event(run, "deploy_apply", "started");
  int logged = -1;
  DismLine line{.total = FileBytes(task.imagePath), .label = L"已应用"};
  const ToolRun apply =
      RunDeployTool(L"Dism.exe", ApplyArguments(task.imagePath, task.imageIndex, run.target), run.options.dryRun,
                    [&](int percent) {
                      if (percent / 10 != logged / 10) {
                        logged = percent;
                        log::LogInfo("应用镜像进度: " + std::to_string(percent) + "%");
                      }
                      if (run.ui.step) run.ui.step("正在应用系统镜像...", 12 + percent * 68 / 100);
                      Detail(run, line.Text(percent));
                    });
  if (!apply.ok) return Fail(run, "deploy_apply", "应用系统镜像失败", FailureExcerpt(apply.output, true));
  Detail(run, "");
  Event(run, "deploy_apply", "success");
  return true;
}

bool WriteBootFiles(Run& run) {
  Step(run, "正在写入引导文件...", 82);
  Event(run, "deploy_boot_files", "started");
  const wchar_t system = run.machine.bootManagerLetter();
  if (system != 0) {
    log::LogInfo("启动管理器所在的系统分区: " + Letter(system) + "，按任务的固件类型 " + run.found.task.firmware +
                 " 写引导文件");
  } else {
    log::LogInfo("启动管理器所在的系统分区没有盘符，交给 bcdboot 按固件自己找系统分区（只写当前固件类型的引导文件）");
  }
  const ToolRun bcdboot = RunDeployTool(
      L"bcdboot.exe", BcdbootArguments(run.target, run.found.task.firmware, system), run.options.dryRun);
  if (!bcdboot.ok) return Fail(run, "deploy_boot_files", "写入引导文件失败", FailureExcerpt(bcdboot.output, false));
  Event(run, "deploy_boot_files", "success");
  return true;
}

// Not fatal: the new system starts without them, and the tools package carries a driver tool.
void AddDrivers(Run& run) {
  const std::string& directory = run.found.task.driverBackupPath;
  const int32_t count = directory.empty() ? 0 : pipeline::CountInfFiles(Utf8ToWide(directory));
  if (count == 0) {
    log::LogInfo("驱动备份目录里没有 .inf 文件，跳过注入驱动: " + directory);
    return;
  }
  Step(run, "正在注入驱动（" + std::to_string(count) + " 个 .inf）...", 85);
  Event(run, "deploy_drivers", "started");
  const ToolRun add = RunDeployTool(L"Dism.exe", AddDriverArguments(run.target, directory), run.options.dryRun);
  if (add.ok) {
    Event(run, "deploy_drivers", "success");
    return;
  }
  const std::string message = "注入驱动失败（不影响新系统启动，进系统后可以用工具包里的驱动工具补装）";
  log::LogWarn(message);
  Event(run, "deploy_drivers", "failed", message);
  reporting::ReportError(run.sessionId, "deploy_drivers", message, FailureExcerpt(add.output, true));
}

// Not fatal either: the new system works without its extras.
void PrepareNewSystemSetup(Run& run) {
  Step(run, "正在准备新系统的首次启动设置...", 90);
  Event(run, "deploy_setup_stage", "started");
  std::string error;
  if (PrepareSetupStage(run.target, run.found, run.machine.programPath(), run.options.dryRun, &error)) {
    Event(run, "deploy_setup_stage", "success");
    return;
  }
  const std::string message = "准备新系统首次启动设置失败（系统本身不受影响，只是不会自动装密钥和软件）: " + error;
  log::LogWarn(message);
  Event(run, "deploy_setup_stage", "failed", message);
  reporting::ReportError(run.sessionId, "deploy_setup_stage", message, LogExcerpt());
}

// A task done is never run again: its file and the marker go.
void RetireTask(const Run& run) {
  const std::wstring marker = Root(run.target) + pipeline::kTargetMarkerName;
  for (const std::wstring& path : {run.found.path, marker}) {
    if (run.options.dryRun) {
      log::LogInfo(kDryRunMark + ("跳过删除: " + WideToUtf8(path)));
    } else if (DeleteFileW(path.c_str())) {
      log::LogInfo("已删除: " + WideToUtf8(path));
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      log::LogWarn("删除失败: " + WideToUtf8(path) + ", GetLastError=" + std::to_string(GetLastError()));
    }
  }
}

void Finish(Run& run, const std::string& text) {
  reporting::FinishReportSession(run.sessionId, "success");
  run.outcome.exitCode = kExitDone;
  Step(run, text, 100);
}

void Deploy(Run& run) {
  const pipeline::DeployTask& task = run.found.task;
  log::LogInfo(std::string(task.isRestore ? "还原" : "部署") + ": " + task.osDisplayName + "，镜像 " +
               task.imagePath + " 第 " + std::to_string(task.imageIndex) + " 号映像，固件 " + task.firmware);
  if (!CheckImage(run)) return;
  if (!FindTarget(run, run.volumes, TargetRole::Deploy)) return;
  if (!FormatTarget(run) || !ApplyImage(run) || !WriteBootFiles(run)) return;
  if (task.isRestore) {
    log::LogInfo("还原的是本工具做的备份，里面的系统自带驱动和密钥，不再注入");
  } else {
    AddDrivers(run);
  }
  PrepareNewSystemSetup(run);
  Step(run, "正在清理 PE 启动项...", 95);
  RemoveEntryAfterDeploy(run);
  RetireTask(run);
  Finish(run, task.isRestore ? "还原完成" : "部署完成");
}

bool WriteCaptureExclusions(const std::wstring& path) {
  base::UniqueFileHandle file =
      base::CreateFileNoLink(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  const std::wstring text = std::wstring(1, L'\xFEFF') + kCaptureExclusions;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  return file && WriteFile(file.get(), text.data(), size, &written, nullptr) && written == size;
}

void DeletePartialBackup(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) log::LogInfo("已删除没做完的备份文件: " + WideToUtf8(path));
}

bool CaptureTarget(Run& run) {
  const pipeline::DeployTask& task = run.found.task;
  const std::wstring wim = Utf8ToWide(task.captureDestPath);
  const std::wstring config = Utf8ToWide(task.stagingDir) + L"\\capture_exclusions.ini";
  Step(run, "正在备份 " + Letter(run.target) + " 到 " + task.captureDestPath + "...", 8);
  Event(run, "capture", "started");
  if (run.options.dryRun) {
    log::LogInfo(kDryRunMark + ("跳过写备份排除清单: " + WideToUtf8(config)));
  } else {
    // Names carry the second the backup was asked for: a file there is this task's own unfinished attempt.
    if (Exists(wim)) DeletePartialBackup(wim);
    if (!WriteCaptureExclusions(config)) {
      return Fail(run, "capture", "写备份排除清单失败: " + WideToUtf8(config));
    }
  }
  const std::wstring file = wim.substr(wim.find_last_of(L'\\') + 1);
  const std::string name = WideToUtf8(file.substr(0, file.rfind(L'.')));
  DismLine line{.total = UsedBytes(run.target), .label = L"已备份"};
  const ToolRun capture = RunDeployTool(
      L"Dism.exe", CaptureArguments(task.captureDestPath, run.target, name, WideToUtf8(config)), run.options.dryRun,
      [&](int percent) {
        if (run.ui.step) run.ui.step("正在备份 " + Letter(run.target) + "...", 8 + percent * 82 / 100);
        Detail(run, line.Text(percent));
      });
  if (!capture.ok) {
    DeletePartialBackup(wim);
    return Fail(run, "capture", "备份分区失败", FailureExcerpt(capture.output, true));
  }
  Detail(run, "");
  Event(run, "capture", "success");

  Step(run, "正在检查备份文件...", 92);
  if (run.options.dryRun) {
    log::LogInfo(kDryRunMark + ("跳过备份文件检查: " + task.captureDestPath));
    return true;
  }
  Event(run, "capture_check", "started");
  archive::WimInfo info;
  std::string reason;
  if (archive::ReadWimFileImageList(wim, &info, &reason) && info.images.size() != 1) {
    reason = "里面有 " + std::to_string(info.images.size()) + " 个映像，应该正好 1 个";
  }
  if (!reason.empty()) {
    DeletePartialBackup(wim);
    return Fail(run, "capture_check", "备份文件检查失败（" + task.captureDestPath + "）: " + reason);
  }
  log::LogInfo("备份文件检查通过: " + task.captureDestPath + "（" + pipeline::EditionText(info.images.front()) + "）");
  Event(run, "capture_check", "success");
  return true;
}

void Capture(Run& run) {
  log::LogInfo("备份: 分区备份到 " + run.found.task.captureDestPath);
  if (!FindTarget(run, run.volumes, TargetRole::Capture)) return;
  if (!CaptureTarget(run)) return;
  Step(run, "正在清理 PE 启动项...", 96);
  RemoveEntry(run, EarlierDefaults(run));
  RetireTask(run);
  Finish(run, "备份完成");
}

}  // namespace

DeployOutcome RunDeployer(const DeployOptions& options, const DeployUi& ui, const DeployMachine& machine) {
  Run run{.options = options, .ui = ui, .machine = machine};
  log::LogInfo(std::string("pl_pe.exe 启动，模式: ") + (options.dryRun ? "dry-run" : "execute"));
  if (!options.taskPath.empty() && !options.dryRun) {
    run.outcome.error = "--task 只用于 --dry-run 演练，正式部署会自己到各分区找任务文件，什么都没有做";
  } else if (!options.dryRun && !machine.isWinPE()) {
    run.outcome.error = "pl_pe.exe 只能在 WinPE 里运行（这里不是 PE），什么都没有做";
  }
  if (!run.outcome.error.empty()) {
    log::LogError(run.outcome.error);
  } else if (TakeTask(run)) {
    if (run.found.task.mode == "capture") {
      Capture(run);
    } else {
      Deploy(run);
    }
  }
  run.outcome.logPath = log::GetLogFilePath();
  log::LogInfo("pl_pe.exe 结束，退出码 " + std::to_string(run.outcome.exitCode));
  return run.outcome;
}

}  // namespace pl::deploy
