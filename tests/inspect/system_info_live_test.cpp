// The summary and the diagnostics text gathered from the test prefix itself (PowerShell is the fake one, which
// answers nothing). Wine gives no disk numbers, firmware type or board values, so those facts take their
// fallbacks. These tests read the drives and hold the prefix lock.
#include "inspect/system_info.h"

#include <gtest/gtest.h>

#include "base/file_tree.h"
#include "drive_mapping.h"
#include "inspect/diagnostics.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::inspect {
namespace {

struct LiveSummaryTest : pl::test::LoggedTest {
  pl::test::FakeTools fake;
};

TEST_F(LiveSummaryTest, EveryTextIsFilled) {
  const EnvironmentSummary summary = GatherEnvironmentSummary();
  for (const std::string* text : {&summary.osText, &summary.cpuText, &summary.memoryText, &summary.systemDriveText,
                                  &summary.partitionText, &summary.secureBootText, &summary.motherboardText,
                                  &summary.diskText, &summary.networkText}) {
    EXPECT_FALSE(text->empty());
  }
  EXPECT_EQ(summary.systemDriveText, "C:");
  EXPECT_NE(summary.memoryText, "未知");
  EXPECT_TRUE(summary.memoryText.ends_with("GB")) << summary.memoryText;
  EXPECT_FALSE(ReadProcessorName().empty());
  EXPECT_EQ(summary.cpuText, ReadProcessorName());
  EXPECT_FALSE(summary.systemBitLockerOn);
  // Wine's board values are empty: the fallback was asked.
  bool askedBoard = false;
  for (const auto& call : fake.Calls()) askedBoard = askedBoard || call.arguments.find("Win32_BaseBoard") != std::string::npos;
  EXPECT_TRUE(askedBoard);
}

TEST_F(LiveSummaryTest, DiagnosticsFindTheStagingLogOnFixedDrivesOnly) {
  pl::test::TempDirectory drives;
  for (const wchar_t* name : {L"fixed\\$PelloraData$", L"removable\\$PelloraData$", L"empty"}) {
    ASSERT_TRUE(base::CreateDirectoryTree(drives.Child(name)));
  }
  ASSERT_TRUE(pl::test::WriteFileBytes(drives.Child(L"fixed\\$PelloraData$\\pl_pe.log"), "deployer line\r\n"));
  ASSERT_TRUE(pl::test::WriteFileBytes(drives.Child(L"removable\\$PelloraData$\\pl_pe.log"), "stick\r\n"));
  EXPECT_EQ(FindStagingPeLog(), L"");
  pl::test::ScopedDrive empty(L'K', drives.Child(L"empty"));
  pl::test::ScopedDrive removable(L'L', drives.Child(L"removable"), "", DRIVE_REMOVABLE);
  {
    pl::test::ScopedDrive fixed(L'M', drives.Child(L"fixed"));
    ASSERT_TRUE(empty.mapped && removable.mapped && fixed.mapped);
    EXPECT_EQ(FindStagingPeLog(), L"M:\\$PelloraData$\\pl_pe.log");
    const std::string text = BuildDiagnosticText("0.1.0");
    EXPECT_TRUE(text.starts_with("Pellora重装大师 诊断信息\r\n生成时间：")) << text;
    EXPECT_NE(text.find("\r\n客户端版本：0.1.0\r\n\r\n===== 系统信息 =====\r\n当前系统："), std::string::npos);
    EXPECT_NE(text.find("\r\n系统盘符：C:\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n===== pl_pe.log (M:\\$PelloraData$\\pl_pe.log) =====\r\ndeployer line\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\n===== setupcomplete.log (C:\\Windows\\Setup\\Scripts\\pl\\setupcomplete.log) =====\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(FindStagingPeLog(), L"");
}

}  // namespace
}  // namespace pl::inspect
