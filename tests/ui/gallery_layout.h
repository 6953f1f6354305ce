#pragma once
// Where the gallery window of pl_ui_host draws each element in each state. The host draws from this layout and
// the tests look for the palette's colours in the same rectangles. Client coordinates of a borderless window at
// the top left of the display.

#include <windows.h>

namespace pl::test::gallery {

inline constexpr wchar_t kWindowClass[] = L"PlUiGallery";
inline constexpr int kWidth = 1240;
inline constexpr int kHeight = 780;

constexpr RECT Cell(int left, int top, int width, int height) { return {left, top, left + width, top + height}; }

inline constexpr RECT kHeader{0, 0, 900, 88};
inline constexpr wchar_t kHeaderTitle[] = L"Pellora重装大师";

// Window buttons: minimise normal, hovered, pressed, then close normal, hovered, pressed.
constexpr RECT WindowButton(int index) { return Cell(910 + index * 52, 0, 46, 36); }

// Drawn tabs in fixed states, and the three live ones (hover-tracked owner-drawn buttons) beside them, 10 pixels
// apart as in the main window.
enum TabState { kTabNormal, kTabHovered, kTabSelected, kTabDisabled, kTabPressedWhileHovered, kTabStates };
constexpr RECT Tab(int state) { return Cell(8 + state * 148, 96, 140, 72); }
inline constexpr int kLiveTabIds[3] = {1201, 1202, 1203};
constexpr RECT LiveTab(int index) { return Cell(760 + index * 150, 96, 140, 72); }
inline constexpr wchar_t kTabLabels[3][8] = {L"一键重装", L"U盘启动", L"备份/还原"};

// The left bar with its mode title and three steps: done, current, future.
inline constexpr RECT kLeftBar{0, 176, 168, 500};
inline constexpr RECT kModeTitle{12, 188, 156, 238};
constexpr RECT Step(int index) { return {4, 248 + index * 80, 164, 328 + index * 80}; }

// Filter buttons: selected, normal, hovered, pressed while hovered.
constexpr RECT Filter(int index) { return Cell(192 + index * 102, 184, 92, 30); }
// Wizard buttons: normal, hovered, pressed, disabled; primary ones first, then the others.
constexpr RECT Wizard(bool primary, int index) { return Cell((primary ? 192 : 672) + index * 120, 226, 110, 36); }

inline constexpr RECT kCard{176, 274, 892, 446};
inline constexpr RECT kImageCardSelected{192, 284, 876, 362};  // a Windows 11 image
inline constexpr RECT kImageCardNormal{192, 362, 876, 440};    // a Windows 10 image
inline constexpr RECT kDriveRowSelected{900, 284, 1232, 310};
inline constexpr RECT kDriveRowNormal{900, 310, 1232, 336};

// Line icons 1 to 7 in the accent colour, and icon 3 in its light-accent circle as the environment page has it.
constexpr POINT IconCentre(int number) { return {212 + (number - 1) * 56, 480}; }
inline constexpr int kIconSize = 40;
inline constexpr RECT kIconCircle{900, 450, 960, 510};

inline constexpr RECT kAlertNotice{192, 516, 876, 548};
inline constexpr RECT kHintNotice{192, 556, 876, 578};
inline constexpr RECT kFooter{0, 754, kWidth, 780};

}  // namespace pl::test::gallery
