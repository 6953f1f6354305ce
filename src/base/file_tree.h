#pragma once
// Small file-tree utilities: sizes, deletion, directory creation and search. None of them goes through a
// reparse point (junction, symbolic link, mount point): a link met on the way counts as nothing, is skipped by
// searches and is deleted itself, never what it points to.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pl::base {

// Files a deletion leaves in place: the rule gets each file's path below the tree's root ("sub\\name.ext").
using KeepRule = std::function<bool(const std::wstring& relativePath)>;

// Sum of the sizes of all files below `directory`, recursively, leaving out those `keep` names; 0 when it cannot
// be listed or is itself a link.
uint64_t DirectorySize(const std::wstring& directory, const KeepRule& keep = {});

// Removes everything below `directory` and the directory itself, clearing read-only attributes on the way.
// Files `keep` names stay, and so do the folders holding them. The walk goes on past failures; true only when
// everything not kept was removed. When `directory` is itself a link, only the link is removed.
bool DeleteTree(const std::wstring& directory, const KeepRule& keep = {});

// Creates each level of `path` from left to right (drive roots skipped, existing levels accepted).
// True when every level exists afterwards; stops at the first other failure.
bool CreateDirectoryTree(const std::wstring& path);

// Depth-first in listing order; names compared without regard to case. Full path of the first match, or empty.
std::wstring FindFileInTree(const std::wstring& root, const std::wstring& fileName);

struct DirectoryEntry {
  std::wstring name;
  DWORD attributes = 0;
};
// The entries of the directory open as `directory` (with FILE_LIST_DIRECTORY), "." and ".." left out, read through
// that very handle (a listing by path would open the directory again, which the handle's sharing may forbid).
// False when it cannot be listed.
bool ListDirectoryHandle(HANDLE directory, std::vector<DirectoryEntry>* entries);

// `path` exists and is a reparse point (junction, symbolic link, mount point).
bool IsLink(const std::wstring& path);

}  // namespace pl::base
