#pragma once
// The software installed on the machine, from the registry's uninstall lists, and the loose match between an
// installed program's name and a catalog install item, so the program can be carried to the new system.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace pl::software {

struct InstalledSoftwareEntry {
  std::string name;  // the display name as registered, UTF-8

  bool operator==(const InstalledSoftwareEntry&) const = default;
};

// One uninstall list: a key whose subkeys are installed programs.
struct UninstallList {
  HKEY root = nullptr;
  std::wstring subkey;
};

// What the scan does after RegEnumKeyExW answered `status` for one index: use the name, skip it (a name too long
// for the buffer) or stop (the end, or any other error: a list deleted during the scan would answer the same error
// for every index there is).
enum class EnumerationStep { Use, Skip, Stop };
EnumerationStep StepAfterEnumeration(LSTATUS status);

// The 64-bit, the 32-bit (WOW6432Node) and the user's list, in that order.
std::vector<UninstallList> MachineUninstallLists();

// Every program with a display name that is neither a system component nor an update naming its parent,
// each name once, sorted by its bytes. Lists or entries that cannot be read are skipped silently.
std::vector<InstalledSoftwareEntry> ScanInstalledSoftware(
    const std::vector<UninstallList>& lists = MachineUninstallLists());

// ASCII letters lowered and digits kept, other ASCII dropped, bracketed parts ("(x64)", "[2.1]") dropped,
// non-ASCII characters kept whole. Used for matching only.
std::string NormaliseSoftwareName(std::string_view name);

// True when the normalised names (two bytes or more each) contain one another, the longer holding the shorter:
// "WeChat 3.9" matches the item "WeChat".
bool SoftwareNameMatches(std::string_view installedName, std::string_view itemText);

}  // namespace pl::software
