#pragma once
// WinHTTP handles (sessions, connections, requests) in the one handle template. Kept apart from unique_handle.h:
// <winhttp.h> and <wininet.h> cannot meet in one translation unit.

#include <windows.h>
#include <winhttp.h>

#include "base/unique_handle.h"

namespace pl::base {

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueHandle<InternetHandleTraits>;

}  // namespace pl::base
