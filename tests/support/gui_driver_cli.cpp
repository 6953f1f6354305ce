// Command-line face of the GUI driver, for scripts that run the program by hand:
//   pl_guidriver wait-window <class> <timeout-ms>    exit 0 once a visible window of the class exists
//   pl_guidriver screenshot <png-path>               save the whole display
//   pl_guidriver close-window <class>                ask every window of the class to close
//   pl_guidriver hold-desktop <ms>                   keep a hidden window (and so Wine's desktop) alive

#include <windows.h>

#include <cstdio>
#include <string>

#include "base/text.h"
#include "gui_driver.h"

namespace {

// Wine takes its desktop down a moment after the last window closes and starts it again for the next one;
// a test run keeps one hidden window so that every test finds the desktop already up.
int HoldDesktop(DWORD milliseconds) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"PlTestDesktopHolder";
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (window == nullptr) return 1;
  SetTimer(nullptr, 0, milliseconds, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) break;
    DispatchMessageW(&message);
  }
  DestroyWindow(window);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"wait-window" && argc == 4) {
    return pl::test::WaitForWindow(argv[2], 0, static_cast<DWORD>(_wtoi(argv[3]))) ? 0 : 1;
  }
  if (command == L"screenshot" && argc == 3) {
    return pl::test::SaveScreenshotTo(argv[2]) ? 0 : 1;
  }
  if (command == L"close-window" && argc == 3) {
    HWND window = FindWindowW(argv[2], nullptr);
    if (window == nullptr) return 1;
    while (window != nullptr) {
      pl::test::CloseWindow(window);
      window = FindWindowExW(nullptr, window, argv[2], nullptr);
    }
    return 0;
  }
  // Flows: press a control of the first window of a class once it is shown and enabled, or answer a message box.
  if (command == L"press" && argc == 5) {
    HWND window = FindWindowW(argv[2], nullptr);
    const int id = _wtoi(argv[3]);
    const DWORD timeout = static_cast<DWORD>(_wtoi(argv[4]));
    for (DWORD waited = 0; window != nullptr && waited < timeout; waited += 50) {
      if (pl::test::ControlVisible(window, id) && pl::test::ControlEnabled(window, id)) break;
      Sleep(50);
    }
    return window != nullptr && pl::test::ControlVisible(window, id) && pl::test::PressButton(window, id) ? 0 : 1;
  }
  if (command == L"wait-control" && argc == 5) {
    HWND window = FindWindowW(argv[2], nullptr);
    const int id = _wtoi(argv[3]);
    const DWORD timeout = static_cast<DWORD>(_wtoi(argv[4]));
    for (DWORD waited = 0; window != nullptr && waited < timeout; waited += 50) {
      if (pl::test::ControlVisible(window, id) && pl::test::ControlEnabled(window, id)) return 0;
      Sleep(50);
    }
    return 1;
  }
  if (command == L"click" && argc == 4) {  // as the user's click: a check box toggles itself
    HWND window = FindWindowW(argv[2], nullptr);
    HWND control = window != nullptr ? GetDlgItem(window, _wtoi(argv[3])) : nullptr;
    return control != nullptr && PostMessageW(control, BM_CLICK, 0, 0) ? 0 : 1;
  }
  if (command == L"answer-box" && argc == 5) {
    HWND box = pl::test::WaitForMessageBox(argv[2], 0, static_cast<DWORD>(_wtoi(argv[4])));
    if (box == nullptr) return 1;
    const std::wstring text = pl::test::MessageBoxText(box);
    // As UTF-8 bytes: the C runtime's wide output stops at the first character its locale cannot show.
    const std::string bytes = pl::base::WideToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (!pl::test::PressButton(box, _wtoi(argv[3]))) return 1;
    // This process is gone before the next answer-box looks: wait for the box to go, or it could be found again.
    const ULONGLONG deadline = GetTickCount64() + static_cast<DWORD>(_wtoi(argv[4]));
    while (IsWindow(box) && IsWindowVisible(box) && GetTickCount64() < deadline) Sleep(50);
    return 0;
  }
  if (command == L"hold-desktop" && argc == 3) {
    return HoldDesktop(static_cast<DWORD>(_wtoi(argv[2])));
  }
  std::fputs("usage: pl_guidriver wait-window <class> <ms> | screenshot <png> | close-window <class> | "
             "press <class> <control-id> <ms> | wait-control <class> <control-id> <ms> | click <class> <control-id> | "
             "answer-box <caption> <button-id> <ms> | hold-desktop <ms>\n",
             stderr);
  return 2;
}
