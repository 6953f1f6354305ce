// The capture over areas one Wine display cannot show itself: monitors left of and above the primary one, and a
// session without a desktop.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devserver_client.h"
#include "log_capture.h"
#include "ui/screen_capture.h"
#include "ui_host_driver.h"

namespace pl::ui {
namespace {

using ScreenCaptureTest = test::LoggedTest;

TEST_F(ScreenCaptureTest, TheAreaIsCapturedWholeAsOneBase64LineOrNotAtAll) {
  const DesktopRect screen = VirtualDesktop();
  ASSERT_GT(screen.width, 0);
  struct Case {
    const char* name;
    DesktopRect area;
    bool captured;
  };
  const std::vector<Case> cases = {
      {"the display", screen, true},
      {"monitors left of and above it", {screen.left - 300, screen.top - 200, screen.width + 300, screen.height + 200},
       true},
      {"no width", {screen.left, screen.top, 0, screen.height}, false},
      {"no height", {screen.left, screen.top, screen.width, -1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    const std::string base64 = CaptureAreaPngBase64(c.area);
    EXPECT_EQ(base64.find_first_of("\r\n"), std::string::npos);
    const SIZE size = test::PngSize(test::DecodeBase64(base64));
    EXPECT_EQ(size.cx, c.captured ? c.area.width : 0);
    EXPECT_EQ(size.cy, c.captured ? c.area.height : 0);
    EXPECT_EQ(LogLines(), c.captured ? std::vector<std::string>{}
                                     : std::vector<std::string>{"T [WARN] [ScreenCapture] 虚拟桌面尺寸异常，取消截图"});
  }
}

}  // namespace
}  // namespace pl::ui
