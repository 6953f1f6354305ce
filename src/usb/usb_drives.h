#pragma once
// The USB disks a stick can be made on, and the machine questions behind them. Listing and the check before the
// wipe ask the storage stack through UsbMachine; the decisions over its plain answers are separate functions, so
// tests feed descriptors (Wine answers none of the disk queries).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disks/firmware.h"
#include "net/download.h"

namespace pl::usb {

// One USB disk offered to the user.
struct UsbDriveInfo {
  int32_t diskNumber = -1;
  std::string name;     // vendor and product, trimmed and joined by a blank; "未知 U 盘" when both are empty
  double sizeGb = 0;    // length / 1073741824; 0 when the length cannot be read

  bool operator==(const UsbDriveInfo&) const = default;
};

// What the storage queries say about physical disk n.
enum class DiskAnswer {
  Described,     // opened and its device descriptor read
  NoDescriptor,  // opened, but the descriptor query failed
  OpenFailed,    // could not be opened for another reason; later numbers may still exist
  NoSuchDisk,    // the open failed with ERROR_FILE_NOT_FOUND: no disks from this number on
};

inline constexpr uint32_t kBusTypeUsb = 7;

struct DiskDescriptor {
  DiskAnswer answer = DiskAnswer::NoSuchDisk;
  uint32_t busType = 0;      // the descriptor's bus type; kBusTypeUsb for USB
  std::string vendor;        // as the descriptor holds them, untrimmed; empty when absent
  std::string product;
  uint64_t lengthBytes = 0;  // 0 when the length cannot be read

  bool operator==(const DiskDescriptor&) const = default;
};

// The machine the USB maker asks, bound to the live calls by default.
struct UsbMachine {
  std::function<DiskDescriptor(int32_t number)> describeDisk;
  std::function<int32_t()> systemDiskNumber;       // disk of the system drive; -1 when unknown
  std::function<void(uint32_t ms)> labelPause;     // before each look for a formatted partition's letter
  std::function<int32_t(wchar_t letter)> diskOfDrive;  // physical disk of a drive; -1 when unknown
  std::function<disks::FirmwareType()> firmwareType;
  net::RetryPause retryPause;                      // between download attempts; empty = Sleep
};
const UsbMachine& LiveUsbMachine();

// The live queries: "\\.\PhysicalDriveN" opened without access rights, its standard device property, its length.
DiskDescriptor DescribeDisk(int32_t number);

// The name shown for a disk: each part trimmed of blanks and tabs, joined by a blank when both are present; a byte
// that is not printable ASCII becomes "?" (the descriptor's texts come from the device as they are).
std::string UsbDriveName(const std::string& vendor, const std::string& product);
double SizeGbOf(uint64_t lengthBytes);

// What the drive page offers: the USB disks, or, when none can be offered safely, why.
struct UsbDriveScan {
  std::vector<UsbDriveInfo> drives;
  std::string notice;  // shown instead of the rows when not empty; no drive is offered then

  bool operator==(const UsbDriveScan&) const = default;
};

// The notice when the system disk is unknown: any USB disk could be it, and each would be refused before the wipe.
inline constexpr char kSystemDiskUnknownNotice[] =
    "无法确定系统盘所在的磁盘，无法把 U 盘和系统盘区分开，为避免误清空，不列出任何 U 盘";

// The listing rule over descriptors of disks 0, 1, ... (index = disk number): USB disks other than the system
// disk, in disk-number order, stopping at the first NoSuchDisk; none, with the notice above, when the system disk
// is unknown (-1).
UsbDriveScan UsbDrivesFrom(const std::vector<DiskDescriptor>& disks, int32_t systemDisk);

// Asks disks 0 to 31 (none when the system disk is unknown) and applies the rule above. Blocking; run it on a
// worker thread.
UsbDriveScan ListUsbDrives(const UsbMachine& machine = LiveUsbMachine());

// Why disk `listed.diskNumber`, as the machine describes it `now`, is no longer the disk the user chose from the
// list; empty when it still is: a described USB disk, not the system disk (which must be known), with the listed
// name and a readable length equal to the listed size.
std::string WhyDiskChanged(const UsbDriveInfo& listed, const DiskDescriptor& now, int32_t systemDisk);

}  // namespace pl::usb
