#include "install_state.h"

#include <windows.h>

#include "base/file_tree.h"
#include "base/text.h"
#include "install/self_install.h"

namespace pl::test {

bool RemoveInstallState() {
  const std::wstring directory = install::InstallDirectory();
  if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES) base::DeleteTree(directory);
  DeleteFileW(install::DesktopShortcutPath().c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath);
  HKEY key = nullptr;
  const bool keyGone = RegOpenKeyExW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS;
  if (key != nullptr) RegCloseKey(key);
  return keyGone && GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetFileAttributesW(install::DesktopShortcutPath().c_str()) == INVALID_FILE_ATTRIBUTES;
}

ScopedMiniNtKey::ScopedMiniNtKey() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\MiniNT", 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, &disposition) == ERROR_SUCCESS) {
    created = disposition == REG_CREATED_NEW_KEY;
    RegCloseKey(key);
  }
}

ScopedMiniNtKey::~ScopedMiniNtKey() {
  if (created) RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\MiniNT");
}

std::string UninstallValue(const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  BYTE data[4096];
  DWORD size = sizeof data;
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return "";
  if (type == REG_DWORD) return "REG_DWORD:" + std::to_string(*reinterpret_cast<DWORD*>(data));
  if (type == REG_SZ) {
    // The stored size includes the terminating null.
    std::wstring text(reinterpret_cast<wchar_t*>(data), size / sizeof(wchar_t));
    if (text.empty() || text.back() != L'\0') return "REG_SZ(unterminated):" + base::WideToUtf8(text);
    text.pop_back();
    return "REG_SZ:" + base::WideToUtf8(text);
  }
  return "type " + std::to_string(type);
}

}  // namespace pl::test
