#pragma once
// Process entry: run modes and start-up.

#include <windows.h>

namespace pl::app {

int RunEntry(HINSTANCE instance, int showCommand);

}  // namespace pl::app
