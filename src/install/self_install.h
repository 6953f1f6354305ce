#pragma once
// Installing the running executable into ProgramData with a desktop shortcut and an uninstall entry,
// and removing all of it again. Error texts are UTF-8 and filled only on failure.

#include <windows.h>

#include <functional>
#include <string>

#include "base/secure_directory.h"
#include "base/unique_handle.h"

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
// entry failures are logged as warnings and do not change the result. A new folder is created with its
// protection; an existing one is protected and emptied of anything else first (ProtectInstallDirectory,
// ClearInstallDirectory).
bool SelfInstall(const std::wstring& runningPath, const std::string& version, std::string* error);

// The program always runs elevated from the install folder, so whatever can be put there runs elevated too (a
// DLL it imports, a cmd.exe). The folder gets SYSTEM and Administrators full control, Users read and execute,
// nothing inherited from ProgramData (where users may create and write), and Administrators as owner (the user
// who made the folder first would otherwise keep the owner's right to change its DACL). A link in its place is
// refused. The kept local catalog folder "ini" and everything in it get the same owner and entries; when that fails
// (a link in it), the folder is deleted with a warning. Tests pass a store for `write` (see base::SecurityWriter).
bool ProtectInstallDirectory(const std::wstring& directory, std::string* error,
                             const base::SecurityWriter& write = base::WriteObjectSecurity);

// Deletes everything in the install folder but the installed executable (kept when `keepExecutable`), logging a
// warning per entry that is not the executable: the folder may have been made, and filled, by someone else.
bool ClearInstallDirectory(const std::wstring& directory, bool keepExecutable, std::string* error);

// Starts `applicationName` hidden, with `commandLine`, in `workingDirectory`, inheriting no handles, and does not
// wait: 0 or the Win32 error. Tests record the call instead.
DWORD StartHiddenProcess(const std::wstring& applicationName, const std::wstring& commandLine,
                         const std::wstring& workingDirectory);
// The same, and hands the started process's handle to `process`.
DWORD StartHiddenProcessKeepingHandle(const std::wstring& applicationName, const std::wstring& commandLine,
                                      const std::wstring& workingDirectory, base::UniqueKernelHandle* process);
using ProcessStarter = std::function<DWORD(const std::wstring& applicationName, const std::wstring& commandLine,
                                           const std::wstring& workingDirectory)>;

// Removes shortcut and uninstall entry, then starts a hidden command interpreter that deletes the install
// directory once nothing locks it. True when that deferred deletion was started.
bool Uninstall(std::string* error, const ProcessStarter& start = StartHiddenProcess);
// Starts that hidden command interpreter for `directory`. True when it was started.
bool StartDeferredDeletion(const std::wstring& directory, std::string* error,
                           const ProcessStarter& start = StartHiddenProcess);

bool CreateDesktopShortcut(const std::wstring& targetPath, std::string* error);
// True when the shortcut is gone (also when it never existed).
bool DeleteDesktopShortcut();
bool WriteUninstallEntry(const std::wstring& targetPath, const std::string& version, std::string* error);

// The command line of the deferred deletion of `directory`.
std::wstring DeferredDeletionCommand(const std::wstring& directory);

}  // namespace pl::install
