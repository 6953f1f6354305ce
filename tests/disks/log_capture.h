#pragma once
// A private log file for one test, read back with the timestamps replaced by "T".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "test_support.h"

namespace pl::disks::test {

struct LoggedTest : ::testing::Test {
  void SetUp() override { log::SetLogFile(logDirectory.Child(L"disks.log")); }
  void TearDown() override { log::ClearLogFile(); }
  std::vector<std::string> LogLines() const { return pl::test::LogLinesWithoutTime(LogBytes()); }
  std::string LogText() const { return pl::test::LogTextWithoutTime(LogBytes()); }
  std::string LogBytes() const {
    std::string bytes;
    pl::test::ReadFileBytes(logDirectory.Child(L"disks.log"), &bytes);
    return bytes;
  }
  void ClearLog() const { pl::test::WriteFileBytes(logDirectory.Child(L"disks.log"), ""); }
  pl::test::TempDirectory logDirectory;
};

}  // namespace pl::disks::test
