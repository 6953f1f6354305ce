#include "ui/contact_dialog.h"

#include "base/resource.h"
#include "ui/modal_window.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

constexpr int kPictureWidth = 109;
constexpr int kPictureHeight = 110;

// Created by ShowContactDialog, handed to the window as its creation parameter.
struct ContactDialogState {
  HWND window = nullptr;
  HWND caption = nullptr;
  HWND picture = nullptr;
  HWND closeButton = nullptr;
};

void OnSize(ContactDialogState* state) {
  if (state == nullptr) return;
  RECT client{};
  GetClientRect(state->window, &client);
  const int width = client.right;
  MoveWindow(state->caption, 20, 20, width - 40, 24, TRUE);
  MoveWindow(state->picture, (width - kPictureWidth) / 2, 60, kPictureWidth, kPictureHeight, TRUE);
  MoveWindow(state->closeButton, (width - 100) / 2, 190, 100, 32, TRUE);
}

bool OnCreate(HWND window, const CREATESTRUCTW& create) {
  auto* state = static_cast<ContactDialogState*>(create.lpCreateParams);
  state->window = window;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  // One 11-point font for the dialog, made once per process.
  HFONT font = ThemeFont(11, false);
  state->caption = CreateControl(window, L"STATIC", L"打开微信扫一扫添加到通讯录", SS_CENTER, kContactCaptionId, font);
  state->picture = CreateControl(window, L"STATIC", L"", SS_OWNERDRAW, kContactPictureId, font);
  state->closeButton = CreateControl(window, L"BUTTON", L"关闭", WS_TABSTOP | BS_PUSHBUTTON, kContactCloseId, font);
  OnSize(state);
  return true;
}

// Nearest neighbour keeps the QR modules sharp; without the picture a line of text says so.
void OnDrawPicture(const DRAWITEMSTRUCT& item) {
  FillSolid(item.hDC, item.rcItem, RGB(0xFF, 0xFF, 0xFF));
  if (Gdiplus::Bitmap* picture = LoadPngResource(IDR_PNG_CONTACT_QR)) {
    DrawPicture(item.hDC, picture, item.rcItem, PictureScaling::Sharp);
    return;
  }
  DrawTextIn(item.hDC, L"二维码加载失败", item.rcItem, ThemeFont(10, false), kTextSecondary,
             DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

LRESULT CALLBACK ContactWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<ContactDialogState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE:
      return OnCreate(window, *reinterpret_cast<CREATESTRUCTW*>(lParam)) ? 0 : -1;
    case WM_SIZE:
      OnSize(state);
      return 0;
    case WM_DRAWITEM:
      if (wParam == kContactPictureId) {
        OnDrawPicture(*reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == kContactCloseId) DestroyWindow(window);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void ShowContactDialog(HWND owner) {
  static const bool registered = RegisterModalClass(kContactDialogClass, ContactWindowProc);  // once per process
  if (!registered) return;
  ContactDialogState state;
  const RECT frame = CentredOn(owner, 320, 310);
  HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, kContactDialogClass, L"联系我们", WS_POPUPWINDOW | WS_DLGFRAME,
                                frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top, owner,
                                nullptr, GetModuleHandleW(nullptr), &state);
  if (window == nullptr) return;
  RunModal(owner, window);
}

}  // namespace pl::ui
