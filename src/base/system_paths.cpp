#include "base/system_paths.h"

#include <shlobj.h>

#include <vector>

namespace pl::base {

std::wstring KnownFolderPath(const GUID& folderId) {
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(folderId, 0, nullptr, &raw);
  std::wstring path;
  if (SUCCEEDED(hr) && raw != nullptr) path = raw;
  CoTaskMemFree(raw);  // also required after a failure
  return path;
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

}  // namespace pl::base
