#pragma once
// Constants the whole program shares.

#include <cstdint>

namespace pl::base {

// Byte sizes. Signed, so partition offsets and lengths may use them; unsigned byte counts mix in freely.
inline constexpr int64_t kMiB = 1048576;
inline constexpr int64_t kGiB = 1024 * kMiB;

// The product as the user sees it: window title, message box captions, shortcut, uninstall entry.
inline constexpr wchar_t kProductNameW[] = L"Pellora重装大师";
inline constexpr char kProductName[] = "Pellora重装大师";
// The version of this program, as the uninstall entry and the backend see it.
inline constexpr char kClientVersion[] = "0.1.0";

}  // namespace pl::base
