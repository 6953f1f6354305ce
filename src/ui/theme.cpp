// Fonts, pictures, hover tracking and the drawing primitives of the theme.

#include "ui/theme.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <objidl.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "ui/theme_gdi.h"

namespace pl::ui {
namespace {

using detail::SavedDc;
using detail::SolidBrush;
using detail::SolidPen;

constexpr UINT_PTR kHoverSubclassId = 0x504C;

// Copies the resource into movable memory that a stream owns, as GDI+ decodes from a stream.
std::unique_ptr<Gdiplus::Bitmap> DecodePngResource(int id) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (info == nullptr) return nullptr;
  const DWORD size = SizeofResource(module, info);
  HGLOBAL resource = LoadResource(module, info);
  const void* bytes = resource != nullptr ? LockResource(resource) : nullptr;
  if (bytes == nullptr || size == 0) return nullptr;
  base::UniqueGlobalMem copy(GlobalAlloc(GMEM_MOVEABLE, size));
  if (!copy) return nullptr;
  void* target = GlobalLock(copy.get());
  if (target == nullptr) return nullptr;
  std::memcpy(target, bytes, size);
  GlobalUnlock(copy.get());
  base::UniqueCom<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(copy.get(), TRUE, stream.put()))) return nullptr;
  copy.release();  // the stream frees it now
  // The bitmap holds its own reference to the stream for as long as it needs the bytes.
  std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream.get()));
  if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok || bitmap->GetWidth() == 0) return nullptr;
  return bitmap;
}

// Hovered only while the leave is really tracked. A move handled after the pointer has already gone on (the thread
// was busy) starts no tracking under Wine, which would then never send the leave and keep the control hovered.
void OnHoverMouseMove(HWND control) {
  if (GetPropW(control, kHoveredProperty) != nullptr) return;
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, control, 0};
  TRACKMOUSEEVENT tracked{sizeof tracked, TME_QUERY, nullptr, 0};
  if (!TrackMouseEvent(&track) || !TrackMouseEvent(&tracked)) return;
  if (tracked.hwndTrack != control || (tracked.dwFlags & TME_LEAVE) == 0) return;
  SetPropW(control, kHoveredProperty, reinterpret_cast<HANDLE>(1));
  InvalidateRect(control, nullptr, FALSE);
}

void OnHoverMouseLeave(HWND control) {
  RemovePropW(control, kHoveredProperty);
  InvalidateRect(control, nullptr, FALSE);
}

void OnHoverNcDestroy(HWND control, SUBCLASSPROC procedure, UINT_PTR id) {
  RemovePropW(control, kHoveredProperty);
  RemoveWindowSubclass(control, procedure, id);
}

LRESULT CALLBACK HoverProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR) {
  switch (message) {
    case WM_MOUSEMOVE:
      OnHoverMouseMove(control);
      break;
    case WM_MOUSELEAVE:
      OnHoverMouseLeave(control);
      break;
    case WM_NCDESTROY:
      OnHoverNcDestroy(control, HoverProc, id);
      break;
  }
  return DefSubclassProc(control, message, wParam, lParam);
}

}  // namespace

