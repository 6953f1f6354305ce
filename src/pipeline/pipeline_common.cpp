#include "pipeline/pipeline_common.h"

#include <mutex>
#include <utility>

#include "archive/zip_extract.h"
#include "base/constants.h"
#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "base/winpe.h"
#include "boot/pe_boot_entry.h"
#include "disks/inventory.h"
#include "inspect/driver_export.h"
#include "inspect/product_key.h"
#include "inspect/system_info.h"
#include "log/log.h"
#include "pipeline/target_marker.h"
#include "reporting/report_session.h"
#include "tools/tool_runner.h"

namespace pl::pipeline {
namespace {

using base::WideToUtf8;

// Added to a failed run's message when the PE entry could not be undone.
constexpr char kBootEntryMayRemain[] =
    "。PE 引导项没能撤销：开机菜单可能仍显示“Pellora PE”并默认进入它，请在“系统配置”（msconfig）的“引导”页删除该项，"
    "并把原来的系统设为默认";

// A missing file is no news; `what` names it in the log.
void RemoveHandOverFile(const RunState& run, const std::wstring& path, const std::string& what) {
  if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  const std::string text = WideToUtf8(path);
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过删除" + what + ": " + text);
  } else if (DeleteFileW(path.c_str())) {
    log::LogInfo("已删除" + what + ": " + text);
  } else {
    log::LogWarn("删除" + what + "失败, GetLastError=" + std::to_string(GetLastError()) + ": " + text);
  }
}

// Never fatal: the deployer lists what it finds beside the task, so an earlier run's list must not stay there.
void WriteWishlist(RunState& run, const std::wstring& path, const std::vector<std::string>& wishlist) {
  if (wishlist.empty()) {
    RemoveHandOverFile(run, path, "先前留下的软件清单");
  } else if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过写软件清单: " + WideToUtf8(path));
  } else if (WriteWishlistFile(path, wishlist)) {
    run.wroteWishlist = true;
    log::LogInfo("已记录 " + std::to_string(wishlist.size()) + " 项本机已安装软件: " + WideToUtf8(path));
  } else {
    log::LogWarn("写软件清单失败，不影响重装本身，跳过");
    RemoveHandOverFile(run, path, "先前留下的软件清单");
  }
}

// The deployer must never choose between an earlier run's task and this one's. A "$PelloraData$" that is a link
// is not ours: nothing is deleted through it.
void RemoveOtherTasks(const RunState& run, const std::wstring& ownTaskFile) {
  const std::wstring ownFolder = base::AsciiLower(ownTaskFile.substr(0, ownTaskFile.rfind(L'\\')));
  for (wchar_t letter : run.machine.fixedDriveLetters()) {
    const std::wstring folder = base::DriveRoot(letter) + L"$PelloraData$";
    if (base::AsciiLower(folder) == ownFolder) continue;
    if (base::IsLink(folder)) {
      log::LogWarn("跳过 " + WideToUtf8(folder) + "：它是链接，不是本工具建的目录，不在里面删除任务文件");
      continue;
    }
    RemoveHandOverFile(run, folder + L"\\task.ini", "其它分区上先前的任务文件");
    RemoveHandOverFile(run, folder + L"\\software_wishlist.ini", "其它分区上先前的软件清单");
  }
}

// A step after the task file failed (the deployer inside a PE): a failed run leaves no task behind.
void RemoveOwnTask(RunState& run, const StagingPaths& paths) {
  if (!run.result.taskFilePath.empty() && !run.dryRun) {
    RemoveHandOverFile(run, run.result.taskFilePath, "本次写下的任务文件");
    if (run.wroteWishlist) RemoveHandOverFile(run, paths.wishlistFile, "本次写下的软件清单");
  }
  run.result.taskFilePath.clear();
}

