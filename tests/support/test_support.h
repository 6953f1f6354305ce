#pragma once
// Helpers shared by the Windows-side tests: private folders, environment, files, fake system tools.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pl::test {

// A fresh folder under the temporary directory, removed with everything in it at the end of the scope.
struct TempDirectory {
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  std::wstring path;  // no trailing backslash
  std::wstring Child(const std::wstring& name) const { return path + L"\\" + name; }
};

// Sets (or, with `remove`, deletes) an environment variable for the scope, restoring the old value.
struct ScopedEnvironment {
  ScopedEnvironment(const std::wstring& name, const std::wstring& value, bool remove = false);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  std::wstring name;
  std::wstring oldValue;
  bool hadValue = false;
};

bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::vector<std::wstring> ListFiles(const std::wstring& directory, const std::wstring& pattern);
std::vector<std::string> SplitLines(const std::string& text);  // on "\r\n" or "\n"; no empty last line

// The log's timestamp replaced by "T": "T [INFO] message", one entry per line.
std::vector<std::string> LogLinesWithoutTime(const std::string& fileBytes);
// The whole log text with every entry's timestamp replaced by "T", for messages that hold line breaks.
std::string LogTextWithoutTime(const std::string& fileBytes);

struct FakeToolRule {
  std::string tool;          // "bcdedit", "diskpart", "bcdboot", "dism", "powershell", "format", "cscript"
  std::string match = "*";   // glob over the arguments (the command line after the program)
  uint32_t exitCode = 0;
  std::string output;        // bytes written to standard output
  std::string errorOutput;   // bytes written to standard error, after the output
  int times = 0;             // answers this many calls, then lets later rules answer; 0 = every call
  int delayMs = 0;           // sleep after writing, before exiting
  int holdMs = 0;            // a child process inherits the output and keeps it open this long
  int closeOutputMs = -1;    // 0 or more: closes its output this long after writing, then sleeps delayMs
  std::string releaseFile;   // UTF-8 path: the delay ends early once this file exists
  std::string copyFile;      // UTF-8 path of a file the tool copies, after its output, to the path that follows
  std::string copyTo;        // this prefix in its arguments ("/ImageFile:"), as a tool creating that file would
};

struct FakeToolCall {
  std::string tool;
  std::string commandLine;       // whole, UTF-8
  std::string arguments;         // after the program token and one blank
  std::string workingDirectory;
  bool hasScript = false;        // diskpart with a readable "/s" file
  std::string script;            // its exact bytes
  // NoDefaultCurrentDirectoryInExePath and PSModulePath of the tool's environment, those that were set
  std::map<std::string, std::string> environment;
  int rule = -1;                 // index of the answering rule, -1 for none

  bool operator==(const FakeToolCall&) const = default;
};

// Points the fake tools at a private scenario and journal for the scope of one test.
struct FakeTools {
  FakeTools();
  ~FakeTools() = default;
  void Add(const FakeToolRule& rule);
  std::vector<FakeToolCall> Calls() const;
  TempDirectory directory;
  ScopedEnvironment variable;
  std::vector<FakeToolRule> rules;
};

}  // namespace pl::test
