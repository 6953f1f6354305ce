#include "log_capture.h"

#include "log/log.h"

namespace pl::test {

void LoggedTest::TearDown() { log::ClearLogFile(); }

void LoggedTest::UseLog(const std::wstring& name) {
  logPath = temp.Child(name);
  log::SetLogFile(logPath);
}

std::string LoggedTest::LogBytes() const {
  std::string bytes;
  ReadFileBytes(logPath, &bytes);
  return bytes;
}

void LoggedTest::ClearLog() const { WriteFileBytes(logPath, ""); }

}  // namespace pl::test
