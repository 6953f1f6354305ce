#include "disks/layout_rules.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/constants.h"
#include "printers.h"

namespace pl::disks {
namespace {

using base::kGiB;
using base::kMiB;
constexpr char kBasicData[] = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

DiskLayout Layout(PartitionStyle style, std::vector<std::pair<int64_t, int64_t>> startAndLength) {
  DiskLayout layout;
  layout.style = style;
  for (const auto& [start, length] : startAndLength) {
    PartitionEntry entry;
    entry.start = start;
    entry.length = length;
    if (style == PartitionStyle::Gpt) entry.gptType = kBasicData;
    layout.partitions.push_back(entry);
  }
  return layout;
}

TEST(LargestGap, TheLastMiBBelongsToTheBackupTableOnGptOnly) {
  const int64_t length = 64 * kGiB;
  // 64 KiB free before the first partition; the rest filled up to 1 MiB before the end.
  const std::vector<std::pair<int64_t, int64_t>> filled = {{65536, 100 * kMiB - 65536},
                                                           {100 * kMiB, length - kMiB - 100 * kMiB}};
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Gpt, filled), length), 65536);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Mbr, filled), length), kMiB);
  // Filled to the very end: the MBR disk has nothing but the leading stretch, the GPT disk the same.
  const std::vector<std::pair<int64_t, int64_t>> full = {{65536, length - 65536}};
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Mbr, full), length), 65536);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Gpt, full), length), 65536);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Mbr, {{0, length}}), length), 0);
  // An overfull GPT layout (ending inside the last MiB) has no tail gap, not a negative one.
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Gpt, {{0, length - 1000}}), length), 0);
}

TEST(LargestGap, EmptyDiskIsOneGap) {
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Gpt, {}), 500 * kGiB), 500 * kGiB - kMiB);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Mbr, {}), 500 * kGiB), 500 * kGiB);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Raw, {}), 7 * kGiB), 7 * kGiB);
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Gpt, {}), 0), 0);
}

TEST(LargestGap, UnsortedOverlappingAndEmptyEntries) {
  // Sorted: [10,40) [20,25) inside it, [50,60), an empty entry at 62, [80,90); disk of 95 bytes (MBR).
  // Gaps: 10 before, 10 after 40, 20 from 60 to 80, 5 at the end. A cursor pulled back to 25 by the inner
  // entry would report 25; an empty entry taken as a partition would split the 20 into 2 and 18.
  const DiskLayout layout = Layout(PartitionStyle::Mbr, {{80, 10}, {62, 0}, {50, 10}, {20, 5}, {10, 30}});
  EXPECT_EQ(LargestGap(layout, 95), 20);
  // The stretch before the first partition counts like any other.
  EXPECT_EQ(LargestGap(Layout(PartitionStyle::Mbr, {{300, 10}, {100, 195}}), 310), 100);
}

TEST(BootDisk, EspOnGptForUefiActiveFlagOnMbrForBiosNothingForUnknown) {
  DiskLayout gpt = Layout(PartitionStyle::Gpt, {{kMiB, 100 * kMiB}, {101 * kMiB, 10 * kGiB}});
  EXPECT_FALSE(QualifiesAsBootDisk(gpt, FirmwareType::Uefi));  // basic data only
  gpt.partitions[0].gptType = kEspTypeGuid;
  EXPECT_TRUE(QualifiesAsBootDisk(gpt, FirmwareType::Uefi));
  EXPECT_FALSE(QualifiesAsBootDisk(gpt, FirmwareType::Bios));
  EXPECT_FALSE(QualifiesAsBootDisk(gpt, FirmwareType::Unknown));

  DiskLayout mbr = Layout(PartitionStyle::Mbr, {{kMiB, 500 * kMiB}, {501 * kMiB, 10 * kGiB}});
  EXPECT_FALSE(QualifiesAsBootDisk(mbr, FirmwareType::Bios));
  mbr.partitions[1].bootIndicator = true;
  EXPECT_TRUE(QualifiesAsBootDisk(mbr, FirmwareType::Bios));
  EXPECT_FALSE(QualifiesAsBootDisk(mbr, FirmwareType::Uefi));
  EXPECT_FALSE(QualifiesAsBootDisk(mbr, FirmwareType::Unknown));
  EXPECT_FALSE(QualifiesAsBootDisk(Layout(PartitionStyle::Raw, {}), FirmwareType::Uefi));
}

