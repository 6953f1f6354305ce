#include "base/file_tree.h"

#include <windows.h>

#include <vector>

#include "base/unique_handle.h"

namespace pl::base {
namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Junctions, symbolic links and mount points. A walk never goes through one: it may lead out of the tree (a
// junction to C:\Windows in a folder that is being emptied) or back into it (a size walk without end).
bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens `path` itself, not what a link there points to, for deletion (and `access`), and reads its attributes
// through that handle. While it is held nobody else can delete or rename the entry, so it cannot be swapped for
// a link.
UniqueFileHandle OpenForDeletion(const std::wstring& path, DWORD access, DWORD* attributes) {
  UniqueFileHandle handle(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!handle || !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) return {};
  *attributes = info.FileAttributes;
  return handle;
}

// The entry goes when the handle is closed.
bool DeleteThroughHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Removes the link at `path`, never its target. The handle must show the reparse point itself: where the system
// followed the link anyway (Wine opens the target of a Unix symbolic link), nothing is deleted.
bool RemoveLink(const std::wstring& path) {
  DWORD attributes = 0;
  UniqueFileHandle handle = OpenForDeletion(path, 0, &attributes);
  return handle && IsReparsePoint(attributes) && DeleteThroughHandle(handle.get());
}

// Where a deletion or size walk stands: the rule for kept files and the path below the root.
struct KeepWalk {
  const KeepRule* keep = nullptr;
  std::wstring relative;

  KeepWalk Into(const std::wstring& name) const { return {keep, relative.empty() ? name : relative + L"\\" + name}; }
  bool Keeps(const std::wstring& name) const { return keep && *keep && (*keep)(Into(name).relative); }
};

bool DeleteDirectory(const std::wstring& directory, const KeepWalk& walk, bool* keptAny);

// Everything below the directory open as `handle` but what the walk keeps; the walk goes on past failures. A
// directory that cannot be listed has nothing to delete here.
bool DeleteContents(const std::wstring& directory, HANDLE handle, const KeepWalk& walk, bool* keptAny) {
  std::vector<DirectoryEntry> entries;
  if (!ListDirectoryHandle(handle, &entries)) return true;
  bool ok = true;
  for (const DirectoryEntry& entry : entries) {
    const std::wstring child = directory + L"\\" + entry.name;
    if (IsReparsePoint(entry.attributes)) {
      if (!RemoveLink(child)) ok = false;
      continue;
    }
    if (IsDirectory(entry.attributes)) {
      if (!DeleteDirectory(child, walk.Into(entry.name), keptAny)) ok = false;
      continue;
    }
    if (walk.Keeps(entry.name)) {
      *keptAny = true;
      continue;
    }
    if (entry.attributes & FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesW(child.c_str(), entry.attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!DeleteFileW(child.c_str())) ok = false;
  }
  return ok;
}

// Held open while its contents go, then removed through the same handle unless something in it was kept.
bool DeleteDirectory(const std::wstring& directory, const KeepWalk& walk, bool* keptAny) {
  DWORD attributes = 0;
  UniqueFileHandle handle = OpenForDeletion(directory, FILE_LIST_DIRECTORY, &attributes);
  if (!handle || !IsDirectory(attributes)) return false;
  if (IsReparsePoint(attributes)) return DeleteThroughHandle(handle.get());  // became a link since it was listed
  bool keptBelow = false;
  const bool contentsGone = DeleteContents(directory, handle.get(), walk, &keptBelow);
  if (keptBelow) {
    *keptAny = true;
    return contentsGone;
  }
  return DeleteThroughHandle(handle.get()) && contentsGone;
}

uint64_t SizeBelow(const std::wstring& directory, const KeepWalk& walk) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (!find) return 0;
  uint64_t total = 0;
  do {
    if (IsDotEntry(data.cFileName) || IsReparsePoint(data.dwFileAttributes)) continue;
    if (IsDirectory(data.dwFileAttributes)) {
      total += SizeBelow(directory + L"\\" + data.cFileName, walk.Into(data.cFileName));
    } else if (!walk.Keeps(data.cFileName)) {
      total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  } while (FindNextFileW(find.get(), &data));
  return total;
}

std::wstring FindBelow(const std::wstring& root, const std::wstring& fileName) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW((root + L"\\*").c_str(), &data));
  if (!find) return {};
  do {
    if (IsDotEntry(data.cFileName) || IsReparsePoint(data.dwFileAttributes)) continue;
    const std::wstring child = root + L"\\" + data.cFileName;
    if (IsDirectory(data.dwFileAttributes)) {
      std::wstring found = FindBelow(child, fileName);
      if (!found.empty()) return found;
    } else if (CompareStringOrdinal(data.cFileName, -1, fileName.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return child;
    }
  } while (FindNextFileW(find.get(), &data));
  return {};
}

}  // namespace

bool ListDirectoryHandle(HANDLE directory, std::vector<DirectoryEntry>* entries) {
  alignas(8) char buffer[16384];
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(directory, kind, buffer, sizeof buffer)) {
      return GetLastError() == ERROR_NO_MORE_FILES;
    }
    kind = FileIdBothDirectoryInfo;
    for (const char* at = buffer;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") entries->push_back({std::move(name), info->FileAttributes});
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
}

bool IsLink(const std::wstring& path) { return IsReparsePoint(GetFileAttributesW(path.c_str())); }

uint64_t DirectorySize(const std::wstring& directory, const KeepRule& keep) {
  return IsLink(directory) ? 0 : SizeBelow(directory, {&keep, {}});
}

bool DeleteTree(const std::wstring& directory, const KeepRule& keep) {
  bool keptAny = false;
  return IsLink(directory) ? RemoveLink(directory) : DeleteDirectory(directory, {&keep, {}}, &keptAny);
}

bool CreateDirectoryTree(const std::wstring& path) {
  auto createLevel = [](const std::wstring& level) {
    if (level.empty() || level.back() == L':') return true;  // drive root
    return CreateDirectoryW(level.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
  };
  for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    if (!createLevel(path.substr(0, at))) return false;
  }
  return createLevel(path);
}

std::wstring FindFileInTree(const std::wstring& root, const std::wstring& fileName) {
  return IsLink(root) ? std::wstring() : FindBelow(root, fileName);
}

}  // namespace pl::base
