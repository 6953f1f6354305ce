// Stands in for the PE deployer pl_pe.exe in tests; never shipped. It writes how it was started into the file named
// by PL_PE_STUB_RECORD and exits with the code in PL_PE_STUB_EXIT (0 when unset). The record is
//   "arguments=<command line after the program>\r\ncwd=<working folder>\r\ntask=<task.ini found>\r\n"
// followed by that task.ini's bytes. task.ini is looked for as a deployer would: in the working folder, else in
// "$PelloraData$" at the root of each drive from A: to Z:.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/system_paths.h"
#include "base/text.h"
#include "test_support.h"

namespace {

using pl::base::WideToUtf8;

std::wstring ArgumentsOf(const std::wstring& commandLine) {
  size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    const size_t close = commandLine.find(L'"', 1);
    i = close == std::wstring::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && commandLine[i] != L' ') ++i;
  }
  while (i < commandLine.size() && commandLine[i] == L' ') ++i;
  return commandLine.substr(i);
}

}  // namespace

int wmain() {
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  std::vector<std::wstring> candidates = {std::wstring(cwd) + L"\\task.ini"};
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    candidates.push_back(std::wstring(1, letter) + L":\\$PelloraData$\\task.ini");
  }
  std::wstring taskPath;
  std::string task;
  for (const std::wstring& candidate : candidates) {
    if (pl::test::ReadFileBytes(candidate, &task)) {
      taskPath = candidate;
      break;
    }
  }
  const std::wstring record = pl::base::ReadEnvironmentVariable(L"PL_PE_STUB_RECORD");
  if (!record.empty()) {
    pl::test::WriteFileBytes(record, "arguments=" + WideToUtf8(ArgumentsOf(GetCommandLineW())) +
                                         "\r\ncwd=" + WideToUtf8(cwd) + "\r\ntask=" + WideToUtf8(taskPath) +
                                         "\r\n" + task);
  }
  return std::atoi(WideToUtf8(pl::base::ReadEnvironmentVariable(L"PL_PE_STUB_EXIT")).c_str());
}
