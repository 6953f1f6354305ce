#include "host_link.h"

#include <windows.h>

#include "base/process_start.h"
#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::test {
namespace {

// Wine starts a Unix program for an ELF file, but its handle does not wait for it: callers wait for the result.
void RunHostProgram(const std::wstring& program, const std::wstring& arguments) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!base::CreateProcessSettled(program.c_str(), L"\"" + program + L"\" " + arguments, FALSE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &info)) {
    return;
  }
  base::UniqueKernelHandle process(info.hProcess);
  base::UniqueKernelHandle thread(info.hThread);
}

bool WaitUntilExists(const std::wstring& path, bool exists) {
  for (const ULONGLONG until = GetTickCount64() + 30000; GetTickCount64() < until; Sleep(20)) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
  }
  return false;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring UnixPath(const std::wstring& path) { return base::Utf8ToWide(HostPath(path)); }

}  // namespace

std::string HostPath(const std::wstring& windowsPath) {
  using Convert = char*(CDECL*)(LPCWSTR);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return {};
  char* path = convert(windowsPath.c_str());  // on the process heap
  if (path == nullptr) return {};
  std::string result = path;
  HeapFree(GetProcessHeap(), 0, path);
  return result;
}

ScopedHostLink::ScopedHostLink(const std::wstring& linkPath, const std::wstring& target) : link(linkPath) {
  std::wstring unixTarget = target;
  if (target.size() > 1 && target[1] == L':') {
    unixTarget = UnixPath(target);
  } else {
    for (wchar_t& c : unixTarget) c = c == L'\\' ? L'/' : c;
  }
  const std::wstring unixLink = UnixPath(link);
  if (unixTarget.empty() || unixLink.empty()) return;
  RunHostProgram(L"Z:\\bin\\ln", L"-s -n -- " + Quoted(unixTarget) + L" " + Quoted(unixLink));
  made = WaitUntilExists(link, true);
}

ScopedHostLink::~ScopedHostLink() {
  const std::wstring unixLink = UnixPath(link);
  if (unixLink.empty()) return;
  RunHostProgram(L"Z:\\bin\\rm", L"-f -- " + Quoted(unixLink));
  WaitUntilExists(link, false);
}

}  // namespace pl::test
