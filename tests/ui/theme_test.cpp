// The theme as the gallery of pl_ui_host draws it under Wine: the palette's colours where each element in each state
// lies, the pictures and their fall-backs, hover driven by real pointer input, and fonts that follow the display's
// DPI while every rectangle keeps its size. Screenshots go to build/screenshots/gallery-*.png.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "gallery_layout.h"
#include "ui/theme.h"
#include "ui_host_driver.h"

namespace pl::ui {
namespace {

namespace layout = pl::test::gallery;
using test::ColourName;
using test::ScreenImage;

constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);

// A pixel that must have exactly the colour (fills, outlines, glyph lines).
struct Fill {
  const char* element;
  POINT point;
  COLORREF colour;
};
// An area where some pixels must have exactly the colour (text and icon strokes).
struct Ink {
  const char* element;
  RECT area;
  COLORREF colour;
};

POINT At(const RECT& cell, int dx, int dy) { return {cell.left + dx, cell.top + dy}; }
POINT Middle(const RECT& cell) { return {(cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2}; }
RECT TabLabel(const RECT& tab) { return {tab.left + 4, tab.top + 43, tab.right - 4, tab.bottom}; }
RECT TabIcon(const RECT& tab) { return {tab.left + 52, tab.top + 6, tab.left + 88, tab.top + 42}; }
RECT Around(POINT centre, int half) { return {centre.x - half, centre.y - half, centre.x + half, centre.y + half}; }
// Parts of an image card row (the card is the row less 4 pixels at top and bottom).
RECT CheckBox(const RECT& row) {
  const int middle = (row.top + row.bottom) / 2;
  return {row.right - 36, middle - 11, row.right - 14, middle + 11};
}
RECT LogoTile(const RECT& row) {
  const int middle = (row.top + row.bottom) / 2;
  return {row.left + 14, middle - 22, row.left + 58, middle + 22};
}
RECT Badge(const RECT& row) { return {row.left + 74, row.top + 16, row.left + 128, row.top + 34}; }
RECT Title(const RECT& row) { return {row.left + 136, row.top + 14, row.right - 40, row.top + 36}; }
RECT Detail(const RECT& row) { return {row.left + 74, row.top + 44, row.right - 40, row.bottom - 12}; }
constexpr RECT kHeaderPicture{72, 10, 290, 78};

std::vector<Fill> Fills() {
  std::vector<Fill> fills = {
      {"header background", {20, 20}, kWindowBackground},
      {"header border line", {450, 87}, kBorder},
      {"minimise", At(layout::WindowButton(0), 3, 3), kSurface},
      {"minimise glyph", Middle(layout::WindowButton(0)), kTextSecondary},
      {"minimise hovered", At(layout::WindowButton(1), 3, 3), kMinimiseHovered},
      {"minimise hovered glyph", Middle(layout::WindowButton(1)), kTextPrimary},
      {"minimise pressed", At(layout::WindowButton(2), 3, 3), kMinimisePressed},
      {"close", At(layout::WindowButton(3), 3, 3), kSurface},
      {"close glyph", Middle(layout::WindowButton(3)), kTextSecondary},
      {"close hovered", At(layout::WindowButton(4), 3, 3), kCloseHovered},
      {"close hovered glyph", Middle(layout::WindowButton(4)), kWhite},
      {"close pressed", At(layout::WindowButton(5), 3, 3), kClosePressed},
      {"close pressed glyph", At(layout::WindowButton(5), 23 - 4, 18 - 4), kWhite},
      {"tab corner shows the window", At(layout::Tab(layout::kTabNormal), 0, 0), kWindowBackground},
      {"tab", At(layout::Tab(layout::kTabNormal), 10, 36), kSurface},
      {"tab hovered", At(layout::Tab(layout::kTabHovered), 10, 36), kAccentLight},
      {"tab selected", At(layout::Tab(layout::kTabSelected), 10, 36), kTabSelected},
      {"tab disabled", At(layout::Tab(layout::kTabDisabled), 10, 36), kSurface},
      {"tab pressed shows no hover", At(layout::Tab(layout::kTabPressedWhileHovered), 10, 36), kSurface},
      {"left bar", {20, 180}, kSurface},
      {"left bar border", {167, 300}, kBorder},
      {"mode title", At(layout::kModeTitle, 140, 6), kAccentLight},
      {"current step outline", At(layout::Step(1), 40, 3), kAccent},
      {"filter selected", At(layout::Filter(0), 4, 15), kAccent},
      {"filter", At(layout::Filter(1), 4, 15), kSurface},
      {"filter outline", At(layout::Filter(1), 46, 0), kBorder},
      {"filter hovered", At(layout::Filter(2), 4, 15), kAccentLight},
      {"filter pressed shows no hover", At(layout::Filter(3), 4, 15), kSurface},
      {"next", At(layout::Wizard(true, 0), 8, 18), kAccent},
      {"next hovered", At(layout::Wizard(true, 1), 8, 18), kAccentHovered},
      {"next pressed", At(layout::Wizard(true, 2), 8, 18), kAccentPressed},
      {"next disabled", At(layout::Wizard(true, 3), 8, 18), kAccentDisabled},
      {"back", At(layout::Wizard(false, 0), 8, 18), kSurface},
      {"back outline", At(layout::Wizard(false, 0), 55, 0), kAccent},
      {"back hovered", At(layout::Wizard(false, 1), 8, 18), kAccentLight},
      {"back pressed shows no hover", At(layout::Wizard(false, 2), 8, 18), kSurface},
      {"back disabled", At(layout::Wizard(false, 3), 8, 18), kBorder},
      {"back disabled outline", At(layout::Wizard(false, 3), 55, 0), kBorderDisabled},
      {"content card outline", At(layout::kCard, 100, 0), kBorder},
      {"content card", At(layout::kCard, 8, 6), kSurface},
      {"image row background", At(layout::kImageCardSelected, 100, 1), kWindowBackground},
      {"image card outline", At(layout::kImageCardSelected, 100, 4), kBorder},
      {"image card", At(layout::kImageCardSelected, 64, 70), kSurface},
      {"logo tile", At(LogoTile(layout::kImageCardSelected), 2, 22), kLogoTile},
      {"badge", At(Badge(layout::kImageCardSelected), 3, 9), kBadgeFill},
      {"windows 10 logo: flat squares", At(LogoTile(layout::kImageCardNormal), 12, 12), kAccent},
      {"windows 11 logo: rounded squares", At(LogoTile(layout::kImageCardSelected), 13, 13), kLogoTile},
      {"check box selected", At(CheckBox(layout::kImageCardSelected), 2, 11), kAccent},
      {"check box", At(CheckBox(layout::kImageCardNormal), 11, 11), kSurface},
      {"check box outline", At(CheckBox(layout::kImageCardNormal), 11, 0), kCheckBoxBorder},
      {"drive row selected", At(layout::kDriveRowSelected, 3, 3), kAccentLight},
      {"drive row", At(layout::kDriveRowNormal, 3, 3), kSurface},
      {"drive row line", At(layout::kDriveRowNormal, 200, 25), kBorder},
      {"icon circle", At(layout::kIconCircle, 8, 30), kAccentLight},
      {"alert notice", At(layout::kAlertNotice, 5, 16), kAlertFill},
      {"hint notice", At(layout::kHintNotice, 5, 11), kHintFill},
      {"footer", At(layout::kFooter, 4, 14), kWindowBackground},
      {"footer line", At(layout::kFooter, 600, 0), kBorder},
  };
  return fills;
}

std::vector<Ink> Inks() {
  std::vector<Ink> inks = {
      {"header picture", kHeaderPicture, kAccent},
      {"tab label", TabLabel(layout::Tab(layout::kTabNormal)), kTextDone},
      {"tab hovered label", TabLabel(layout::Tab(layout::kTabHovered)), kAccent},
      {"tab selected label", TabLabel(layout::Tab(layout::kTabSelected)), kWhite},
      {"tab disabled label", TabLabel(layout::Tab(layout::kTabDisabled)), kTextDisabled},
      {"tab pressed label", TabLabel(layout::Tab(layout::kTabPressedWhileHovered)), kTextDone},
      {"tab icon", TabIcon(layout::Tab(layout::kTabNormal)), kAccent},
      {"mode title icon and text", layout::kModeTitle, kAccent},
      {"done step", layout::Step(0), kTextDone},
      {"current step", {layout::Step(1).left + 8, layout::Step(1).top + 8, layout::Step(1).right - 8, layout::Step(1).bottom - 8}, kAccent},
      {"future step", layout::Step(2), kTextDisabled},
      {"filter selected text", layout::Filter(0), kWhite},
      {"filter text", layout::Filter(1), kTextPrimary},
      {"next text", layout::Wizard(true, 0), kWhite},
      {"next disabled text", layout::Wizard(true, 3), kWhite},
      {"back text", layout::Wizard(false, 0), kAccent},
      {"back disabled text", layout::Wizard(false, 3), kTextDisabled},
      {"windows 11 logo", LogoTile(layout::kImageCardSelected), kAccent},
      {"windows 10 logo", LogoTile(layout::kImageCardNormal), kAccent},
      {"badge text", Badge(layout::kImageCardSelected), kWhite},
      {"image title", Title(layout::kImageCardSelected), kTextPrimary},
      {"image detail", Detail(layout::kImageCardSelected), kTextSecondary},
      {"check mark", CheckBox(layout::kImageCardSelected), kWhite},
      {"drive row text", layout::kDriveRowSelected, kTextPrimary},
      {"alert text", layout::kAlertNotice, kAlertText},
      {"hint text", layout::kHintNotice, kHintText},
      {"footer text", layout::kFooter, kTextSecondary},
  };
  for (int number = 1; number <= 7; ++number) inks.push_back({"line icon", Around(layout::IconCentre(number), 22), kAccent});
  return inks;
}

struct GalleryTest : ::testing::Test {
  void Open(bool bare) {
    // Off every element first: the pointer stays where an earlier test left it, and a window appearing under it
    // shows that element hovered.
    ASSERT_TRUE(test::MoveMouseTo(GetDesktopWindow(), POINT{GetSystemMetrics(SM_CXSCREEN) - 2,
                                                            GetSystemMetrics(SM_CYSCREEN) - 2}));
    ASSERT_TRUE(host.Start(L"gallery", bare));
    window = host.Window(layout::kWindowClass);
    ASSERT_NE(window, nullptr);
  }
  POINT Screen(POINT client) const { return test::OnScreen(window, client); }
  RECT Screen(const RECT& client) const { return test::OnScreen(window, client); }
  COLORREF Pixel(const ScreenImage& image, POINT client) const { return image.At(Screen(client)); }
  // Both ends of the window painted.
  ScreenImage Painted() const {
    return test::CaptureWhen([&](const ScreenImage& image) {
      return Pixel(image, {450, 87}) == kBorder && Pixel(image, At(layout::kFooter, 600, 0)) == kBorder;
    });
  }
  void ExpectTabFill(const ScreenImage& image, int liveTab, COLORREF colour) const {
    EXPECT_EQ(ColourName(Pixel(image, At(layout::LiveTab(liveTab), 10, 36))), ColourName(colour)) << "tab " << liveTab;
  }
  HWND LiveTab(int index) const { return GetDlgItem(window, layout::kLiveTabIds[index]); }
  // Moves the pointer as a hand does, a few pixels at a time, so that the window under it sees several moves.
  bool Glide(POINT from, POINT to) const {
    const int steps = std::max<int>(1, std::max(std::abs(to.x - from.x), std::abs(to.y - from.y)) / 8);
    for (int step = 1; step <= steps; ++step) {
      const POINT point{from.x + (to.x - from.x) * step / steps, from.y + (to.y - from.y) * step / steps};
      if (!test::MoveMouseTo(window, point)) return false;
    }
    return true;
  }

  test::UiHost host;
  HWND window = nullptr;
};

TEST_F(GalleryTest, EveryElementInEachStateShowsThePaletteColours) {
  Open(false);
  const ScreenImage image = Painted();
  EXPECT_FALSE(test::SaveImage(image, L"gallery.png").empty());
  for (const Fill& fill : Fills()) {
    EXPECT_EQ(ColourName(Pixel(image, fill.point)), ColourName(fill.colour)) << fill.element;
  }
  for (const Ink& ink : Inks()) {
    EXPECT_GT(test::CountColour(image, Screen(ink.area), ink.colour), 0) << ink.element << " " << ColourName(ink.colour);
  }
  // The disabled tab's icon is drawn faded: present, but nowhere in the full accent colour.
  const RECT fadedIcon = Screen(TabIcon(layout::Tab(layout::kTabDisabled)));
  EXPECT_EQ(test::CountColour(image, fadedIcon, kAccent), 0);
  EXPECT_NE(test::InkBox(image, fadedIcon, kSurface).right, 0);
}

TEST_F(GalleryTest, MissingPicturesFallBackToTextAndLeaveTheLabel) {
  Open(true);  // no header picture, no backup tab icon
  // The tabs are child windows that may paint after both ends of the window: wait for the backup tab's label.
  const ScreenImage image = test::CaptureWhen([&](const ScreenImage& shot) {
    return test::CountColour(shot, Screen(TabLabel(layout::LiveTab(2))), kTextDone) > 0 &&
           Pixel(shot, {450, 87}) == kBorder && Pixel(shot, At(layout::kFooter, 600, 0)) == kBorder;
  });
  EXPECT_FALSE(test::SaveImage(image, L"gallery-bare.png").empty());
  const RECT title = Screen(RECT{72, 0, 290, 88});
  EXPECT_GT(test::CountColour(image, title, kTextPrimary), 0);
  EXPECT_EQ(test::CountColour(image, title, kAccent), 0);
  const RECT backupIcon = Screen(TabIcon(layout::LiveTab(2)));
  EXPECT_EQ(test::InkBox(image, backupIcon, kSurface).right, 0) << "no icon drawn";
  EXPECT_GT(test::CountColour(image, Screen(TabLabel(layout::LiveTab(2))), kTextDone), 0);
  EXPECT_GT(test::CountColour(image, Screen(TabIcon(layout::LiveTab(1))), kAccent), 0) << "the USB icon is there";
}

TEST_F(GalleryTest, MovingThePointerToTheNextTabUnhoversTheFirst) {
  Open(false);
  Painted();
  const auto middleOf = [](int tab) { return Middle(layout::LiveTab(tab)); };
  const POINT gap{layout::LiveTab(0).right + 5, middleOf(0).y};

  ASSERT_TRUE(Glide({middleOf(0).x, 300}, middleOf(0)));
  ASSERT_TRUE(test::WaitUntil([&] { return IsHovered(LiveTab(0)); }));
  ScreenImage image = test::CaptureWhen([&](const ScreenImage& shot) {
    return Pixel(shot, At(layout::LiveTab(0), 10, 36)) == kAccentLight;
  });
  EXPECT_FALSE(test::SaveImage(image, L"gallery-hover-first.png").empty());
  ExpectTabFill(image, 0, kAccentLight);
  ExpectTabFill(image, 1, kSurface);
  EXPECT_GT(test::CountColour(image, Screen(TabLabel(layout::LiveTab(0))), kAccent), 0);

  // Between the tabs the first has already let go, before the second is reached.
  ASSERT_TRUE(Glide(middleOf(0), gap));
  ASSERT_TRUE(test::WaitUntil([&] { return !IsHovered(LiveTab(0)); }));
  EXPECT_FALSE(IsHovered(LiveTab(1)));

  ASSERT_TRUE(Glide(gap, middleOf(1)));
  ASSERT_TRUE(test::WaitUntil([&] { return IsHovered(LiveTab(1)) && !IsHovered(LiveTab(0)); }));
  image = test::CaptureWhen([&](const ScreenImage& shot) {
    return Pixel(shot, At(layout::LiveTab(1), 10, 36)) == kAccentLight &&
           Pixel(shot, At(layout::LiveTab(0), 10, 36)) == kSurface;
  });
  EXPECT_FALSE(test::SaveImage(image, L"gallery-hover-second.png").empty());
  ExpectTabFill(image, 0, kSurface);
  ExpectTabFill(image, 1, kAccentLight);

  // Straight on to the third tab: one hovered tab at a time.
  ASSERT_TRUE(Glide(middleOf(1), middleOf(2)));
  ASSERT_TRUE(test::WaitUntil([&] { return IsHovered(LiveTab(2)) && !IsHovered(LiveTab(1)); }));
  EXPECT_FALSE(IsHovered(LiveTab(0)));
}

// Run twice: in the shared prefix (96) and in a prefix of its own at 150 % (PL_UI_EXPECTED_DPI=144, see
// CMakeLists.txt). Rectangles are measured by their fill, texts by their ink.
TEST_F(GalleryTest, TextsFollowTheDisplayDpiWhileRectanglesKeepTheirSize) {
  wchar_t value[16] = L"";
  const int dpi = GetEnvironmentVariableW(L"PL_UI_EXPECTED_DPI", value, 16) > 0 ? _wtoi(value) : 96;
  Open(false);
  EXPECT_EQ(test::WindowText(window), L"dpi=" + std::to_wstring(dpi));
  const ScreenImage image = Painted();
  EXPECT_FALSE(test::SaveImage(image, L"gallery-dpi" + std::to_wstring(dpi) + L".png").empty());

  const RECT tab = Screen(layout::Tab(layout::kTabSelected));
  EXPECT_EQ(test::ColourSpan(image, tab.top + 36, tab.left - 4, tab.right + 4, kTabSelected), 140);
  const RECT next = Screen(layout::Wizard(true, 0));
  EXPECT_EQ(test::ColourSpan(image, next.top + 18, next.left - 4, next.right + 4, kAccent), 110);
  const RECT header = Screen(layout::kHeader);
  EXPECT_EQ(test::ColourSpan(image, header.bottom - 1, header.left, header.right + 40, kBorder), 900);

  // "一键重装" in 12-point bold: four glyphs about an em wide and high each.
  const int em = MulDiv(12, dpi, 72);
  const RECT label = test::InkBox(image, Screen(TabLabel(layout::Tab(layout::kTabSelected))), kTabSelected);
  EXPECT_GE(label.right - label.left, em * 33 / 10);
  EXPECT_LE(label.right - label.left, em * 42 / 10);
  EXPECT_GE(label.bottom - label.top, em * 7 / 10);
  EXPECT_LE(label.bottom - label.top, em);
  // The footer's 9-point text.
  const int footerEm = MulDiv(9, dpi, 72);
  const RECT footer = Screen(layout::kFooter);
  const RECT footerInk = test::InkBox(image, {footer.left, footer.top + 1, footer.right, footer.bottom},
                                      kWindowBackground);
  EXPECT_GE(footerInk.bottom - footerInk.top, footerEm * 6 / 10);
  EXPECT_LE(footerInk.bottom - footerInk.top, footerEm * 11 / 10);
}

}  // namespace
}  // namespace pl::ui
