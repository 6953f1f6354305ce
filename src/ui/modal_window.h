#pragma once
// What the small modal windows share: placing them over their owner and running them modally.

#include <windows.h>

namespace pl::ui {

// Registers a class for a small modal window: arrow cursor, button-face background, no icon.
bool RegisterModalClass(const wchar_t* className, WNDPROC procedure);

// A window rectangle of the size centred on the owner's window rectangle (on the work area without an owner). A
// minimised owner is restored first: centred on its icon the window would land off-screen, over a disabled owner.
RECT CentredOn(HWND owner, int width, int height);

// A visible child control with the font.
HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id, HFONT font);

// Disables the owner for a modal window; true when this call disabled it (false when it was disabled already, as
// under another box of ours, or there is none). ReleaseOwner enables it again and brings it to the front only then,
// so that a window closing under another box never hands the owner back while that box is open.
bool DisableOwner(HWND owner);
void ReleaseOwner(HWND owner, bool disabledHere);

// The keyboard of a small modal window: Esc closes it as its close box would (WM_CLOSE), Tab and Shift+Tab move
// between its controls, Enter presses the focused button. True when the message was such a key and is handled.
bool HandleModalKey(HWND window, const MSG& message);

// Disables the owner (DisableOwner), shows the window and runs this thread's messages until the window no longer
// exists, its keys through HandleModalKey; a quit message ends the loop, is posted again for the outer loop and
// destroys the window. Then releases the owner (ReleaseOwner).
void RunModal(HWND owner, HWND window);

}  // namespace pl::ui
