#include "usb/usb_format.h"

#include <windows.h>

#include <utility>

#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::usb {
namespace {

using base::WideToUtf8;

constexpr int32_t kBootPartitionMiB = 3072;

std::wstring LabelOf(wchar_t letter) {
  wchar_t label[MAX_PATH + 1] = {};
  if (!GetVolumeInformationW(base::DriveRoot(letter).c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                             nullptr, 0)) {
    return {};
  }
  return label;
}

UsbFormatResult Failed(std::string error, bool diskChanged = false) {
  UsbFormatResult result;
  result.error = std::move(error);
  result.diskChanged = diskChanged;
  return result;
}

}  // namespace

std::string UsbFormatScript(int32_t diskNumber) {
  const std::string boot = WideToUtf8(kBootLabel);
  const std::string data = WideToUtf8(kDataLabel);
  return "select disk " + std::to_string(diskNumber) + "\r\n" +
         "clean\r\n"
         "create partition primary size=" + std::to_string(kBootPartitionMiB) + "\r\n" +
         "active\r\n"
         "format fs=fat32 quick label=\"" + boot + "\"\r\n" +
         "assign\r\n"
         "create partition primary\r\n"
         "format fs=ntfs quick label=\"" + data + "\"\r\n" +
         "assign\r\n";
}

wchar_t PickLabeledDrive(const std::vector<LabeledDrive>& drives, int32_t diskNumber) {
  for (const LabeledDrive& drive : drives) {
    if (drive.disk >= 0 && drive.disk == diskNumber) return drive.letter;
  }
  return drives.size() == 1 && drives[0].disk < 0 ? drives[0].letter : 0;
}

wchar_t FindDriveByLabel(const std::wstring& label, int32_t diskNumber, const UsbMachine& machine, int attempts,
                         uint32_t pauseMs) {
  std::wstring passedOver;  // letters already named in the log
  for (int attempt = 0; attempt < attempts; ++attempt) {
    machine.labelPause(pauseMs);
    const DWORD present = GetLogicalDrives();
    std::vector<LabeledDrive> drives;
    for (wchar_t letter = L'D'; letter <= L'Z'; ++letter) {
      if ((present & (1u << (letter - L'A'))) && LabelOf(letter) == label) {
        drives.push_back({letter, machine.diskOfDrive(letter)});
      }
    }
    if (const wchar_t found = PickLabeledDrive(drives, diskNumber)) return found;
    for (const LabeledDrive& drive : drives) {
      if (drive.disk == diskNumber || passedOver.find(drive.letter) != std::wstring::npos) continue;
      passedOver += drive.letter;
      log::LogWarn("跳过同样卷标的 " + base::WideToUtf8(std::wstring(1, drive.letter)) + ": 盘（" +
                   (drive.disk < 0 ? std::string("所在磁盘未知") : "在磁盘 " + std::to_string(drive.disk) + " 上") +
                   "），它不是刚格式化的 U 盘");
    }
  }
  return 0;
}

UsbFormatResult FormatUsbDisk(const UsbDriveInfo& drive, bool dryRun, const UsbMachine& machine) {
  // The list may be minutes old: the stick may have been pulled and its number taken by another disk.
  const std::string changed =
      WhyDiskChanged(drive, machine.describeDisk(drive.diskNumber), machine.systemDiskNumber());
  if (!changed.empty()) {
    log::LogWarn("格式化前复核 U 盘未通过: " + changed);
    return Failed(kDiskChangedMessage, true);
  }
  log::LogInfo("格式化前复核 U 盘: 磁盘 " + std::to_string(drive.diskNumber) + "（" + drive.name + "，" +
               std::to_string(static_cast<int64_t>(drive.sizeGb)) + " GB）仍是所选的 U 盘");

  const std::string script = UsbFormatScript(drive.diskNumber);
  log::LogInfo("diskpart 脚本(格式化U盘，两个分区):\n" + script);
  if (!tools::RunDiskpartScript(script, dryRun)) return Failed("diskpart 格式化 U 盘失败");
  if (dryRun) return {.ok = true, .peLetter = L'Y', .dataLetter = L'Z'};

  UsbFormatResult result;
  result.peLetter = FindDriveByLabel(kBootLabel, drive.diskNumber, machine);
  if (result.peLetter == 0) return Failed("格式化后未能定位到 U 盘引导分区的盘符");
  result.dataLetter = FindDriveByLabel(kDataLabel, drive.diskNumber, machine);
  if (result.dataLetter == 0) return Failed("格式化后未能定位到 U 盘数据分区的盘符");
  result.ok = true;
  return result;
}

}  // namespace pl::usb
