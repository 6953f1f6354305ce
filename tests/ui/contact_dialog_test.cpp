// ShowContactDialog under Wine over pl_ui_host's owner window: the caption, the QR picture drawn pixel for pixel
// as the PNG holds it, the failure text when the picture cannot be decoded (pl_ui_host_bare), and the owner usable
// again after closing by button or by close box. Screenshots: build/screenshots/contact-*.png.

#include <windows.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ui/contact_dialog.h"
#include "ui/theme.h"
#include "ui_host.h"
#include "ui_host_driver.h"

namespace pl::ui {
namespace {

constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kBlack = RGB(0, 0, 0);

struct ContactDialogTest : ::testing::Test {
  void SetUp() override { Gdiplus::GdiplusStartup(&gdiplus, &gdiplusInput, nullptr); }
  void TearDown() override { Gdiplus::GdiplusShutdown(gdiplus); }

  HWND Open(bool bare) {
    EXPECT_TRUE(host.Start(L"contact", bare));
    owner = host.Owner();
    return host.Window(kContactDialogClass);
  }
  RECT Picture(HWND dialog) const {
    RECT rect{};
    GetWindowRect(GetDlgItem(dialog, kContactPictureId), &rect);
    return rect;
  }

  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplus = 0;
  test::UiHost host;
  HWND owner = nullptr;
};

TEST_F(ContactDialogTest, ShowsTheQrPictureSharpAndClosesByItsButton) {
  HWND dialog = Open(false);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(test::WindowText(dialog), L"联系我们");
  EXPECT_EQ(test::ControlText(dialog, kContactCaptionId), L"打开微信扫一扫添加到通讯录");
  EXPECT_EQ(test::ControlText(dialog, kContactCloseId), L"关闭");
  test::ExpectCentredOn(dialog, owner, 320, 310);
  EXPECT_FALSE(IsWindowEnabled(owner));

  const std::unique_ptr<Gdiplus::Bitmap> png(Gdiplus::Bitmap::FromFile(PL_CONTACT_QR_PNG));
  ASSERT_TRUE(png && png->GetLastStatus() == Gdiplus::Ok);
  const RECT picture = Picture(dialog);
  ASSERT_EQ(picture.right - picture.left, static_cast<LONG>(png->GetWidth()));
  ASSERT_EQ(picture.bottom - picture.top, static_cast<LONG>(png->GetHeight()));
  // The QR code's top left finder pattern is black where the module starts.
  const test::ScreenImage image = test::CaptureWhen([&](const test::ScreenImage& shot) {
    return test::CountColour(shot, picture, kBlack) > 0;
  });
  EXPECT_FALSE(test::SaveImage(image, L"contact-dialog.png").empty());
  int different = 0;
  for (UINT y = 0; y < png->GetHeight(); ++y) {
    for (UINT x = 0; x < png->GetWidth(); ++x) {
      Gdiplus::Color colour;
      png->GetPixel(x, y, &colour);
      const COLORREF expected = RGB(colour.GetR(), colour.GetG(), colour.GetB());
      different += image.At(picture.left + x, picture.top + y) != expected;
    }
  }
  EXPECT_EQ(different, 0) << "pixels not as the PNG holds them";

  test::PressButton(dialog, kContactCloseId);
  test::ExpectOwnerBack(owner, L"closed");
}

TEST_F(ContactDialogTest, UndecodablePictureShowsTheFailureTextAndClosesByCloseBox) {
  HWND dialog = Open(true);
  ASSERT_NE(dialog, nullptr);
  const RECT picture = Picture(dialog);
  const test::ScreenImage image = test::CaptureWhen([&](const test::ScreenImage& shot) {
    return test::CountColour(shot, picture, kTextSecondary) > 0;
  });
  EXPECT_FALSE(test::SaveImage(image, L"contact-missing.png").empty());
  EXPECT_GT(test::CountColour(image, picture, kTextSecondary), 0);
  EXPECT_EQ(test::CountColour(image, picture, kBlack), 0);
  EXPECT_EQ(test::ColourName(image.At(picture.left, picture.top)), test::ColourName(kWhite));
  EXPECT_EQ(test::ColourName(image.At(picture.right - 1, picture.bottom - 1)), test::ColourName(kWhite));
  // One line, centred both ways.
  const RECT ink = test::InkBox(image, picture, kWhite);
  EXPECT_NEAR(ink.left - picture.left, picture.right - ink.right, 2);
  EXPECT_NEAR(ink.top - picture.top, picture.bottom - ink.bottom, 2);
  EXPECT_LT(ink.bottom - ink.top, 24);

  ASSERT_TRUE(test::CloseByCloseBox(dialog));
  test::ExpectOwnerBack(owner, L"closed");
}

// Esc closes it as its close box does. Over a minimised owner it opens on the owner restored, in sight; opened under
// another box of the host, it leaves the owner disabled until that box is answered as well.
TEST_F(ContactDialogTest, EscClosesItOverAMinimisedOwnerAndUnderAnotherBox) {
  for (const bool nested : {false, true}) {
    SCOPED_TRACE(nested);
    test::UiHost local;
    ASSERT_TRUE(local.Start(nested ? L"contact nested" : L"contact minimised"));
    HWND own = local.Owner();
    HWND box = nested ? local.MessageBox(test::ui_host::kNestedBoxCaption) : nullptr;
    HWND dialog = local.Window(kContactDialogClass);
    ASSERT_NE(dialog, nullptr);
    if (!nested) {
      EXPECT_FALSE(IsIconic(own));
      test::ExpectCentredOn(dialog, own, 320, 310);
    }
    ASSERT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == dialog; }));
    ASSERT_TRUE(test::PressKey(VK_ESCAPE));
    if (nested) {
      EXPECT_EQ(test::WaitForOutcome(own), L"closed");
      EXPECT_FALSE(IsWindowEnabled(own));  // the host's box is still open over it
      ASSERT_NE(box, nullptr);
      test::PressButton(box, IDOK);
    }
    test::ExpectOwnerBack(own, L"closed");
  }
}

}  // namespace
}  // namespace pl::ui
