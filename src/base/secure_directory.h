#pragma once
// Folders only administrators may change, and files opened for writing without following a link planted at their
// name. The program runs elevated and boots, runs or reads back what it puts into such folders (the staging area,
// the install folder, its diskpart scripts), so nobody else may swap those files, or point their names elsewhere.
//
// The protection: Administrators as owner; SYSTEM and Administrators full control and Users read and execute, each
// inherited by everything below; nothing inherited from above (a volume root or ProgramData lets users create and
// modify).

#include <windows.h>

#include <functional>
#include <string>

#include "base/unique_handle.h"

namespace pl::base {

// The Win32 error for an object refused because it is a link: a junction, symbolic link or mount point, or a file
// that also has another name (a hard link). ERROR_STOPPED_ON_SYMLINK.
inline constexpr DWORD kErrorLinkRefused = 681;

// The owner and protected DACL above, written to the object open as `object` (named `path`): 0 or a Win32 error.
DWORD WriteObjectSecurity(HANDLE object, const std::wstring& path, PSID owner, PACL dacl);
// Tests put a store in its place that keeps what it is given: Wine keeps no DACL and no owner of a file, it answers
// from the Unix mode bits (the owner always the user the process runs as).
using SecurityWriter = std::function<DWORD(HANDLE object, const std::wstring& path, PSID owner, PACL dacl)>;

// A new folder protected from its first moment (with inherited entries, someone else could open it and put files
// into it before a protection written afterwards): 0, ERROR_ALREADY_EXISTS when anything is at `path`, or another
// Win32 error.
DWORD CreateProtectedDirectory(const std::wstring& path);

struct FolderProtection {
  DWORD error = ERROR_SUCCESS;  // kErrorLinkRefused, or the Win32 error of the object that could not be protected
  std::wstring path;            // that object; empty when everything was protected

  bool ok() const { return error == ERROR_SUCCESS; }
  bool linkRefused() const { return error == kErrorLinkRefused; }
  bool operator==(const FolderProtection&) const = default;
};

enum class ProtectionDepth { FolderOnly, WholeTree };

// Protects an existing folder (and, for WholeTree, everything in it), parents before their contents. Every object
// is opened itself, never what a link there points to, and held without delete sharing while it is written, so it
// cannot be swapped meanwhile. A link is refused: the folder itself, or, for WholeTree, anything in it (its
// target would stay open to whoever made it); nothing below it is touched then, and objects before it keep their
// new protection. An entry that vanishes during the walk is passed over. Stops at the first failure.
FolderProtection ProtectExistingDirectory(const std::wstring& path, ProtectionDepth depth,
                                          const SecurityWriter& write = WriteObjectSecurity);

// A new protected folder at `path`, or the existing one protected as a whole tree.
FolderProtection CreateOrProtectDirectory(const std::wstring& path, const SecurityWriter& write = WriteObjectSecurity);

// CreateFileW for writing (the same arguments) that never follows a link at `path`. CREATE_NEW creates a new file,
// which nothing can be in the way of. Any other disposition opens what is at `path` itself and refuses it with
// kErrorLinkRefused when it is a link (see above) or a folder; CREATE_ALWAYS and TRUNCATE_EXISTING then empty it
// through that handle, never before. Invalid with the thread's last error set on failure.
//
// Wine 8 opens the target of a Unix symbolic link to a file and shows no link (its hard links it does show): there
// only CREATE_NEW keeps such a link from being followed.
UniqueFileHandle CreateFileNoLink(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                                  DWORD flagsAndAttributes);

// A file of our own beside `path`, for the text that then replaces it: "<path>.tmp", or "<path>.1.tmp",
// "<path>.2.tmp", ... when that name is taken (a link in the way, or the leftover of a run that crashed), each
// created new. `temporaryPath` receives the name. Invalid with the last error of the last attempt when none of
// the first 16 names is free.
UniqueFileHandle CreateTemporaryBeside(const std::wstring& path, DWORD share, std::wstring* temporaryPath);

}  // namespace pl::base