// A step after the PE entry failed: the machine must not boot into a PE with a stale task or none.
void UndoBootEntry(RunState& run) {
  if (run.bootEntryId.empty()) return;
  const std::string entryId = std::exchange(run.bootEntryId, std::string());
  std::string error;
  if (boot::RemovePeBootEntry(entryId, run.bootDefaults, run.dryRun, &error)) {
    log::LogInfo("已撤销 PE 引导项 " + entryId);
    return;
  }
  const std::string message = "撤销 PE 引导项失败: " + error;
  log::LogError(message);
  reporting::ReportError(run.result.sessionId, "pe_deploy", message, "");
  run.result.error += kBootEntryMayRemain;
}

std::vector<wchar_t> LiveFixedDriveLetters() {
  const disks::VolumeProbe& probe = disks::LiveVolumeProbe();
  const uint32_t drives = probe.logicalDrives();
  std::vector<wchar_t> letters;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if ((drives & (1u << (letter - L'A'))) != 0 && probe.isFixedDrive(letter)) letters.push_back(letter);
  }
  return letters;
}

bool EndsWithInf(const std::wstring& name) {
  return name.size() > 4 && base::AsciiLower(std::wstring_view(name).substr(name.size() - 4)) == L".inf";
}

}  // namespace

const PipelineMachine& LivePipelineMachine() {
  static const PipelineMachine machine = {
      .staging = disks::LiveStagingMachine(),
      .firmwareType = disks::GetFirmwareType,
      .volumeGuidPathOfDrive = disks::VolumeGuidPathOfDrive,
      .usedBytes = disks::UsedBytes,
      .programPath = base::ModuleFilePath,
      .localTime =
          [] {
            SYSTEMTIME now{};
            GetLocalTime(&now);
            return now;
          },
      .retryPause = {},
      .copyFile =
          [](const std::wstring& from, const std::wstring& to, LPPROGRESS_ROUTINE routine, void* context) {
            return CopyFileExW(from.c_str(), to.c_str(), routine, context, nullptr, 0) != FALSE;
          },
      .fixedDriveLetters = LiveFixedDriveLetters,
  };
  return machine;
}

void ReportProgress(const ProgressCallback& progress, const std::string& stage, const std::string& message,
                    int percent) {
  log::LogInfo(message);
  if (progress) progress(stage, message, percent);
}

bool ExtractToolsPackage(const std::wstring& zipPath, const std::wstring& destination, bool dryRun) {
  log::LogInfo("解压 " + WideToUtf8(zipPath) + " -> " + WideToUtf8(destination));
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际解压");
    return true;
  }
  // An earlier package's files must not outlive it: its pl_pe.exe could be the one started.
  if (GetFileAttributesW(destination.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!base::DeleteTree(destination)) {
      log::LogError("清空旧的工具目录失败，停止解压（不能让旧的 pl_pe.exe 留在里面）: " + WideToUtf8(destination));
      return false;
    }
    log::LogInfo("已清空旧的工具目录: " + WideToUtf8(destination));
  }
  std::string error;
  if (!archive::ExtractZip(zipPath, destination, &error)) {
    log::LogError("解压驱动包失败: " + error);
    return false;
  }
  const int32_t count = CountInfFiles(destination);
  log::LogInfo("驱动包解压完成，找到 " + std::to_string(count) + " 个 .inf 文件");
  if (count == 0) {
    log::LogWarn(
        "驱动包解压后没有找到任何 .inf 文件，Dism /Add-Driver 稍后大概率会失败——请确认 drv.zip "
        "里的驱动是不是被套了一层意外的目录结构，或者 zip 本身内容有问题");
  }
  return true;
}

int32_t CountInfFiles(const std::wstring& directory) {
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (!find) return 0;
  int32_t count = 0;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      count += CountInfFiles(directory + L"\\" + name);
    } else if (EndsWithInf(name)) {
      ++count;
    }
  } while (FindNextFileW(find.get(), &data));
  return count;
}

