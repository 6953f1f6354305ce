#include "pipeline/pipeline_common.h"

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
  };
}

bool Fail(RunState& run, const std::string& message, const FailureReports& reports) {
  run.result.ok = false;
  run.result.error = message;
  if (!reports.logged) log::LogError(message);
  if (reports.eventStage) StageEvent(run, reports.eventStage, "failed", reports.cause);
  if (reports.errorStage) reporting::ReportError(run.result.sessionId, reports.errorStage, reports.cause, "");
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
                    uint64_t bytesBesideBackup) {
  ReportProgress(run.progress, "staging", "正在准备暂存空间...", percent);
  run.plan = disks::PlanStagingArea(run.firmware, neededBytes, run.dryRun, backupLetter, bytesBesideBackup,
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

bool DownloadFiles(RunState& run, const std::vector<net::DownloadJob>& jobs, int start, int end) {
  std::string error;
  if (!net::DownloadGroup(jobs, run.progress, start, end, &error, run.machine.retryPause)) {
    return Fail(run, error, {.eventStage = "download", .errorStage = "download", .cause = error});
  }
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

bool CreateBootEntry(RunState& run, const StagingPaths& paths, int percent) {
  if (run.inPe) return true;
  StageEvent(run, "pe_deploy", "started");
  ReportProgress(run.progress, "pe_deploy", "正在部署 PE 启动环境...", percent);
  const boot::BootEntryResult entry = boot::CreatePeBootEntry(paths.peWim, paths.bootSdi, run.firmware, run.dryRun);
  run.bootDefaults = entry.previous;
  if (!entry.ok) {
    return Fail(run, "部署 PE 引导失败: " + entry.error,
                {.eventStage = "pe_deploy", .errorStage = "pe_deploy", .cause = entry.error});
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
               const std::vector<config::InstallItem>& items) {
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
  return true;
}

void DeployInPe(RunState& run, const StagingPaths& paths, const char* message) {
  if (!run.inPe || run.dryRun) return;
  ReportProgress(run.progress, "pe_deploy", message, 98);
  std::string error;
  if (!LaunchDeployerInPE(paths.toolsDir, false, &error, run.machine)) {
    const std::string failure = "直接执行 pl_pe 失败: " + error;
    Fail(run, failure, {.errorStage = "pe_deploy", .cause = failure});
  }
}

}  // namespace pl::pipeline
