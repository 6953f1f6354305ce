#pragma once
// Links for tests of code that must not follow them. Wine 8 cannot make one itself (CreateSymbolicLinkW does
// nothing and FSCTL_SET_REPARSE_POINT is not supported), but it lists a host (Unix) symbolic link to a folder as
// a directory with FILE_ATTRIBUTE_REPARSE_POINT, as Windows lists a junction. This makes such links with the
// host's ln and removes them with its rm. Wine can delete none through Win32 without touching the target (a
// link to a file it does not even report as a link).

#include <string>

namespace pl::test {

// The host (Unix) path of a Windows path, through Wine's own export; empty when it cannot be converted.
std::string HostPath(const std::wstring& windowsPath);

struct ScopedHostLink {
  // `link` must not exist yet; `target` may be relative to the link's folder, with backslashes.
  ScopedHostLink(const std::wstring& link, const std::wstring& target);
  ~ScopedHostLink();  // removes the link itself, whatever the code under test did
  ScopedHostLink(const ScopedHostLink&) = delete;
  ScopedHostLink& operator=(const ScopedHostLink&) = delete;
  std::wstring link;
  bool made = false;  // the link is there and Wine lists it as a reparse point
};

}  // namespace pl::test
