#include "log/log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "base/unique_handle.h"
#include "host_link.h"
#include "test_support.h"

namespace pl::log {
namespace {

using test::LogLinesWithoutTime;
using test::ReadFileBytes;
using test::TempDirectory;

// Sends standard output to a file for the scope, so what the log printed can be read back.
struct CapturedStdout {
  explicit CapturedStdout(const std::wstring& path)
      : path(path),
        file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr)) {
    SetStdHandle(STD_OUTPUT_HANDLE, file.get());
  }
  ~CapturedStdout() { Restore(); }
  std::string Text() {
    Restore();
    std::string bytes;
    ReadFileBytes(path, &bytes);
    return bytes;
  }
  void Restore() {
    if (!file) return;
    SetStdHandle(STD_OUTPUT_HANDLE, old);
    file.reset();
  }
  std::wstring path;
  base::UniqueFileHandle file;
  HANDLE old = GetStdHandle(STD_OUTPUT_HANDLE);
};

TEST(LogMessageCleaning, ProgressBarsGoOnlyWhenAPercentSignIsPresent) {
  EXPECT_EQ(CleanMessage("first [=====   45.3%     ]\rsecond"), "first second");
  EXPECT_EQ(CleanMessage("[==========================100.0%==========================]\r\n"), "\n");
  EXPECT_EQ(CleanMessage("a[ 7.5% ]b[=1.0%=]c"), "abc");
  // Carriage returns stay when there is no percent sign; they go with one even without a bar.
  EXPECT_EQ(CleanMessage("line\rnext"), "line\rnext");
  EXPECT_EQ(CleanMessage("50% done\r\n"), "50% done\n");
  // Not a progress bar: two decimals, four digits, no decimal, other characters inside.
  EXPECT_EQ(CleanMessage("[==45.25%==]"), "[==45.25%==]");
  EXPECT_EQ(CleanMessage("[1234.5%]"), "[1234.5%]");
  EXPECT_EQ(CleanMessage("[ 45% ]"), "[ 45% ]");
  EXPECT_EQ(CleanMessage("[x45.3%]"), "[x45.3%]");
  EXPECT_EQ(CleanMessage(""), "");
}

TEST(LogLineFormat, TimestampLevelAndMessage) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 4;
  t.tm_mday = 1;
  t.tm_hour = 9;
  t.tm_min = 30;
  t.tm_sec = 12;
  EXPECT_EQ(FormatLine(t, Level::Warn, "磁盘空间不足"), "2024-05-01 09:30:12 [WARN] 磁盘空间不足");
  EXPECT_EQ(FormatLine(t, Level::Info, ""), "2024-05-01 09:30:12 [INFO] ");
  EXPECT_EQ(FormatLine(t, Level::Error, "x"), "2024-05-01 09:30:12 [ERROR] x");
}

TEST(LogFile, BareNameGoesIntoTheLogDirectoryUnderTemp) {
  TempDirectory temp;
  test::ScopedEnvironment tmp(L"TMP", temp.path);
  test::ScopedEnvironment tempVar(L"TEMP", temp.path);
  EXPECT_EQ(GetLogDirectory(), temp.path + L"\\PelloraLogs");

  SetLogFile(L"pl_host_gui.log");
  EXPECT_EQ(GetLogFilePath(), temp.path + L"\\PelloraLogs\\pl_host_gui.log");
  LogInfo("第一行");
  LogWarn("second");
  LogError("third [=== 12.5% ===]\r!");
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(temp.path + L"\\PelloraLogs\\pl_host_gui.log", &bytes));
  EXPECT_TRUE(std::regex_search(bytes, std::regex("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[INFO\\] ")));
  EXPECT_EQ(LogLinesWithoutTime(bytes),
            (std::vector<std::string>{"T [INFO] 第一行", "T [WARN] second", "T [ERROR] third !"}));
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
  ClearLogFile();
}

// The elevated program never writes its log through a folder link planted in the user's temporary folder.
TEST(LogFile, ALinkInPlaceOfTheLogFolderGetsNoLog) {
  TempDirectory temp, elsewhere;
  test::ScopedEnvironment tmp(L"TMP", temp.path);
  test::ScopedEnvironment tempVar(L"TEMP", temp.path);
  test::ScopedHostLink link(temp.path + L"\\PelloraLogs", elsewhere.path);
  ASSERT_TRUE(link.made);
  SetLogFile(L"pl_host_gui.log");
  EXPECT_EQ(GetLogFilePath(), L"");
  LogInfo("line");
  EXPECT_TRUE(test::ListFiles(elsewhere.path, L"*").empty());
  ClearLogFile();
}

