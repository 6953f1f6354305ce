#pragma once
// What the disk IOCTL answers mean, apart from the calls that fetch them: the largest unallocated stretch of a
// layout, whether a layout carries the boot manager for a firmware type, the disk number of a volume's extents.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disks/firmware.h"

namespace pl::disks {

// The value GetFirmwareType reported; anything but 1 or 2 is unknown.
FirmwareType FirmwareTypeFromValue(int value);

enum class PartitionStyle { Mbr, Gpt, Raw };

struct PartitionEntry {
  int64_t start = 0;        // byte offset on the disk
  int64_t length = 0;       // bytes
  std::string gptType;      // GPT partition type GUID, upper case without braces; empty on MBR
  bool bootIndicator = false;  // MBR active flag

  bool operator==(const PartitionEntry&) const = default;
};

struct DiskLayout {
  PartitionStyle style = PartitionStyle::Raw;
  std::vector<PartitionEntry> partitions;

  bool operator==(const DiskLayout&) const = default;
};

inline constexpr char kEspTypeGuid[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

// Reads a DRIVE_LAYOUT_INFORMATION_EX answer of `size` bytes; nothing when it is cut short.
std::optional<DiskLayout> ParseDriveLayout(const void* answer, size_t size);

// Largest unallocated stretch in bytes, the one before the first partition and the tail included; a GPT disk
// keeps its last MiB for the backup table. Zero-length entries are ignored. 0 when there is none.
int64_t LargestGap(const DiskLayout& layout, int64_t diskLength);

// UEFI: a GPT layout with an EFI system partition; BIOS: an MBR layout with an active partition; unknown: never.
bool QualifiesAsBootDisk(const DiskLayout& layout, FirmwareType firmware);

// The first extent's disk number from a VOLUME_DISK_EXTENTS answer of `size` bytes; -1 when it holds none.
int DiskNumberFromExtents(const void* answer, size_t size);

}  // namespace pl::disks
