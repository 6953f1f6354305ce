#pragma once
// What the reinstall, backup and restore runs share: their result, the progress callback, the machine they ask,
// the blocks other jobs reuse (progress, tools extraction, the direct start of the deployer), and the steps the
// three runs are made of. Each run (reinstall.h, backup_restore.h) is a short list of these steps with its own
// parameters.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "boot/pe_boot_entry.h"
#include "config/service_config.h"
#include "disks/firmware.h"
#include "disks/planner.h"
#include "net/download.h"
#include "pipeline/task_file.h"

namespace pl::pipeline {

// A run's progress: stage ("staging", "download", "key_backup", "driver_backup", "pe_deploy"), a message for the
// user (UTF-8) and a percentage from 0 to 100. May be empty; the messages are in the log either way.
//
// The contract for whoever supplies one: it is called on the run's thread and, during downloads, on the download
// threads, possibly at the same moment, so it must be safe to call from several threads at once; and it must
// return at once without waiting for any other thread (the window posts a message, it never sends one), because
// a download thread that waits in it holds up the whole group. The runs hold no lock of their own while calling
// it; the values of one download group arrive in order.
using ProgressCallback = std::function<void(const std::string& stage, const std::string& message, int percent)>;

struct PipelineResult {
  bool ok = false;            // the run reached its end (and, inside a PE, the deployer exited with 0)
  std::string error;          // the message for the user; empty when ok
  std::string sessionId;      // the reporting session; empty in dry-run or when none could be created
  std::wstring taskFilePath;  // "task.ini" written (or, in dry-run, the one that would have been); set with ok
  std::wstring backupPath;    // backup runs: the WIM the PE is asked to create
  std::string imageEdition;   // the edition the image check found, as EditionText shows it; empty when unchecked

  bool operator==(const PipelineResult&) const = default;
};

// What the runs ask of the machine besides the reporting, downloads and tools, bound to the live calls by default.
// Tests answer from a simulated machine what Wine cannot (a firmware type, disk numbers, a system drive of their
// own); the system drive is the planner's (`staging.systemDriveLetter`).
struct PipelineMachine {
  disks::StagingMachine staging;
  std::function<disks::FirmwareType()> firmwareType;
  std::function<std::wstring(wchar_t)> volumeGuidPathOfDrive;
  std::function<uint64_t(wchar_t)> usedBytes;  // of a drive; 0 when unknown
  std::function<std::wstring()> programPath;   // the running executable
  std::function<SYSTEMTIME()> localTime;
  net::RetryPause retryPause;                  // between download attempts; empty = Sleep
  // CopyFileExW over any earlier file, with its progress routine; false with GetLastError set when it fails.
  std::function<bool(const std::wstring& from, const std::wstring& to, LPPROGRESS_ROUTINE routine, void* context)>
      copyFile;
};
const PipelineMachine& LivePipelineMachine();

// LogInfo of the message, then the callback when there is one.
void ReportProgress(const ProgressCallback& progress, const std::string& stage, const std::string& message,
                    int percent);

// Unpacks the tools package and counts the drivers in it; a package without any .inf is only warned about.
// False when the archive cannot be unpacked (logged).
bool ExtractToolsPackage(const std::wstring& zipPath, const std::wstring& destination, bool dryRun);

// Files named "*.inf" (any case, more than the extension) below `directory`; 0 when it cannot be listed.
int32_t CountInfFiles(const std::wstring& directory);

// Inside a PE, runs the deployer at once instead of a restart: "pl_pe.exe" from the tools tree, else the one beside
// the running program, in its own folder, without a time limit. False with `error` filled when none is found, it
// cannot be started or it exits with a code other than 0.
bool LaunchDeployerInPE(const std::wstring& toolsDirectory, bool dryRun, std::string* error,
                        const PipelineMachine& machine = LivePipelineMachine());

// Total size of the drive's volume in whole GiB; 0 when it cannot be read.
int32_t DiskSizeGiB(wchar_t letter);

// The OS image file in the data directory: "os_image.esd" when the URL holds ".esd" anywhere (exact case, a
// query included), else "os_image.wim".
std::wstring OsImagePath(const std::wstring& dataDirectory, const std::string& url);

// ---- The steps of a run ----

// One run in progress: its inputs, what the steps found so far, and the result.
struct RunState {
  RunState(bool dryRun, const ProgressCallback& progress, const PipelineMachine& machine)
      : dryRun(dryRun), progress(progress), machine(machine) {}

