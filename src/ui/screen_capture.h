#pragma once
// A picture of the whole virtual desktop (every monitor) for the diagnosis backend. Called on a worker thread; it
// keeps nothing between calls.

#include <string>

namespace pl::ui {

// The Base64 text (standard alphabet with padding, no line breaks) of a PNG of the virtual desktop as it is, neither
// scaled nor cropped; empty when anything failed (a warning says what, except when a GDI object could not be made).
// Starts and stops GDI+ itself, so it does not depend on the caller having started it.
std::string CaptureScreenPngBase64();

// Screen coordinates of the area captured: the virtual desktop's, whose left and top lie below 0 when a monitor is
// left of or above the primary one.
struct DesktopRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};
DesktopRect VirtualDesktop();
// CaptureScreenPngBase64 over any area, so that tests can ask for the layouts one display cannot show.
std::string CaptureAreaPngBase64(const DesktopRect& desktop);

}  // namespace pl::ui
