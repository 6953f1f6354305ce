#include "usb/usb_drives.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>

#include "base/constants.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "disks/inventory.h"

namespace pl::usb {
namespace {

constexpr int32_t kMaxDisks = 32;
constexpr DWORD kDescriptorBytes = 1024;

// A text of the descriptor: the NUL-terminated bytes at `offset`, inside the `size` bytes returned; empty when
// the offset is 0 (absent) or outside them.
std::string DescriptorText(const unsigned char* bytes, DWORD size, DWORD offset) {
  if (offset == 0 || offset >= size) return {};
  const char* start = reinterpret_cast<const char*>(bytes + offset);
  return std::string(start, strnlen(start, size - offset));
}

// The length needs read access, which a handle opened without rights lacks; the geometry answer carries the same
// size and asks for none.
uint64_t DiskLength(HANDLE disk) {
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr)) {
    return static_cast<uint64_t>(length.Length.QuadPart);
  }
  DISK_GEOMETRY_EX geometry{};
  if (DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &returned,
                      nullptr) &&
      returned >= offsetof(DISK_GEOMETRY_EX, DiskSize) + sizeof geometry.DiskSize) {
    return static_cast<uint64_t>(geometry.DiskSize.QuadPart);
  }
  return 0;
}

}  // namespace

const UsbMachine& LiveUsbMachine() {
  static const UsbMachine machine = {
      .describeDisk = DescribeDisk,
      .systemDiskNumber = [] { return static_cast<int32_t>(disks::DiskNumberOfDrive(disks::GetSystemDriveLetter())); },
      .labelPause = [](uint32_t ms) { Sleep(ms); },
      .diskOfDrive = [](wchar_t letter) { return static_cast<int32_t>(disks::DiskNumberOfDrive(letter)); },
      .firmwareType = disks::GetFirmwareType,
      .retryPause = {},
  };
  return machine;
}

DiskDescriptor DescribeDisk(int32_t number) {
  DiskDescriptor found;
  const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(number);
  base::UniqueFileHandle disk(
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!disk) {
    found.answer = GetLastError() == ERROR_FILE_NOT_FOUND ? DiskAnswer::NoSuchDisk : DiskAnswer::OpenFailed;
    return found;
  }
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  alignas(STORAGE_DEVICE_DESCRIPTOR) unsigned char answer[kDescriptorBytes] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(disk.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer, sizeof answer,
                       &returned, nullptr) ||
      returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
    found.answer = DiskAnswer::NoDescriptor;
    return found;
  }
  const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(answer);
  found.answer = DiskAnswer::Described;
  found.busType = static_cast<uint32_t>(descriptor->BusType);
  found.vendor = DescriptorText(answer, returned, descriptor->VendorIdOffset);
  found.product = DescriptorText(answer, returned, descriptor->ProductIdOffset);
  found.lengthBytes = DiskLength(disk.get());
  return found;
}

std::string UsbDriveName(const std::string& vendor, const std::string& product) {
  const std::string v = base::PrintableAscii(base::TrimBlanks(vendor));
  const std::string p = base::PrintableAscii(base::TrimBlanks(product));
  if (v.empty() && p.empty()) return "未知 U 盘";
  if (v.empty() || p.empty()) return v.empty() ? p : v;
  return v + " " + p;
}

double SizeGbOf(uint64_t lengthBytes) { return static_cast<double>(lengthBytes) / static_cast<double>(base::kGiB); }

UsbDriveScan UsbDrivesFrom(const std::vector<DiskDescriptor>& disks, int32_t systemDisk) {
  if (systemDisk < 0) return {{}, kSystemDiskUnknownNotice};
  UsbDriveScan scan;
  std::vector<UsbDriveInfo>& drives = scan.drives;
  for (size_t i = 0; i < disks.size(); ++i) {
    const DiskDescriptor& disk = disks[i];
    if (disk.answer == DiskAnswer::NoSuchDisk) break;
    const int32_t number = static_cast<int32_t>(i);
    if (disk.answer != DiskAnswer::Described || disk.busType != kBusTypeUsb || number == systemDisk) continue;
    drives.push_back({number, UsbDriveName(disk.vendor, disk.product), SizeGbOf(disk.lengthBytes)});
  }
  return scan;
}

UsbDriveScan ListUsbDrives(const UsbMachine& machine) {
  const int32_t systemDisk = machine.systemDiskNumber();
  std::vector<DiskDescriptor> disks;
  for (int32_t number = 0; systemDisk >= 0 && number < kMaxDisks; ++number) {
    disks.push_back(machine.describeDisk(number));
    if (disks.back().answer == DiskAnswer::NoSuchDisk) break;
  }
  return UsbDrivesFrom(disks, systemDisk);
}

std::string WhyDiskChanged(const UsbDriveInfo& listed, const DiskDescriptor& now, int32_t systemDisk) {
  const std::string disk = "磁盘 " + std::to_string(listed.diskNumber);
  if (now.answer != DiskAnswer::Described) return disk + " 已无法读取设备信息（可能已被拔出）";
  if (now.busType != kBusTypeUsb) return disk + " 已不在 USB 总线上";
  if (systemDisk < 0) return "无法确定系统盘所在的磁盘，不能确认 " + disk + " 不是系统盘";
  if (listed.diskNumber == systemDisk) return disk + " 现在是系统盘所在的磁盘";
  const std::string name = UsbDriveName(now.vendor, now.product);
  if (name != listed.name) return disk + " 现在是 " + name + "，不是列表里的 " + listed.name;
  if (now.lengthBytes == 0) return disk + " 的容量已无法读取";
  if (SizeGbOf(now.lengthBytes) != listed.sizeGb) {
    const int64_t before = static_cast<int64_t>(listed.sizeGb);
    const int64_t after = static_cast<int64_t>(now.lengthBytes / base::kGiB);
    if (before == after) return disk + " 的容量与列表里的不同";
    return disk + " 的容量从 " + std::to_string(before) + " GB 变为 " + std::to_string(after) + " GB";
  }
  return {};
}

}  // namespace pl::usb
