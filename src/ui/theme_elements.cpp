// The drawn elements of the main window: header, footer, left bar, steps, cards, tabs, buttons and list rows.
// Buttons first fill their whole rectangle with the window colour, so that their rounded corners show what lies
// behind them on the window instead of what the control held before.

#include <windows.h>
#include <gdiplus.h>

#include "base/resource.h"
#include "ui/theme.h"
#include "ui/theme_gdi.h"

namespace pl::ui {
namespace {

constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);
constexpr UINT kCentred = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
constexpr UINT kLeftLine = DT_LEFT | DT_VCENTER | DT_SINGLELINE;

int Height(const RECT& rect) { return rect.bottom - rect.top; }
int Width(const RECT& rect) { return rect.right - rect.left; }
int MiddleX(const RECT& rect) { return (rect.left + rect.right) / 2; }
int MiddleY(const RECT& rect) { return (rect.top + rect.bottom) / 2; }
RECT Inset(const RECT& rect, int by) { return {rect.left + by, rect.top + by, rect.right - by, rect.bottom - by}; }

// Buttons show the keyboard focus as a ring three pixels inside their edge.
void MarkFocus(HDC dc, const RECT& rect, int corner, const DrawState& state, COLORREF colour) {
  if (state.focused) DrawFocusMark(dc, Inset(rect, 3), corner, colour);
}

// The header picture is 68 high, unless that makes it wider than the 218 pixels up to x 290.
RECT HeaderPictureRect(const RECT& header, int pictureWidth, int pictureHeight) {
  constexpr int kHeight = 68, kMaxWidth = 218, kLeft = 72;
  int width = MulDiv(pictureWidth, kHeight, pictureHeight);
  int height = kHeight;
  if (width > kMaxWidth) {
    width = kMaxWidth;
    height = MulDiv(pictureHeight, kMaxWidth, pictureWidth);
  }
  const int top = header.top + (Height(header) - height) / 2;
  return {header.left + kLeft, top, header.left + kLeft + width, top + height};
}

void DrawWindowsLogo(HDC dc, const RECT& tile, bool eleven) {
  // Four 8-pixel squares: rounded with 2-pixel gaps for Windows 11, flat with 3-pixel gaps otherwise.
  constexpr int kSquare = 8;
  const int gap = eleven ? 2 : 3;
  const int span = 2 * kSquare + gap;
  const int left = tile.left + (Width(tile) - span) / 2;
  const int top = tile.top + (Height(tile) - span) / 2;
  for (int row = 0; row < 2; ++row) {
    for (int column = 0; column < 2; ++column) {
      const int x = left + column * (kSquare + gap);
      const int y = top + row * (kSquare + gap);
      const RECT square{x, y, x + kSquare, y + kSquare};
      if (eleven) FillRounded(dc, square, 4, kAccent);
      else FillSolid(dc, square, kAccent);
    }
  }
}

void DrawCheckMark(HDC dc, const POINT (&points)[3], COLORREF colour, int width) {
  const auto pen = detail::SolidPen(colour, width);
  detail::SavedDc saved(dc);
  SelectObject(dc, pen.get());
  Polyline(dc, points, 3);
}

}  // namespace

void DrawHeader(HDC dc, const RECT& rect, std::wstring_view title) {
  FillSolid(dc, rect, kWindowBackground);
  FillSolid(dc, {rect.left, rect.bottom - 1, rect.right, rect.bottom}, kBorder);
  if (Gdiplus::Bitmap* picture = LoadPngResource(IDR_PNG_HEADER)) {
    const RECT target = HeaderPictureRect(rect, static_cast<int>(picture->GetWidth()),
                                          static_cast<int>(picture->GetHeight()));
    DrawPicture(dc, picture, target, PictureScaling::Smooth);
    return;
  }
  DrawTextIn(dc, title, {rect.left + 72, rect.top, rect.left + 290, rect.bottom}, ThemeFont(13, true), kTextPrimary,
             kLeftLine);
}

void DrawFooter(HDC dc, const RECT& rect, std::wstring_view text) {
  FillSolid(dc, rect, kWindowBackground);
  FillSolid(dc, {rect.left, rect.top, rect.right, rect.top + 1}, kBorder);
  DrawTextIn(dc, text, {rect.left + 16, rect.top, rect.right - 16, rect.bottom}, ThemeFont(9, false), kTextSecondary,
             kLeftLine);
}

