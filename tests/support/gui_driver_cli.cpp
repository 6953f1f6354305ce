// Command-line face of the GUI driver, for scripts that run the program by hand:
//   pl_guidriver wait-window <class> <timeout-ms>    exit 0 once a visible window of the class exists
//   pl_guidriver screenshot <png-path>               save the whole display
//   pl_guidriver close-window <class>                ask every window of the class to close

#include <windows.h>

#include <cstdio>
#include <string>

#include "gui_driver.h"

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
  std::fputs("usage: pl_guidriver wait-window <class> <ms> | screenshot <png> | close-window <class>\n", stderr);
  return 2;
}
