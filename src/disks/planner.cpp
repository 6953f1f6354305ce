#include "disks/planner.h"

#include <windows.h>

#include <algorithm>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/secure_directory.h"
#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::disks {
namespace {

using base::kGiB;
using base::kMiB;

constexpr uint64_t kBootAreaFreeBytes = 2 * kGiB;     // pe.wim and boot.sdi
constexpr uint64_t kStagePartitionBytes = 3 * kGiB;   // the least worth mounting, creating or shrinking for
constexpr uint64_t kSystemReserveBytes = 20 * kGiB;   // what a shrink leaves the system volume
constexpr uint64_t kShrinkableFreeBytes = 23 * kGiB;  // the reserve plus one stage partition
constexpr char kStageLabel[] = "PLSTAGE";

// Sizes in messages are whole GiB, truncated.
std::string Gib(uint64_t bytes) { return std::to_string(bytes / kGiB); }
std::wstring DataDirOn(wchar_t letter) { return base::DriveRoot(letter) + L"$PelloraData$"; }
std::wstring BootDirOn(wchar_t letter) { return base::DriveRoot(letter) + L"$PelloraData$Boot$"; }

// One planning run: what it was asked, what it learned of the machine, and the plan it builds.
struct Planning {
  const StagingMachine& machine;
  bool dryRun;
  uint64_t neededBytes;
  std::wstring keepFile;
  wchar_t systemDrive = 0;
  int systemDisk = -1;
  StagingPlan plan;
};

// Puts the data area on `letter` and creates its directory; false (with the error set) when that fails.
bool SettleDataArea(Planning& p, wchar_t letter) {
  p.plan.dataDir = DataDirOn(letter);
  return CreateStagingDirectory(p.plan.dataDir, p.dryRun, &p.plan.error, p.machine);
}

bool ChooseBootArea(Planning& p, FirmwareType firmware) {
  int bootDisk = p.machine.findBootDisk(firmware);
  if (bootDisk == -1) {
    log::LogWarn("未能定位引导管理器所在的物理磁盘（ESP/活动分区查找失败），按系统盘所在磁盘处理");
    bootDisk = p.systemDisk;
  }
  if (bootDisk == p.systemDisk) {
    p.plan.bootDir = BootDirOn(p.systemDrive);
    log::LogInfo("引导区直接使用系统盘: " + base::WideToUtf8(p.plan.bootDir));
    return true;
  }
  log::LogInfo("引导管理器所在物理磁盘(" + std::to_string(bootDisk) + ")跟系统盘所在磁盘(" +
               std::to_string(p.systemDisk) + ")不是同一块，需要单独找同盘位置存放引导文件");
  const wchar_t letter = p.machine.pickStagingDataVolume(p.systemDrive, bootDisk, nullptr);
  if (letter != 0 && p.machine.freeBytesForCaller(letter) >= kBootAreaFreeBytes) {
    p.plan.bootDir = BootDirOn(letter);
    log::LogInfo("引导区使用同盘分区: " + base::WideToUtf8(p.plan.bootDir));
    return true;
  }
  // Shrinking only makes room on the system volume's own disk, so nothing is created for the boot area.
  p.plan.error = "引导管理器所在的物理磁盘(" + std::to_string(bootDisk) +
                 ")上没有找到可用分区存放引导文件（pe.wim/boot.sdi 不能跟系统盘不同盘，也没法靠压缩系统盘解决——"
                 "压缩系统盘只能在系统盘自己所在的磁盘上腾空间）";
  log::LogError(p.plan.error);
  return false;
}

// True when the plan is decided (placed beside the backup, or failed there).
bool PlaceBesideBackup(Planning& p, wchar_t backupLetter, uint64_t bytesBesideBackup) {
  const std::string drive = base::DriveLetterText(backupLetter);
  if (!p.machine.isStagingCandidate(backupLetter, p.systemDrive)) {
    log::LogInfo("备份文件所在分区 " + drive +
                 ": 不适合直接做数据区（是系统盘 / 不是固定磁盘 / 启用了 BitLocker 之一），改走正常逻辑另选数据区并复制备份文件");
    return false;
  }
  if (p.machine.freeBytesForCaller(backupLetter) < bytesBesideBackup) {
    log::LogInfo("备份文件所在分区 " + drive + ": 剩余空间不够放 PE 环境/驱动包（需要约 " + Gib(bytesBesideBackup) +
                 "GB），改走正常逻辑另选数据区并复制备份文件");
    return false;
  }
  if (SettleDataArea(p, backupLetter)) {
    log::LogInfo("数据区复用备份文件所在分区: " + base::WideToUtf8(p.plan.dataDir) + "（不用再复制一份）");
    p.plan.ok = true;
  }
  return true;
}

// The fixed volume with the most free space; a "PLSTAGE" one of ours may be emptied of an earlier run's data.
bool PlaceOnExistingVolume(Planning& p) {
  const wchar_t letter = p.machine.pickStagingDataVolume(p.systemDrive, -1, nullptr);
  if (letter == 0) {
    log::LogInfo(
        "未找到其他可用的固定分区做数据区（可能只有一个分区，或者其它候选都被 BitLocker "
        "保护排除了），尝试未分配空间/压缩系统盘创建数据分区");
    return false;
  }
  const std::string drive = base::DriveLetterText(letter);
  const std::wstring candidate = DataDirOn(letter);
  uint64_t free = p.machine.freeBytesForCaller(letter);
  bool use = free >= p.neededBytes;
  if (!use && p.machine.volumeLabel(letter) == kStageLabel) {
    const base::KeepRule keep = LeftoverKeepRule(candidate, p.keepFile);
    const uint64_t leftover = p.machine.leftoverSize(candidate, keep);
    if (leftover != 0 && leftover + free >= p.neededBytes) {
      log::LogInfo("数据区候选分区 " + drive + ": 剩余空间不够，但是本工具自己创建的分区(卷标PLSTAGE)，里面有约" +
                   Gib(leftover) + "GB 上次装机残留的数据，清空后复用");
      if (p.dryRun) {
        log::LogInfo("[dry-run] 跳过实际清空目录: " + base::WideToUtf8(candidate));
        use = true;
      } else if (p.machine.clearLeftover(candidate, keep)) {
        free = p.machine.freeBytesForCaller(letter);
        use = free >= p.neededBytes;
      } else {
        log::LogWarn("清空 " + base::WideToUtf8(candidate) + " 失败，仍按清空前的剩余空间判断");
      }
    }
  }
  if (!use) {
    log::LogWarn("数据区候选分区 " + drive + ": 剩余空间不够（需要约 " + Gib(p.neededBytes) + "GB，实际约 " + Gib(free) +
                 "GB），改尝试未分配空间/压缩系统盘");
    return false;
  }
  if (SettleDataArea(p, letter)) {
    log::LogInfo("数据区使用现有分区: " + base::WideToUtf8(p.plan.dataDir));
    p.plan.ok = true;
  }
  return true;
}

// A "PLSTAGE" partition an earlier run created and that lost its letter. Any with 3 GiB free will do.
bool PlaceOnLeftoverPartition(Planning& p) {
  for (const UnmountedVolume& volume : p.machine.listUnmountedVolumes(p.systemDisk, kStageLabel)) {
    if (volume.freeBytes < kStagePartitionBytes) continue;
    const wchar_t letter = p.machine.highestFreeDriveLetter();
    if (letter == 0) return false;
    const std::string drive = base::DriveLetterText(letter);
    bool mounted = true;
    if (p.dryRun) {
      log::LogInfo("[dry-run] 跳过实际分配盘符，假定给孤儿分区分配 " + drive + ": 成功");
    } else {
      mounted = p.machine.assignDriveLetter(volume, letter);
    }
    if (!mounted) {
      log::LogWarn("给孤儿分区分配盘符 " + drive + ": 失败，尝试下一个候选");
      continue;
    }
    if (SettleDataArea(p, letter)) {
      log::LogInfo("复用了之前残留的孤儿分区(卷标PLSTAGE)作为数据区: " + base::WideToUtf8(p.plan.dataDir) + "，剩余约" +
                   Gib(volume.freeBytes) + "GB");
      p.plan.ok = true;
      p.plan.createdStagePartition = true;
    }
    return true;
  }
  return false;
}

bool PlaceInUnallocatedSpace(Planning& p) {
  uint64_t gap = 0;
  if (!p.machine.largestUnallocatedGap(p.systemDrive, &gap) || gap < kStagePartitionBytes) return false;
  const uint64_t size = std::min(gap, p.neededBytes);
  const wchar_t letter = p.machine.highestFreeDriveLetter();
  if (letter == 0) {
    log::LogWarn("没有空闲盘符可用，无法在未分配空间上新建暂存分区，改尝试压缩系统盘");
    return false;
  }
  log::LogInfo("检测到系统盘所在磁盘后面有约 " + Gib(gap) + "GB 未分配空间，尝试在上面新建 " + Gib(size) +
               "GB 数据暂存分区（挂载到 " + base::DriveLetterText(letter) + " 盘）");
  if (!CreateStagePartitionInUnallocated(p.systemDisk, letter, size, p.dryRun, p.machine)) {
    log::LogWarn("在未分配空间上新建分区失败，改尝试压缩系统盘");
    return false;
  }
  if (SettleDataArea(p, letter)) {
    log::LogInfo("数据区使用未分配空间新建的分区: " + base::WideToUtf8(p.plan.dataDir));
    p.plan.ok = true;
    p.plan.createdStagePartition = true;
  }
  return true;
}

// The last route; its errors go back unlogged, the caller logs and shows them.
void PlaceByShrinkingSystemVolume(Planning& p) {
  const uint64_t free = p.machine.freeBytesForCaller(p.systemDrive);
  if (free <= kSystemReserveBytes) {
    p.plan.error =
        "系统盘剩余空间不足（需要保留至少 20GB），没有空间可以压缩出来做数据区，且磁盘上没有找到可用的未分配空间，"
        "请清理系统盘空间或用磁盘管理工具腾出空间后重试";
    return;
  }
  const uint64_t shrinkable = free - kSystemReserveBytes;
  const uint64_t size = std::min(shrinkable, p.neededBytes);
  if (size < kStagePartitionBytes) {
    p.plan.error = "系统盘可压缩空间太小（不到 3GB），无法创建有效的数据区，请清理磁盘空间或扩容后重试";
    return;
  }
  if (shrinkable < p.neededBytes) {
    log::LogWarn("系统盘可压缩空间(约" + Gib(shrinkable) + "GB)小于这次预计需要的空间(约" + Gib(p.neededBytes) +
                 "GB)，先压缩出能压缩到的最大空间，如果最终还是不够用，后续下载/打包步骤会报错");
  }
  const wchar_t letter = p.machine.highestFreeDriveLetter();
  if (letter == 0) {
    p.plan.error = "没有空闲盘符可用，无法创建数据暂存分区";
    return;
  }
  log::LogInfo("尝试压缩系统盘 " + Gib(size) + "GB 创建数据暂存分区（挂载到 " + base::DriveLetterText(letter) +
               " 盘）");
  if (!ShrinkSystemAndCreateStagePartition(p.systemDrive, letter, size, p.dryRun, p.machine)) {
    p.plan.error = "压缩/创建数据暂存分区失败";
    return;
  }
  if (SettleDataArea(p, letter)) {
    p.plan.ok = true;
    p.plan.shrankSystemVolume = true;
  }
}

bool LeftoverPartitionAvailable(const StagingMachine& machine, int systemDisk) {
  if (systemDisk < 0) return false;
  const std::vector<UnmountedVolume> leftovers = machine.listUnmountedVolumes(systemDisk, kStageLabel);
  return std::any_of(leftovers.begin(), leftovers.end(),
                     [](const UnmountedVolume& v) { return v.freeBytes >= kStagePartitionBytes; });
}

}  // namespace

