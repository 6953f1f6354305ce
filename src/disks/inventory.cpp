#include "disks/inventory.h"

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cwctype>
#include <optional>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "base/winpe.h"
#include "disks/bitlocker.h"
#include "log/log.h"

namespace pl::disks {
namespace {

// The manual target: set from the window thread, read by run threads.
std::atomic<wchar_t> g_systemDriveOverride{0};

// Layouts beyond this many bytes are not believed (a 128-entry GPT layout needs about 18 KiB).
constexpr DWORD kLayoutBufferLimit = 1 << 20;
constexpr DWORD kLayoutBufferStart = 8192;

std::wstring DevicePath(wchar_t letter) { return std::wstring(L"\\\\.\\") + letter + L":"; }
std::wstring PhysicalDrivePath(int number) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(number); }
bool LetterPresent(uint32_t drives, wchar_t letter) { return (drives >> (letter - L'A')) & 1u; }
bool IsFixed(wchar_t letter) { return GetDriveTypeW(base::DriveRoot(letter).c_str()) == DRIVE_FIXED; }

// The one-extent answer of a volume: a volume on several disks does not fit and reads as -1.
int DiskNumberOfVolumeDevice(const std::wstring& path) {
  base::UniqueFileHandle volume(
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume) return -1;
  unsigned char answer[sizeof(VOLUME_DISK_EXTENTS)] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer, sizeof answer,
                       &returned, nullptr)) {
    return -1;
  }
  return DiskNumberFromExtents(answer, returned);
}