TEST(LogFile, FullPathIsUsedUnchangedAndNoFolderIsCreated) {
  TempDirectory temp;
  const std::wstring missing = temp.path + L"\\missing\\x.log";
  SetLogFile(missing);
  EXPECT_EQ(GetLogFilePath(), missing);
  LogInfo("dropped");
  EXPECT_FALSE(test::FileExists(temp.path + L"\\missing"));

  const std::wstring forward = temp.path + L"/y.log";
  SetLogFile(forward);
  EXPECT_EQ(GetLogFilePath(), forward);
  LogInfo("kept");
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(temp.path + L"\\y.log", &bytes));
  EXPECT_EQ(LogLinesWithoutTime(bytes), std::vector<std::string>{"T [INFO] kept"});
  EXPECT_FALSE(test::FileExists(temp.path + L"\\PelloraLogs"));
  ClearLogFile();
}

TEST(LogFile, WithoutALogFileLinesReachStandardOutputOnly) {
  TempDirectory temp;
  test::ScopedEnvironment tmp(L"TMP", temp.path);
  ClearLogFile();
  CapturedStdout out(temp.Child(L"stdout.txt"));
  LogInfo("只到标准输出");
  const std::string text = out.Text();
  EXPECT_EQ(LogLinesWithoutTime(text), std::vector<std::string>{"T [INFO] 只到标准输出"});
  EXPECT_TRUE(GetLogFilePath().empty());
  EXPECT_FALSE(test::FileExists(temp.path + L"\\PelloraLogs"));
}

TEST(LogFile, EveryLineAlsoGoesToStandardOutput) {
  TempDirectory temp;
  SetLogFile(temp.Child(L"both.log"));
  CapturedStdout out(temp.Child(L"stdout.txt"));
  LogWarn("两处都有");
  const std::string printed = out.Text();
  std::string file;
  ASSERT_TRUE(ReadFileBytes(temp.Child(L"both.log"), &file));
  EXPECT_EQ(printed, file);
  ClearLogFile();
}

TEST(LogFile, OthersMayRenameOrDeleteTheFileBetweenLines) {
  TempDirectory temp;
  const std::wstring path = temp.Child(L"shared.log");
  SetLogFile(path);
  LogInfo("a");
  ASSERT_TRUE(MoveFileW(path.c_str(), temp.Child(L"moved.log").c_str()));
  LogInfo("b");
  std::string moved, current;
  ASSERT_TRUE(ReadFileBytes(temp.Child(L"moved.log"), &moved));
  ASSERT_TRUE(ReadFileBytes(path, &current));
  EXPECT_EQ(LogLinesWithoutTime(moved), std::vector<std::string>{"T [INFO] a"});
  EXPECT_EQ(LogLinesWithoutTime(current), std::vector<std::string>{"T [INFO] b"});

  ASSERT_TRUE(DeleteFileW(path.c_str()));
  LogInfo("c");
  ASSERT_TRUE(ReadFileBytes(path, &current));
  EXPECT_EQ(LogLinesWithoutTime(current), std::vector<std::string>{"T [INFO] c"});
  ClearLogFile();
}

TEST(LogConcurrency, EightThreadsWriteOnlyWholeLines) {
  TempDirectory temp;
  const std::wstring path = temp.Child(L"threads.log");
  SetLogFile(path);
  CapturedStdout out(temp.Child(L"stdout.txt"));
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        Log(t % 2 ? Level::Warn : Level::Info, "线程" + std::to_string(t) + " line " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  out.Restore();
  ClearLogFile();

  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(path, &bytes));
  const std::regex shape("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[(INFO|WARN)\\] 线程(\\d) line (\\d+)");
  std::set<std::pair<int, int>> seen;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = bytes.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[2]);
    EXPECT_EQ(m[1], t % 2 ? "WARN" : "INFO");
    EXPECT_TRUE(seen.insert({t, std::stoi(m[3])}).second) << line;
    start = end + 2;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace pl::log
