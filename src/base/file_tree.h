#pragma once
// Small file-tree utilities: sizes, deletion, directory creation and search. None of them goes through a
// reparse point (junction, symbolic link, mount point): a link met on the way counts as nothing, is skipped by
// searches and is deleted itself, never what it points to.

#include <cstdint>
#include <string>

namespace pl::base {

// Sum of the sizes of all files below `directory`, recursively; 0 when it cannot be listed or is itself a link.
uint64_t DirectorySize(const std::wstring& directory);

// Removes everything below `directory` and the directory itself, clearing read-only attributes on the way.
// The walk goes on past failures; true only when everything, the directory included, was removed. When
// `directory` is itself a link, only the link is removed.
bool DeleteTree(const std::wstring& directory);

// Creates each level of `path` from left to right (drive roots skipped, existing levels accepted).
// True when every level exists afterwards; stops at the first other failure.
bool CreateDirectoryTree(const std::wstring& path);

// Depth-first in listing order; names compared without regard to case. Full path of the first match, or empty.
std::wstring FindFileInTree(const std::wstring& root, const std::wstring& fileName);

// `path` exists and is a reparse point (junction, symbolic link, mount point).
bool IsLink(const std::wstring& path);

}  // namespace pl::base
