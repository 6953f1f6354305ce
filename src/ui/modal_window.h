#pragma once
// What the small modal windows share: placing them over their owner and running them modally.

#include <windows.h>

namespace pl::ui {

// Registers a class for a small modal window: arrow cursor, button-face background, no icon.
bool RegisterModalClass(const wchar_t* className, WNDPROC procedure);

// A window rectangle of the size centred on the owner's window rectangle (on the work area without an owner).
RECT CentredOn(HWND owner, int width, int height);

// A visible child control with the font.
HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id, HFONT font);

// Disables the owner, shows the window and runs this thread's messages until the window no longer exists; a quit
// message ends the loop, is posted again for the outer loop and destroys the window. Then enables the owner and
// brings it to the front.
void RunModal(HWND owner, HWND window);

}  // namespace pl::ui
