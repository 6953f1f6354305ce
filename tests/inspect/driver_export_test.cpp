// Driver export with the fake Dism: the argument texts, the quoted destination, the folder, the log and dry-run.
#include "inspect/driver_export.h"

#include <gtest/gtest.h>

#include <optional>

#include "base/text.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::inspect {
namespace {

using pl::test::FakeToolRule;

// What Dism prints while exporting: a banner, progress bars redrawn with carriage returns, a closing line.
constexpr char kDismProgress[] =
    "\r\nDeployment Image Servicing and Management tool\r\nVersion: 10.0.19041.844\r\n\r\n"
    "[=====                      10.0%                          ]\r"
    "[==========================100.0%==========================]\r\n"
    "The operation completed successfully.\r\n";

struct DriverExportTest : pl::test::LoggedTest {};

TEST_F(DriverExportTest, Routes) {
  const std::wstring blocker = temp.Child(L"a file");  // a file where a folder of the path should be
  ASSERT_TRUE(pl::test::WriteFileBytes(blocker, "x"));
  struct Case {
    const char* name;
    std::wstring destination;
    wchar_t letter;
    bool dryRun;
    std::optional<FakeToolRule> dism;  // none: Dism is not to be started
    bool result;
    bool folderAfter;
    std::string log;  // whole, timestamps as "T", the destination as <dest>
  } cases[] = {
      {"online export with progress bars", temp.Child(L"data\\backup\\drivers"), 0, false,
       FakeToolRule{.tool = "dism", .output = kDismProgress}, true, true,
       "T [INFO] Dism /Online /Export-Driver /Destination:\"<dest>\"\r\n"
       "T [INFO] \nDeployment Image Servicing and Management tool\nVersion: 10.0.19041.844\n\n\n"
       "The operation completed successfully.\n\r\n"},
      {"offline image, destination with blanks", temp.Child(L"data dir\\backup\\drivers"), L'D', false,
       FakeToolRule{.tool = "dism", .output = "ok"}, true, true,
       "T [INFO] Dism /Image:D:\\ /Export-Driver /Destination:\"<dest>\"\r\nT [INFO] ok\r\n"},
      {"folder fails, Dism still runs and decides", blocker + L"\\drivers", 0, false,
       FakeToolRule{.tool = "dism", .exitCode = 3, .output = "Error: 3\r\n[====100.0%====]\r\n"}, false, false,
       "T [WARN] 创建驱动备份目录失败: <dest>, GetLastError=3\r\n"
       "T [INFO] Dism /Online /Export-Driver /Destination:\"<dest>\"\r\n"
       "T [ERROR] Dism /Export-Driver 失败, exitCode=3\nError: 3\n\n\r\n"},
      {"dry-run starts and creates nothing", temp.Child(L"dry\\drivers"), L'C', true, std::nullopt, true, false,
       "T [INFO] Dism /Image:C:\\ /Export-Driver /Destination:\"<dest>\"\r\nT [INFO] [dry-run] 跳过实际执行\r\n"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseLog(L"case" + std::to_wstring(index++) + L".log");
    pl::test::FakeTools fake;
    if (c.dism) fake.Add(*c.dism);
    EXPECT_EQ(ExportDrivers(c.destination, c.letter, c.dryRun), c.result);
    std::string expected = c.log;
    for (size_t at; (at = expected.find("<dest>")) != std::string::npos;) {
      expected.replace(at, 6, base::WideToUtf8(c.destination));
    }
    EXPECT_EQ(LogText(), expected);
    EXPECT_EQ(pl::test::FileExists(c.destination), c.folderAfter);
    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), c.dism ? 1u : 0u);
    if (c.dism) {  // the arguments logged are the ones Dism got
      const size_t at = expected.find("Dism /") + 5;
      EXPECT_EQ(calls[0].tool, "dism");
      EXPECT_EQ(calls[0].arguments, expected.substr(at, expected.find("\r\n", at) - at));
    }
  }
}

}  // namespace
}  // namespace pl::inspect
