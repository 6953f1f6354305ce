#pragma once
// How the environment summary's texts are made from what the machine answered. The answers are gathered in one
// place (GatherSummaryReadings) into a plain record; the texts are decided here, so every rule can be tried
// without a machine.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disks/firmware.h"
#include "inspect/system_info.h"

namespace pl::inspect {

// IOCTL_DISK_GET_DRIVE_LAYOUT_EX on the system disk.
struct LayoutReading {
  bool opened = false;    // the disk was opened (never with a negative disk number)
  bool answered = false;  // the query succeeded
  uint32_t error = 0;     // GetLastError of the query when it did not
  bool gpt = false;       // partition style GPT; anything else counts as MBR

  bool operator==(const LayoutReading&) const = default;
};

// IOCTL_DISK_GET_LENGTH_INFO, the model and the drive letters of the system disk.
struct DiskReading {
  bool opened = false;
  bool answered = false;          // the length query succeeded
  uint32_t error = 0;             // its GetLastError when it did not
  uint64_t lengthBytes = 0;
  std::string model;              // empty when unknown
  std::vector<wchar_t> letters;   // fixed drives on this disk, in letter order

  bool operator==(const DiskReading&) const = default;
};

struct SummaryReadings {
  std::string productName;                  // "ProductName"; empty when missing
  std::string buildNumber;                  // "CurrentBuildNumber"
  std::optional<uint32_t> ubr;              // "UBR", when it could be read
  bool native64 = false;                    // GetNativeSystemInfo reported AMD64
  std::string processorName;                // trimmed; empty when missing
  std::optional<uint64_t> memoryBytes;      // GlobalMemoryStatusEx
  wchar_t systemDrive = 0;                  // 0 when no target system drive is known
  disks::FirmwareType firmware = disks::FirmwareType::Unknown;
  int diskNumber = -1;                      // of the system drive
  LayoutReading layout;
  std::optional<uint32_t> secureBootEnabled;  // "UEFISecureBootEnabled", asked on UEFI only
  std::string boardManufacturer;            // registry values as read
  std::string boardProduct;
  std::optional<std::string> boardFallback;   // PowerShell's answer, when the registry held only placeholders
  DiskReading disk;
  bool networkConnected = false;

  bool operator==(const SummaryReadings&) const = default;
};

// Every answer the summary needs; PowerShell is asked for the board only when the registry values are
// placeholders. Logs the raw board values and the open failures.
SummaryReadings GatherSummaryReadings();

// The nine texts (BitLocker and staging left at their defaults). Logs a failed layout or length query and a
// board that no source names.
EnvironmentSummary SummaryFromReadings(const SummaryReadings& readings);

// Empty, or (ignoring blanks around it and case) a text that BIOS makers leave in place of a value.
bool IsPlaceholderValue(std::string_view value);

// A storage device descriptor (IOCTL_STORAGE_QUERY_PROPERTY answer of `size` bytes) as "vendor product",
// without the vendor when the product already begins with it; bytes outside printable ASCII become "?".
std::string DiskModelFromDescriptor(const void* answer, size_t size);

}  // namespace pl::inspect
