#include "app/run_mode.h"

#include <windows.h>
#include <shellapi.h>

#include "tools/unique_handle.h"

namespace pl::app {

RunModeFlags ParseArguments(const std::vector<std::wstring>& argumentsAfterProgram) {
  RunModeFlags flags;
  for (const std::wstring& argument : argumentsAfterProgram) {
    if (argument == L"--dry-run") flags.dryRun = true;
    if (argument == L"--uninstall") flags.uninstall = true;
  }
  return flags;
}

RunModeFlags ParseProcessCommandLine() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  tools::UniqueLocalMem owner(reinterpret_cast<HLOCAL>(arguments));
  std::vector<std::wstring> afterProgram;
  for (int i = 1; i < count; ++i) afterProgram.emplace_back(arguments[i]);
  return ParseArguments(afterProgram);
}

}  // namespace pl::app
