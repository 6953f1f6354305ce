#pragma once
// The security of files as tests read it back, and a store standing in for the writer of protected folders. Wine
// keeps no DACL or owner of a file: it answers from the Unix mode bits (others' rights as Everyone's, "WD"; the owner
// always the process's user), so the exact owner and DACL are read where they are written, on the file itself only
// what the mode bits keep.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "base/secure_directory.h"

namespace pl::test {

// What every protected object is given, as SDDL (owner and DACL; the DACL is written protected).
inline constexpr char kProtectedSddl[] = "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The parts of a security descriptor as SDDL text; "?" when it cannot be converted.
std::string SddlOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts);

// The rights of Everyone in the object's DACL as the file system gives it back now, as SDDL ("0x1200a9" is read and
// execute); empty without such an entry, "?" when it cannot be read.
std::string EveryoneRights(const std::wstring& path);
// What Wine's mode bits keep of a protection: others may write until it is written.
bool OthersMayWrite(const std::wstring& path);

// Opens the object to everyone, as whoever made it before the program could have.
bool GrantEveryoneFullControl(const std::wstring& path);

// Keeps each object a protection wrote, in order, with what it was given as SDDL.
struct SecurityStore {
  std::vector<std::pair<std::wstring, std::string>> written;
  base::SecurityWriter Writer();
};

}  // namespace pl::test