base::UniqueFileHandle OpenPhysicalDisk(int number) {
  return base::UniqueFileHandle(CreateFileW(PhysicalDrivePath(number).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The layout answer starts at 8192 bytes and grows when the disk holds more partitions than that fits,
// so a well-filled disk is not mistaken for one without room or without a boot partition.
std::optional<DiskLayout> ReadDriveLayout(HANDLE disk) {
  for (DWORD size = kLayoutBufferStart; size <= kLayoutBufferLimit; size *= 2) {
    std::vector<unsigned char> answer(size);
    DWORD returned = 0;
    if (DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, answer.data(), size, &returned,
                        nullptr)) {
      return ParseDriveLayout(answer.data(), returned);
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

FirmwareType GetFirmwareType() {
  // Looked up rather than imported: Wine 8 does not export it, and an import would abort the process there.
  using GetFirmwareTypeFunction = BOOL(WINAPI*)(PFIRMWARE_TYPE);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto query = kernel ? reinterpret_cast<GetFirmwareTypeFunction>(
                                  reinterpret_cast<void*>(GetProcAddress(kernel, "GetFirmwareType")))
                            : nullptr;
  FIRMWARE_TYPE type = FirmwareTypeUnknown;
  if (query == nullptr || !query(&type)) return FirmwareType::Unknown;
  return FirmwareTypeFromValue(static_cast<int>(type));
}

wchar_t PeOwnDriveLetter(const std::wstring& windowsDirectory, const std::wstring& systemDriveVariable) {
  if (!windowsDirectory.empty()) return static_cast<wchar_t>(std::towupper(windowsDirectory[0]));
  if (!systemDriveVariable.empty()) return static_cast<wchar_t>(std::towupper(systemDriveVariable[0]));
  return L'X';  // where a PE boots from
}

RunningSystemDriveChoice RunningSystemDrive(const std::wstring& windowsDirectory,
                                            const std::wstring& systemDriveVariable) {
  RunningSystemDriveChoice choice;
  if (windowsDirectory.size() < 2 || windowsDirectory[1] != L':' || !std::iswalpha(windowsDirectory[0])) return choice;
  choice.letter = static_cast<wchar_t>(std::towupper(windowsDirectory[0]));
  if (!systemDriveVariable.empty() && static_cast<wchar_t>(std::towupper(systemDriveVariable[0])) != choice.letter) {
    const std::string drive = base::DriveLetterText(choice.letter) + ":";
    choice.warning = "环境变量 SystemDrive 的值 (" + base::WideToUtf8(systemDriveVariable) + ") 跟正在运行的 Windows 所在的盘 (" +
                     drive + ") 不一致，已忽略，目标系统盘按 " + drive + " 处理";
  }
  return choice;
}

wchar_t GetSystemDriveLetter() {
  if (const wchar_t chosen = g_systemDriveOverride.load()) return chosen;
  if (!base::IsWinPE()) {
    const RunningSystemDriveChoice choice =
        RunningSystemDrive(base::WindowsDirectoryPath(), base::ReadEnvironmentVariable(L"SystemDrive"));
    static std::atomic<bool> warned{false};  // asked many times per run; once says it
    if (!choice.warning.empty() && !warned.exchange(true)) log::LogWarn(choice.warning);
    return choice.letter;
  }
  const wchar_t peDrive = PeOwnDriveLetter(base::WindowsDirectoryPath(), base::ReadEnvironmentVariable(L"SystemDrive"));
  if (const wchar_t found = FindWindowsVolume(std::wstring(1, peDrive))) return found;
  log::LogError(
      "运行在 WinPE 里，启发式查找没找到目标系统盘（这台机器上没有任何固定分区含有 "
      "\\Windows\\System32\\ntoskrnl.exe——可能是目标机器本来就没有系统，比如全新的空盘），拒绝猜测，返回失败，"
      "调用方必须把这个当成硬错误处理，不能带着错误的盘符继续往下走");
  return 0;
}

void SetSystemDriveOverride(wchar_t letter) {
  if (letter != 0) {
    log::LogInfo("手动指定目标系统盘: " + base::DriveLetterText(letter) +
                 ":（后续 GetSystemDriveLetter() 直接返回这个值）");
  }
  g_systemDriveOverride.store(letter);
}

wchar_t RunningWindowsDriveLetter() {
  const std::wstring directory = base::WindowsDirectoryPath();
  return directory.empty() ? GetSystemDriveLetter() : directory[0];
}

wchar_t FindWindowsVolume(const std::wstring& skip) {
  const uint32_t drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!LetterPresent(drives, letter)) continue;
    bool skipped = false;
    for (wchar_t s : skip) skipped = skipped || std::towupper(s) == letter;
    if (skipped || !IsFixed(letter)) continue;
    const std::wstring kernel = std::wstring(1, letter) + L":\\Windows\\System32\\ntoskrnl.exe";
    if (GetFileAttributesW(kernel.c_str()) != INVALID_FILE_ATTRIBUTES) return letter;
  }
  return 0;
}

int DiskNumberOfDrive(wchar_t letter) { return DiskNumberOfVolumeDevice(DevicePath(letter)); }

int FindBootDisk(FirmwareType firmware) {
  for (int number = 0; number < 32; ++number) {
    base::UniqueFileHandle disk = OpenPhysicalDisk(number);
    if (!disk) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return -1;
      continue;
    }
    const std::optional<DiskLayout> layout = ReadDriveLayout(disk.get());
    if (layout && QualifiesAsBootDisk(*layout, firmware)) return number;
  }
  return -1;
}

bool LargestUnallocatedGap(wchar_t letter, uint64_t* bytes) {
  const int number = DiskNumberOfDrive(letter);
  if (number < 0) return false;
  base::UniqueFileHandle disk = OpenPhysicalDisk(number);
  if (!disk) return false;
  const std::optional<DiskLayout> layout = ReadDriveLayout(disk.get());
  GET_LENGTH_INFORMATION length = {};
  DWORD returned = 0;
  const bool haveLength = DeviceIoControl(disk.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                          sizeof length, &returned, nullptr);
  disk.reset();
  if (!layout || !haveLength) return false;
  const int64_t gap = LargestGap(*layout, length.Length.QuadPart);
  if (gap <= 0) return false;
  *bytes = static_cast<uint64_t>(gap);
  return true;
}

std::vector<VolumeInfo> ListFixedVolumes() {
  std::vector<VolumeInfo> volumes;
  const uint32_t drives = GetLogicalDrives();
  const wchar_t running = RunningWindowsDriveLetter();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!LetterPresent(drives, letter) || letter == running || !IsFixed(letter)) continue;
    VolumeInfo info;
    info.letter = letter;
    const std::wstring root = base::DriveRoot(letter);
    wchar_t label[MAX_PATH] = {};
    wchar_t fileSystem[MAX_PATH] = {};
    if (GetVolumeInformationW(root.c_str(), label, MAX_PATH, nullptr, nullptr, nullptr, fileSystem, MAX_PATH)) {
      info.label = base::WideToUtf8(label);
      info.fileSystem = base::WideToUtf8(fileSystem);
    }
    ULARGE_INTEGER total = {}, free = {};
    if (GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, &free)) {
      info.totalBytes = total.QuadPart;
      info.freeBytes = free.QuadPart;
    }
    info.diskNumber = DiskNumberOfDrive(letter);
    volumes.push_back(std::move(info));
  }
  return volumes;
}

