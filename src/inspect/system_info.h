#pragma once
// The machine in nine ready-to-show texts, for the environment-check page and the head of the diagnostics text,
// with the system drive's BitLocker state and the staging pre-check. A fact that cannot be read shows "未知" (or
// a stated variant); nothing here fails.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/unique_handle.h"
#include "disks/planner.h"

namespace pl::inspect {

struct EnvironmentSummary {
  std::string osText;           // "当前系统：" product name, bitness, build and revision
  std::string cpuText;          // "CPU型号："
  std::string memoryText;       // "物理内存：" whole GB, e.g. "16GB"
  std::string systemDriveText;  // "系统盘符：" e.g. "C:"
  std::string partitionText;    // "分区类型：" e.g. "GPT, UEFI"
  std::string secureBootText;   // "安全启动："
  std::string motherboardText;  // "主板型号："
  std::string diskText;         // "硬盘信息：" model, size and the drive letters on the system disk
  std::string networkText;      // "网络状态："
  bool systemBitLockerOn = false;
  disks::StagingFeasibility staging;

  bool operator==(const EnvironmentSummary&) const = default;
};

// Asks the machine for everything (the board fallback may take up to 15 s): call it off the window's thread.
EnvironmentSummary GatherEnvironmentSummary();

// The processor name, trimmed; empty (not "未知") when it cannot be read. The device report uses it alone.
std::string ReadProcessorName();

// A string value of the registry as UTF-8 (at most 255 characters); empty when missing or of another type.
std::string ReadRegistryText(HKEY root, const std::wstring& subkey, const std::wstring& value);

// Opens a disk for reading, or else with no access rights (enough for some queries). Both failing logs a warning
// naming `label` and both errors, and gives an invalid handle.
base::UniqueFileHandle OpenPhysicalDrive(const std::wstring& path, const std::string& label);

// Vendor and product of the disk from its device descriptor; empty when the query fails.
std::string ReadDiskModel(HANDLE disk);

// "manufacturer|product" from WMI's Win32_BaseBoard, trimmed; empty on failure (logged).
std::string QueryBaseBoardViaPowerShell(int32_t timeLimitMs = 15000);

}  // namespace pl::inspect
