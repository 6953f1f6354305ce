// The summary's texts from plain readings: one typical machine, and per case what differs from it.
#include "inspect/system_info_rules.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "log_capture.h"
#include "printers.h"

namespace pl::inspect {
namespace {

using disks::FirmwareType;

constexpr char kNoBoard[] =
    "T [WARN] 主板型号：注册表和 WMI 都没能读到有意义的值（这台机器的 BIOS 很可能压根没有填写 SMBIOS "
    "主板信息，不是代码 bug，任何软件在这台机器上都读不出来）";

SummaryReadings TypicalMachine() {
  SummaryReadings r;
  r.productName = "Windows 10 Pro";
  r.buildNumber = "19045";
  r.ubr = 3803;
  r.native64 = true;
  r.processorName = "Intel(R) Core(TM) i5-8400 CPU @ 2.80GHz";
  r.memoryBytes = 17179869184;  // 16 GiB
  r.systemDrive = L'C';
  r.firmware = FirmwareType::Uefi;
  r.diskNumber = 0;
  r.layout = {.opened = true, .answered = true, .gpt = true};
  r.secureBootEnabled = 1;
  r.boardManufacturer = "ASUSTeK COMPUTER INC.";
  r.boardProduct = "PRIME B360M-A";
  r.disk = {.opened = true, .answered = true, .lengthBytes = 512110190592, .model = "Samsung SSD 860 EVO 500GB",
            .letters = {L'C'}};
  r.networkConnected = true;
  return r;
}

EnvironmentSummary TypicalSummary() {
  EnvironmentSummary s;
  s.osText = "Windows 10 Pro 64位 19045.3803";
  s.cpuText = "Intel(R) Core(TM) i5-8400 CPU @ 2.80GHz";
  s.memoryText = "16GB";
  s.systemDriveText = "C:";
  s.partitionText = "GPT, UEFI";
  s.secureBootText = "已启用";
  s.motherboardText = "ASUSTeK COMPUTER INC. PRIME B360M-A";
  s.diskText = "Samsung SSD 860 EVO 500GB, 476.9 GB (C:)";
  s.networkText = "网络已连接";
  return s;
}

struct SummaryRulesTest : pl::test::LoggedTest {};

TEST_F(SummaryRulesTest, TextsFromReadings) {
  using R = SummaryReadings;
  using S = EnvironmentSummary;
  struct Case {
    const char* name;
    std::function<void(R&)> readings;
    std::function<void(S&)> summary;
    std::vector<std::string> log;
  } cases[] = {
      {"typical machine", [](R&) {}, [](S&) {}, {}},
      {"registry placeholders in any case, WMI names a board not beginning with its maker",
       [](R& r) {
         r.boardManufacturer = "System manufacturer", r.boardProduct = " TO BE FILLED BY O.E.M.\t";
         r.boardFallback = "Micro-Star International Co., Ltd.|B450M MORTAR";
       },
       [](S& s) { s.motherboardText = "Micro-Star International Co., Ltd. B450M MORTAR"; }, {}},
      {"product beginning with its manufacturer, case and blanks aside",
       [](R& r) { r.boardManufacturer = " Gigabyte Co.\t", r.boardProduct = "GIGABYTE CO. B450 AORUS"; },
       [](S& s) { s.motherboardText = "GIGABYTE CO. B450 AORUS"; }, {}},
      {"only one value means something", [](R& r) { r.boardManufacturer = "HP", r.boardProduct = "Default string"; },
       [](S& s) { s.motherboardText = "HP"; }, {}},
      {"both sources empty", [](R& r) { r.boardManufacturer = "Not Applicable", r.boardProduct = "", r.boardFallback = ""; },
       [](S& s) { s.motherboardText = "未知"; }, {kNoBoard}},
      {"WMI answer without a bar", [](R& r) { r.boardManufacturer = r.boardProduct = "", r.boardFallback = "ASUS"; },
       [](S& s) { s.motherboardText = "未知"; }, {kNoBoard}},
      {"BIOS machine", [](R& r) { r.firmware = FirmwareType::Bios, r.secureBootEnabled.reset(), r.layout.gpt = false; },
       [](S& s) { s.partitionText = "MBR, Legacy", s.secureBootText = "不支持"; }, {}},
      {"secure boot off", [](R& r) { r.secureBootEnabled = 0; }, [](S& s) { s.secureBootText = "支持（未启用）"; }, {}},
      {"secure boot unreadable", [](R& r) { r.secureBootEnabled.reset(); },
       [](S& s) { s.secureBootText = "支持（状态未知）"; }, {}},
      {"UEFI machine whose layout query fails", [](R& r) { r.layout = {.opened = true, .error = 1}; },
       [](S& s) { s.partitionText = "未知, UEFI"; }, {"T [WARN] 查询物理磁盘 0 分区表失败, GetLastError=1"}},
      {"8.4 GiB of memory", [](R& r) { r.memoryBytes = 9019431321; }, [](S& s) { s.memoryText = "8GB"; }, {}},
      {"8.5 GiB of memory", [](R& r) { r.memoryBytes = 9126805504; }, [](S& s) { s.memoryText = "9GB"; }, {}},
      {"disk holding C: and D:", [](R& r) { r.disk.letters = {L'C', L'D'}; },
       [](S& s) { s.diskText = "Samsung SSD 860 EVO 500GB, 476.9 GB (C: D:)"; }, {}},
      {"disk without model or letters", [](R& r) { r.disk.model.clear(), r.disk.letters.clear(); },
       [](S& s) { s.diskText = "476.9 GB"; }, {}},
      {"disk length query fails", [](R& r) { r.disk = {.opened = true, .error = 1117}; },
       [](S& s) { s.diskText = "未知"; }, {"T [WARN] 查询物理磁盘 0 容量失败, GetLastError=1117"}},
      {"no target system drive", [](R& r) { r.systemDrive = 0, r.diskNumber = -1, r.layout = {}, r.disk = {}; },
       [](S& s) { s.systemDriveText = "未知", s.partitionText = "未知, UEFI", s.diskText = "未知"; }, {}},
      {"32-bit, no build", [](R& r) { r.buildNumber.clear(), r.native64 = false; },
       [](S& s) { s.osText = "Windows 10 Pro 32位"; }, {}},
      {"build without revision", [](R& r) { r.ubr.reset(); }, [](S& s) { s.osText = "Windows 10 Pro 64位 19045"; }, {}},
      {"nothing readable", [](R& r) { r.productName.clear(), r.processorName.clear(), r.memoryBytes.reset(); },
       [](S& s) { s.osText = s.cpuText = s.memoryText = "未知"; }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    SummaryReadings readings = TypicalMachine();
    c.readings(readings);
    EnvironmentSummary expected = TypicalSummary();
    c.summary(expected);
    EXPECT_EQ(SummaryFromReadings(readings), expected);
    EXPECT_EQ(LogLines(), c.log);
  }
}

TEST(SummaryRules, PlaceholderValues) {
  for (const char* value : {"", " \t", "to be filled by o.e.m.", "To Be Filled By OEM", "DEFAULT STRING",
                            "System Manufacturer", "System Product Name", " System Version ", "Not Applicable",
                            "not specified", "Unknown", "O.E.M"}) {
    EXPECT_TRUE(IsPlaceholderValue(value)) << value;
  }
  for (const char* value : {"O.E.M.", "unknown board", "ASUS"}) EXPECT_FALSE(IsPlaceholderValue(value)) << value;
}

// A device descriptor with the vendor and product texts behind it (the product's offset replaced when given).
std::string Descriptor(const std::string& vendor, const std::string& product, DWORD productOffset = 0) {
  STORAGE_DEVICE_DESCRIPTOR head = {};
  head.VendorIdOffset = sizeof head;
  head.ProductIdOffset = productOffset ? productOffset : static_cast<DWORD>(sizeof head + vendor.size() + 1);
  std::string bytes(reinterpret_cast<const char*>(&head), sizeof head);
  return bytes + vendor + '\0' + product + '\0';
}

TEST(SummaryRules, DiskModelFromDescriptor) {
  struct Case {
    std::string answer;
    std::string model;
  } cases[] = {
      {Descriptor("ATA     ", "ST1000DM003-1CH162  "), "ATA ST1000DM003-1CH162"},
      {Descriptor("Samsung", "Samsung SSD 860 EVO 500GB"), "Samsung SSD 860 EVO 500GB"},
      {Descriptor("  ", "\tWDC WD10EZEX"), "WDC WD10EZEX"},
      {Descriptor("NVMe", "x", 5000), "NVMe"},  // an offset past the answer is not followed
      {Descriptor("NVMe", "x").substr(0, 8), ""},
      // Bytes that are not printable ASCII (here not even UTF-8) never reach the summary as they are.
      {Descriptor("ATA", "ST\xFF\x80" "1000\x7F\t "), "ATA ST??1000?"},
  };
  for (const Case& c : cases) EXPECT_EQ(DiskModelFromDescriptor(c.answer.data(), c.answer.size()), c.model);
}

}  // namespace
}  // namespace pl::inspect
