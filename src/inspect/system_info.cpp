#include "inspect/system_info.h"

#include <windows.h>
#include <wininet.h>
#include <winioctl.h>

#include "base/text.h"
#include "disks/bitlocker.h"
#include "disks/inventory.h"
#include "inspect/powershell_query.h"
#include "inspect/system_info_rules.h"
#include "log/log.h"

namespace pl::inspect {
namespace {

constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kBiosKey[] = L"HARDWARE\\DESCRIPTION\\System\\BIOS";

std::wstring PhysicalDrivePath(int number) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(number); }

std::optional<uint32_t> ReadRegistryNumber(const wchar_t* subkey, const wchar_t* value) {
  DWORD number = 0;
  DWORD size = sizeof number;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, subkey, value, RRF_RT_REG_DWORD, nullptr, &number, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return number;
}

LayoutReading ReadLayout(int diskNumber) {
  LayoutReading reading;
  if (diskNumber < 0) return reading;
  base::UniqueFileHandle disk = OpenPhysicalDrive(PhysicalDrivePath(diskNumber), "物理磁盘(分区类型)");
  if (!disk) return reading;
  reading.opened = true;
  alignas(DRIVE_LAYOUT_INFORMATION_EX) unsigned char answer[4096];
  DWORD returned = 0;
  if (!DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, answer, sizeof answer, &returned,
                       nullptr)) {
    reading.error = GetLastError();
    return reading;
  }
  reading.answered = true;
  reading.gpt = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(answer)->PartitionStyle == PARTITION_STYLE_GPT;
  return reading;
}

DiskReading ReadDisk(int diskNumber) {
  DiskReading reading;
  if (diskNumber < 0) return reading;
  {
    base::UniqueFileHandle disk = OpenPhysicalDrive(PhysicalDrivePath(diskNumber), "物理磁盘(容量)");
    if (!disk) return reading;
    reading.opened = true;
    GET_LENGTH_INFORMATION length = {};
    DWORD returned = 0;
    reading.answered = DeviceIoControl(disk.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                                       &returned, nullptr) != FALSE;
    if (!reading.answered) reading.error = GetLastError();
    reading.lengthBytes = static_cast<uint64_t>(length.Length.QuadPart);
    reading.model = ReadDiskModel(disk.get());
  }
  if (!reading.answered) return reading;
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!((drives >> (letter - L'A')) & 1u)) continue;
    if (GetDriveTypeW(base::DriveRoot(letter).c_str()) != DRIVE_FIXED) continue;
    if (disks::DiskNumberOfDrive(letter) == diskNumber) reading.letters.push_back(letter);
  }
  return reading;
}

}  // namespace

std::string ReadRegistryText(HKEY root, const std::wstring& subkey, const std::wstring& value) {
  wchar_t buffer[256] = {};
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, subkey.c_str(), value.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
    return {};
  }
  return base::WideToUtf8(std::wstring(buffer, wcsnlen(buffer, size / sizeof(wchar_t))));
}

std::string ReadProcessorName() {
  const std::string name =
      ReadRegistryText(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString");
  return std::string(base::TrimBlanks(name));
}

base::UniqueFileHandle OpenPhysicalDrive(const std::wstring& path, const std::string& label) {
  base::UniqueFileHandle disk(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (disk) return disk;
  const DWORD readError = GetLastError();
  disk.reset(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (disk) return disk;
  const DWORD plainError = GetLastError();
  log::LogWarn("打开 " + label + " 失败: " + base::WideToUtf8(path) + ", GetLastError(GENERIC_READ 打开)=" +
               std::to_string(readError) + ", GetLastError(无权限打开)=" + std::to_string(plainError));
  return disk;
}

std::string ReadDiskModel(HANDLE disk) {
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  alignas(STORAGE_DEVICE_DESCRIPTOR) unsigned char answer[1024] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer, sizeof answer, &returned,
                       nullptr)) {
    return {};
  }
  return DiskModelFromDescriptor(answer, returned);
}

std::string QueryBaseBoardViaPowerShell(int32_t timeLimitMs) {
  return QueryPowerShell(
      L"$b = Get-CimInstance -ClassName Win32_BaseBoard; Write-Output ($b.Manufacturer + '|' + $b.Product)",
      timeLimitMs, "查主板型号：启动 PowerShell(WMI 兜底) 失败", "查主板型号：PowerShell(WMI 兜底) 失败, exitCode=");
}

SummaryReadings GatherSummaryReadings() {
  SummaryReadings r;
  r.productName = ReadRegistryText(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProductName");
  r.buildNumber = ReadRegistryText(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuildNumber");
  r.ubr = ReadRegistryNumber(kCurrentVersion, L"UBR");
  SYSTEM_INFO system = {};
  GetNativeSystemInfo(&system);
  r.native64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
  r.processorName = ReadProcessorName();
  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) r.memoryBytes = memory.ullTotalPhys;

  r.systemDrive = disks::GetSystemDriveLetter();
  r.firmware = disks::GetFirmwareType();
  // No drive, no disk: a letter 0 names no device.
  r.diskNumber = r.systemDrive == 0 ? -1 : disks::DiskNumberOfDrive(r.systemDrive);
  r.layout = ReadLayout(r.diskNumber);
  if (r.firmware == disks::FirmwareType::Uefi) {
    r.secureBootEnabled =
        ReadRegistryNumber(L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State", L"UEFISecureBootEnabled");
  }

  r.boardManufacturer = ReadRegistryText(HKEY_LOCAL_MACHINE, kBiosKey, L"BaseBoardManufacturer");
  r.boardProduct = ReadRegistryText(HKEY_LOCAL_MACHINE, kBiosKey, L"BaseBoardProduct");
  log::LogInfo("主板型号(注册表原始值): manufacturer=[" + r.boardManufacturer + "] product=[" + r.boardProduct + "]");
  if (IsPlaceholderValue(r.boardManufacturer) && IsPlaceholderValue(r.boardProduct)) {
    r.boardFallback = QueryBaseBoardViaPowerShell();
    log::LogInfo("主板型号(WMI 兜底原始值): " + *r.boardFallback);
  }

  r.disk = ReadDisk(r.diskNumber);
  DWORD connection = 0;
  r.networkConnected = InternetGetConnectedState(&connection, 0) != FALSE;
  return r;
}

EnvironmentSummary GatherEnvironmentSummary() {
  const SummaryReadings readings = GatherSummaryReadings();
  EnvironmentSummary summary = SummaryFromReadings(readings);
  // PowerShell cannot be asked about a drive that is not known.
  summary.systemBitLockerOn = readings.systemDrive != 0 && disks::IsBitLockerProtected(readings.systemDrive);
  summary.staging = disks::CheckStagingFeasibility();
  return summary;
}

}  // namespace pl::inspect
