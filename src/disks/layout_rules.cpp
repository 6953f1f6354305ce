#include "disks/layout_rules.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/constants.h"

namespace pl::disks {
namespace {

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace

FirmwareType FirmwareTypeFromValue(int value) {
  if (value == 2) return FirmwareType::Uefi;
  if (value == 1) return FirmwareType::Bios;
  return FirmwareType::Unknown;
}

std::optional<DiskLayout> ParseDriveLayout(const void* answer, size_t size) {
  constexpr size_t kHeader = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  if (answer == nullptr || size < kHeader) return std::nullopt;
  DRIVE_LAYOUT_INFORMATION_EX head;
  std::memcpy(&head, answer, kHeader);
  if (head.PartitionCount > (size - kHeader) / sizeof(PARTITION_INFORMATION_EX)) return std::nullopt;
  DiskLayout layout;
  layout.style = head.PartitionStyle == PARTITION_STYLE_GPT   ? PartitionStyle::Gpt
                 : head.PartitionStyle == PARTITION_STYLE_MBR ? PartitionStyle::Mbr
                                                              : PartitionStyle::Raw;
  const auto* bytes = static_cast<const unsigned char*>(answer) + kHeader;
  for (DWORD i = 0; i < head.PartitionCount; ++i) {
    PARTITION_INFORMATION_EX entry;
    std::memcpy(&entry, bytes + i * sizeof entry, sizeof entry);
    PartitionEntry partition;
    partition.start = entry.StartingOffset.QuadPart;
    partition.length = entry.PartitionLength.QuadPart;
    if (entry.PartitionStyle == PARTITION_STYLE_GPT) {
      partition.gptType = GuidText(entry.Gpt.PartitionType);
    } else if (entry.PartitionStyle == PARTITION_STYLE_MBR) {
      partition.bootIndicator = entry.Mbr.BootIndicator != FALSE;
    }
    layout.partitions.push_back(std::move(partition));
  }
  return layout;
}

int64_t LargestGap(const DiskLayout& layout, int64_t diskLength) {
  std::vector<std::pair<int64_t, int64_t>> extents;
  for (const PartitionEntry& partition : layout.partitions) {
    if (partition.length > 0) extents.emplace_back(partition.start, partition.start + partition.length);
  }
  std::sort(extents.begin(), extents.end());
  const int64_t usableEnd = layout.style == PartitionStyle::Gpt ? diskLength - base::kMiB : diskLength;
  int64_t cursor = 0;
  int64_t largest = 0;
  for (const auto& [start, end] : extents) {
    if (start > cursor) largest = std::max(largest, start - cursor);
    cursor = std::max(cursor, end);
  }
  if (usableEnd > cursor) largest = std::max(largest, usableEnd - cursor);
  return largest;
}

bool QualifiesAsBootDisk(const DiskLayout& layout, FirmwareType firmware) {
  if (firmware == FirmwareType::Uefi && layout.style == PartitionStyle::Gpt) {
    return std::any_of(layout.partitions.begin(), layout.partitions.end(),
                       [](const PartitionEntry& p) { return p.gptType == kEspTypeGuid; });
  }
  if (firmware == FirmwareType::Bios && layout.style == PartitionStyle::Mbr) {
    return std::any_of(layout.partitions.begin(), layout.partitions.end(),
                       [](const PartitionEntry& p) { return p.bootIndicator; });
  }
  return false;
}

int DiskNumberFromExtents(const void* answer, size_t size) {
  if (answer == nullptr || size < sizeof(VOLUME_DISK_EXTENTS)) return -1;
  VOLUME_DISK_EXTENTS extents;
  std::memcpy(&extents, answer, sizeof extents);
  if (extents.NumberOfDiskExtents == 0) return -1;
  return static_cast<int>(extents.Extents[0].DiskNumber);
}

}  // namespace pl::disks
