#include "ui/modal_window.h"

namespace pl::ui {

bool RegisterModalClass(const wchar_t* className, WNDPROC procedure) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className;
  return RegisterClassExW(&windowClass) != 0;
}

RECT CentredOn(HWND owner, int width, int height) {
  if (owner != nullptr && IsIconic(owner)) ShowWindow(owner, SW_RESTORE);
  RECT around{};
  if (owner == nullptr || !GetWindowRect(owner, &around)) SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
  const int left = around.left + (around.right - around.left - width) / 2;
  const int top = around.top + (around.bottom - around.top - height) / 2;
  return {left, top, left + width, top + height};
}

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id,
                   HFONT font) {
  HWND control = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                 nullptr);
  if (control != nullptr) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

bool DisableOwner(HWND owner) {
  // EnableWindow answers whether the window was disabled before.
  return owner != nullptr && !EnableWindow(owner, FALSE);
}

void ReleaseOwner(HWND owner, bool disabledHere) {
  if (!disabledHere) return;
  EnableWindow(owner, TRUE);
  SetForegroundWindow(owner);
}

bool HandleModalKey(HWND window, const MSG& message) {
  if (message.message != WM_KEYDOWN || (message.hwnd != window && !IsChild(window, message.hwnd))) return false;
  HWND focus = GetFocus();
  switch (message.wParam) {
    case VK_ESCAPE:
      SendMessageW(window, WM_CLOSE, 0, 0);
      return true;
    case VK_TAB: {
      HWND next = GetNextDlgTabItem(window, IsChild(window, focus) ? focus : nullptr, GetKeyState(VK_SHIFT) < 0);
      if (next != nullptr) SetFocus(next);
      return true;
    }
    case VK_RETURN: {
      wchar_t className[16] = L"";
      const bool button = IsChild(window, focus) && GetClassNameW(focus, className, 16) &&
                          _wcsicmp(className, L"BUTTON") == 0 && IsWindowEnabled(focus);
      if (button) {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(focus), BN_CLICKED), reinterpret_cast<LPARAM>(focus));
      }
      return button;
    }
    default:
      return false;
  }
}

void RunModal(HWND owner, HWND window) {
  const bool disabledHere = DisableOwner(owner);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  MSG message;
  while (IsWindow(window)) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    if (HandleModalKey(window, message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // Left by a quit message: the window's state lives in the caller's frame, which is about to go, so the window
  // may not outlive this call (a message dispatched later would reach freed state).
  if (IsWindow(window)) DestroyWindow(window);
  ReleaseOwner(owner, disabledHere);
}

}  // namespace pl::ui
