#include "app/run_mode.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "base/unique_handle.h"

namespace pl::app {

RunModeFlags ParseArguments(const wchar_t* const* arguments, int count) {
  RunModeFlags flags;
  if (arguments == nullptr) return flags;
  for (int i = 1; i < count; ++i) {
    if (std::wcscmp(arguments[i], L"--dry-run") == 0) flags.dryRun = true;
    if (std::wcscmp(arguments[i], L"--uninstall") == 0) flags.uninstall = true;
  }
  return flags;
}

RunModeFlags ParseProcessCommandLine() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  base::UniqueLocalMem owner(reinterpret_cast<HLOCAL>(arguments));
  return ParseArguments(arguments, count);
}

}  // namespace pl::app
