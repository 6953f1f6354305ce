#pragma once
// What the user-interface tests share: starting pl_ui_host (or its bare twin) with a command, waiting for its
// windows and texts, and reading colours out of screen captures.

#include <windows.h>

#include <functional>
#include <string>

#include "gui_driver.h"
#include "test_support.h"

namespace pl::test {

inline constexpr DWORD kUiWait = 20000;

// A started test host, ended with its scope. `log` is where its log goes.
struct UiHost {
  // `arguments` follow the command word (ui_host.h); the bare host lacks some pictures.
  bool Start(const std::wstring& arguments, bool bare = false);
  HWND Window(const wchar_t* className) const { return WaitForWindow(className, program.processId, kUiWait); }
  HWND Owner() const;
  HWND MessageBox(const std::wstring& caption) const {
    return WaitForMessageBox(caption, program.processId, kUiWait);
  }

  // In this order: the host ends before its folder goes.
  TempDirectory temp;
  std::wstring log = temp.Child(L"ui.log");
  GuiProgram program;
};

// Polls until `done` holds or the time is over; true when it held.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kUiWait);
// Clicks the window's close box until the window is gone: a click Wine drops while the machine is busy is sent
// again, up to three clicks. True once it is gone.
bool CloseByCloseBox(HWND window);
// Polls a control's text until it equals `expected`; returns the last text read.
std::wstring WaitForText(HWND parent, int controlId, const std::wstring& expected);
// The owner's title once the host's call returned it ("result=1", "closed", ...).
std::wstring WaitForOutcome(HWND owner);

// The host's call has returned `outcome` (the owner's title), and the owner is usable and in front again.
void ExpectOwnerBack(HWND owner, const std::wstring& outcome);
// The window has this outer size and is centred on the owner's window.
void ExpectCentredOn(HWND window, HWND owner, int width, int height);

// Captures the display until `ready` says the window has painted (or the time is over).
ScreenImage CaptureWhen(const std::function<bool(const ScreenImage&)>& ready);
// Client rectangles and points of a window in screen coordinates.
RECT OnScreen(HWND window, const RECT& client);
POINT OnScreen(HWND window, POINT client);
int CountColour(const ScreenImage& image, const RECT& area, COLORREF colour);
// The smallest rectangle holding every pixel of `area` other than `background`; empty when there is none.
RECT InkBox(const ScreenImage& image, const RECT& area, COLORREF background);
// How many pixels lie from the first to the last of exactly `colour` on row y between left and right.
int ColourSpan(const ScreenImage& image, int y, int left, int right, COLORREF colour);
// "#RRGGBB", so failures name colours as the palette does.
std::string ColourName(COLORREF colour);
// The width and height in the header of a whole PNG (its signature first, its end chunk last); 0 by 0 otherwise.
SIZE PngSize(const std::string& png);

}  // namespace pl::test
