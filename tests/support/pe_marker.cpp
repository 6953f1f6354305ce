#include "pe_marker.h"

#include <windows.h>

#include "base/unique_handle.h"

namespace pl::test {
namespace {

constexpr wchar_t kMiniNT[] = L"SYSTEM\\CurrentControlSet\\Control\\MiniNT";

}  // namespace

ScopedPeMarker::ScopedPeMarker() {
  base::UniqueRegKey key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMiniNT, 0, nullptr, 0, KEY_READ, nullptr, key.put(), &disposition) ==
      ERROR_SUCCESS) {
    created = disposition == REG_CREATED_NEW_KEY;
  }
}

ScopedPeMarker::~ScopedPeMarker() {
  if (created) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMiniNT);
}

}  // namespace pl::test
