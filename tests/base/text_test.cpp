#include "base/text.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace pl::base {
namespace {

TEST(TextConversion, RoundTripsThroughUtf16AndCodePage936) {
  const std::string utf8 = "重装 C:\\系统 abc ✓";
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, L"重装 C:\\系统 abc ✓");
  EXPECT_EQ(WideToUtf8(wide), utf8);

  const std::wstring chinese = L"操作成功完成。磁盘 0";
  const std::string gbk = WideToCodePage(936, chinese);
  EXPECT_EQ(gbk.substr(0, 4), "\xB2\xD9\xD7\xF7");  // 操作 in code page 936
  EXPECT_EQ(CodePageToWide(936, gbk), chinese);
  EXPECT_EQ(GbkToUtf8(gbk), WideToUtf8(chinese));
  EXPECT_EQ(GbkToUtf8("\xD6\xD0\xCE\xC4"), "中文");
  EXPECT_EQ(GbkToUtf8("plain ascii\r\n"), "plain ascii\r\n");
  // Characters outside the BMP survive the UTF-8 round trip as surrogate pairs.
  EXPECT_EQ(WideToUtf8(Utf8ToWide("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
}

TEST(TextConversion, EmptyOrInvalidInputGivesEmpty) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(GbkToUtf8(""), "");
  EXPECT_EQ(CodePageToWide(936, ""), L"");
  EXPECT_EQ(WideToCodePage(936, L""), "");
  EXPECT_EQ(Utf8ToWide("ok \xC3\x28 broken"), L"");   // bad continuation byte
  EXPECT_EQ(Utf8ToWide("\xE4\xB8"), L"");            // cut in the middle of a character
  EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "");  // lone surrogate
  EXPECT_EQ(CodePageToWide(12345, "abc"), L"");      // no such code page
  EXPECT_EQ(WideToCodePage(12345, L"abc"), "");
}

TEST(TextConversion, ReplacingConversionKeepsWhatItCanRead) {
  EXPECT_EQ(Utf8ToWideReplacing("ok \xC3\x28 \xE4\xB8\xAD"), L"ok \xFFFD( \x4E2D");
  EXPECT_EQ(Utf8ToWideReplacing("\xE4\xB8"), L"\xFFFD");
  EXPECT_EQ(Utf8ToWideReplacing(""), L"");
}

TEST(TextHelpers, CaseTrimsAndDriveLetters) {
  EXPECT_EQ(AsciiLower("MD5 Ab09Z\xC3\x84"), "md5 ab09z\xC3\x84");  // UTF-8 bytes untouched
  EXPECT_EQ(AsciiLower(L"HTTPS://Ä"), L"https://Ä");                // only A-Z
  // The exact sets: TrimBlanks keeps line ends, TrimWhitespace removes them too; inner blanks stay.
  EXPECT_EQ(TrimBlanks(" \t 12 34\t "), "12 34");
  EXPECT_EQ(TrimBlanks(L"\t7\r\n"), L"7\r\n");
  EXPECT_EQ(TrimBlanks("  "), "");
  EXPECT_EQ(TrimWhitespace(" \t\r\nOn \r\n"), "On");
  EXPECT_EQ(TrimWhitespace(L"\r\n\t "), L"");
  EXPECT_EQ(TrimWhitespace("\vx\f"), "\vx\f");
  EXPECT_EQ(DriveLetterText(L'C'), "C");
  EXPECT_EQ(DriveRoot(L'D'), L"D:\\");
}

}  // namespace
}  // namespace pl::base
