#include <windows.h>

#include "app/entry.h"
#include "base/system_paths.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  // Before anything can load a DLL by name. Imports the loader resolved before this ran are covered by the
  // install folder's protection.
  pl::base::RestrictDllSearchToSystem32();
  return pl::app::RunEntry(instance, showCommand);
}
