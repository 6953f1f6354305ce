#include "software/installed_software.h"

#include <algorithm>
#include <set>

#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::software {
namespace {

// A REG_SZ value with data, cut at its first null; anything else (another type, empty, missing) is empty.
std::wstring ReadStringValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || size == 0) {
    return {};
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  text.resize(std::min<size_t>(got / sizeof(wchar_t), text.size()));
  return text.substr(0, text.find(L'\0'));
}

DWORD ReadDwordValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return 0;
  }
  return value;
}

void ScanList(const UninstallList& list, std::set<std::string>* seen, std::vector<InstalledSoftwareEntry>* entries) {
  base::UniqueRegKey uninstall;
  if (RegOpenKeyExW(list.root, list.subkey.c_str(), 0, KEY_READ, uninstall.put()) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LSTATUS status = RegEnumKeyExW(uninstall.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    const EnumerationStep step = StepAfterEnumeration(status);
    if (step == EnumerationStep::Stop) break;
    if (step == EnumerationStep::Skip) continue;
    base::UniqueRegKey program;
    if (RegOpenKeyExW(uninstall.get(), name, 0, KEY_READ, program.put()) != ERROR_SUCCESS) continue;
    const std::wstring displayName = ReadStringValue(program.get(), L"DisplayName");
    const std::wstring parent = ReadStringValue(program.get(), L"ParentKeyName");
    const DWORD systemComponent = ReadDwordValue(program.get(), L"SystemComponent");
    program.reset();
    if (displayName.empty() || systemComponent == 1 || !parent.empty()) continue;
    std::string utf8 = base::WideToUtf8(displayName);
    if (utf8.empty() || !seen->insert(utf8).second) continue;
    entries->push_back({std::move(utf8)});
  }
}

// Bytes in the UTF-8 character that `lead` starts; a stray continuation byte counts as one.
size_t CharacterLength(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

EnumerationStep StepAfterEnumeration(LSTATUS status) {
  if (status == ERROR_SUCCESS) return EnumerationStep::Use;
  // A name too long for the buffer: the next one may still do.
  if (status == ERROR_MORE_DATA) return EnumerationStep::Skip;
  return EnumerationStep::Stop;
}

std::vector<UninstallList> MachineUninstallLists() {
  return {
      {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
      {HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
      {HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
  };
}

std::vector<InstalledSoftwareEntry> ScanInstalledSoftware(const std::vector<UninstallList>& lists) {
  std::set<std::string> seen;
  std::vector<InstalledSoftwareEntry> entries;
  for (const UninstallList& list : lists) ScanList(list, &seen, &entries);
  // std::string compares its bytes as unsigned char: plain byte order, a prefix first.
  std::sort(entries.begin(), entries.end(),
            [](const InstalledSoftwareEntry& a, const InstalledSoftwareEntry& b) { return a.name < b.name; });
  return entries;
}

std::string NormaliseSoftwareName(std::string_view name) {
  std::string result;
  int depth = 0;
  size_t i = 0;
  while (i < name.size()) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x80) {
      const size_t length = std::min(CharacterLength(byte), name.size() - i);
      if (depth == 0) result.append(name.substr(i, length));
      i += length;
      continue;
    }
    if (byte == '(' || byte == '[') {
      ++depth;
    } else if (byte == ')' || byte == ']') {
      depth = std::max(depth - 1, 0);
    } else if (depth == 0 && byte >= 'A' && byte <= 'Z') {
      result += static_cast<char>(byte - 'A' + 'a');
    } else if (depth == 0 && ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9'))) {
      result += static_cast<char>(byte);
    }
    ++i;
  }
  return result;
}

bool SoftwareNameMatches(std::string_view installedName, std::string_view itemText) {
  if (installedName.empty() || itemText.empty()) return false;
  const std::string installed = NormaliseSoftwareName(installedName);
  const std::string item = NormaliseSoftwareName(itemText);
  if (installed.size() < 2 || item.size() < 2) return false;
  if (installed.size() >= item.size() && installed.find(item) != std::string::npos) return true;
  return item.size() >= installed.size() && item.find(installed) != std::string::npos;
}

}  // namespace pl::software
