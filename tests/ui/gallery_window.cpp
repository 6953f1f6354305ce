// The gallery: every drawn element of the theme in each of its states, where gallery_layout.h says, painted through
// an off-screen bitmap as the main window paints. The title says the DPI the process sees ("dpi=96").

#include <windows.h>

#include <string>

#include "base/resource.h"
#include "base/unique_handle.h"
#include "gallery_layout.h"
#include "ui/theme.h"
#include "ui_host.h"

namespace pl::test::ui_host {
namespace {

using namespace pl::ui;
namespace layout = pl::test::gallery;

constexpr int kTabPictures[3] = {IDR_PNG_TAB_REINSTALL, IDR_PNG_TAB_USB, IDR_PNG_TAB_BACKUP};

void PaintHeaderRow(HDC dc) {
  DrawHeader(dc, layout::kHeader, layout::kHeaderTitle);
  const DrawState states[3] = {{}, {.hovered = true}, {.hovered = true, .pressed = true}};
  for (int i = 0; i < 6; ++i) {
    DrawWindowButton(dc, layout::WindowButton(i), i < 3 ? WindowButton::Minimise : WindowButton::Close, states[i % 3]);
  }
  const DrawState tabs[layout::kTabStates] = {
      {}, {.hovered = true}, {.selected = true}, {.disabled = true}, {.hovered = true, .pressed = true}};
  for (int i = 0; i < layout::kTabStates; ++i) {
    DrawTab(dc, layout::Tab(i), IDR_PNG_TAB_REINSTALL, layout::kTabLabels[0], tabs[i]);
  }
}

void PaintLeftBar(HDC dc) {
  DrawLeftBar(dc, layout::kLeftBar);
  DrawModeTitle(dc, layout::kModeTitle, L"一键重装");
  DrawStepItem(dc, layout::Step(0), 3, L"环境检测", false, true);
  DrawStepItem(dc, layout::Step(1), 4, L"选择系统", true, false);
  DrawStepItem(dc, layout::Step(2), 5, L"选装软件", false, false);
}

void PaintButtons(HDC dc) {
  const DrawState filters[4] = {{.selected = true}, {}, {.hovered = true}, {.hovered = true, .pressed = true}};
  for (int i = 0; i < 4; ++i) DrawFilterButton(dc, layout::Filter(i), i == 0 ? L"WIN11" : L"WIN10", filters[i]);
  const DrawState wizard[4] = {{}, {.hovered = true}, {.hovered = true, .pressed = true}, {.disabled = true}};
  for (int i = 0; i < 4; ++i) {
    DrawWizardButton(dc, layout::Wizard(true, i), L"下一步", true, wizard[i]);
    DrawWizardButton(dc, layout::Wizard(false, i), L"上一步", false, wizard[i]);
  }
}

void PaintLists(HDC dc) {
  DrawContentCard(dc, layout::kCard);
  DrawImageCard(dc, layout::kImageCardSelected, L"Windows 11 专业版 23H2",
                L"版本: 22631.2861    更新日期: 2024-01-10    大小: 5.43 GB", true);
  DrawImageCard(dc, layout::kImageCardNormal, L"Windows 10 专业版 22H2",
                L"版本: 19045.3803    更新日期: 2023-12-12    大小: 4.87 GB", false);
  DrawDriveRow(dc, layout::kDriveRowSelected, L"SanDisk Ultra USB 3.0 (28.6 GB)", true);
  DrawDriveRow(dc, layout::kDriveRowNormal, L"Kingston DataTraveler (14.4 GB)", false);
}

void PaintIconsAndNotices(HDC dc) {
  for (int number = 1; number <= 7; ++number) {
    DrawLineIcon(dc, number, layout::IconCentre(number), layout::kIconSize, kAccent);
  }
  FillEllipse(dc, layout::kIconCircle, kAccentLight);
  const RECT& circle = layout::kIconCircle;
  DrawLineIcon(dc, 3, {(circle.left + circle.right) / 2, (circle.top + circle.bottom) / 2}, 30, kAccent);
  DrawNotice(dc, layout::kAlertNotice,
             L"警示：重装系统会清除系统盘（一般是 C 盘）上的所有数据，请务必提前备份好系统盘上的重要文件！",
             NoticeKind::Alert);
  DrawNotice(dc, layout::kHintNotice,
             L"提示：检测到磁盘上有未分配空间，后续操作将在未分配空间上新建分区做数据暂存区（不影响现有分区数据）",
             NoticeKind::Hint);
  DrawFooter(dc, layout::kFooter, L"系统盘符: C:  |  Windows 10 专业版  |  软件版本: 0.1.0");
}

void OnPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client{};
  GetClientRect(window, &client);
  base::UniqueMemoryDc memory(CreateCompatibleDC(dc));
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(dc, client.right, client.bottom));
  const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  FillSolid(memory.get(), client, kWindowBackground);
  PaintHeaderRow(memory.get());
  PaintLeftBar(memory.get());
  PaintButtons(memory.get());
  PaintLists(memory.get());
  PaintIconsAndNotices(memory.get());
  BitBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
  SelectObject(memory.get(), old);
  EndPaint(window, &paint);
}

void OnCreate(HWND window) {
  for (int i = 0; i < 3; ++i) {
    const RECT cell = layout::LiveTab(i);
    HWND tab = CreateWindowExW(0, L"BUTTON", layout::kTabLabels[i], WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, cell.left,
                               cell.top, cell.right - cell.left, cell.bottom - cell.top, window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout::kLiveTabIds[i])),
                               GetModuleHandleW(nullptr), nullptr);
    TrackHover(tab);
  }
}

void OnDrawItem(const DRAWITEMSTRUCT& item) {
  for (int i = 0; i < 3; ++i) {
    if (static_cast<int>(item.CtlID) == layout::kLiveTabIds[i]) {
      DrawTab(item.hDC, item.rcItem, kTabPictures[i], layout::kTabLabels[i], ItemState(item));
    }
  }
}

LRESULT CALLBACK GalleryProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnCreate(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_DRAWITEM:
      OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int RunGallery() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = GalleryProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = layout::kWindowClass;
  if (!RegisterClassExW(&windowClass)) return 2;
  int dpi = 0;
  if (HDC screen = GetDC(nullptr)) {
    dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  const std::wstring title = L"dpi=" + std::to_wstring(dpi);
  HWND window = CreateWindowExW(0, layout::kWindowClass, title.c_str(), WS_POPUP | WS_VISIBLE, 0, 0, layout::kWidth,
                                layout::kHeight, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return 2;
  UpdateWindow(window);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace pl::test::ui_host
