#pragma once
// The wipe: the stick, checked once more, becomes a FAT32 boot partition and an NTFS data partition, and the
// letters Windows gave them are found by their labels.

#include <cstdint>
#include <string>
#include <vector>

#include "usb/usb_drives.h"

namespace pl::usb {

inline constexpr wchar_t kBootLabel[] = L"PELLORA_PE";
inline constexpr wchar_t kDataLabel[] = L"PELLORA_DATA";

struct UsbFormatResult {
  bool ok = false;
  wchar_t peLetter = 0;     // 0 when not found
  wchar_t dataLetter = 0;
  std::string error;
  bool diskChanged = false;  // the check before the wipe failed: nothing was wiped

  bool operator==(const UsbFormatResult&) const = default;
};

inline constexpr char kDiskChangedMessage[] =
    "所选 U 盘已发生变化（可能被拔出或更换），为安全起见未做任何改动，请返回重新选择 U 盘。";

// The diskpart script for the disk, "\r\n" after every line.
std::string UsbFormatScript(int32_t diskNumber);

// A present drive carrying the label, and the physical disk it lies on (-1 when unknown).
struct LabeledDrive {
  wchar_t letter = 0;
  int32_t disk = -1;
};
// Among the drives carrying the label, the one on `diskNumber`; one whose disk is unknown only when it is the only
// drive with the label: an older stick of ours still plugged in must not receive the files. 0 when none.
wchar_t PickLabeledDrive(const std::vector<LabeledDrive>& drives, int32_t diskNumber);

// Looks for a present drive 'D' to 'Z' labelled exactly `label` on disk `diskNumber` (PickLabeledDrive): up to
// `attempts` looks, each after `machine.labelPause(pauseMs)`. 0 when none appeared.
wchar_t FindDriveByLabel(const std::wstring& label, int32_t diskNumber, const UsbMachine& machine, int attempts = 10,
                         uint32_t pauseMs = 500);

// Right before the wipe the disk is asked for again and must still be the `drive` the user chose from the list
// (WhyDiskChanged); otherwise nothing is wiped and `diskChanged` is set. Then the script, and the two letters. In
// dry-run the check runs, nothing is wiped and the letters are 'Y' and 'Z'.
UsbFormatResult FormatUsbDisk(const UsbDriveInfo& drive, bool dryRun, const UsbMachine& machine = LiveUsbMachine());

}  // namespace pl::usb