bool LaunchDeployerInPE(const std::wstring& toolsDirectory, bool dryRun, std::string* error,
                        const PipelineMachine& machine) {
  std::wstring deployer = base::FindFileInTree(toolsDirectory, L"pl_pe.exe");
  if (!deployer.empty()) {
    log::LogInfo("在工具包里找到 pl_pe.exe: " + WideToUtf8(deployer));
  } else {
    const std::wstring program = machine.programPath();
    const size_t slash = program.rfind(L'\\');
    deployer = (slash == std::wstring::npos ? L"." : program.substr(0, slash)) + L"\\pl_pe.exe";
    if (GetFileAttributesW(deployer.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *error = "找不到 pl_pe.exe（工具包里没有，跟 pl_host.exe 同目录下也没有）";
      return false;
    }
    log::LogInfo("工具包里没找到 pl_pe.exe，退回用跟 pl_host.exe 同目录下的这份: " + WideToUtf8(deployer));
  }
  log::LogInfo("当前运行在 WinPE 里，直接拉起 pl_pe.exe 执行部署，不重启进另一个 PE: " + WideToUtf8(deployer));
  const std::wstring folder = deployer.substr(0, deployer.rfind(L'\\'));
  const tools::LaunchResult run = tools::RunToolAndWait(deployer, dryRun ? L"--dry-run" : L"", folder, 0);
  if (!run.started) {
    *error = "启动 pl_pe.exe 失败";
    return false;
  }
  if (run.exitCode != 0) {
    *error = "pl_pe.exe 执行失败, exitCode=" + std::to_string(run.exitCode);
    return false;
  }
  return true;
}

int32_t DiskSizeGiB(wchar_t letter) {
  ULARGE_INTEGER total{};
  if (!GetDiskFreeSpaceExW(base::DriveRoot(letter).c_str(), nullptr, &total, nullptr)) return 0;
  return static_cast<int32_t>(total.QuadPart >> 30);
}

std::wstring OsImagePath(const std::wstring& dataDirectory, const std::string& url) {
  const bool esd = url.find(".esd") != std::string::npos;
  return dataDirectory + (esd ? L"\\os_image.esd" : L"\\os_image.wim");
}

StagingPaths PathsOf(const disks::StagingPlan& plan) {
  return {
      .peWim = plan.bootDir + L"\\pe.wim",
      .bootSdi = plan.bootDir + L"\\boot.sdi",
      .toolsArchive = plan.dataDir + L"\\tools.zip",
      .toolsDir = plan.dataDir + L"\\tools",
      .driverDir = plan.dataDir + L"\\backup\\drivers",
      .taskFile = plan.dataDir + L"\\task.ini",
      .wishlistFile = plan.dataDir + L"\\software_wishlist.ini",
  };
}

bool Fail(RunState& run, const std::string& message, const FailureReports& reports) {
  run.result.ok = false;
  run.result.error = message;
  if (!reports.logged) log::LogError(message);
  if (reports.eventStage) StageEvent(run, reports.eventStage, "failed", reports.cause);
  if (reports.errorStage) reporting::ReportError(run.result.sessionId, reports.errorStage, reports.cause, "");
  UndoBootEntry(run);
  if (run.finishOnFailure) reporting::FinishReportSession(run.result.sessionId, "failed");
  return false;
}

void StageEvent(const RunState& run, const char* stage, const char* status, const std::string& message) {
  reporting::ReportStageEvent(run.result.sessionId, stage, status, -1, message);
}

void OpenSession(RunState& run, const std::string& chosenOsKey, const std::string& clientVersion,
                 const char* failureWarning) {
  if (run.dryRun) return;
  run.result.sessionId = reporting::CreateReportSession(chosenOsKey, clientVersion);
  if (!run.result.sessionId.empty()) {
    log::LogInfo("上报 session: " + run.result.sessionId);
  } else {
    log::LogWarn(failureWarning);
  }
}

void DetectFirmwareAndPe(RunState& run, int percent) {
  ReportProgress(run.progress, "staging", "正在检测固件类型...", percent);
  run.firmware = run.machine.firmwareType();
  log::LogInfo(std::string("当前固件类型: ") + disks::FirmwareTypeName(run.firmware));
  run.inPe = base::IsWinPE();
  if (run.inPe) {
    log::LogInfo("当前运行在 WinPE 里，跳过下载 PE 环境/建临时引导项这一套，改成部署完直接拉起 pl_pe.exe");
  }
}

bool PrepareStaging(RunState& run, int percent, uint64_t neededBytes, wchar_t backupLetter,
                    uint64_t bytesBesideBackup, const std::wstring& keepFile) {
  ReportProgress(run.progress, "staging", "正在准备暂存空间...", percent);
  run.plan = disks::PlanStagingArea(run.firmware, neededBytes, run.dryRun, backupLetter, bytesBesideBackup, keepFile,
                                    run.machine.staging);
  if (!run.plan.ok) {
    return Fail(run, "准备暂存区失败: " + run.plan.error, {.errorStage = "staging", .cause = run.plan.error});
  }
  if (run.plan.shrankSystemVolume) {
    log::LogInfo("这台机器没有其他可用分区，已自动压缩系统盘创建数据暂存区（不影响系统盘正常使用）");
  }
  log::LogInfo("引导区: " + WideToUtf8(run.plan.bootDir) + "  数据区: " + WideToUtf8(run.plan.dataDir));
  return true;
}

net::DownloadJob ResourceJob(const char* label, const config::ResourceRef& resource, const std::wstring& path) {
  return {.url = base::Utf8ToWide(resource.url), .path = path, .md5 = resource.md5, .label = label};
}

net::DownloadJob ToolsJob(const config::ExResources& resources, const StagingPaths& paths) {
  return ResourceJob("工具包", resources.drv, paths.toolsArchive);
}

std::vector<net::DownloadJob> PeBootJobs(const RunState& run, const config::ExResources& resources,
                                         const StagingPaths& paths) {
  if (run.inPe) return {};
  return {ResourceJob("PE 环境", resources.pe, paths.peWim), ResourceJob("boot.sdi", resources.sdi, paths.bootSdi)};
}

GroupBytes StartGroupBytes(const std::vector<net::DownloadJob>& jobs) {
  GroupBytes group;
  for (const net::DownloadJob& job : jobs) group.jobs.push_back({.sizeHint = job.sizeHint});
  return group;
}

TransferBytes GroupTotals(const GroupBytes& group) {
  TransferBytes totals{.received = group.received};
  bool sizesKnown = true;
  for (const GroupBytes::Job& job : group.jobs) {
    const uint64_t size = job.total != 0 ? job.total : job.sizeHint;
    sizesKnown = sizesKnown && size != 0;
    totals.done += job.done;
    totals.total += size;
  }
  if (!sizesKnown) totals.total = 0;
  return totals;
}

std::optional<TransferBytes> TakeJobBytes(GroupBytes* group, size_t job, uint64_t done, uint64_t total,
                                          uint64_t nowMs) {
  if (job >= group->jobs.size()) return std::nullopt;
  GroupBytes::Job& record = group->jobs[job];
  if (record.reported && done > record.done) group->received += done - record.done;
  record.reported = true;
  record.done = done;
  if (total != 0) record.total = total;
  if (group->sent && nowMs - group->sentMs < kTransferBytesIntervalMs) return std::nullopt;
  group->sent = true;
  group->sentMs = nowMs;
  return GroupTotals(*group);
}

bool DownloadFiles(RunState& run, const std::vector<net::DownloadJob>& jobs, int start, int end) {
  std::mutex bytesMutex;  // the jobs report from their own threads
  GroupBytes group = StartGroupBytes(jobs);
  net::JobByteSink jobBytes;
  if (run.bytes) {
    jobBytes = [&](size_t job, uint64_t done, uint64_t total) {
      std::lock_guard<std::mutex> lock(bytesMutex);
      if (const auto figures = TakeJobBytes(&group, job, done, total, GetTickCount64())) run.bytes(*figures);
    };
  }
  std::string error;
  const bool ok = net::DownloadGroup(jobs, run.progress, start, end, &error, run.machine.retryPause, {}, jobBytes);
  if (run.bytes) {
    run.bytes(GroupTotals(group));
    run.bytes({});
  }
  if (!ok) return Fail(run, error, {.eventStage = "download", .errorStage = "download", .cause = error});
  return true;
}

bool ExtractTools(RunState& run, const StagingPaths& paths, const char* message, int percent) {
  ReportProgress(run.progress, "download", message, percent);
  if (!ExtractToolsPackage(paths.toolsArchive, paths.toolsDir, false)) {
    // ExtractToolsPackage logged the cause.
    return Fail(run, "解压工具包失败", {.eventStage = "download", .cause = "解压工具包失败", .logged = true});
  }
  return true;
}

void BackUpKeyAndDrivers(RunState& run, const StagingPaths& paths, const KeyAndDriverSteps& steps) {
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过密钥/驱动备份");
    return;
  }
  // Inside a PE the system to read is the target's, offline; outside it is the running one.
  const wchar_t offlineLetter = run.inPe ? run.machine.staging.systemDriveLetter() : 0;
  StageEvent(run, "key_backup", "started");
  ReportProgress(run.progress, "key_backup", "正在备份设备密钥...", steps.keyPercent);
  run.productKey = inspect::ReadProductKey(offlineLetter);
  if (steps.logKeyFound) {
    log::LogInfo(run.productKey.empty() ? "未读到设备内置的 OEM 密钥（虚拟机/部分机型没有，不算错误）"
                                        : "已备份设备内置密钥");
  }
  StageEvent(run, "key_backup", "success");

  StageEvent(run, "driver_backup", "started");
  ReportProgress(run.progress, "driver_backup", "正在备份当前驱动...", steps.driverPercent);
  if (inspect::ExportDrivers(paths.driverDir, offlineLetter, false)) {
    StageEvent(run, "driver_backup", "success");
  } else {
    log::LogWarn(steps.driverWarning);
    StageEvent(run, "driver_backup", "failed");
    reporting::ReportError(run.result.sessionId, "driver_backup", "Dism /Export-Driver 失败", "");
  }

  reporting::DeviceReport device;
  device.deviceId = reporting::ReadMachineGuid();
  device.firmwareType = disks::FirmwareTypeName(run.firmware);
  device.cpu = inspect::ReadProcessorName();
  device.diskSizeGb = DiskSizeGiB(run.machine.staging.systemDriveLetter());
  if (!device.deviceId.empty()) reporting::ReportDevice(run.result.sessionId, device);
}

