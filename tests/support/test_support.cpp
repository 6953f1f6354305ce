#include "test_support.h"

#include <windows.h>

#include <atomic>
#include <regex>

#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/unique_handle.h"

namespace pl::test {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 't') out += '\t';
    else if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 'x' && i + 2 < s.size() + 1) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

std::string ArgumentsOf(const std::string& commandLine) {
  size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t close = commandLine.find('"', 1);
    i = close == std::string::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && commandLine[i] != ' ' && commandLine[i] != '\t') ++i;
  }
  if (i < commandLine.size() && commandLine[i] == ' ') ++i;
  return commandLine.substr(i);
}

}  // namespace

TempDirectory::TempDirectory() {
  static std::atomic<int> counter{0};
  const std::wstring temp = base::TempDirectoryPath();
  for (;;) {
    path = temp + L"pltest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L"-" +
           std::to_wstring(GetTickCount64() % 100000);
    if (CreateDirectoryW(path.c_str(), nullptr)) break;
  }
}

TempDirectory::~TempDirectory() { base::DeleteTree(path); }

ScopedEnvironment::ScopedEnvironment(const std::wstring& n, const std::wstring& value, bool remove) : name(n) {
  oldValue = base::ReadEnvironmentVariable(name.c_str());
  hadValue = !oldValue.empty();
  SetEnvironmentVariableW(name.c_str(), remove ? nullptr : value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableW(name.c_str(), hadValue ? oldValue.c_str() : nullptr);
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
  bytes->clear();
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got > 0) bytes->append(block, got);
  return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD done = 0;
  const BOOL ok =
      bytes.empty() || WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  return ok && done == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> ListFiles(const std::wstring& directory, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((directory + L"\\" + pattern).c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> LogLinesWithoutTime(const std::string& fileBytes) {
  static const std::regex stamp("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} ");
  std::vector<std::string> lines;
  // Entries end with "\r\n"; a message may itself hold line feeds, which stay inside its entry.
  size_t start = 0;
  while (start < fileBytes.size()) {
    size_t end = fileBytes.find("\r\n", start);
    if (end == std::string::npos) end = fileBytes.size();
    lines.push_back(std::regex_replace(fileBytes.substr(start, end - start), stamp, "T ",
                                       std::regex_constants::format_first_only));
    start = end + 2;
  }
  return lines;
}

std::string LogTextWithoutTime(const std::string& fileBytes) {
  static const std::regex stamp("(^|\r\n)\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} ");
  return std::regex_replace(fileBytes, stamp, "$1T ");
}

FakeTools::FakeTools() : variable(L"PL_FAKE_TOOLS_DIR", directory.path) {
  WriteFileBytes(directory.Child(L"scenario.txt"), "");
}

void FakeTools::Add(const FakeToolRule& rule) {
  rules.push_back(rule);
  std::string text;
  for (const FakeToolRule& r : rules) {
    text += "tool=" + r.tool + "\tmatch=" + r.match + "\ttimes=" + std::to_string(r.times) +
            "\texit=" + std::to_string(r.exitCode) + "\tout=" + Hex(r.output) + "\terr=" + Hex(r.errorOutput) +
            "\tdelay=" + std::to_string(r.delayMs) + "\thold=" + std::to_string(r.holdMs) +
            "\tclose=" + std::to_string(r.closeOutputMs) + "\trelease=" + Hex(r.releaseFile) +
            "\tcopy=" + Hex(r.copyFile) + "\tto=" + r.copyTo + "\n";
  }
  WriteFileBytes(directory.Child(L"scenario.txt"), text);
}

std::vector<FakeToolCall> FakeTools::Calls() const {
  std::string journal;
  ReadFileBytes(directory.Child(L"journal.txt"), &journal);
  std::vector<FakeToolCall> calls;
  for (const std::string& line : SplitLines(journal)) {
    FakeToolCall call;
    size_t start = 0;
    for (;;) {
      const size_t end = line.find('\t', start);
      const std::string field = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
      const size_t eq = field.find('=');
      if (eq != std::string::npos) {
        const std::string key = field.substr(0, eq), value = Unescape(field.substr(eq + 1));
        if (key == "tool") call.tool = value;
        else if (key == "cmdline") call.commandLine = value;
        else if (key == "cwd") call.workingDirectory = value;
        else if (key == "script") { call.hasScript = true; call.script = value; }
        else if (key == "rule") call.rule = std::stoi(value);
        else if (key.starts_with("env.")) call.environment[key.substr(4)] = value;
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
    call.arguments = ArgumentsOf(call.commandLine);
    calls.push_back(call);
  }
  return calls;
}

}  // namespace pl::test
