#pragma once
// What a self-install leaves in the prefix, for tests that install, uninstall or start the program.

#include <string>

namespace pl::test {

// Removes the install folder, the desktop shortcut and the uninstall key; true when all are gone.
bool RemoveInstallState();

// A registry value of the uninstall key as text ("REG_SZ:<utf-8>" or "REG_DWORD:<n>"), or "" when missing.
std::string UninstallValue(const wchar_t* name);

}  // namespace pl::test
