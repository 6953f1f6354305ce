#pragma once
// Questions about the machine's drives: firmware, the Windows installation to replace, the disks under the
// drive letters, the boot manager's disk, unallocated space, fixed and unmounted volumes, and the volume that
// best takes staged data. Every call asks the system afresh; only the manually chosen target is kept.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disks/layout_rules.h"

namespace pl::disks {

struct VolumeInfo {
  wchar_t letter = 0;         // 'A' to 'Z'
  std::string label;          // empty when the volume information cannot be read
  std::string fileSystem;     // "NTFS" ...; empty when unknown
  uint64_t totalBytes = 0;    // 0 when unknown
  uint64_t freeBytes = 0;     // total free bytes, not the caller's quota; 0 when unknown
  int diskNumber = -1;        // -1 when unknown

  bool operator==(const VolumeInfo&) const = default;
};

// A volume with no drive letter and no folder mount point.
struct UnmountedVolume {
  std::wstring volumePath;    // "\\?\Volume{...}\" as the enumeration gives it, trailing backslash included
  std::string label;
  uint64_t freeBytes = 0;
  uint64_t totalBytes = 0;

  bool operator==(const UnmountedVolume&) const = default;
};

// 2 for UEFI, 1 for BIOS; 0 when the system cannot tell (or the call does not exist, as under Wine).
FirmwareType GetFirmwareType();

// The drive whose Windows is to be replaced, 0 when none can be found. Outside a PE the drive of the running
// Windows directory (RunningSystemDrive; a differing "SystemDrive" is warned about once and ignored); in a PE the
// first fixed drive other than the PE's own that holds a Windows kernel, with the refusal logged when there is none.
// A manual choice overrides both.
wchar_t GetSystemDriveLetter();
// Written by the window thread, read by run threads; 0 clears it.
void SetSystemDriveOverride(wchar_t letter);

// The drive of the running Windows directory; the target system drive when that cannot be read.
wchar_t RunningWindowsDriveLetter();

// First present fixed drive, 'A' to 'Z', not among `skip` (any case), holding \Windows\System32\ntoskrnl.exe.
wchar_t FindWindowsVolume(const std::wstring& skip);

// Physical disk number of the drive, -1 when unknown (also for a volume spanning several disks).
int DiskNumberOfDrive(wchar_t letter);

// The first of the physical disks 0 to 31 whose layout carries the boot manager for `firmware`; -1 for none.
int FindBootDisk(FirmwareType firmware);

// Size of the largest unallocated stretch on the drive's physical disk; false when there is none or the
// disk cannot be read.
bool LargestUnallocatedGap(wchar_t letter, uint64_t* bytes);

// Every fixed drive except the running Windows drive, in letter order.
std::vector<VolumeInfo> ListFixedVolumes();

// Volumes of `diskNumber` without any mount path; with a non-empty `label` only those labelled exactly so.
std::vector<UnmountedVolume> ListUnmountedVolumes(int diskNumber, const std::string& label);

// Mounts the volume at the letter's root path.
bool AssignDriveLetter(const UnmountedVolume& volume, wchar_t letter);

// The highest letter from 'Z' down to 'D' not in use; 0 when all are taken.
wchar_t HighestFreeDriveLetter();

// "\\?\Volume{...}\" of the letter's root path, or empty.
std::wstring VolumeGuidPathOfDrive(wchar_t letter);

// Free bytes the caller may use on the drive; 0 on failure.
uint64_t FreeBytesForCaller(wchar_t letter);
// Total minus total free bytes; 0 on failure or when free exceeds total.
uint64_t UsedBytes(wchar_t letter);
// Label of the drive's root; empty when it cannot be read.
std::string VolumeLabelOfDrive(wchar_t letter);

// The machine questions behind the staging candidate test and the data-volume choice, bound to the live
// system by default; tests answer them from plain data (Wine reports no disk numbers).
struct VolumeProbe {
  std::function<uint32_t()> logicalDrives;                 // GetLogicalDrives bits, bit 0 is 'A'
  std::function<bool(wchar_t)> isFixedDrive;
  std::function<int(wchar_t)> diskNumberOfDrive;
  std::function<bool(wchar_t)> isBitLockerProtected;
  std::function<uint64_t(wchar_t)> freeBytesForCaller;
  std::function<wchar_t()> runningWindowsDriveLetter;
};
const VolumeProbe& LiveVolumeProbe();

// Not the excluded letter nor the running Windows drive, fixed, and not BitLocker-protected.
bool IsStagingCandidate(wchar_t letter, wchar_t exclude, const VolumeProbe& probe = LiveVolumeProbe());

// The fixed drive with the most free bytes for the caller (the earlier letter among equals, never one with
// none), leaving out `exclude`, the running Windows drive, drives on another disk than `diskNumber` (when it
// is 0 or more) and BitLocker-protected drives; each exclusion is logged. `bitLockerLetter`, when given and
// still 0, receives the first drive left out for BitLocker. 0 when none qualifies.
wchar_t PickStagingDataVolume(wchar_t exclude, int diskNumber, wchar_t* bitLockerLetter = nullptr,
                              const VolumeProbe& probe = LiveVolumeProbe());

// Which drive counts as the PE's own, so the search for the Windows to replace leaves it out: the drive of
// `windowsDirectory`, or when that could not be read the drive in `systemDriveVariable`, or else 'X'.
// Never the target system drive, which would lead back into the same search.
wchar_t PeOwnDriveLetter(const std::wstring& windowsDirectory, const std::wstring& systemDriveVariable);

struct RunningSystemDriveChoice {
  wchar_t letter = 0;   // upper case; 0 when `windowsDirectory` names no drive
  std::string warning;  // to log when the variable names another drive

  bool operator==(const RunningSystemDriveChoice&) const = default;
};
// Outside a PE, the target system drive: the drive of `windowsDirectory` (GetWindowsDirectoryW, empty when it could
// not be read). `systemDriveVariable` is only compared with it: the user's environment sets it, and a "D:" there would
// otherwise make the task name D: as the volume to overwrite.
RunningSystemDriveChoice RunningSystemDrive(const std::wstring& windowsDirectory,
                                            const std::wstring& systemDriveVariable);

}  // namespace pl::disks