bool RecheckPeBootFiles(RunState& run, const config::ExResources& resources, const StagingPaths& paths) {
  if (run.inPe || run.dryRun) return true;
  const std::pair<const std::wstring&, const config::ResourceRef&> files[] = {{paths.peWim, resources.pe},
                                                                             {paths.bootSdi, resources.sdi}};
  for (const auto& [path, resource] : files) {
    if (resource.md5.empty()) continue;
    const std::string name = WideToUtf8(path);
    log::LogInfo("写启动项前再校验一次 MD5: " + name);
    const std::string md5 = net::FileMd5Hex(path);
    if (net::Md5Equal(md5, resource.md5)) continue;
    const std::string error =
        md5.empty() ? "写启动项前复查 " + name + " 的 MD5 失败（读不了这个文件），不写启动项"
                    : "写启动项前复查发现 " + name + " 跟下载时校验过的不一样了（MD5 不符），可能被别的程序改动过，不写启动项";
    return Fail(run, error, {.errorStage = "pe_deploy", .cause = error});
  }
  return true;
}

bool CreateBootEntry(RunState& run, const StagingPaths& paths, int percent) {
  if (run.inPe) return true;
  StageEvent(run, "pe_deploy", "started");
  ReportProgress(run.progress, "pe_deploy", "正在部署 PE 启动环境...", percent);
  const boot::BootEntryResult entry = boot::CreatePeBootEntry(paths.peWim, paths.bootSdi, run.firmware, run.dryRun);
  run.bootDefaults = entry.previous;
  if (!entry.ok) {
    Fail(run, "部署 PE 引导失败: " + entry.error,
         {.eventStage = "pe_deploy", .errorStage = "pe_deploy", .cause = entry.error});
    // The half-made entry could not be deleted (CreatePeBootEntry logged it).
    if (!entry.entryId.empty()) run.result.error += kBootEntryMayRemain;
    return false;
  }
  StageEvent(run, "pe_deploy", "success");
  run.bootEntryId = entry.entryId;
  return true;
}