std::vector<UnmountedVolume> ListUnmountedVolumes(int diskNumber, const std::string& label) {
  std::vector<UnmountedVolume> volumes;
  wchar_t name[MAX_PATH];
  base::UniqueFindVolume find(FindFirstVolumeW(name, MAX_PATH));
  if (!find) return volumes;
  do {
    const std::wstring volumePath = name;
    wchar_t mountPaths[1024] = {};
    DWORD length = 0;
    // A failed answer (mount paths beyond the buffer among them) cannot show the volume unmounted.
    if (!GetVolumePathNamesForVolumeNameW(volumePath.c_str(), mountPaths, 1024, &length) ||
        mountPaths[0] != L'\0') {
      continue;
    }
    std::wstring device = volumePath;
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    if (DiskNumberOfVolumeDevice(device) != diskNumber || diskNumber < 0) continue;
    wchar_t volumeLabel[MAX_PATH] = {};
    if (!GetVolumeInformationW(volumePath.c_str(), volumeLabel, MAX_PATH, nullptr, nullptr, nullptr, nullptr, 0)) {
      continue;
    }
    UnmountedVolume volume;
    volume.volumePath = volumePath;
    volume.label = base::WideToUtf8(volumeLabel);
    if (!label.empty() && volume.label != label) continue;
    ULARGE_INTEGER total = {}, free = {};
    if (GetDiskFreeSpaceExW(volumePath.c_str(), nullptr, &total, &free)) {
      volume.totalBytes = total.QuadPart;
      volume.freeBytes = free.QuadPart;
    }
    volumes.push_back(std::move(volume));
  } while (FindNextVolumeW(find.get(), name, MAX_PATH));
  return volumes;
}

bool AssignDriveLetter(const UnmountedVolume& volume, wchar_t letter) {
  return SetVolumeMountPointW(base::DriveRoot(letter).c_str(), volume.volumePath.c_str()) != FALSE;
}

wchar_t HighestFreeDriveLetter() {
  const uint32_t drives = GetLogicalDrives();
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    if (!LetterPresent(drives, letter)) return letter;
  }
  return 0;
}

std::wstring VolumeGuidPathOfDrive(wchar_t letter) {
  wchar_t path[100];
  if (!GetVolumeNameForVolumeMountPointW(base::DriveRoot(letter).c_str(), path, 100)) return {};
  return path;
}

uint64_t FreeBytesForCaller(wchar_t letter) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(base::DriveRoot(letter).c_str(), &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

uint64_t UsedBytes(wchar_t letter) {
  ULARGE_INTEGER total = {}, free = {};
  if (!GetDiskFreeSpaceExW(base::DriveRoot(letter).c_str(), nullptr, &total, &free)) return 0;
  return free.QuadPart > total.QuadPart ? 0 : total.QuadPart - free.QuadPart;
}

std::string VolumeLabelOfDrive(wchar_t letter) {
  wchar_t label[MAX_PATH] = {};
  if (!GetVolumeInformationW(base::DriveRoot(letter).c_str(), label, MAX_PATH, nullptr, nullptr, nullptr, nullptr, 0)) {
    return {};
  }
  return base::WideToUtf8(label);
}

const VolumeProbe& LiveVolumeProbe() {
  static const VolumeProbe probe{
      .logicalDrives = [] { return static_cast<uint32_t>(GetLogicalDrives()); },
      .isFixedDrive = IsFixed,
      .diskNumberOfDrive = DiskNumberOfDrive,
      .isBitLockerProtected = [](wchar_t letter) { return IsBitLockerProtected(letter); },
      .freeBytesForCaller = FreeBytesForCaller,
      .runningWindowsDriveLetter = RunningWindowsDriveLetter,
  };
  return probe;
}

bool IsStagingCandidate(wchar_t letter, wchar_t exclude, const VolumeProbe& probe) {
  if (letter == exclude || letter == probe.runningWindowsDriveLetter()) return false;
  return probe.isFixedDrive(letter) && !probe.isBitLockerProtected(letter);
}

wchar_t PickStagingDataVolume(wchar_t exclude, int diskNumber, wchar_t* bitLockerLetter, const VolumeProbe& probe) {
  const uint32_t drives = probe.logicalDrives();
  const wchar_t running = probe.runningWindowsDriveLetter();
  wchar_t best = 0;
  uint64_t bestFree = 0;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!LetterPresent(drives, letter) || letter == exclude || letter == running || !probe.isFixedDrive(letter)) {
      continue;
    }
    if (diskNumber >= 0 && probe.diskNumberOfDrive(letter) != diskNumber) {
      log::LogInfo("候选分区排除: " + base::DriveLetterText(letter) + ": 不在目标物理磁盘编号 " +
                   std::to_string(diskNumber) + " 上");
      continue;
    }
    if (probe.isBitLockerProtected(letter)) {
      log::LogInfo("暂存区候选分区排除: " + base::DriveLetterText(letter) +
                   ": 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）");
      if (bitLockerLetter != nullptr && *bitLockerLetter == 0) *bitLockerLetter = letter;
      continue;
    }
    const uint64_t free = probe.freeBytesForCaller(letter);
    if (free > bestFree) {
      best = letter;
      bestFree = free;
    }
  }
  return best;
}

}  // namespace pl::disks
