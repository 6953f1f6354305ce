#include "install_state.h"

#include <windows.h>

#include "base/file_tree.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "install/self_install.h"

namespace pl::test {

bool RemoveInstallState() {
  const std::wstring directory = install::InstallDirectory();
  if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES) base::DeleteTree(directory);
  DeleteFileW(install::DesktopShortcutPath().c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath);
  base::UniqueRegKey key;
  const bool keyGone =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS;
  return keyGone && GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetFileAttributesW(install::DesktopShortcutPath().c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string UninstallValue(const wchar_t* name) {
  base::UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, install::kUninstallKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return "";
  }
  BYTE data[4096];
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, &type, data, &size) != ERROR_SUCCESS) return "";
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
