#pragma once
// The process-wide text log: one line per message, to standard output and appended to the log file.

#include <ctime>
#include <string>
#include <string_view>

namespace pl::log {

enum class Level { Info, Warn, Error };

// "INFO", "WARN" or "ERROR".
const char* LevelName(Level level);

// A bare file name goes into GetLogDirectory() (created if missing); a name with a separator, or any
// name when the log directory is unknown, is used as the path unchanged.
void SetLogFile(const std::wstring& nameOrPath);

// The current log file path; empty while lines go to standard output only.
std::wstring GetLogFilePath();
// Sends lines to standard output only again.
void ClearLogFile();

// "%TEMP%\PelloraLogs" without a trailing backslash; empty when the temporary directory is unknown.
std::wstring GetLogDirectory();

void LogInfo(std::string_view message);
void LogWarn(std::string_view message);
void LogError(std::string_view message);
void Log(Level level, std::string_view message);

// Pure pieces of writing a line, exposed for tests.
// Strips console progress bars (only when the message holds a '%'), then every carriage return.
std::string CleanMessage(std::string_view message);
// "YYYY-MM-DD hh:mm:ss [LEVEL] message" without a line end.
std::string FormatLine(const std::tm& localTime, Level level, std::string_view cleanedMessage);

}  // namespace pl::log
