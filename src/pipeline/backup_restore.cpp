#include "pipeline/backup_restore.h"

#include <windows.h>

#include <cwchar>

#include "base/constants.h"
#include "base/text.h"
#include "log/log.h"
#include "pipeline/image_check.h"

namespace pl::pipeline {
namespace {

using base::WideToUtf8;

std::wstring BackupFileName(const SYSTEMTIME& time) {
  wchar_t name[64];
  std::swprintf(name, 64, L"pellora_backup_%04d%02d%02d_%02d%02d%02d.wim", time.wYear, time.wMonth, time.wDay,
                time.wHour, time.wMinute, time.wSecond);
  return name;
}

// Outside a PE only the PE and its boot file: the capture needs no tools. Inside one only the tools, which hold the
// deployer started at the end.
bool FetchBackupFiles(RunState& run, const config::ExResources& resources, const StagingPaths& paths,
                      const std::wstring& backupDir) {
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过实际下载，假定 PE 环境已就绪: " + WideToUtf8(paths.peWim));
    return true;
  }
  CreateDirectoryW(backupDir.c_str(), nullptr);  // an existing one is fine; the capture itself reports the rest
  StageEvent(run, "download", "started");
  if (run.inPe) {
    ReportProgress(run.progress, "download", "正在下载 pl_pe 执行组件...", 5);
    if (!DownloadFiles(run, {ToolsJob(resources, paths)}, 5, 55)) return false;
    if (!ExtractTools(run, paths, "正在解压...", 55)) return false;
  } else {
    ReportProgress(run.progress, "download", "正在并行下载 PE 环境与 boot.sdi...", 5);
    if (!DownloadFiles(run, PeBootJobs(run, resources, paths), 5, 60)) return false;
  }
  StageEvent(run, "download", "success");
  return true;
}

struct BackupFile {
  bool found = false;  // its attributes could be read
  uint64_t size = 0;
  wchar_t letter = 0;  // 0 for a path without a drive letter
};

BackupFile BackupFileOf(const std::wstring& path) {
  BackupFile file;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    file.found = true;
    file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  if (path.size() >= 2 && path[1] == L':') file.letter = path[0];
  return file;
}

// The planner put the data area on the backup file's volume, so the file is applied where it lies. A file that
// cannot be found is never "reused": the copy then fails and says so, instead of a task naming a missing image.
bool ReuseInPlace(const BackupFile& backup, const std::wstring& dataDir) {
  return backup.found && backup.letter != 0 && !dataDir.empty() &&
         base::AsciiLower(std::wstring(1, backup.letter)) == base::AsciiLower(dataDir.substr(0, 1));
}

struct CopyProgress {
  const ProgressCallback& progress;
  int lastPercent = -1;
};

// Stage "download" from 2 to 15 per cent, not logged. Only a changed percentage is passed on: the routine runs for
// every chunk, and a large file would flood the window's message queue.
DWORD CALLBACK OnCopyProgress(LARGE_INTEGER total, LARGE_INTEGER copied, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD,
                              HANDLE, HANDLE, LPVOID data) {
  CopyProgress& state = *static_cast<CopyProgress*>(data);
  const int percent =
      total.QuadPart > 0 ? static_cast<int>(static_cast<uint64_t>(copied.QuadPart) * 100 / total.QuadPart) : 0;
  if (percent != state.lastPercent && state.progress) {
    state.lastPercent = percent;
    state.progress("download", "正在复制备份文件: " + std::to_string(percent) + "%", 2 + 13 * percent / 100);
  }
  return PROGRESS_CONTINUE;
}

bool CopyBackupFile(RunState& run, const std::wstring& from, const std::wstring& to) {
  ReportProgress(run.progress, "download", "正在复制备份文件...", 2);
  CopyProgress state{run.progress};
  if (!run.machine.copyFile(from, to, OnCopyProgress, &state)) {
    const std::string message = "复制备份文件失败, GetLastError=" + std::to_string(GetLastError());
    return Fail(run, message, {.eventStage = "download", .errorStage = "download", .cause = message});
  }
  return true;
}

// The backup file in place or copied, then the tools and (outside a PE) the PE with its boot file.
bool FetchRestoreFiles(RunState& run, const config::ExResources& resources, const StagingPaths& paths,
                       const std::wstring& backupFile, const std::wstring& imagePath, bool reuse) {
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过实际复制/下载，假定文件已就绪");
    return true;
  }
  StageEvent(run, "download", "started");
  if (reuse) {
    log::LogInfo("数据区跟备份文件同一分区，直接复用原路径，跳过复制: " + WideToUtf8(imagePath));
    ReportProgress(run.progress, "download", "备份文件已在可用分区上，跳过复制...", 15);
  } else if (!CopyBackupFile(run, backupFile, imagePath)) {
    return false;
  }
  ReportProgress(run.progress, "download",
                 run.inPe ? "正在并行下载工具包..." : "正在并行下载 PE 环境/boot.sdi/工具包...", 15);
  std::vector<net::DownloadJob> jobs = {ToolsJob(resources, paths)};
  for (net::DownloadJob& job : PeBootJobs(run, resources, paths)) jobs.push_back(std::move(job));
  if (!DownloadFiles(run, jobs, 15, 40)) return false;
  if (!ExtractTools(run, paths, "正在解压工具包...", 40)) return false;
  StageEvent(run, "download", "success");
  return true;
}

}  // namespace

