#include "app/winpe.h"

#include <windows.h>

#include "tools/unique_handle.h"

namespace pl::app {

bool IsWinPE() {
  tools::UniqueRegKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\MiniNT", 0, KEY_READ, key.put()) ==
         ERROR_SUCCESS;
}

}  // namespace pl::app