// A DRIVE_LAYOUT_INFORMATION_EX answer as the disk driver writes it.
std::vector<unsigned char> LayoutAnswer(DWORD style, const std::vector<PARTITION_INFORMATION_EX>& entries) {
  const size_t header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  std::vector<unsigned char> bytes(header + entries.size() * sizeof(PARTITION_INFORMATION_EX));
  DRIVE_LAYOUT_INFORMATION_EX head = {};
  head.PartitionStyle = style;
  head.PartitionCount = static_cast<DWORD>(entries.size());
  std::memcpy(bytes.data(), &head, header);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(bytes.data() + header + i * sizeof(PARTITION_INFORMATION_EX), &entries[i], sizeof entries[i]);
  }
  return bytes;
}

TEST(DriveLayoutAnswer, ReadsStyleExtentsTypesAndBootFlags) {
  PARTITION_INFORMATION_EX esp = {};
  esp.PartitionStyle = PARTITION_STYLE_GPT;
  esp.StartingOffset.QuadPart = kMiB;
  esp.PartitionLength.QuadPart = 100 * kMiB;
  esp.Gpt.PartitionType = {0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
  PARTITION_INFORMATION_EX data = esp;
  data.StartingOffset.QuadPart = 200 * kMiB;
  data.PartitionLength.QuadPart = 5 * kGiB;
  data.Gpt.PartitionType = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
  std::vector<unsigned char> answer = LayoutAnswer(PARTITION_STYLE_GPT, {esp, data});
  auto layout = ParseDriveLayout(answer.data(), answer.size());
  ASSERT_TRUE(layout);
  EXPECT_EQ(*layout,
            (DiskLayout{PartitionStyle::Gpt,
                        {{kMiB, 100 * kMiB, kEspTypeGuid, false}, {200 * kMiB, 5 * kGiB, kBasicData, false}}}));
  EXPECT_TRUE(QualifiesAsBootDisk(*layout, FirmwareType::Uefi));
  // An answer that claims more entries than it holds is not believed.
  EXPECT_FALSE(ParseDriveLayout(answer.data(), answer.size() - 1));
  EXPECT_FALSE(ParseDriveLayout(answer.data(), 4));

  PARTITION_INFORMATION_EX active = {};
  active.PartitionStyle = PARTITION_STYLE_MBR;
  active.StartingOffset.QuadPart = kMiB;
  active.PartitionLength.QuadPart = kGiB;
  active.Mbr.BootIndicator = TRUE;
  PARTITION_INFORMATION_EX unused = {};
  unused.PartitionStyle = PARTITION_STYLE_MBR;
  answer = LayoutAnswer(PARTITION_STYLE_MBR, {active, unused, unused, unused});
  layout = ParseDriveLayout(answer.data(), answer.size());
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->style, PartitionStyle::Mbr);
  ASSERT_EQ(layout->partitions.size(), 4u);
  EXPECT_TRUE(layout->partitions[0].bootIndicator);
  EXPECT_EQ(layout->partitions[0].gptType, "");
  EXPECT_TRUE(QualifiesAsBootDisk(*layout, FirmwareType::Bios));
  EXPECT_EQ(LargestGap(*layout, 10 * kGiB), 9 * kGiB - kMiB);  // unused entries are empty
}

TEST(VolumeExtentsAnswer, FirstExtentsDiskOrMinusOne) {
  VOLUME_DISK_EXTENTS extents = {};
  EXPECT_EQ(DiskNumberFromExtents(&extents, sizeof extents), -1);  // no extent (what Wine answers)
  extents.NumberOfDiskExtents = 1;
  extents.Extents[0].DiskNumber = 3;
  EXPECT_EQ(DiskNumberFromExtents(&extents, sizeof extents), 3);
  EXPECT_EQ(DiskNumberFromExtents(&extents, sizeof extents - 1), -1);
  EXPECT_EQ(DiskNumberFromExtents(nullptr, 0), -1);
}

TEST(FirmwareTypeNames, ThreeValues) {
  EXPECT_STREQ(FirmwareTypeName(FirmwareTypeFromValue(2)), "UEFI");
  EXPECT_STREQ(FirmwareTypeName(FirmwareTypeFromValue(1)), "BIOS");
  EXPECT_STREQ(FirmwareTypeName(FirmwareTypeFromValue(0)), "UNKNOWN");
  EXPECT_STREQ(FirmwareTypeName(FirmwareTypeFromValue(3)), "UNKNOWN");  // FirmwareTypeMax
  EXPECT_STREQ(FirmwareTypeName(FirmwareTypeFromValue(-1)), "UNKNOWN");
}

}  // namespace
}  // namespace pl::disks