PipelineResult RunBackup(const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                         const ProgressCallback& progress, const PipelineMachine& machine,
                         const ByteCallback& bytes) {
  RunState run(dryRun, progress, machine);
  run.bytes = bytes;
  OpenSession(run, "backup", clientVersion, "创建上报 session 失败，本次不上报数据（不影响备份本身）");
  DetectFirmwareAndPe(run, 2);
  const uint64_t usedBytes = machine.usedBytes(machine.staging.systemDriveLetter());
  if (!PrepareStaging(run, 3, usedBytes + 2 * base::kGiB)) return run.result;
  const StagingPaths paths = PathsOf(run.plan);
  const std::wstring backupDir = run.plan.dataDir + L"\\backup";
  const std::wstring backupPath = backupDir + L"\\" + BackupFileName(machine.localTime());
  if (!FetchBackupFiles(run, resources, paths, backupDir)) return run.result;
  // No product key, drivers or device facts: the system volume stays as it is.
  if (!RecheckPeBootFiles(run, resources, paths) || !CreateBootEntry(run, paths, 70)) return run.result;
  ReportProgress(progress, "staging", "正在写入备份任务文件...", 97);
  if (!FindTargetVolume(run, TargetRole::Capture)) return run.result;

  DeployTask task = TaskOfRun(run);
  task.mode = "capture";
  task.captureDestPath = WideToUtf8(backupPath);
  if (!WriteTask(run, paths, task, {})) return run.result;
  run.result.backupPath = backupPath;
  DeployInPe(run, paths, "正在执行备份（当前环境已经是 PE，无需重启）...");
  return run.result;
}

PipelineResult RunRestore(const std::wstring& backupFile, const std::vector<config::InstallItem>& items,
                          const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                          const ProgressCallback& progress, const PipelineMachine& machine,
                          const ByteCallback& bytes) {
  RunState run(dryRun, progress, machine);
  run.bytes = bytes;
  OpenSession(run, "restore", clientVersion, "创建上报 session 失败，本次不上报数据（不影响还原本身）");
  DetectFirmwareAndPe(run, 1);
  // Before the planner makes room for a copy of it; in dry-run too, as reading it changes nothing.
  if (!CheckOsImage(run, backupFile, 1, {"备份文件", "staging", true})) return run.result;
  const BackupFile backup = BackupFileOf(backupFile);
  if (!PrepareStaging(run, 2, backup.size + 2 * base::kGiB, backup.letter, 2 * base::kGiB, backupFile)) {
    return run.result;
  }
  // The planner keeps it when it empties an earlier run's data area; whatever else happened, no task may name a
  // file that is gone.
  if (!BackupFileOf(backupFile).found) {
    const std::string message = "备份文件检查失败（" + WideToUtf8(backupFile) + "）: 准备暂存区之后找不到这个文件了";
    Fail(run, message, {.eventStage = "staging", .errorStage = "staging", .cause = message});
    return run.result;
  }
  const StagingPaths paths = PathsOf(run.plan);
  const bool reuse = ReuseInPlace(backup, run.plan.dataDir);
  const std::wstring imagePath = reuse ? backupFile : run.plan.dataDir + L"\\restore_image.wim";
  if (!FetchRestoreFiles(run, resources, paths, backupFile, imagePath, reuse)) return run.result;
  BackUpKeyAndDrivers(run, paths,
                      {.keyPercent = 42,
                       .driverPercent = 44,
                       .logKeyFound = false,
                       .driverWarning = "导出当前驱动失败，跳过（不影响还原本身，新系统还有工具包里的通用驱动工具兜底）"});
  if (!RecheckPeBootFiles(run, resources, paths) || !CreateBootEntry(run, paths, 60)) return run.result;
  ReportProgress(progress, "staging", "正在写入部署任务文件...", 97);
  if (!FindTargetVolume(run, TargetRole::Deploy)) return run.result;

  DeployTask task = DeployTaskOfRun(run, paths);
  task.imagePath = WideToUtf8(imagePath);
  task.imageIndex = 1;
  task.osDisplayName = "从备份还原";
  task.isRestore = true;
  if (!WriteTask(run, paths, task, items)) return run.result;
  DeployInPe(run, paths, "正在执行部署（当前环境已经是 PE，无需重启）...");
  return run.result;
}

}  // namespace pl::pipeline
