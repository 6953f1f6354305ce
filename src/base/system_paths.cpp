#include "base/system_paths.h"

#include <shlobj.h>

#include <vector>

#include "base/unique_handle.h"

namespace pl::base {

std::wstring KnownFolderPath(const GUID& folderId) {
  UniqueCoTaskMem<wchar_t> path;  // freed after a failure too, as the call requires
  if (FAILED(SHGetKnownFolderPath(folderId, 0, nullptr, path.put())) || !path) return {};
  return path.get();
}

std::wstring ReadEnvironmentVariable(const wchar_t* name) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    // Too small: the answer is the size needed, terminating null included.
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);
  }
}

std::wstring MaxPathBufferText(const wchar_t* buffer, size_t length) {
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(buffer, length);
}

std::wstring TempDirectoryPath() {
  wchar_t buffer[MAX_PATH];
  return MaxPathBufferText(buffer, GetTempPathW(MAX_PATH, buffer));
}

std::wstring SystemDirectoryPath() {
  wchar_t buffer[MAX_PATH];
  return MaxPathBufferText(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
}

std::wstring WindowsDirectoryPath() {
  wchar_t buffer[MAX_PATH];
  return MaxPathBufferText(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
}

std::wstring ModuleFilePath() {
  wchar_t buffer[MAX_PATH];
  return MaxPathBufferText(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
}

bool RestrictDllSearchToSystem32() { return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE; }

}  // namespace pl::base
