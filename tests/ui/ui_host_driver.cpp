#include "ui_host_driver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "ui_host.h"

namespace pl::test {
namespace {

std::wstring HostPath(bool bare) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  path.erase(path.find_last_of(L'\\') + 1);
  return path + (bare ? L"pl_ui_host_bare.exe" : L"pl_ui_host.exe");
}

}  // namespace

bool UiHost::Start(const std::wstring& arguments, bool bare) {
  return program.Start(HostPath(bare), arguments + L" \"log=" + log + L"\"");
}

HWND UiHost::Owner() const { return Window(ui_host::kOwnerClass); }

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(30);
  }
}

bool CloseByCloseBox(HWND window) {
  for (int click = 0; click < 3; ++click) {
    if (!IsWindow(window)) return true;
    if (!ClickCloseBox(window)) return !IsWindow(window);
    if (WaitUntil([&] { return !IsWindow(window); }, kUiWait / 3)) return true;
  }
  return !IsWindow(window);
}

std::wstring WaitForText(HWND parent, int controlId, const std::wstring& expected) {
  std::wstring text;
  WaitUntil([&] { return (text = ControlText(parent, controlId)) == expected; });
  return text;
}

std::wstring WaitForOutcome(HWND owner) {
  std::wstring title;
  // Read twice alike: a title read while it changes comes back cut to the old one's length.
  WaitUntil([&] { return (title = WindowText(owner)) != ui_host::kOwnerWaiting && WindowText(owner) == title; });
  return title;
}

void ExpectOwnerBack(HWND owner, const std::wstring& outcome) {
  EXPECT_EQ(WaitForOutcome(owner), outcome);
  // The outcome can be in the title before the last box over the owner has finished closing, which is what
  // enables and activates the owner again.
  WaitUntil([&] { return IsWindowEnabled(owner) && GetForegroundWindow() == owner; });
  EXPECT_TRUE(IsWindowEnabled(owner));
  EXPECT_EQ(GetForegroundWindow(), owner);
}

void ExpectCentredOn(HWND window, HWND owner, int width, int height) {
  RECT frame{}, around{};
  GetWindowRect(window, &frame);
  GetWindowRect(owner, &around);
  EXPECT_EQ(frame.right - frame.left, width);
  EXPECT_EQ(frame.bottom - frame.top, height);
  EXPECT_NEAR(frame.left + frame.right, around.left + around.right, 1);
  EXPECT_NEAR(frame.top + frame.bottom, around.top + around.bottom, 1);
}

ScreenImage CaptureWhen(const std::function<bool(const ScreenImage&)>& ready) {
  ScreenImage image;
  WaitUntil([&] { return CaptureScreen(&image) && ready(image); });
  return image;
}

RECT OnScreen(HWND window, const RECT& client) {
  const POINT topLeft = OnScreen(window, POINT{client.left, client.top});
  return {topLeft.x, topLeft.y, topLeft.x + client.right - client.left, topLeft.y + client.bottom - client.top};
}

POINT OnScreen(HWND window, POINT client) {
  ClientToScreen(window, &client);
  return client;
}

int CountColour(const ScreenImage& image, const RECT& area, COLORREF colour) {
  int count = 0;
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) count += image.At(x, y) == colour ? 1 : 0;
  }
  return count;
}

RECT InkBox(const ScreenImage& image, const RECT& area, COLORREF background) {
  RECT box{area.right, area.bottom, area.left, area.top};
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) {
      if (image.At(x, y) == background) continue;
      box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
             std::max<LONG>(box.bottom, y + 1)};
    }
  }
  return box.left < box.right ? box : RECT{};
}

int ColourSpan(const ScreenImage& image, int y, int left, int right, COLORREF colour) {
  int first = -1, last = -1;
  for (int x = left; x < right; ++x) {
    if (image.At(x, y) != colour) continue;
    if (first < 0) first = x;
    last = x;
  }
  return first < 0 ? 0 : last - first + 1;
}

std::string ColourName(COLORREF colour) {
  if (colour == CLR_INVALID) return "none";
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", GetRValue(colour), GetGValue(colour), GetBValue(colour));
  return text;
}

SIZE PngSize(const std::string& png) {
  static const std::string kStart("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  static const std::string kEnd("IEND\xae\x42\x60\x82");
  if (png.size() < 33 + kEnd.size() || png.compare(0, kStart.size(), kStart) != 0 ||
      png.compare(png.size() - kEnd.size(), kEnd.size(), kEnd) != 0) {
    return {};
  }
  const auto bigEndian = [&](size_t at) {
    return static_cast<LONG>((static_cast<uint32_t>(static_cast<uint8_t>(png[at])) << 24) |
                             (static_cast<uint8_t>(png[at + 1]) << 16) | (static_cast<uint8_t>(png[at + 2]) << 8) |
                             static_cast<uint8_t>(png[at + 3]));
  };
  return {bigEndian(16), bigEndian(20)};
}

}  // namespace pl::test