bool IsUserBackup(const std::wstring& relativePath) {
  constexpr std::wstring_view kPrefix = L"backup\\pellora_backup_";
  constexpr std::wstring_view kSuffix = L".wim";
  const std::wstring path = base::AsciiLower(relativePath);
  return path.size() > kPrefix.size() + kSuffix.size() && path.starts_with(kPrefix) && path.ends_with(kSuffix) &&
         path.find(L'\\', kPrefix.size()) == std::wstring::npos;
}

base::KeepRule LeftoverKeepRule(const std::wstring& dataDir, const std::wstring& keepFile) {
  std::wstring file = keepFile;
  std::replace(file.begin(), file.end(), L'/', L'\\');
  if (file.starts_with(L"\\\\?\\") && file.size() > 6 && file[5] == L':') file.erase(0, 4);
  const std::wstring prefix = base::AsciiLower(dataDir) + L"\\";
  std::wstring kept = base::AsciiLower(file);
  kept = kept.size() > prefix.size() && kept.starts_with(prefix) ? kept.substr(prefix.size()) : std::wstring();
  return [kept](const std::wstring& relativePath) {
    return IsUserBackup(relativePath) || (!kept.empty() && base::AsciiLower(relativePath) == kept);
  };
}

const StagingMachine& LiveStagingMachine() {
  static const StagingMachine machine{
      .systemDriveLetter = GetSystemDriveLetter,
      .diskNumberOfDrive = DiskNumberOfDrive,
      .findBootDisk = FindBootDisk,
      .pickStagingDataVolume = [](wchar_t exclude, int disk,
                                  wchar_t* blocked) { return PickStagingDataVolume(exclude, disk, blocked); },
      .isStagingCandidate = [](wchar_t letter, wchar_t exclude) { return IsStagingCandidate(letter, exclude); },
      .freeBytesForCaller = FreeBytesForCaller,
      .volumeLabel = VolumeLabelOfDrive,
      .leftoverSize = base::DirectorySize,
      .clearLeftover = base::DeleteTree,
      .listUnmountedVolumes = ListUnmountedVolumes,
      .highestFreeDriveLetter = HighestFreeDriveLetter,
      .assignDriveLetter = AssignDriveLetter,
      .largestUnallocatedGap = LargestUnallocatedGap,
      .runDiskpartScript = tools::RunDiskpartScript,
      .createDirectory = [](const std::wstring& path) { return base::CreateProtectedDirectory(path); },
      .protectDirectory =
          [](const std::wstring& path) {
            return base::ProtectExistingDirectory(path, base::ProtectionDepth::WholeTree);
          },
  };
  return machine;
}

