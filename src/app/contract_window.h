#pragma once
// The main window's outer contract: class, title (the product name), a 900x600 client area centred on the primary
// screen, and the message loop. The full window replaces the empty client area.

#include <windows.h>

namespace pl::app {

inline constexpr wchar_t kMainWindowClass[] = L"PlHostGuiMainWindow";

// 1 when the window cannot be created, 0 when its message loop ends.
int RunMainWindow(HINSTANCE instance, int showCommand, bool dryRun);

}  // namespace pl::app