bool FindTargetVolume(RunState& run, TargetRole role) {
  const bool capture = role == TargetRole::Capture;
  const char* failureMessage = capture ? "无法获取系统盘的卷 GUID，无法安全定位要备份的分区"
                                       : "无法获取系统盘的卷 GUID，无法安全定位目标分区";
  const char* logPrefix = capture ? "待备份分区（当前系统盘 " : "目标分区（当前系统盘 ";
  const wchar_t letter = run.machine.staging.systemDriveLetter();
  run.targetVolumeGuid = WideToUtf8(run.machine.volumeGuidPathOfDrive(letter));
  if (run.targetVolumeGuid.empty()) {
    return Fail(run, failureMessage, {.errorStage = "staging", .cause = failureMessage});
  }
  log::LogInfo(std::string(logPrefix) + base::DriveLetterText(letter) + ":）卷 GUID: " + run.targetVolumeGuid);
  return true;
}

DeployTask TaskOfRun(const RunState& run) {
  DeployTask task;
  task.targetVolumeGuid = run.targetVolumeGuid;
  task.firmware = disks::FirmwareTypeName(run.firmware);
  task.stagingDir = WideToUtf8(run.plan.dataDir);
  task.peBootId = run.bootEntryId;
  task.sessionId = run.result.sessionId;
  return task;
}