std::string UnallocatedPartitionScript(int diskNumber, wchar_t letter, uint64_t bytes) {
  return "select disk " + std::to_string(diskNumber) + "\r\n" +
         "create partition primary size=" + std::to_string(bytes / kMiB) + "\r\n" +
         "format fs=ntfs quick label=\"PLSTAGE\"\r\n" +
         "assign letter=\"" + base::DriveLetterText(letter) + "\"\r\n";
}

std::string ShrinkPartitionScript(wchar_t systemLetter, wchar_t letter, uint64_t bytes) {
  // Below 6 GiB half the size would ask less than a stage partition is worth.
  const uint64_t minimumMiB = bytes < 6 * kGiB ? 3072 : bytes / (2 * kMiB);
  return "select volume=" + base::DriveLetterText(systemLetter) + "\r\n" +
         "shrink desired=" + std::to_string(bytes / kMiB) + " minimum=" + std::to_string(minimumMiB) + "\r\n" +
         "create partition primary\r\n" +
         "format fs=ntfs quick label=\"PLSTAGE\"\r\n" +
         "assign letter=\"" + base::DriveLetterText(letter) + "\"\r\n";
}

bool CreateStagePartitionInUnallocated(int diskNumber, wchar_t letter, uint64_t bytes, bool dryRun,
                                       const StagingMachine& machine) {
  return machine.runDiskpartScript(UnallocatedPartitionScript(diskNumber, letter, bytes), dryRun);
}

