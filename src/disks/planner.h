#pragma once
// Where a run stages its files: the boot area ("$PelloraData$Boot$", on the boot manager's disk) and the data
// area ("$PelloraData$", off the system volume and not BitLocker-locked after the restart). Existing volumes
// are preferred; otherwise a leftover "PLSTAGE" partition is mounted, one is created in unallocated space,
// or, last, the system volume is shrunk to make one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/file_tree.h"
#include "base/secure_directory.h"
#include "disks/inventory.h"

namespace pl::disks {

struct StagingPlan {
  bool ok = false;                     // both directories exist (or would, in dry-run)
  std::wstring bootDir;                // "X:\$PelloraData$Boot$"
  std::wstring dataDir;                // "X:\$PelloraData$"
  std::string error;                   // the message for the user when not ok
  bool shrankSystemVolume = false;     // the data partition was made by shrinking the system volume
  bool createdStagePartition = false;  // the data area is on a "PLSTAGE" partition this run mounted or created

  bool operator==(const StagingPlan&) const = default;
};

struct StagingFeasibility {
  bool otherVolumeAvailable = false;   // another volume, or a leftover "PLSTAGE" with 3 GiB free on the system disk
  bool unallocatedAvailable = false;   // 3 GiB or more unallocated on the system disk
  bool systemShrinkable = false;       // more than 23 GiB free on the system volume
  wchar_t bitLockerBlockedLetter = 0;  // when no route is open: the first volume left out only for BitLocker

  bool operator==(const StagingFeasibility&) const = default;
};

// Everything the planner asks of the machine and does to it, bound to the live operations by default;
// tests put a simulated machine behind it.
struct StagingMachine {
  std::function<wchar_t()> systemDriveLetter;
  std::function<int(wchar_t)> diskNumberOfDrive;
  std::function<int(FirmwareType)> findBootDisk;
  std::function<wchar_t(wchar_t exclude, int diskNumber, wchar_t* bitLockerLetter)> pickStagingDataVolume;
  std::function<bool(wchar_t letter, wchar_t exclude)> isStagingCandidate;
  std::function<uint64_t(wchar_t)> freeBytesForCaller;
  std::function<std::string(wchar_t)> volumeLabel;
  // What an earlier run left in a data area, and deleting it; the files `keep` names (LeftoverKeepRule) stay.
  std::function<uint64_t(const std::wstring& directory, const base::KeepRule& keep)> leftoverSize;
  std::function<bool(const std::wstring& directory, const base::KeepRule& keep)> clearLeftover;
  std::function<std::vector<UnmountedVolume>(int diskNumber, const std::string& label)> listUnmountedVolumes;
  std::function<wchar_t()> highestFreeDriveLetter;
  std::function<bool(const UnmountedVolume&, wchar_t)> assignDriveLetter;
  std::function<bool(wchar_t, uint64_t*)> largestUnallocatedGap;
  std::function<bool(const std::string& script, bool dryRun)> runDiskpartScript;
  // A new staging directory, protected from its first moment (base::CreateProtectedDirectory): 0, or the Win32
  // error (ERROR_ALREADY_EXISTS when something is there).
  std::function<uint32_t(const std::wstring&)> createDirectory;
  // An existing one made ours as a whole tree (base::ProtectExistingDirectory): a link in it is refused.
  std::function<base::FolderProtection(const std::wstring&)> protectDirectory;
};
const StagingMachine& LiveStagingMachine();

// "backup\pellora_backup_<time>.wim" below a data area (letters in any case): a backup run's result, which the
// user may still need, never an earlier run's leftover.
bool IsUserBackup(const std::wstring& relativePath);

// What emptying the data area `dataDir` leaves: the user's backups, and `keepFile` (a full path; none when empty)
// when it lies below it, its letter and ASCII letters in any case, a "\\?\" prefix and "/" allowed.
base::KeepRule LeftoverKeepRule(const std::wstring& dataDir, const std::wstring& keepFile);

// `neededBytes`: what the data area must hold. `backupLetter`: drive of an existing backup file the run uses
// (0 for none), and `bytesBesideBackup` what the data area needs beside it. `keepFile`: the run's own source file
// (full path, or empty), never deleted when an earlier run's data area is emptied. In dry-run nothing is created,
// shrunk, mounted or cleaned; the decisions are logged and the plan is complete.
StagingPlan PlanStagingArea(FirmwareType firmware, uint64_t neededBytes, bool dryRun, wchar_t backupLetter,
                            uint64_t bytesBesideBackup, const std::wstring& keepFile = {},
                            const StagingMachine& machine = LiveStagingMachine());

// Which routes to a data area are open, without changing anything.
StagingFeasibility CheckStagingFeasibility(const StagingMachine& machine = LiveStagingMachine());

// One directory, created protected (only administrators may change it, see base/secure_directory.h): the next boot
// runs what lies in it. An existing one is protected with everything in it, or refused when it or anything in it is
// a link. `error` gets the message on failure.
bool CreateStagingDirectory(const std::wstring& path, bool dryRun, std::string* error,
                            const StagingMachine& machine = LiveStagingMachine());

// A primary NTFS "PLSTAGE" partition of `bytes` (whole MiB) in the disk's unallocated space, at `letter`.
bool CreateStagePartitionInUnallocated(int diskNumber, wchar_t letter, uint64_t bytes, bool dryRun,
                                       const StagingMachine& machine = LiveStagingMachine());
// Shrinks the system volume by `bytes` and makes a "PLSTAGE" partition of the freed space at `letter`.
bool ShrinkSystemAndCreateStagePartition(wchar_t systemLetter, wchar_t letter, uint64_t bytes, bool dryRun,
                                         const StagingMachine& machine = LiveStagingMachine());

// The diskpart scripts of the two above, lines ending "\r\n".
std::string UnallocatedPartitionScript(int diskNumber, wchar_t letter, uint64_t bytes);
std::string ShrinkPartitionScript(wchar_t systemLetter, wchar_t letter, uint64_t bytes);

}  // namespace pl::disks
