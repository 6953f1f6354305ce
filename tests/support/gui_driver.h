#pragma once
// Drives the real program under Wine: start it, find its windows and message boxes, read and press
// controls, take screenshots. Runs inside the test process, which shares the program's Wine session.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pl::test {

// The built program, next to the test programs' build tree (set by CTest as PL_HOST_GUI_EXE).
std::wstring HostGuiPath();

// A started program; terminated at the end of the scope if still running.
struct GuiProgram {
  GuiProgram() = default;
  ~GuiProgram();
  GuiProgram(const GuiProgram&) = delete;
  GuiProgram& operator=(const GuiProgram&) = delete;

  // `environment` entries are added to (or, with an empty value, removed from) this process's environment
  // for the child only.
  bool Start(const std::wstring& exe, const std::wstring& arguments,
             const std::vector<std::pair<std::wstring, std::wstring>>& environment = {});
  bool Running() const;
  // The exit code, or -1 when it did not end within the time.
  long WaitForExit(DWORD timeoutMs);
  void Terminate();

  HANDLE process = nullptr;
  DWORD processId = 0;
};

// Polls for a visible top-level window of the class (of any process when processId is 0).
HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs);
// Polls for a message box (dialog class "#32770") with exactly this caption, passing over boxes that
// PressButton already answered (they stay until their thread takes the press).
HWND WaitForMessageBox(const std::wstring& caption, DWORD processId, DWORD timeoutMs);
// True when no such window exists now.
bool NoMessageBox(const std::wstring& caption, DWORD processId);

std::wstring WindowText(HWND window);
std::wstring ControlText(HWND parent, int controlId);
bool ControlVisible(HWND parent, int controlId);
bool ControlEnabled(HWND parent, int controlId);
// The message text of a message box (its static text control).
std::wstring MessageBoxText(HWND box);
// Clicks a button of a message box (IDOK, IDYES, IDNO, ...) or any button control by id. A box pressed is
// never found again by WaitForMessageBox.
bool PressButton(HWND parent, int controlId);
bool CloseWindow(HWND window);
// Answers an open-file dialog of the process (found by its caption) by typing `path` into its file name box and
// pressing its OK button; false when no such dialog came within the time.
bool ChooseFileInDialog(const std::wstring& caption, DWORD processId, const std::wstring& path, DWORD timeoutMs);

// Real pointer input (SendInput, as a user's mouse gives it) at a point of the window's client area: a move, or a
// move and a click of the left button.
bool MoveMouseTo(HWND window, POINT client);
bool ClickAt(HWND window, POINT client);
// Clicks the close box of the window's caption (found by hit-testing its top right corner).
bool ClickCloseBox(HWND window);
// Brings the window to the front and presses Enter as a keyboard does (SendInput): the key goes to the focus in it.
bool PressEnterIn(HWND window);

// Real key strokes (SendInput, as a keyboard gives them) to the window that has the keyboard focus: the virtual
// key `key` pressed and released, with Shift held around it when `shift`.
bool PressKey(WORD key, bool shift = false);
// The window with the keyboard focus in the thread of `window` (of any process); nullptr when none.
HWND FocusedWindow(HWND window);

// The virtual display's pixels, top row first; screen coordinates start at its top left.
struct ScreenImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB
  // In COLORREF order (RGB()), as colours are written in the program; CLR_INVALID outside the image.
  COLORREF At(int x, int y) const;
  COLORREF At(POINT point) const { return At(point.x, point.y); }
};
bool CaptureScreen(ScreenImage* image);
// `name` goes into the screenshot folder of the build tree; returns the full path written, or empty.
std::wstring SaveImage(const ScreenImage& image, const std::wstring& name);

// Saves the whole virtual display as PNG; `name` goes into the screenshot folder of the build tree.
// Returns the full path written, or empty.
std::wstring SaveScreenshot(const std::wstring& name);
// Where a file of that name goes in the screenshot folder (created if missing); empty when the folder is unknown.
std::wstring ScreenshotPath(const std::wstring& name);
// Saves to an explicit path.
bool SaveScreenshotTo(const std::wstring& pngPath);

}  // namespace pl::test
