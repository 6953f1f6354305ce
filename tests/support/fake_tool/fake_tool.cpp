// Stands in for bcdedit, diskpart, bcdboot, Dism, PowerShell, format and cscript in tests (and for any program
// a test copies it to, such as an installer).
//
// The folder named by PL_FAKE_TOOLS_DIR holds "scenario.txt", written by the test, and "journal.txt",
// appended here. A scenario line is a rule of tab-separated key=value fields:
//   tool=<name, lower case, no .exe>  match=<glob over the arguments>  times=<uses, 0 = any>
//   exit=<code>  out=<hex bytes for stdout>  err=<hex bytes for stderr>  delay=<ms after writing>
//   hold=<ms a child keeps the output pipe open>  close=<ms after writing when the tool closes its output, before
//   it sleeps the delay; -1 = never>
//   release=<hex of a UTF-8 path: the delay ends once it exists>
//   copy=<hex of a UTF-8 path>  to=<argument prefix>: after writing its output, the tool copies that file to the
//   path that follows the prefix in its arguments (quoted or up to the next blank), as Dism /Capture-Image
//   creates its /ImageFile:
// The first rule whose tool and pattern match, and whose uses are not spent, answers. With no rule the
// tool prints nothing and exits 0. A journal line records: tool, command line, working directory, the
// diskpart script ("/s" file), those of the variables JournalledEnvironment names that are set, and the rule
// index, escaped so that any byte survives.

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), w.data(), n);
  return w;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(f, block, sizeof block, &got, nullptr) && got > 0) bytes->append(block, got);
  CloseHandle(f);
  return true;
}

std::string Escape(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20) { out += "\\x"; out += hex[c >> 4]; out += hex[c & 15]; }
    else out += static_cast<char>(c);
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

bool Glob(const char* p, const char* s) {
  // '*' any run, '?' one byte; iterative with one backtrack point.
  const char* star = nullptr;
  const char* mark = nullptr;
  while (*s) {
    if (*p == '?' || (*p && *p == *s)) { ++p; ++s; }
    else if (*p == '*') { star = p++; mark = s; }
    else if (star) { p = star + 1; s = ++mark; }
    else return false;
  }
  while (*p == '*') ++p;
  return *p == 0;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

struct Rule {
  std::string tool, match = "*", out, err, release, copy, to;
  int times = 0, delay = 0, hold = 0, close = -1;
  uint32_t exitCode = 0;
};

std::vector<Rule> LoadRules(const std::string& text) {
  std::vector<Rule> rules;
  for (std::string line : Split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Rule rule;
    for (const std::string& field : Split(line, '\t')) {
      size_t eq = field.find('=');
      if (eq == std::string::npos) continue;
      std::string key = field.substr(0, eq), value = field.substr(eq + 1);
      if (key == "tool") rule.tool = value;
      else if (key == "match") rule.match = value;
      else if (key == "times") rule.times = std::atoi(value.c_str());
      else if (key == "exit") rule.exitCode = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
      else if (key == "out") rule.out = FromHex(value);
      else if (key == "err") rule.err = FromHex(value);
      else if (key == "delay") rule.delay = std::atoi(value.c_str());
      else if (key == "hold") rule.hold = std::atoi(value.c_str());
      else if (key == "close") rule.close = std::atoi(value.c_str());
      else if (key == "release") rule.release = FromHex(value);
      else if (key == "copy") rule.copy = FromHex(value);
      else if (key == "to") rule.to = value;
    }
    rules.push_back(rule);
  }
  return rules;
}

// The rule index recorded on each earlier journal line, to count uses.
int UsesOf(const std::string& journal, int index) {
  int uses = 0;
  const std::string tag = "\trule=" + std::to_string(index);
  for (const std::string& line : Split(journal, '\n')) {
    if (line.size() >= tag.size() && line.compare(line.size() - tag.size(), tag.size(), tag) == 0) ++uses;
  }
  return uses;
}

// A journal lock shared by concurrent fake tools: an exclusive open, retried.
HANDLE LockJournal(const std::wstring& dir) {
  const std::wstring path = dir + L"\\journal.lock";
  for (int i = 0; i < 2000; ++i) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    Sleep(5);
  }
  return INVALID_HANDLE_VALUE;
}

void AppendJournal(const std::wstring& dir, const std::string& line) {
  HANDLE f = CreateFileW((dir + L"\\journal.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  WriteFile(f, line.data(), (DWORD)line.size(), &done, nullptr);
  CloseHandle(f);
}

// Arguments: the command line after the program token and the one blank that follows it.
std::wstring ArgumentsOf(const std::wstring& commandLine) {
  size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    size_t close = commandLine.find(L'"', 1);
    i = close == std::wstring::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && commandLine[i] != L' ' && commandLine[i] != L'\t') ++i;
  }
  if (i < commandLine.size() && commandLine[i] == L' ') ++i;
  return commandLine.substr(i);
}

