#pragma once
// Turns the test prefix into a small machine: drive letters mapped to folders (with labels) that may hold a
// Windows. Every change is seen by the whole prefix at once and undone at the end of the scope, so the tests that
// use these hold the resource lock prefix_machine (see also pe_marker.h).

#include <windows.h>

#include <string>

namespace pl::test {

// Maps `letter` to `folder` through Wine's mount manager, which makes the drive appear to every process of
// the prefix at once (a symlink made behind its back would be seen only after wineserver restarts). A
// non-empty label goes into the folder's ".windows-label" file. The mapping is removed at the end.
struct ScopedDrive {
  ScopedDrive(wchar_t letter, const std::wstring& folder, const std::string& label = "",
              unsigned driveType = DRIVE_FIXED);
  ~ScopedDrive();
  ScopedDrive(const ScopedDrive&) = delete;
  ScopedDrive& operator=(const ScopedDrive&) = delete;
  // Removes the mapping now (the machine restarted, and the drive is named otherwise).
  void Unmap();
  wchar_t letter;
  bool mapped = false;
};

// A folder holding Windows\System32\ntoskrnl.exe, as a drive with a Windows installation does.
void PutWindowsKernel(const std::wstring& folder);

}  // namespace pl::test
