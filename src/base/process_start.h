#pragma once

#include <windows.h>

#include <string>

namespace pl::base {

// CreateProcessW, with `commandLine` copied for each attempt (the call may write into it). A new process that dies
// while the system is still setting it up, before any of its own code ran, makes CreateProcessW fail with
// ERROR_INTERNAL_ERROR (seen under Wine when many processes start at once). Nothing of the program has happened
// then, so it is started again, three attempts in all; every other failure returns at once with GetLastError set.
BOOL CreateProcessSettled(const wchar_t* applicationName, const std::wstring& commandLine, BOOL inheritHandles,
                          DWORD flags, void* environment, const wchar_t* workingDirectory, STARTUPINFOW* startup,
                          PROCESS_INFORMATION* info);

}  // namespace pl::base
