#include "base/secure_directory.h"

#include <aclapi.h>

#include <cstdint>
#include <vector>

#include "base/file_tree.h"

namespace pl::base {
namespace {

// The owner and the DACL every protected object gets, built once per call.
struct ProtectedSecurity {
  BYTE sids[3][SECURITY_MAX_SID_SIZE];
  PSID owner = sids[1];  // Administrators
  PACL dacl = nullptr;
  UniqueLocalMem memory;  // owns `dacl`
};

DWORD MakeProtectedSecurity(ProtectedSecurity* security) {
  struct Grant {
    WELL_KNOWN_SID_TYPE sid;
    DWORD rights;
  };
  constexpr Grant kGrants[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                               {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                               {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  EXPLICIT_ACCESSW entries[3] = {};
  for (int i = 0; i < 3; ++i) {
    DWORD size = sizeof security->sids[i];
    if (!CreateWellKnownSid(kGrants[i].sid, nullptr, security->sids[i], &size)) return GetLastError();
    entries[i].grfAccessPermissions = kGrants[i].rights;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(security->sids[i]);
  }
  const DWORD status = SetEntriesInAclW(3, entries, nullptr, &security->dacl);
  security->memory.reset(security->dacl);
  return status;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What the object's own handle says about it. (GetFileInformationByHandle fails on devices under Wine; these two
// classes answer for every kind of object.)
struct ObjectFacts {
  DWORD attributes = 0;
  DWORD links = 0;
  uint64_t size = 0;

  bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A link in the sense of kErrorLinkRefused.
  bool link() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (!folder() && links > 1); }
};

bool ReadFacts(HANDLE object, ObjectFacts* facts) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  *facts = {tag.FileAttributes, standard.NumberOfLinks, static_cast<uint64_t>(standard.EndOfFile.QuadPart)};
  return true;
}

struct Walk {
  const ProtectedSecurity& security;
  const SecurityWriter& write;
  ProtectionDepth depth;
  FolderProtection result;

  bool Failed(const std::wstring& path, DWORD error) {
    result = {error, path};
    return false;
  }
};

// One object and, for a folder of a whole-tree walk, what it holds. `isFolder`: what the listing said (the root is
// a folder by definition); the object's handle has the last word.
bool ProtectObject(Walk& walk, const std::wstring& path, bool isFolder, bool isRoot) {
  // Held without delete sharing: nobody can rename or delete it, and so swap it for a link, while it is written and
  // listed.
  const DWORD access = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | SYNCHRONIZE |
                       (isFolder ? FILE_LIST_DIRECTORY : 0);
  UniqueFileHandle object(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!object) {
    const DWORD error = GetLastError();
    return !isRoot && IsMissing(error) ? true : walk.Failed(path, error);
  }
  ObjectFacts facts;
  if (!ReadFacts(object.get(), &facts)) return walk.Failed(path, GetLastError());
  if (facts.link()) return walk.Failed(path, kErrorLinkRefused);
  const bool folder = facts.folder();
  if (folder != isFolder) return walk.Failed(path, ERROR_DIRECTORY);  // a file, or replaced since it was listed
  const DWORD status = walk.write(object.get(), path, walk.security.owner, walk.security.dacl);
  if (status != ERROR_SUCCESS) return walk.Failed(path, status);
  if (!folder || walk.depth == ProtectionDepth::FolderOnly) return true;

  std::vector<DirectoryEntry> entries;
  if (!ListDirectoryHandle(object.get(), &entries)) return walk.Failed(path, GetLastError());
  for (const DirectoryEntry& entry : entries) {
    const std::wstring child = path + L"\\" + entry.name;
    // A link is refused from the listing already: opened itself, a Unix symbolic link under Wine would show its
    // target.
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return walk.Failed(child, kErrorLinkRefused);
    if (!ProtectObject(walk, child, (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, false)) return false;
  }
  return true;
}

}  // namespace

DWORD WriteObjectSecurity(HANDLE object, const std::wstring&, PSID owner, PACL dacl) {
  return SetSecurityInfo(object, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr);
}

DWORD CreateProtectedDirectory(const std::wstring& path) {
  ProtectedSecurity security;
  const DWORD status = MakeProtectedSecurity(&security);
  if (status != ERROR_SUCCESS) return status;
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&descriptor, security.owner, FALSE);
  SetSecurityDescriptorDacl(&descriptor, TRUE, security.dacl, FALSE);
  SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  if (CreateDirectoryW(path.c_str(), &attributes)) return ERROR_SUCCESS;
  if (GetLastError() != ERROR_INVALID_OWNER) return GetLastError();
  // A token that may not name Administrators as owner (none of ours should be): its default owner, same DACL.
  SetSecurityDescriptorOwner(&descriptor, nullptr, FALSE);
  return CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
}

FolderProtection ProtectExistingDirectory(const std::wstring& path, ProtectionDepth depth,
                                          const SecurityWriter& write) {
  ProtectedSecurity security;
  const DWORD status = MakeProtectedSecurity(&security);
  if (status != ERROR_SUCCESS) return {status, path};
  // The listing of a Unix symbolic link shows it as a link under Wine, its own handle does not.
  if (IsLink(path)) return {kErrorLinkRefused, path};
  Walk walk{security, write, depth, {}};
  ProtectObject(walk, path, true, true);
  return walk.result;
}

FolderProtection CreateOrProtectDirectory(const std::wstring& path, const SecurityWriter& write) {
  const DWORD created = CreateProtectedDirectory(path);
  if (created == ERROR_SUCCESS) return {};
  if (created != ERROR_ALREADY_EXISTS) return {created, path};
  return ProtectExistingDirectory(path, ProtectionDepth::WholeTree, write);
}

UniqueFileHandle CreateFileNoLink(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                                  DWORD flagsAndAttributes) {
  if (disposition == CREATE_NEW) {
    return UniqueFileHandle(
        CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, flagsAndAttributes, nullptr));
  }
  // Emptying goes through the checked handle, so the open itself must not empty anything.
  const bool empty = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  const DWORD open = disposition == CREATE_ALWAYS ? OPEN_ALWAYS
                     : disposition == TRUNCATE_EXISTING ? OPEN_EXISTING
                                                        : disposition;
  UniqueFileHandle file(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, open,
                                    flagsAndAttributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return file;
  ObjectFacts facts;
  if (!ReadFacts(file.get(), &facts)) return {};
  if (facts.link() || facts.folder()) {
    file.reset();
    SetLastError(kErrorLinkRefused);
    return file;
  }
  if (empty && facts.size != 0) {
    const LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) return {};
  }
  return file;
}

UniqueFileHandle CreateTemporaryBeside(const std::wstring& path, DWORD share, std::wstring* temporaryPath) {
  constexpr int kNames = 16;
  for (int i = 0; i < kNames; ++i) {
    *temporaryPath = i == 0 ? path + L".tmp" : path + L"." + std::to_wstring(i) + L".tmp";
    UniqueFileHandle file(CreateFileW(temporaryPath->c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) return file;
  }
  return {};
}

}  // namespace pl::base
