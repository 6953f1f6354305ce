#include "usb/usb_boot_files.h"

#include <gtest/gtest.h>

#include "base/system_paths.h"
#include "base/text.h"
#include "log_capture.h"
#include "usb_expectations.h"

namespace pl::usb::test {
namespace {

using Lines = std::vector<std::string>;

Lines Take(const Lines& commands, size_t count) { return Lines(commands.begin(), commands.begin() + count); }
Lines Join(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kBios = "/store \"U:\\Boot\\BCD\" ";
const std::string kUefi = "/store \"U:\\EFI\\Microsoft\\Boot\\BCD\" ";

// bcdboot, then the edits of both stores through the fake tools: which commands ran, whether the stick counts as
// bootable, and the failure and warning lines logged.
struct BootFilesCase {
  const char* name;
  std::vector<pl::test::FakeToolRule> rules;
  bool ok;
  Lines bcdedit;
  Lines problems;  // the WARN and ERROR lines, in order
};

struct UsbBootFilesTest : pl::test::LoggedTest, ::testing::WithParamInterface<BootFilesCase> {};

void PrintTo(const BootFilesCase& c, std::ostream* os) { *os << c.name; }

TEST_P(UsbBootFilesTest, RunsBcdbootAndEditsBothStores) {
  const BootFilesCase& c = GetParam();
  pl::test::FakeTools fake;
  for (const pl::test::FakeToolRule& rule : c.rules) fake.Add(rule);
  EXPECT_EQ(WriteUsbBootFiles(L'U', L"\\$PelloraData$\\pe.wim", L"\\$PelloraData$\\boot.sdi", false), c.ok);

  const std::string bcdboot = "bcdboot " + base::WideToUtf8(base::WindowsDirectoryPath()) + " /s U: /f ALL";
  Lines bcdedit;
  Lines tools;
  for (const pl::test::FakeToolCall& call : fake.Calls()) {
    (call.tool == "bcdedit" ? bcdedit : tools).push_back(call.tool + " " + call.arguments);
  }
  EXPECT_EQ(tools, Lines{bcdboot});
  Lines expectedBcdedit;
  for (const std::string& arguments : c.bcdedit) expectedBcdedit.push_back("bcdedit " + arguments);
  EXPECT_EQ(bcdedit, expectedBcdedit);

  const Lines log = LogLines();
  EXPECT_EQ(log.at(0), "T [INFO] " + bcdboot);
  Lines problems;
  for (const std::string& line : log) {
    if (line.rfind("T [INFO] ", 0) != 0) problems.push_back(line);
  }
  EXPECT_EQ(problems, c.problems);
}

const Lines kBoth = BothStores('U');
const Lines kBiosAll = StoreCommands('U', false);
const Lines kUefiAll = StoreCommands('U', true);
const std::string kBiosWarning = "T [WARN] BIOS 引导项改写失败（UEFI 电脑不受影响）";
const std::string kUefiWarning = "T [WARN] UEFI 引导项改写失败（BIOS/Legacy 电脑不受影响）";
// The failure line of a bcdedit run answered with exit code 1 and "denied".
const std::string kDenied = "T [ERROR] bcdedit 执行失败, exitCode=1\ndenied";
const std::string kMenuWarning = "T [WARN] 设置 U 盘引导菜单风格失败，不影响 U 盘启动本身";

INSTANTIATE_TEST_SUITE_P(
    Stores, UsbBootFilesTest,
    ::testing::Values(
        BootFilesCase{"BothStoresEdited", {}, true, kBoth, {}},
        // A fresh store has no {ramdiskoptions}: failing to create it ends that store.
        BootFilesCase{"RamdiskOptionsCreationFailsInTheBiosStore",
                      {{.tool = "bcdedit", .match = kBios + "/create*", .exitCode = 1, .output = "denied"}},
                      true, Join(Take(kBiosAll, 1), kUefiAll), {kDenied, kBiosWarning}},
        BootFilesCase{"UefiStoreFailsBiosStoreGood",
                      {{.tool = "bcdedit", .match = kUefi + "/set {default} winpe*", .exitCode = 1,
                        .output = "denied"}},
                      true, Join(kBiosAll, Take(kUefiAll, 8)), {kDenied, kUefiWarning}},
        BootFilesCase{"BothStoresFail",
                      {{.tool = "bcdedit", .match = "*/create {ramdiskoptions}*", .exitCode = 1, .output = "denied"}},
                      false, {kBiosAll[0], kUefiAll[0]}, {kDenied, kBiosWarning, kDenied, kUefiWarning}},
        BootFilesCase{"MenuSettingsOnlyWarn",
                      {{.tool = "bcdedit", .match = "*bootmenupolicy*", .exitCode = 1, .output = "denied"},
                       {.tool = "bcdedit", .match = kUefi + "*timeout*", .exitCode = 1, .output = "denied"}},
                      true, kBoth,
                      {kDenied, kMenuWarning, kDenied, kMenuWarning, kDenied,
                       "T [WARN] 设置 U 盘引导菜单等待时间失败，不影响 U 盘启动本身"}},
        BootFilesCase{"BcdbootFails",
                      {{.tool = "bcdboot", .exitCode = 2, .output = "no boot files"}},
                      false, {}, {"T [ERROR] bcdboot 生成 U 盘引导文件失败, exitCode=2\nno boot files"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pl::usb::test
