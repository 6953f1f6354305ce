#pragma once
// The fixture of tests that check what was logged: a private folder `temp` and a log file in it, read back with
// the timestamps replaced by "T".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace pl::test {

struct LoggedTest : ::testing::Test {
  void SetUp() override { UseLog(L"test.log"); }
  void TearDown() override;
  // Points the log at a fresh file of `temp` (a scenario of its own within one test).
  void UseLog(const std::wstring& name);

  std::vector<std::string> LogLines() const { return LogLinesWithoutTime(LogBytes()); }
  std::string LogText() const { return LogTextWithoutTime(LogBytes()); }
  std::string LogBytes() const;
  void ClearLog() const;

  TempDirectory temp;
  std::wstring logPath;
};

}  // namespace pl::test
