// The diagnostics text from fixed parts and log files in a private folder, and the file written from it.
#include "inspect/diagnostics.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "base/file_tree.h"
#include "base/text.h"
#include "host_link.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::inspect {
namespace {

using pl::test::WriteFileBytes;

constexpr char kNoStagingLog[] =
    "\r\n===== pl_pe.log =====\r\n[未在任何固定分区上找到暂存区日志，可能已被清理或本次没有走 PE 流程]\r\n";

// Each fact its own short text, so the lines show which label took which field.
EnvironmentSummary Summary() {
  return {.osText = "os", .cpuText = "cpu", .memoryText = "16GB", .systemDriveText = "C:", .partitionText = "partition",
          .secureBootText = "secure boot", .motherboardText = "board", .diskText = "disk", .networkText = "network"};
}

std::tm Time(int year, int month, int day, int hour, int minute, int second) {
  std::tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

struct DiagnosticsTest : pl::test::LoggedTest {
  std::string Path(const std::wstring& path) { return base::WideToUtf8(path); }
  // Logs in temp\logs, the deployer's log in temp\pe, setup logs in temp\sys\Windows\Setup\Scripts\pl.
  DiagnosticParts Parts() {
    CreateDirectoryW(temp.Child(L"logs").c_str(), nullptr);
    DiagnosticParts parts;
    parts.version = "0.1.0";
    parts.generatedAt = Time(2024, 3, 9, 7, 5, 2);
    parts.summary = Summary();
    parts.logDirectory = temp.Child(L"logs");
    return parts;
  }
};

TEST_F(DiagnosticsTest, WholeTextInSectionOrder) {
  DiagnosticParts parts = Parts();
  const std::wstring setup = temp.Child(L"sys\\Windows\\Setup\\Scripts\\pl");
  ASSERT_TRUE(base::CreateDirectoryTree(setup));
  ASSERT_TRUE(base::CreateDirectoryTree(temp.Child(L"pe")));
  // Ends without a line feed: one is added. Ends with "\n": nothing is added. Raw bytes pass unchanged.
  ASSERT_TRUE(WriteFileBytes(parts.logDirectory + L"\\pl_host_gui.log", "gui 1\r\ngui 2 \xFF"));
  ASSERT_TRUE(WriteFileBytes(temp.Child(L"pe\\pl_pe.log"), "pe 1\n"));
  ASSERT_TRUE(WriteFileBytes(setup + L"\\pl_setup.log", ""));
  parts.stagingPeLog = temp.Child(L"pe\\pl_pe.log");
  parts.systemDrive = temp.Child(L"sys");

  const std::string expected =
      "Pellora重装大师 诊断信息\r\n"
      "生成时间：2024-03-09 07:05:02\r\n"
      "客户端版本：0.1.0\r\n"
      "\r\n===== 系统信息 =====\r\n"
      "当前系统：os\r\n"
      "CPU型号：cpu\r\n"
      "物理内存：16GB\r\n"
      "系统盘符：C:\r\n"
      "分区类型：partition\r\n"
      "安全启动：secure boot\r\n"
      "主板型号：board\r\n"
      "硬盘信息：disk\r\n"
      "网络状态：network\r\n"
      "\r\n===== pl_host_gui.log (" + Path(parts.logDirectory) + "\\pl_host_gui.log) =====\r\n"
      "gui 1\r\ngui 2 \xFF\r\n"
      "\r\n===== pl_host.log (" + Path(parts.logDirectory) + "\\pl_host.log) =====\r\n"
      "[未找到这份文件，跳过]\r\n"
      "\r\n===== pl_pe.log (" + Path(parts.stagingPeLog) + ") =====\r\n"
      "pe 1\n"
      "\r\n===== pl_setup.log (" + Path(setup) + "\\pl_setup.log) =====\r\n"
      "\r\n"
      "\r\n===== setupcomplete.log (" + Path(setup) + "\\setupcomplete.log) =====\r\n"
      "[未找到这份文件，跳过]\r\n";
  EXPECT_EQ(ComposeDiagnosticText(parts), expected);
}

TEST_F(DiagnosticsTest, NoStagingLogAndNoSystemDrive) {
  DiagnosticParts parts = Parts();
  const std::string logs = Path(parts.logDirectory);
  const std::string tail = "\r\n===== pl_host_gui.log (" + logs + "\\pl_host_gui.log) =====\r\n[未找到这份文件，跳过]\r\n" +
                           "\r\n===== pl_host.log (" + logs + "\\pl_host.log) =====\r\n[未找到这份文件，跳过]\r\n" +
                           kNoStagingLog;
  for (const std::wstring& systemDrive : {std::wstring(), std::wstring(260, L'C')}) {
    parts.systemDrive = systemDrive;
    const std::string text = ComposeDiagnosticText(parts);
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << systemDrive.size();
  }
}

// The deployer's and the set-up's logs, which other accounts can write: the last MiB from a whole line, and nothing
// through a link (to a file only administrators may read).
TEST_F(DiagnosticsTest, OtherAccountsLogsGiveTheirLastMegabyteAndNoLinks) {
  std::string big;
  for (int i = 0; big.size() <= kMaxLogTail + 100000; ++i) big += "line " + std::to_string(i) + "\r\n";
  uint64_t skipped = big.size() - kMaxLogTail;
  skipped = big.find('\n', skipped) + 1;
  const std::string tail = "[文件较大，只附最后 1 MiB，前面 " + std::to_string(skipped) + " 字节已略去]\r\n" +
                           big.substr(skipped);
  const std::string link = "[这份文件或它所在的文件夹是链接，跳过]\r\n";
  struct Case {
    const char* name;
    std::string content;     // of pl_pe.log in a folder of its own, and of pl_setup.log
    bool folderLink;         // that folder is a link to the real one
    bool secondHardLink;     // pl_setup.log has a second name elsewhere
    std::string peSection;   // what follows each section's head
    std::string setupSection;
  };
  const std::vector<Case> cases = {
      {"small logs whole", "a\r\nb", false, false, "a\r\nb\r\n", "a\r\nb\r\n"},
      {"large logs cut", big, false, false, tail, tail},
      {"a folder link and a hard link", "secret\r\n", true, true, link, link},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDirectory folder;
    DiagnosticParts parts = Parts();
    const std::wstring real = folder.Child(L"real");
    const std::wstring setup = folder.Child(L"sys\\Windows\\Setup\\Scripts\\pl");
    ASSERT_TRUE(base::CreateDirectoryTree(real + L"\\x"));
    ASSERT_TRUE(base::CreateDirectoryTree(setup));
    ASSERT_TRUE(WriteFileBytes(real + L"\\pl_pe.log", c.content));
    ASSERT_TRUE(WriteFileBytes(setup + L"\\pl_setup.log", c.content));
    std::optional<test::ScopedHostLink> folderLink;
    if (c.folderLink) {
      folderLink.emplace(folder.Child(L"pe"), real);
      ASSERT_TRUE(folderLink->made);
    }
    if (c.secondHardLink) {
      ASSERT_TRUE(CreateHardLinkW(folder.Child(L"other").c_str(), (setup + L"\\pl_setup.log").c_str(), nullptr));
    }
    parts.stagingPeLog = (c.folderLink ? folder.Child(L"pe") : real) + L"\\pl_pe.log";
    parts.systemDrive = folder.Child(L"sys");
    const std::string text = ComposeDiagnosticText(parts);
    const std::string pe = "\r\n===== pl_pe.log (" + Path(parts.stagingPeLog) + ") =====\r\n";
    const std::string setupHead = "\r\n===== pl_setup.log (" + Path(setup) + "\\pl_setup.log) =====\r\n";
    const size_t peAt = text.find(pe);
    const size_t setupAt = text.find(setupHead);
    ASSERT_NE(peAt, std::string::npos);
    ASSERT_NE(setupAt, std::string::npos);
    EXPECT_TRUE(text.substr(peAt + pe.size(), setupAt - peAt - pe.size()) == c.peSection);
    const std::string afterSetup = text.substr(setupAt + setupHead.size());
    EXPECT_TRUE(afterSetup.substr(0, afterSetup.find("\r\n===== setupcomplete.log")) == c.setupSection);
  }
}

struct DiagnosticFileTest : pl::test::LoggedTest {
  DiagnosticFileSources Sources(const std::wstring& desktop) {
    return {.buildText = [](const std::string& version) { return "text of " + version + "\r\n"; },
            .localTime = [] { return Time(2024, 1, 2, 3, 4, 5); },
            .desktopDirectory = [desktop] { return desktop; }};
  }
};

TEST_F(DiagnosticFileTest, OnTheDesktopWithByteOrderMarkReplacingAnOldFile) {
  const std::wstring expectedPath = temp.path + L"\\Pellora重装大师诊断信息_20240102_030405.txt";
  ASSERT_TRUE(WriteFileBytes(expectedPath, std::string(100, 'o')));
  EXPECT_EQ(WriteDiagnosticFile("0.1.0", Sources(temp.path)), expectedPath);
  std::string bytes;
  ASSERT_TRUE(pl::test::ReadFileBytes(expectedPath, &bytes));
  EXPECT_EQ(bytes, "\xEF\xBB\xBFtext of 0.1.0\r\n");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] 已生成诊断信息文件: " + base::WideToUtf8(expectedPath)}));
}

TEST_F(DiagnosticFileTest, WithoutADesktopInTheCurrentDirectory) {
  wchar_t previous[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
  const std::wstring path = WriteDiagnosticFile("0.1.0", Sources(L""));
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(path, L".\\Pellora重装大师诊断信息_20240102_030405.txt");
  EXPECT_TRUE(pl::test::FileExists(temp.Child(L"Pellora重装大师诊断信息_20240102_030405.txt")));
}

TEST_F(DiagnosticFileTest, UnopenableFolderGivesNoPath) {
  const std::wstring missing = temp.Child(L"missing");
  EXPECT_EQ(WriteDiagnosticFile("0.1.0", Sources(missing)), L"");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [WARN] 生成诊断信息文件失败（打不开输出路径）: " +
                                                  base::WideToUtf8(missing) +
                                                  "\\Pellora重装大师诊断信息_20240102_030405.txt"}));
}

// The build tree's link to /dev/full stands where the file goes: it opens, and writing fails, as on a full disk.
TEST_F(DiagnosticFileTest, AFailedWriteGivesNoPath) {
  std::wstring folder = base::Utf8ToWide(PL_INSPECT_DEVFULL);
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  EXPECT_EQ(WriteDiagnosticFile("0.1.0", Sources(folder)), L"");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [WARN] 生成诊断信息文件失败（写入失败）: " +
                                                  base::WideToUtf8(folder) +
                                                  "\\Pellora重装大师诊断信息_20240102_030405.txt"}));
}

}  // namespace
}  // namespace pl::inspect