  const bool dryRun;
  const ProgressCallback& progress;
  const PipelineMachine& machine;
  PipelineResult result;
  bool finishOnFailure = true;  // a failure finishes the session as "failed"; the USB run clears it after the wipe
  disks::FirmwareType firmware = disks::FirmwareType::Unknown;
  bool inPe = false;
  disks::StagingPlan plan;
  std::string productKey;
  std::string bootEntryId;
  boot::BootDefaults bootDefaults;  // the boot manager's default and time-out before the entry was made
  std::string targetVolumeGuid;
};

// The files of the staging area, from the plan.
struct StagingPaths {
  std::wstring peWim;         // boot directory
  std::wstring bootSdi;
  std::wstring toolsArchive;  // data directory from here on
  std::wstring toolsDir;
  std::wstring driverDir;
  std::wstring taskFile;
};
StagingPaths PathsOf(const disks::StagingPlan& plan);

// What a failed step sends besides its message: a "failed" stage event and an error report, both carrying `cause`.
struct FailureReports {
  const char* eventStage = nullptr;  // none when null
  const char* errorStage = nullptr;  // none when null
  std::string cause;
  bool logged = false;               // the failing call logged the error itself
};
// Sets the result's error, logs it at ERROR, sends the reports and (see finishOnFailure) finishes the session as
// "failed". Returns false, for `return Fail(...)` in a step.
bool Fail(RunState& run, const std::string& message, const FailureReports& reports);

// A stage event without duration.
void StageEvent(const RunState& run, const char* stage, const char* status, const std::string& message = {});

// Not in dry-run: a reporting session for `chosenOsKey`; `failureWarning` is logged when none can be created.
void OpenSession(RunState& run, const std::string& chosenOsKey, const std::string& clientVersion,
                 const char* failureWarning);

// Progress "正在检测固件类型..." at `percent`, the firmware type, and whether this runs inside a PE.
void DetectFirmwareAndPe(RunState& run, int percent);

// Progress "正在准备暂存空间..." at `percent`, then the planner with these sizes (see PlanStagingArea).
bool PrepareStaging(RunState& run, int percent, uint64_t neededBytes, wchar_t backupLetter = 0,
                    uint64_t bytesBesideBackup = 0);

// Download jobs for the catalog's resources; the PE and its boot file only outside a PE.
net::DownloadJob ResourceJob(const char* label, const config::ResourceRef& resource, const std::wstring& path);
net::DownloadJob ToolsJob(const config::ExResources& resources, const StagingPaths& paths);
std::vector<net::DownloadJob> PeBootJobs(const RunState& run, const config::ExResources& resources,
                                         const StagingPaths& paths);

// The group download between `start` and `end` per cent; a failure is the run's.
bool DownloadFiles(RunState& run, const std::vector<net::DownloadJob>& jobs, int start, int end);

// Progress `message` at `percent`, then the tools package unpacked into the tools directory.
bool ExtractTools(RunState& run, const StagingPaths& paths, const char* message, int percent);

// The product key and the exported drivers for the new system, then the device facts for the report.
struct KeyAndDriverSteps {
  int keyPercent = 0;
  int driverPercent = 0;
  bool logKeyFound = false;         // say whether a key was found
  const char* driverWarning = "";   // when the export fails
};
void BackUpKeyAndDrivers(RunState& run, const StagingPaths& paths, const KeyAndDriverSteps& steps);

// Outside a PE, the one-shot boot entry of the downloaded PE; inside one nothing.
bool CreateBootEntry(RunState& run, const StagingPaths& paths, int percent);

// The volume GUID of the system drive: the volume the deployer overwrites, or the one a backup captures.
enum class TargetRole { Deploy, Capture };
bool FindTargetVolume(RunState& run, TargetRole role);

// The fields every run fills alike: target volume, firmware, data directory, boot entry and session.
DeployTask TaskOfRun(const RunState& run);
// A task that applies an image: the above, and the tools, the product key and the drivers for the new system.
DeployTask DeployTaskOfRun(const RunState& run, const StagingPaths& paths);

// "task.ini" (skipped in dry-run); on success the run is ok.
bool WriteTask(RunState& run, const StagingPaths& paths, const DeployTask& task,
               const std::vector<config::InstallItem>& items);

// Inside a PE and not in dry-run: progress `message` at 98 and the deployer started at once.
void DeployInPe(RunState& run, const StagingPaths& paths, const char* message);

}  // namespace pl::pipeline
