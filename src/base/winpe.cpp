#include "base/winpe.h"

#include <windows.h>

#include "base/unique_handle.h"

namespace pl::base {

bool IsWinPE() {
  UniqueRegKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\MiniNT", 0, KEY_READ, key.put()) ==
         ERROR_SUCCESS;
}

}  // namespace pl::base
