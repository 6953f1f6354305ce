#pragma once
// The look of every drawn element: palette, fonts, pictures, hover tracking and one drawing routine per element.
// Each routine takes the device context (the window's off-screen bitmap or an owner-draw context), the element's
// rectangle and its state. Measures inside an element are fixed pixels; only fonts follow the display's DPI.

#include <windows.h>

#include <string_view>

#include "base/unique_handle.h"

namespace Gdiplus {
class Bitmap;
}

namespace pl::ui {

// Palette.
inline constexpr COLORREF kWindowBackground = RGB(0xF7, 0xF8, 0xFA);  // header, footer, list rows, static controls
inline constexpr COLORREF kSurface = RGB(0xFF, 0xFF, 0xFF);           // left bar, cards, buttons
inline constexpr COLORREF kBorder = RGB(0xE4, 0xE7, 0xEB);            // border and separator lines
inline constexpr COLORREF kTextPrimary = RGB(0x14, 0x18, 0x1D);
inline constexpr COLORREF kTextSecondary = RGB(0x5B, 0x64, 0x70);     // labels, footer, card details
inline constexpr COLORREF kAccent = RGB(0x2F, 0x6F, 0xEB);
inline constexpr COLORREF kAccentHovered = RGB(0x47, 0x81, 0xEF);     // primary button states
inline constexpr COLORREF kAccentPressed = RGB(0x22, 0x57, 0xBD);
inline constexpr COLORREF kAccentDisabled = RGB(0xA9, 0xBD, 0xE8);
inline constexpr COLORREF kAccentLight = RGB(0xE8, 0xF0, 0xFE);       // hover fill, mode title, selected row
inline constexpr COLORREF kTabSelected = RGB(0x72, 0xA1, 0xF7);
inline constexpr COLORREF kTextDone = RGB(0x40, 0x46, 0x52);          // done step, normal tab label
inline constexpr COLORREF kTextDisabled = RGB(0xC0, 0xC4, 0xCB);      // disabled or future text
inline constexpr COLORREF kBorderDisabled = RGB(0xD0, 0xD4, 0xDA);
inline constexpr COLORREF kAlertFill = RGB(0xFC, 0xE9, 0xE9);
inline constexpr COLORREF kAlertText = RGB(0xC4, 0x2B, 0x2B);
inline constexpr COLORREF kHintFill = RGB(0xFD, 0xF3, 0xE2);
inline constexpr COLORREF kHintText = RGB(0xB9, 0x77, 0x0E);
inline constexpr COLORREF kBadgeFill = RGB(0x16, 0xB9, 0x66);
inline constexpr COLORREF kLogoTile = RGB(0xF0, 0xF1, 0xF3);
inline constexpr COLORREF kCheckBoxBorder = RGB(0xC8, 0xCC, 0xD2);
inline constexpr COLORREF kCloseHovered = RGB(0xE8, 0x11, 0x23);
inline constexpr COLORREF kClosePressed = RGB(0xC4, 0x2B, 0x2B);
inline constexpr COLORREF kMinimiseHovered = RGB(0xE9, 0xEB, 0xEE);
inline constexpr COLORREF kMinimisePressed = RGB(0xD8, 0xDC, 0xE2);
inline constexpr COLORREF kNoColour = 0xFFFFFFFF;  // no colour at all (CLR_NONE), never a real RGB value

// Fonts: "Microsoft YaHei UI", -MulDiv(points, LOGPIXELSY of the screen, 72) high, ClearType. The caller owns it.
base::UniqueGdiObject CreateUiFont(int points, bool bold);
// The same font made once per process on first use and kept for its life; what the drawing routines use.
HFONT ThemeFont(int points, bool bold);

// The PNG resource `id` (type RCDATA) of the program's module as a GDI+ bitmap, decoded on first use and kept for
// the life of the process; nullptr when it is missing or undecodable, which is remembered too. GDI+ must be up.
Gdiplus::Bitmap* LoadPngResource(int id);

// Hover tracking. The property is set while the pointer is over a tracked control.
inline constexpr wchar_t kHoveredProperty[] = L"PlHovered";
// Subclasses the control (tabs, Back, Next, window and filter buttons) so that it sets and clears the property
// and repaints itself on entry and leave. False when the subclass could not be installed.
bool TrackHover(HWND control);
bool IsHovered(HWND control);

struct DrawState {
  bool hovered = false;
  bool pressed = false;
  bool disabled = false;
  bool selected = false;  // the current tab, the chosen filter, the selected list row
  bool focused = false;   // has the keyboard focus: the element draws its focus mark
};
// Pressed (ODS_SELECTED), disabled (ODS_DISABLED), focused (ODS_FOCUS unless ODS_NOFOCUSRECT) and hovered (the
// control's property) from an owner-draw record; `selected` is what only the caller knows.
DrawState ItemState(const DRAWITEMSTRUCT& item, bool selected = false);
// A pressed or disabled element never shows hover.
bool ShowsHover(const DrawState& state);

// Primitives, for the painted areas that have no routine of their own (the environment page, progress tracks).
void FillSolid(HDC dc, const RECT& rect, COLORREF colour);
// `corner` is the width and height of the ellipse that rounds each corner, as RoundRect takes it. An outline of
// kNoColour draws none; a fill of kNoColour leaves the inside as it was.
void FillRounded(HDC dc, const RECT& rect, int corner, COLORREF fill, COLORREF outline = kNoColour);
void FillEllipse(HDC dc, const RECT& rect, COLORREF colour);
// The keyboard focus mark: a ring two pixels wide just inside `rect`, rounded like FillRounded's corners.
void DrawFocusMark(HDC dc, const RECT& rect, int corner, COLORREF colour);
// One pixel wide, end points excluded as LineTo does.
void DrawLine(HDC dc, POINT from, POINT to, COLORREF colour);
// Text with a transparent background; `format` as DrawTextW takes it (DT_NOPREFIX is always added).
void DrawTextIn(HDC dc, std::wstring_view text, const RECT& rect, HFONT font, COLORREF colour, UINT format);

// A picture scaled into the rectangle: smooth (high-quality bicubic, anti-aliased) or sharp (nearest neighbour
// with half-pixel offset, so that the modules of a QR code stay crisp); `opacity` below 1 fades it.
enum class PictureScaling { Smooth, Sharp };
void DrawPicture(HDC dc, Gdiplus::Bitmap* picture, const RECT& rect, PictureScaling scaling, float opacity = 1.0f);

// Elements.
void DrawHeader(HDC dc, const RECT& rect, std::wstring_view title);  // title only when picture 204 is missing
void DrawFooter(HDC dc, const RECT& rect, std::wstring_view text);
void DrawLeftBar(HDC dc, const RECT& rect);
void DrawModeTitle(HDC dc, const RECT& rect, std::wstring_view text);
void DrawStepItem(HDC dc, const RECT& rect, int icon, std::wstring_view text, bool current, bool done);
void DrawContentCard(HDC dc, const RECT& rect);
void DrawTab(HDC dc, const RECT& rect, int pictureId, std::wstring_view label, const DrawState& state);
enum class WindowButton { Minimise, Close };
void DrawWindowButton(HDC dc, const RECT& rect, WindowButton kind, const DrawState& state);
void DrawFilterButton(HDC dc, const RECT& rect, std::wstring_view text, const DrawState& state);
// Back, Next (primary), AI help and decrypt.
void DrawWizardButton(HDC dc, const RECT& rect, std::wstring_view text, bool primary, const DrawState& state);
// One list row of 78 pixels; the logo has rounded squares when the title names "Windows 11". The row with the
// list's focus (`focused`) has its card outlined in the accent colour.
void DrawImageCard(HDC dc, const RECT& rect, std::wstring_view title, std::wstring_view detail, bool selected,
                   bool focused = false);
void DrawDriveRow(HDC dc, const RECT& rect, std::wstring_view text, bool selected, bool focused = false);
enum class NoticeKind { Alert, Hint };
void DrawNotice(HDC dc, const RECT& rect, std::wstring_view text, NoticeKind kind);

// Line icons 1 to 7: USB stick, disk with circular arrows, shield with check, window with check, box of list rows,
// arrow into a tray, circle with check. Drawn centred on `centre` within a square of `size`, pen width size / 10.
void DrawLineIcon(HDC dc, int number, POINT centre, int size, COLORREF colour);

}  // namespace pl::ui