DeployTask DeployTaskOfRun(const RunState& run, const StagingPaths& paths) {
  DeployTask task = TaskOfRun(run);
  task.toolsPath = WideToUtf8(paths.toolsDir);
  task.oemProductKey = run.productKey;
  task.driverBackupPath = WideToUtf8(paths.driverDir);
  return task;
}

bool WriteTask(RunState& run, const StagingPaths& paths, const DeployTask& task,
               const std::vector<config::InstallItem>& items, const std::vector<std::string>& wishlist) {
  if (!MarkTargetVolume(run, task)) return false;
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过写任务文件: " + WideToUtf8(paths.taskFile));
    KeepDryRunTask(task, items);
  } else if (!WriteTaskFile(paths.taskFile, task, items)) {
    return Fail(run, "写任务文件失败", {.errorStage = "staging", .cause = "写任务文件失败"});
  } else {
    log::LogInfo("任务文件已写入: " + WideToUtf8(paths.taskFile));
  }
  run.result.ok = true;
  run.result.taskFilePath = paths.taskFile;
  WriteWishlist(run, paths.wishlistFile, wishlist);
  if (run.removeOtherTasks) RemoveOtherTasks(run, paths.taskFile);
  return true;
}

void DeployInPe(RunState& run, const StagingPaths& paths, const char* message) {
  if (!run.inPe || run.dryRun) return;
  ReportProgress(run.progress, "pe_deploy", message, 98);
  std::string error;
  if (!LaunchDeployerInPE(paths.toolsDir, false, &error, run.machine)) {
    const std::string failure = "直接执行 pl_pe 失败: " + error;
    Fail(run, failure, {.errorStage = "pe_deploy", .cause = failure});
    RemoveOwnTask(run, paths);
  }
}

}  // namespace pl::pipeline