base::UniqueGdiObject CreateUiFont(int points, bool bold) {
  int dpi = USER_DEFAULT_SCREEN_DPI;
  if (HDC screen = GetDC(nullptr)) {
    dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  return base::UniqueGdiObject(CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                                           FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                           CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Microsoft YaHei UI"));
}

HFONT ThemeFont(int points, bool bold) {
  static std::mutex lock;
  // Never destroyed: drawing may still run while the process ends.
  static auto* fonts = new std::map<std::pair<int, bool>, base::UniqueGdiObject>();
  std::lock_guard<std::mutex> guard(lock);
  auto& font = (*fonts)[{points, bold}];
  if (!font) font = CreateUiFont(points, bold);
  return static_cast<HFONT>(font.get());
}

Gdiplus::Bitmap* LoadPngResource(int id) {
  static std::mutex lock;
  // Never destroyed: the entry shuts GDI+ down before static objects go, and a bitmap may not outlive GDI+.
  static auto* pictures = new std::map<int, std::unique_ptr<Gdiplus::Bitmap>>();
  std::lock_guard<std::mutex> guard(lock);
  auto found = pictures->find(id);
  if (found == pictures->end()) found = pictures->emplace(id, DecodePngResource(id)).first;
  return found->second.get();
}

bool TrackHover(HWND control) { return SetWindowSubclass(control, HoverProc, kHoverSubclassId, 0) != FALSE; }

bool IsHovered(HWND control) { return GetPropW(control, kHoveredProperty) != nullptr; }

DrawState ItemState(const DRAWITEMSTRUCT& item, bool selected) {
  return {.hovered = IsHovered(item.hwndItem),
          .pressed = (item.itemState & ODS_SELECTED) != 0,
          .disabled = (item.itemState & ODS_DISABLED) != 0,
          .selected = selected,
          .focused = (item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0};
}

bool ShowsHover(const DrawState& state) { return state.hovered && !state.pressed && !state.disabled; }

void FillSolid(HDC dc, const RECT& rect, COLORREF colour) {
  const auto brush = SolidBrush(colour);
  FillRect(dc, &rect, static_cast<HBRUSH>(brush.get()));
}

void FillRounded(HDC dc, const RECT& rect, int corner, COLORREF fill, COLORREF outline) {
  // Without an outline the edge is drawn in the fill colour, which gives the same shape as the filled interior.
  const auto pen = SolidPen(outline == kNoColour ? fill : outline);
  const auto brush = fill == kNoColour ? base::UniqueGdiObject() : SolidBrush(fill);
  SavedDc saved(dc);
  SelectObject(dc, pen.get());
  SelectObject(dc, brush ? brush.get() : GetStockObject(NULL_BRUSH));
  RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, corner, corner);
}

void DrawFocusMark(HDC dc, const RECT& rect, int corner, COLORREF colour) {
  const base::UniqueGdiObject pen(CreatePen(PS_INSIDEFRAME, 2, colour));
  SavedDc saved(dc);
  SelectObject(dc, pen.get());
  SelectObject(dc, GetStockObject(NULL_BRUSH));
  RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, corner, corner);
}

void FillEllipse(HDC dc, const RECT& rect, COLORREF colour) {
  const auto pen = SolidPen(colour);
  const auto brush = SolidBrush(colour);
  SavedDc saved(dc);
  SelectObject(dc, pen.get());
  SelectObject(dc, brush.get());
  Ellipse(dc, rect.left, rect.top, rect.right, rect.bottom);
}

void DrawLine(HDC dc, POINT from, POINT to, COLORREF colour) {
  const auto pen = SolidPen(colour);
  SavedDc saved(dc);
  SelectObject(dc, pen.get());
  MoveToEx(dc, from.x, from.y, nullptr);
  LineTo(dc, to.x, to.y);
}

void DrawPicture(HDC dc, Gdiplus::Bitmap* picture, const RECT& rect, PictureScaling scaling, float opacity) {
  if (picture == nullptr) return;
  Gdiplus::Graphics graphics(dc);
  if (scaling == PictureScaling::Sharp) {
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
  } else {
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
  }
  Gdiplus::ImageAttributes attributes;
  if (opacity < 1.0f) {
    Gdiplus::ColorMatrix fade{};
    for (int i = 0; i < 5; ++i) fade.m[i][i] = 1.0f;
    fade.m[3][3] = opacity;
    attributes.SetColorMatrix(&fade);
  }
  const Gdiplus::Rect target(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  graphics.DrawImage(picture, target, 0, 0, static_cast<INT>(picture->GetWidth()),
                     static_cast<INT>(picture->GetHeight()), Gdiplus::UnitPixel, opacity < 1.0f ? &attributes : nullptr);
}

void DrawTextIn(HDC dc, std::wstring_view text, const RECT& rect, HFONT font, COLORREF colour, UINT format) {
  SavedDc saved(dc);
  SelectObject(dc, font);
  SetTextColor(dc, colour);
  SetBkMode(dc, TRANSPARENT);
  RECT box = rect;
  DrawTextW(dc, text.data(), static_cast<int>(text.size()), &box, format | DT_NOPREFIX);
}

}  // namespace pl::ui
