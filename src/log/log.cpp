#include "log/log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <regex>

#include "base/secure_directory.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::log {
namespace {

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

std::wstring& LogPath() {  // guarded by LogLock()
  static std::wstring path;
  return path;
}

const std::regex& ProgressBarPattern() {
  // Built once; function-local statics are initialised thread-safely.
  static const std::regex pattern("\\[[=\\s]*\\d{1,3}\\.\\d%[=\\s]*\\]\\r?", std::regex::ECMAScript);
  return pattern;
}

void WriteToStandardOutput(const std::string& line) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    std::wstring wide = base::Utf8ToWideReplacing(line);
    wide.push_back(L'\n');
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  WriteFile(out, "\r\n", 2, &written, nullptr);
}

void AppendToFile(const std::wstring& path, const std::string& line) {
  // Opened and closed per line, sharing everything, so others may read, rename or delete it meanwhile.
  // Never through a link planted at its name: the program runs elevated, the folder is the user's.
  base::UniqueFileHandle file = base::CreateFileNoLink(path, FILE_APPEND_DATA,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (!file) return;
  std::string bytes = line;
  bytes += "\r\n";
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

const char* LevelName(Level level) {
  switch (level) {
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "INFO";
}

std::wstring GetLogDirectory() {
  const std::wstring temp = base::TempDirectoryPath();
  if (temp.empty()) return {};
  return temp + L"PelloraLogs";
}

void SetLogFile(const std::wstring& nameOrPath) {
  std::wstring path = nameOrPath;
  if (nameOrPath.find_first_of(L"\\/") == std::wstring::npos) {
    const std::wstring directory = GetLogDirectory();
    if (!directory.empty()) {
      CreateDirectoryW(directory.c_str(), nullptr);
      // A folder that is a link (the user's temporary folder is open to whatever runs as the user) would have the
      // elevated program append to files elsewhere: no log file then.
      const DWORD attributes = GetFileAttributesW(directory.c_str());
      path = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                 ? std::wstring()
                 : directory + L"\\" + nameOrPath;
    }
  }
  std::lock_guard<std::mutex> guard(LogLock());
  LogPath() = std::move(path);
}

void ClearLogFile() {
  std::lock_guard<std::mutex> guard(LogLock());
  LogPath().clear();
}

std::wstring GetLogFilePath() {
  std::lock_guard<std::mutex> guard(LogLock());
  return LogPath();
}

std::string CleanMessage(std::string_view message) {
  std::string text(message);
  if (text.find('%') == std::string::npos) return text;
  text = std::regex_replace(text, ProgressBarPattern(), "");
  std::erase(text, '\r');
  return text;
}

std::string FormatLine(const std::tm& t, Level level, std::string_view cleanedMessage) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  std::string line = stamp;
  line += " [";
  line += LevelName(level);
  line += "] ";
  line.append(cleanedMessage);
  return line;
}

void Log(Level level, std::string_view message) {
  std::lock_guard<std::mutex> guard(LogLock());
  const std::string cleaned = CleanMessage(message);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  const std::string line = FormatLine(local, level, cleaned);
  WriteToStandardOutput(line);
  if (!LogPath().empty()) AppendToFile(LogPath(), line);
}

void LogInfo(std::string_view message) { Log(Level::Info, message); }
void LogWarn(std::string_view message) { Log(Level::Warn, message); }
void LogError(std::string_view message) { Log(Level::Error, message); }

}  // namespace pl::log
