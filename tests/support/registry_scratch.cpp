#include "registry_scratch.h"

#include <atomic>

#include "base/unique_handle.h"

namespace pl::test {
namespace {

bool KeyExists(HKEY root, const std::wstring& subkey) {
  base::UniqueRegKey key;
  return RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The first level of `path` that does not exist yet, so that everything created below it can go again; empty
// when the whole path exists.
std::wstring TopmostMissingKey(HKEY root, const std::wstring& path) {
  for (size_t at = 0; at != std::wstring::npos;) {
    at = path.find(L'\\', at + 1);
    const std::wstring level = path.substr(0, at);
    if (!KeyExists(root, level)) return level;
  }
  return {};
}

}  // namespace

ScratchRegistryKey::ScratchRegistryKey(HKEY r, const std::wstring& parent) : root(r) {
  static std::atomic<int> counter{0};
  path = parent + L"\\PelloraTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) +
         L"-" + std::to_wstring(GetTickCount64());
  createdFrom = TopmostMissingKey(root, path);
  base::UniqueRegKey key;
  created = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) ==
            ERROR_SUCCESS;
}

ScratchRegistryKey::~ScratchRegistryKey() {
  if (created) RegDeleteTreeW(root, createdFrom.c_str());
}

bool SetRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD type,
                      const std::string& bytes) {
  base::UniqueRegKey key;
  if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool SetRegistryString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
                       DWORD type) {
  const std::string bytes(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
  return SetRegistryValue(root, subkey, name, type, bytes);
}

bool SetRegistryDword(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD value) {
  return SetRegistryValue(root, subkey, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
}

}  // namespace pl::test
