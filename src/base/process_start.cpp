#include "base/process_start.h"

#include <vector>

namespace pl::base {

BOOL CreateProcessSettled(const wchar_t* applicationName, const std::wstring& commandLine, BOOL inheritHandles,
                          DWORD flags, void* environment, const wchar_t* workingDirectory, STARTUPINFOW* startup,
                          PROCESS_INFORMATION* info) {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (CreateProcessW(applicationName, line.data(), nullptr, nullptr, inheritHandles, flags, environment,
                       workingDirectory, startup, info)) {
      return TRUE;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts) return FALSE;
    Sleep(50);  // a moment for whatever crowds the system
  }
}

}  // namespace pl::base
