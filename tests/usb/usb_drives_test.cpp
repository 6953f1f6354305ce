#include "usb/usb_drives.h"

#include <gtest/gtest.h>

#include "base/constants.h"
#include "printers.h"
#include "usb/usb_format.h"

namespace pl::usb::test {
namespace {

constexpr uint64_t kGiB = base::kGiB;

DiskDescriptor Usb(const std::string& vendor, const std::string& product, uint64_t length) {
  return {DiskAnswer::Described, kBusTypeUsb, vendor, product, length};
}

// Disks as the storage queries describe them, asked through the seam: USB disks only, never the system disk,
// in number order, up to the first number that does not exist; named by their trimmed vendor and product.
TEST(ListUsbDrivesTest, UsbDisksButTheSystemDiskInOrderUpToTheFirstMissingNumber) {
  const std::vector<DiskDescriptor> disks = {
      {DiskAnswer::Described, 11, "ATA", "SSD", 256 * kGiB},  // SATA
      Usb("  Kingston\t", "", 16 * kGiB + kGiB / 2),
      Usb("", "", 0),
      {DiskAnswer::OpenFailed},
      Usb("WD", "Elements", 1000 * kGiB),  // holds the system drive
      {DiskAnswer::NoDescriptor},
      Usb("SanDisk", " Ultra\xC0\x01", 32 * kGiB),  // bytes that are no printable ASCII
      {DiskAnswer::NoSuchDisk},
      Usb("Never", "Asked", kGiB),
  };
  std::vector<int32_t> asked;
  UsbMachine machine = LiveUsbMachine();
  machine.systemDiskNumber = [] { return 4; };
  machine.describeDisk = [&](int32_t number) {
    asked.push_back(number);
    return disks.at(number);
  };
  EXPECT_EQ(ListUsbDrives(machine), (UsbDriveScan{{{1, "Kingston", 16.5}, {2, "未知 U 盘", 0},
                                                   {6, "SanDisk Ultra??", 32}}}));
  EXPECT_EQ(asked, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  // Thirty-two disks at most.
  asked.clear();
  machine.describeDisk = [&](int32_t number) {
    asked.push_back(number);
    return number == 6 ? disks[6] : DiskDescriptor{DiskAnswer::OpenFailed};
  };
  EXPECT_EQ(ListUsbDrives(machine), (UsbDriveScan{{{6, "SanDisk Ultra??", 32}}}));
  EXPECT_EQ(asked.size(), 32u);
  // With the system disk unknown any USB disk could hold it (and would be refused before the wipe): none is
  // offered, with the reason, and no disk is asked.
  asked.clear();
  machine.systemDiskNumber = [] { return -1; };
  EXPECT_EQ(ListUsbDrives(machine), (UsbDriveScan{{}, kSystemDiskUnknownNotice}));
  EXPECT_EQ(asked.size(), 0u);
}

// The check before the wipe: the disk under the listed number must still be that USB disk (the run's tests
// change its bus, size and system disk).
TEST(WhyDiskChangedTest, OnlyTheListedUsbDiskPasses) {
  const UsbDriveInfo listed = {3, "Kingston DataTraveler", 14.5};
  const DiskDescriptor same = Usb(" Kingston", "DataTraveler ", 14 * kGiB + kGiB / 2);
  const struct {
    const char* name;
    DiskDescriptor now;
    int32_t systemDisk;
    std::string why;
  } cases[] = {
      {"Unchanged", same, 0, ""},
      {"Pulled", {DiskAnswer::NoSuchDisk}, 0, "磁盘 3 已无法读取设备信息（可能已被拔出）"},
      {"SystemDiskUnknown", same, -1, "无法确定系统盘所在的磁盘，不能确认 磁盘 3 不是系统盘"},
      {"OtherName", Usb("SanDisk", "Ultra", same.lengthBytes), 0,
       "磁盘 3 现在是 SanDisk Ultra，不是列表里的 Kingston DataTraveler"},
      {"OtherSize", Usb("Kingston", "DataTraveler", 29 * kGiB), 0, "磁盘 3 的容量从 14 GB 变为 29 GB"},
      {"SlightlyOtherSize", Usb("Kingston", "DataTraveler", same.lengthBytes - 512), 0,
       "磁盘 3 的容量与列表里的不同"},
      {"LengthUnreadable", Usb("Kingston", "DataTraveler", 0), 0, "磁盘 3 的容量已无法读取"},
  };
  for (const auto& c : cases) EXPECT_EQ(WhyDiskChanged(listed, c.now, c.systemDisk), c.why) << c.name;
}

// The letter of a freshly formatted partition: the labelled drive on the chosen disk (3); a drive whose disk is
// unknown only when no other drive carries the label.
TEST(PickLabeledDriveTest, TheChosenDiskOrTheOnlyDriveOfUnknownDisk) {
  struct Case {
    std::vector<LabeledDrive> drives;
    wchar_t picked;
  };
  for (const Case& c : std::vector<Case>{{{}, 0},
                                         {{{L'E', 3}}, L'E'},
                                         {{{L'E', 5}, {L'F', 3}}, L'F'},
                                         {{{L'E', 5}}, 0},
                                         {{{L'E', -1}}, L'E'},
                                         {{{L'E', -1}, {L'F', -1}}, 0},
                                         {{{L'E', -1}, {L'F', 3}}, L'F'},
                                         {{{L'E', 5}, {L'F', -1}}, 0}}) {
    EXPECT_EQ(PickLabeledDrive(c.drives, 3), c.picked) << c.drives.size();
  }
}

}  // namespace
}  // namespace pl::usb::test
