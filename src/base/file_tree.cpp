#include "base/file_tree.h"

#include <windows.h>

#include "base/unique_handle.h"

namespace pl::base {
namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

bool IsDirectory(const WIN32_FIND_DATAW& data) { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

}  // namespace

uint64_t DirectorySize(const std::wstring& directory) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (!find) return 0;
  uint64_t total = 0;
  do {
    if (IsDotEntry(data.cFileName)) continue;
    if (IsDirectory(data)) {
      total += DirectorySize(directory + L"\\" + data.cFileName);
    } else {
      total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  } while (FindNextFileW(find.get(), &data));
  return total;
}

bool DeleteTree(const std::wstring& directory) {
  bool ok = true;
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (find) {
    do {
      if (IsDotEntry(data.cFileName)) continue;
      const std::wstring child = directory + L"\\" + data.cFileName;
      if (IsDirectory(data)) {
        if (!DeleteTree(child)) ok = false;
        continue;
      }
      if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(child.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
      }
      if (!DeleteFileW(child.c_str())) ok = false;
    } while (FindNextFileW(find.get(), &data));
    find.reset();  // the listing handle would keep the directory from being removed
  }
  if (!RemoveDirectoryW(directory.c_str())) ok = false;
  return ok;
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
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW((root + L"\\*").c_str(), &data));
  if (!find) return {};
  do {
    if (IsDotEntry(data.cFileName)) continue;
    const std::wstring child = root + L"\\" + data.cFileName;
    if (IsDirectory(data)) {
      std::wstring found = FindFileInTree(child, fileName);
      if (!found.empty()) return found;
    } else if (CompareStringOrdinal(data.cFileName, -1, fileName.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return child;
    }
  } while (FindNextFileW(find.get(), &data));
  return {};
}

}  // namespace pl::base