// The path after `prefix` in the arguments: quoted, or up to the next blank; empty when the prefix is missing.
std::wstring PathAfter(const std::wstring& args, const std::wstring& prefix) {
  size_t at = args.find(prefix);
  if (at == std::wstring::npos) return {};
  std::wstring rest = args.substr(at + prefix.size());
  if (!rest.empty() && rest[0] == L'"') {
    size_t close = rest.find(L'"', 1);
    return rest.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  }
  return rest.substr(0, rest.find(L' '));
}

std::wstring DiskpartScriptPath(const std::wstring& args) { return PathAfter(args, L"/s "); }

void WriteAll(DWORD which, const std::string& bytes) {
  if (bytes.empty()) return;
  HANDLE h = GetStdHandle(which);
  DWORD done = 0;
  WriteFile(h, bytes.data(), (DWORD)bytes.size(), &done, nullptr);
}

// The variables of a tool's environment that tests look at: how a program was told to search and load.
std::string JournalledEnvironment() {
  std::string fields;
  for (const wchar_t* name : {L"NoDefaultCurrentDirectoryInExePath", L"PSModulePath"}) {
    std::vector<wchar_t> value(32768);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) continue;
    fields += "\tenv." + Narrow(name) + "=" + Escape(Narrow(std::wstring(value.data(), length)));
  }
  return fields;
}

// Starts a copy of this program that inherits the output pipe and sleeps.
void SpawnHolder(int ms) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\" --pl-fake-hold " + std::to_wstring(ms);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(self, buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--pl-fake-hold") {
    Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    return 0;
  }
  wchar_t dirBuffer[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"PL_FAKE_TOOLS_DIR", dirBuffer, MAX_PATH) == 0) {
    WriteAll(STD_ERROR_HANDLE, "fake tool: PL_FAKE_TOOLS_DIR is not set\r\n");
    return 9009;
  }
  const std::wstring dir = dirBuffer;

  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring base = self;
  base = base.substr(base.find_last_of(L"\\/") + 1);
  // "Dism.exe" is "dism", "format.com" is "format".
  const size_t dot = base.find_last_of(L'.');
  if (dot != std::wstring::npos && dot > 0) base.resize(dot);
  std::string tool = Narrow(base);
  for (char& c : tool) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));

  const std::wstring commandLine = GetCommandLineW();
  const std::wstring args = ArgumentsOf(commandLine);
  const std::string argsUtf8 = Narrow(args);
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);

  std::string scriptField;
  if (tool == "diskpart") {
    std::string script;
    const std::wstring scriptPath = DiskpartScriptPath(args);
    if (!scriptPath.empty() && ReadWholeFile(scriptPath, &script)) scriptField = "\tscript=" + Escape(script);
  }

  std::string scenario;
  ReadWholeFile(dir + L"\\scenario.txt", &scenario);
  const std::vector<Rule> rules = LoadRules(scenario);

  HANDLE lock = LockJournal(dir);
  std::string journal;
  ReadWholeFile(dir + L"\\journal.txt", &journal);
  int chosen = -1;
  for (size_t i = 0; i < rules.size(); ++i) {
    const Rule& r = rules[i];
    if (r.tool != tool || !Glob(r.match.c_str(), argsUtf8.c_str())) continue;
    if (r.times > 0 && UsesOf(journal, static_cast<int>(i)) >= r.times) continue;
    chosen = static_cast<int>(i);
    break;
  }
  AppendJournal(dir, "tool=" + tool + "\tcmdline=" + Escape(Narrow(commandLine)) + "\tcwd=" + Escape(Narrow(cwd)) +
                         scriptField + JournalledEnvironment() + "\trule=" + std::to_string(chosen) + "\n");
  if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);

  if (chosen < 0) return 0;
  const Rule& rule = rules[chosen];
  WriteAll(STD_OUTPUT_HANDLE, rule.out);
  WriteAll(STD_ERROR_HANDLE, rule.err);
  if (!rule.copy.empty()) {
    const std::wstring to = PathAfter(args, Widen(rule.to));
    if (!to.empty()) CopyFileW(Widen(rule.copy).c_str(), to.c_str(), FALSE);
  }
  if (rule.hold > 0) SpawnHolder(rule.hold);
  if (rule.close >= 0) {
    Sleep(static_cast<DWORD>(rule.close));
    // Both streams may be the same inherited handle: close it once.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    CloseHandle(out);
    if (err != out) CloseHandle(err);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    FreeConsole();  // under Wine the hidden console's host holds a copy of the inherited output until then
  }
  if (rule.release.empty()) {
    if (rule.delay > 0) Sleep(static_cast<DWORD>(rule.delay));
  } else {
    const std::wstring release = Widen(rule.release);
    for (int waited = 0; waited < rule.delay && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 10) {
      Sleep(10);
    }
  }
  return static_cast<int>(rule.exitCode);
}