void DrawLeftBar(HDC dc, const RECT& rect) {
  FillSolid(dc, rect, kSurface);
  FillSolid(dc, {rect.right - 1, rect.top, rect.right, rect.bottom}, kBorder);
}

void DrawModeTitle(HDC dc, const RECT& rect, std::wstring_view text) {
  FillRounded(dc, rect, 8, kAccentLight);
  DrawLineIcon(dc, 3, {rect.left + 26, MiddleY(rect)}, Height(rect) * 40 / 100, kAccent);
  DrawTextIn(dc, text, {rect.left + 46, rect.top, rect.right - 8, rect.bottom}, ThemeFont(11, true), kAccent,
             kLeftLine);
}

void DrawStepItem(HDC dc, const RECT& rect, int icon, std::wstring_view text, bool current, bool done) {
  const COLORREF colour = current ? kAccent : done ? kTextDone : kTextDisabled;
  const int height = Height(rect);
  if (current) {
    FillRounded(dc, {rect.left + 6, rect.top + 3, rect.right - 6, rect.bottom - 3}, 8, kNoColour, kAccent);
  }
  DrawLineIcon(dc, icon, {MiddleX(rect), rect.top + height * 30 / 100}, height * 32 / 100, colour);
  DrawTextIn(dc, text, {rect.left, rect.top + height * 56 / 100, rect.right, rect.bottom}, ThemeFont(10, false),
             colour, DT_CENTER | DT_TOP | DT_SINGLELINE);
}

void DrawContentCard(HDC dc, const RECT& rect) { FillRounded(dc, rect, 12, kSurface, kBorder); }

void DrawTab(HDC dc, const RECT& rect, int pictureId, std::wstring_view label, const DrawState& state) {
  const bool hovered = ShowsHover(state);
  FillSolid(dc, rect, kWindowBackground);
  FillRounded(dc, rect, 10, state.selected ? kTabSelected : hovered ? kAccentLight : kSurface);
  const int height = Height(rect);
  if (Gdiplus::Bitmap* icon = LoadPngResource(pictureId)) {
    const int size = height / 2;
    const int left = MiddleX(rect) - size / 2;
    const int top = rect.top + height * 34 / 100 - size / 2;
    DrawPicture(dc, icon, {left, top, left + size, top + size}, PictureScaling::Smooth, state.disabled ? 0.4f : 1.0f);
  }
  const COLORREF colour = state.selected ? kWhite : hovered ? kAccent : state.disabled ? kTextDisabled : kTextDone;
  DrawTextIn(dc, label, {rect.left, rect.top + height * 60 / 100, rect.right, rect.bottom}, ThemeFont(12, true),
             colour, DT_CENTER | DT_TOP | DT_SINGLELINE);
  MarkFocus(dc, rect, 10, state, kAccent);
}

void DrawWindowButton(HDC dc, const RECT& rect, WindowButton kind, const DrawState& state) {
  const bool close = kind == WindowButton::Close;
  const bool active = ShowsHover(state) || state.pressed;
  COLORREF fill = kSurface;
  COLORREF glyph = kTextSecondary;
  if (active && close) {
    fill = state.pressed ? kClosePressed : kCloseHovered;
    glyph = kWhite;
  } else if (active) {
    fill = state.pressed ? kMinimisePressed : kMinimiseHovered;
    glyph = kTextPrimary;
  }
  FillSolid(dc, rect, fill);
  const int x = MiddleX(rect);
  const int y = MiddleY(rect);
  if (close) {
    DrawLine(dc, {x - 5, y - 5}, {x + 6, y + 6}, glyph);
    DrawLine(dc, {x + 5, y - 5}, {x - 6, y + 6}, glyph);
  } else {
    DrawLine(dc, {x - 5, y}, {x + 6, y}, glyph);
  }
  MarkFocus(dc, rect, 0, state, glyph == kWhite ? kWhite : kAccent);
}

void DrawFilterButton(HDC dc, const RECT& rect, std::wstring_view text, const DrawState& state) {
  FillSolid(dc, rect, kWindowBackground);
  if (state.selected) {
    FillRounded(dc, rect, 8, kAccent, kAccent);
  } else {
    FillRounded(dc, rect, 8, ShowsHover(state) ? kAccentLight : kSurface, kBorder);
  }
  DrawTextIn(dc, text, rect, ThemeFont(10, true), state.selected ? kWhite : kTextPrimary, kCentred);
  MarkFocus(dc, rect, 8, state, state.selected ? kWhite : kAccent);
}