bool ShrinkSystemAndCreateStagePartition(wchar_t systemLetter, wchar_t letter, uint64_t bytes, bool dryRun,
                                         const StagingMachine& machine) {
  return machine.runDiskpartScript(ShrinkPartitionScript(systemLetter, letter, bytes), dryRun);
}

bool CreateStagingDirectory(const std::wstring& path, bool dryRun, std::string* error,
                            const StagingMachine& machine) {
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过创建目录: " + base::WideToUtf8(path));
    return true;
  }
  const uint32_t failure = machine.createDirectory(path);
  if (failure == 0) return true;
  if (failure != ERROR_ALREADY_EXISTS) {
    *error = "无法创建目录: " + base::WideToUtf8(path);
    return false;
  }
  // Made by someone else, or by an earlier run before it was protected: until it is ours, whoever made it could
  // swap what lands in it after its MD5 was checked.
  const base::FolderProtection protection = machine.protectDirectory(path);
  if (protection.ok()) return true;
  const std::string where = base::WideToUtf8(protection.path);
  if (!protection.linkRefused()) {
    *error = "设置暂存目录权限失败: " + where + ", error=" + std::to_string(protection.error);
  } else if (protection.path == path) {
    *error = "暂存目录是一个链接（junction 或符号链接），不往那里放文件: " + where;
  } else {
    *error = "暂存目录里有链接（junction、符号链接或硬链接），不往那里放文件: " + where;
  }
  return false;
}

