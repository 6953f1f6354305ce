#pragma once
// Registry keys and values a test writes into the prefix: a private key, removed with everything below it.

#include <windows.h>

#include <string>

namespace pl::test {

// `parent`\PelloraTest-<unique> under `root`, created at once (with any missing parents) and deleted at the end
// with its tree and the parents it needed (parents that tests share must exist already, or one test would delete
// another's keys).
struct ScratchRegistryKey {
  explicit ScratchRegistryKey(HKEY root = HKEY_LOCAL_MACHINE, const std::wstring& parent = L"SOFTWARE");
  ~ScratchRegistryKey();
  ScratchRegistryKey(const ScratchRegistryKey&) = delete;
  ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;
  std::wstring Child(const std::wstring& name) const { return path + L"\\" + name; }
  HKEY root;
  std::wstring path;         // below root
  std::wstring createdFrom;  // the topmost key created for it
  bool created = false;
};

// Writes one value of any type, creating `subkey` and its parents below `root` as needed.
bool SetRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD type,
                      const std::string& bytes);
// A string value with its terminating null (REG_SZ, REG_EXPAND_SZ ...).
bool SetRegistryString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
                       DWORD type = REG_SZ);
bool SetRegistryDword(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD value);

}  // namespace pl::test
