#include <windows.h>

#include "base/system_paths.h"
#include "deploy/deployer_entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a DLL by name: the program runs elevated from folders such as a data volume's.
  pl::base::RestrictDllSearchToSystem32();
  return pl::deploy::RunPeEntry();
}