void DrawWizardButton(HDC dc, const RECT& rect, std::wstring_view text, bool primary, const DrawState& state) {
  const int corner = Height(rect) / 3;
  const bool hovered = ShowsHover(state);
  FillSolid(dc, rect, kWindowBackground);
  COLORREF textColour = kAccent;
  if (primary) {
    const COLORREF fill = state.disabled  ? kAccentDisabled
                          : state.pressed ? kAccentPressed
                          : hovered       ? kAccentHovered
                                          : kAccent;
    FillRounded(dc, rect, corner, fill);
    textColour = kWhite;
  } else if (state.disabled) {
    FillRounded(dc, rect, corner, kBorder, kBorderDisabled);
    textColour = kTextDisabled;
  } else {
    FillRounded(dc, rect, corner, hovered ? kAccentLight : kSurface, kAccent);
  }
  DrawTextIn(dc, text, rect, ThemeFont(11, false), textColour, kCentred);
  MarkFocus(dc, rect, corner, state, primary ? kWhite : kAccent);
}

void DrawImageCard(HDC dc, const RECT& rect, std::wstring_view title, std::wstring_view detail, bool selected,
                   bool focused) {
  FillSolid(dc, rect, kWindowBackground);
  const RECT card{rect.left, rect.top + 4, rect.right, rect.bottom - 4};
  FillRounded(dc, card, 10, kSurface, kBorder);
  if (focused) DrawFocusMark(dc, card, 10, kAccent);
  const int middle = MiddleY(card);

  const RECT tile{card.left + 14, middle - 22, card.left + 58, middle + 22};
  FillRounded(dc, tile, 8, kLogoTile);
  DrawWindowsLogo(dc, tile, title.find(L"Windows 11") != std::wstring_view::npos);

  const RECT badge{card.left + 74, card.top + 12, card.left + 128, card.top + 30};
  FillRounded(dc, badge, 9, kBadgeFill);
  DrawTextIn(dc, L"纯净版", badge, ThemeFont(9, true), kWhite, kCentred);
  DrawTextIn(dc, title, {badge.right + 8, card.top + 10, card.right - 40, card.top + 32}, ThemeFont(11, false),
             kTextPrimary, kLeftLine | DT_END_ELLIPSIS);
  DrawTextIn(dc, detail, {card.left + 74, card.top + 40, card.right - 40, card.bottom - 8}, ThemeFont(9, false),
             kTextSecondary, kLeftLine | DT_END_ELLIPSIS);

  const RECT box{card.right - 36, middle - 11, card.right - 14, middle + 11};
  if (!selected) {
    FillRounded(dc, box, 5, kSurface, kCheckBoxBorder);
    return;
  }
  FillRounded(dc, box, 5, kAccent, kAccent);
  const int x = card.right;
  const int y = box.top;
  DrawCheckMark(dc, {{x - 31, y + 11}, {x - 27, y + 15}, {x - 19, y + 6}}, kWhite, 2);
}

void DrawDriveRow(HDC dc, const RECT& rect, std::wstring_view text, bool selected, bool focused) {
  FillSolid(dc, rect, selected ? kAccentLight : kSurface);
  if (focused) DrawFocusMark(dc, {rect.left + 2, rect.top + 2, rect.right - 2, rect.bottom - 3}, 0, kAccent);
  DrawTextIn(dc, text, {rect.left + 10, rect.top, rect.right - 10, rect.bottom}, ThemeFont(10, false), kTextPrimary,
             kLeftLine | DT_END_ELLIPSIS);
  FillSolid(dc, {rect.left, rect.bottom - 1, rect.right, rect.bottom}, kBorder);
}

void DrawNotice(HDC dc, const RECT& rect, std::wstring_view text, NoticeKind kind) {
  const bool alert = kind == NoticeKind::Alert;
  FillRounded(dc, rect, 6, alert ? kAlertFill : kHintFill);
  DrawTextIn(dc, text, {rect.left + 12, rect.top, rect.right - 12, rect.bottom}, ThemeFont(10, false),
             alert ? kAlertText : kHintText, kLeftLine | DT_END_ELLIPSIS);
}

}  // namespace pl::ui