StagingPlan PlanStagingArea(FirmwareType firmware, uint64_t neededBytes, bool dryRun, wchar_t backupLetter,
                            uint64_t bytesBesideBackup, const std::wstring& keepFile, const StagingMachine& machine) {
  Planning p{.machine = machine, .dryRun = dryRun, .neededBytes = neededBytes, .keepFile = keepFile};
  p.systemDrive = machine.systemDriveLetter();
  if (p.systemDrive == 0) {
    p.plan.error =
        "无法定位目标系统盘，不能安全地准备暂存区——如果是在 PE 环境下、目标机器本来就没有可识别的系统（比如全新的空盘，"
        "或者系统已经损坏找不到 ntoskrnl.exe），需要先手动指定目标盘";
    log::LogError(p.plan.error);
    return p.plan;
  }
  p.systemDisk = machine.diskNumberOfDrive(p.systemDrive);
  if (!ChooseBootArea(p, firmware)) return p.plan;
  if (!CreateStagingDirectory(p.plan.bootDir, dryRun, &p.plan.error, machine)) return p.plan;
  // A path typed by hand may name its drive in lower case; the planner compares letters in upper case, and "c"
  // would not be recognised as the system drive.
  if (backupLetter >= L'a' && backupLetter <= L'z') backupLetter = static_cast<wchar_t>(backupLetter - L'a' + L'A');
  if (backupLetter != 0 && PlaceBesideBackup(p, backupLetter, bytesBesideBackup)) return p.plan;
  if (PlaceOnExistingVolume(p)) return p.plan;
  if (PlaceOnLeftoverPartition(p)) return p.plan;
  if (PlaceInUnallocatedSpace(p)) return p.plan;
  PlaceByShrinkingSystemVolume(p);
  return p.plan;
}

StagingFeasibility CheckStagingFeasibility(const StagingMachine& machine) {
  StagingFeasibility result;
  const wchar_t systemDrive = machine.systemDriveLetter();
  if (systemDrive == 0) return result;
  wchar_t blocked = 0;
  result.otherVolumeAvailable = machine.pickStagingDataVolume(systemDrive, -1, &blocked) != 0 ||
                                LeftoverPartitionAvailable(machine, machine.diskNumberOfDrive(systemDrive));
  uint64_t gap = 0;
  result.unallocatedAvailable = machine.largestUnallocatedGap(systemDrive, &gap) && gap >= kStagePartitionBytes;
  result.systemShrinkable = machine.freeBytesForCaller(systemDrive) > kShrinkableFreeBytes;
  if (!result.otherVolumeAvailable && !result.unallocatedAvailable && !result.systemShrinkable) {
    result.bitLockerBlockedLetter = blocked;
  }
  return result;
}

}  // namespace pl::disks
