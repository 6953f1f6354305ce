#pragma once
// Installing the running executable into ProgramData with a desktop shortcut and an uninstall entry,
// and removing all of it again. Error texts are UTF-8 and filled only on failure.

#include <string>

namespace pl::install {

inline constexpr wchar_t kInstallFolderName[] = L"Pellora";
inline constexpr wchar_t kInstalledExeName[] = L"Kavrin.exe";
inline constexpr wchar_t kUninstallKeyPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelloraReinstallMaster";

// ProgramData + "\Pellora", or empty when ProgramData cannot be resolved.
std::wstring InstallDirectory();

// The public desktop + "\Pellora重装大师.lnk", or empty when the desktop cannot be resolved.
std::wstring DesktopShortcutPath();

// True when the installed copy is in place (copied now, or already running from there). Shortcut and uninstall
// entry failures are logged as warnings and do not change the result.
bool SelfInstall(const std::wstring& runningPath, const std::string& version, std::string* error);

// Removes shortcut and uninstall entry, then starts a hidden command interpreter that deletes the install
// directory once nothing locks it. True when that deferred deletion was started.
bool Uninstall(std::string* error);

bool CreateDesktopShortcut(const std::wstring& targetPath, std::string* error);
// True when the shortcut is gone (also when it never existed).
bool DeleteDesktopShortcut();
bool WriteUninstallEntry(const std::wstring& targetPath, const std::string& version, std::string* error);

// The command line of the deferred deletion of `directory`.
std::wstring DeferredDeletionCommand(const std::wstring& directory);

}  // namespace pl::install
