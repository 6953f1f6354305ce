#include "inspect/system_info_rules.h"

#include <windows.h>
#include <winioctl.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "base/constants.h"
#include "base/text.h"
#include "log/log.h"

namespace pl::inspect {
namespace {

constexpr char kUnknown[] = "未知";

std::string OsText(const SummaryReadings& r) {
  if (r.productName.empty()) return kUnknown;
  std::string text = r.productName + " " + (r.native64 ? "64位" : "32位");
  if (!r.buildNumber.empty()) {
    text += " " + r.buildNumber;
    if (r.ubr) text += "." + std::to_string(*r.ubr);
  }
  return text;
}

std::string MemoryText(const std::optional<uint64_t>& bytes) {
  if (!bytes) return kUnknown;
  const auto gib = static_cast<uint64_t>(static_cast<double>(*bytes) / static_cast<double>(base::kGiB) + 0.5);
  return std::to_string(gib) + "GB";
}

// With no target drive known there is no letter to show; "未知" says so like every other unread fact.
std::string SystemDriveText(wchar_t letter) { return letter == 0 ? kUnknown : base::DriveLetterText(letter) + ":"; }

std::string PartitionText(const SummaryReadings& r) {
  const std::string firmware = r.firmware == disks::FirmwareType::Uefi ? "UEFI" : "Legacy";
  if (r.layout.opened && r.layout.answered) return std::string(r.layout.gpt ? "GPT" : "MBR") + ", " + firmware;
  if (r.layout.opened) {
    log::LogWarn("查询物理磁盘 " + std::to_string(r.diskNumber) + " 分区表失败, GetLastError=" +
                 std::to_string(r.layout.error));
  }
  return std::string(kUnknown) + ", " + firmware;
}

std::string SecureBootText(const SummaryReadings& r) {
  if (r.firmware != disks::FirmwareType::Uefi) return "不支持";
  if (!r.secureBootEnabled) return "支持（状态未知）";
  return *r.secureBootEnabled != 0 ? "已启用" : "支持（未启用）";
}

std::string Meaningful(const std::string& value) { return IsPlaceholderValue(value) ? std::string() : value; }

std::string MotherboardText(const SummaryReadings& r) {
  std::string manufacturer = Meaningful(r.boardManufacturer);
  std::string product = Meaningful(r.boardProduct);
  if (manufacturer.empty() && product.empty() && r.boardFallback) {
    const size_t bar = r.boardFallback->find('|');
    if (bar != std::string::npos) {
      manufacturer = Meaningful(r.boardFallback->substr(0, bar));
      product = Meaningful(r.boardFallback->substr(bar + 1));
    }
  }
  if (manufacturer.empty() && product.empty()) {
    log::LogWarn(
        "主板型号：注册表和 WMI 都没能读到有意义的值（这台机器的 BIOS 很可能压根没有填写 SMBIOS "
        "主板信息，不是代码 bug，任何软件在这台机器上都读不出来）");
    return kUnknown;
  }
  if (manufacturer.empty()) return product;
  if (product.empty()) return manufacturer;
  // "ASUSTeK COMPUTER INC." and "ASUSTeK COMPUTER INC. PRIME B450M" read better as the product alone.
  if (base::AsciiLower(base::TrimBlanks(product)).starts_with(base::AsciiLower(base::TrimBlanks(manufacturer)))) {
    return product;
  }
  return manufacturer + " " + product;
}

std::string DiskText(const SummaryReadings& r) {
  if (!r.disk.opened) return kUnknown;
  if (!r.disk.answered) {
    log::LogWarn("查询物理磁盘 " + std::to_string(r.diskNumber) + " 容量失败, GetLastError=" +
                 std::to_string(r.disk.error));
    return kUnknown;
  }
  char size[32];
  std::snprintf(size, sizeof size, "%.1f", static_cast<double>(r.disk.lengthBytes) / static_cast<double>(base::kGiB));
  std::string text = r.disk.model.empty() ? std::string() : r.disk.model + ", ";
  text += size;
  text += " GB";
  if (!r.disk.letters.empty()) {
    text += " (";
    for (size_t i = 0; i < r.disk.letters.size(); ++i) {
      if (i > 0) text += ' ';
      text += base::DriveLetterText(r.disk.letters[i]) + ":";
    }
    text += ")";
  }
  return text;
}

// A NUL-terminated text at `offset` of the answer, trimmed of blanks, its bytes outside printable ASCII made "?"
// (one byte that is not UTF-8 would blank the whole summary value); empty when the offset is out of range.
std::string DescriptorText(const unsigned char* bytes, size_t size, DWORD offset) {
  if (offset < 1 || offset > 1023 || offset >= size) return {};
  const char* start = reinterpret_cast<const char*>(bytes + offset);
  return base::PrintableAscii(base::TrimBlanks(std::string_view(start, strnlen(start, size - offset))));
}

}  // namespace

EnvironmentSummary SummaryFromReadings(const SummaryReadings& r) {
  EnvironmentSummary summary;
  summary.osText = OsText(r);
  summary.cpuText = r.processorName.empty() ? kUnknown : r.processorName;
  summary.memoryText = MemoryText(r.memoryBytes);
  summary.systemDriveText = SystemDriveText(r.systemDrive);
  summary.partitionText = PartitionText(r);
  summary.secureBootText = SecureBootText(r);
  summary.motherboardText = MotherboardText(r);
  summary.diskText = DiskText(r);
  summary.networkText = r.networkConnected ? "网络已连接" : "网络未连接";
  return summary;
}

bool IsPlaceholderValue(std::string_view value) {
  static constexpr std::array<std::string_view, 10> kPlaceholders = {
      "to be filled by o.e.m.", "to be filled by oem", "default string", "system manufacturer",
      "system product name",    "system version",      "not applicable", "not specified",
      "unknown",                "o.e.m"};
  const std::string lowered = base::AsciiLower(base::TrimBlanks(value));
  if (lowered.empty()) return true;
  for (std::string_view placeholder : kPlaceholders) {
    if (lowered == placeholder) return true;
  }
  return false;
}

std::string DiskModelFromDescriptor(const void* answer, size_t size) {
  if (answer == nullptr || size < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return {};
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, answer, sizeof descriptor);
  const auto* bytes = static_cast<const unsigned char*>(answer);
  const std::string vendor = DescriptorText(bytes, size, descriptor.VendorIdOffset);
  const std::string product = DescriptorText(bytes, size, descriptor.ProductIdOffset);
  if (vendor.empty()) return product;
  if (product.empty() || product.starts_with(vendor)) return product.empty() ? vendor : product;
  return vendor + " " + product;
}

}  // namespace pl::inspect
