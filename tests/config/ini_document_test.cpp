#include "config/ini_document.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace pl::config {
namespace {

using Pairs = std::vector<IniPair>;

TEST(IniDocumentTest, SectionsPairsCommentsAndOddLines) {
  const IniDocument document = ParseIniText(
      "top = before any header\n"
      "; comment = not a pair\r\n"
      "  # another = comment\n"
      "\t\r\n"
      "[osimage]\r\n"
      " a = 1 , 2 \r\n"
      "=no key\n"
      " \t= blank key\n"
      "no equals sign\n"
      "b=x=y\n"
      "c=\n"
      "[ spaced name ]\n"
      "k\r=v\r\r\n"
      "[osimage]\n"
      "a=second\n"
      "[a=b]\n"
      "[]\n"
      "[\n"
      "last=no line end");
  ASSERT_EQ(document.sections.size(), 6u);
  EXPECT_EQ(document.sections[0].name, "");
  EXPECT_EQ(document.sections[0].pairs, (Pairs{{"top", "before any header"}}));
  EXPECT_EQ(document.sections[1].name, "osimage");
  EXPECT_EQ(document.sections[1].pairs, (Pairs{{"a", "1 , 2"}, {"b", "x=y"}, {"c", ""}}));
  EXPECT_EQ(document.sections[2].name, " spaced name ");
  EXPECT_EQ(document.sections[2].pairs, (Pairs{{"k", "v"}}));
  EXPECT_EQ(document.sections[3].pairs, (Pairs{{"a", "second"}}));
  EXPECT_EQ(document.sections[4].name, "a=b");
  EXPECT_TRUE(document.sections[4].pairs.empty());
  EXPECT_EQ(document.sections[5].name, "");
  EXPECT_EQ(document.sections[5].pairs, (Pairs{{"last", "no line end"}}));

  // Values: the first match over every section of that name; pairs: the first section of that name only.
  EXPECT_EQ(GetIniValue(document, "osimage", "a"), "1 , 2");
  EXPECT_EQ(GetIniValue(document, "osimage", "c"), "");
  EXPECT_EQ(GetIniValue(document, "", "last"), "no line end");
  EXPECT_EQ(GetIniValue(document, "OSIMAGE", "a"), "");
  EXPECT_EQ(GetIniValue(document, "osimage", "A"), "");
  EXPECT_EQ(GetIniValue(document, "spaced name", "k"), "");
  EXPECT_EQ(GetIniPairs(document, "osimage"), (Pairs{{"a", "1 , 2"}, {"b", "x=y"}, {"c", ""}}));
  EXPECT_TRUE(GetIniPairs(document, "missing").empty());

  const IniDocument repeated = ParseIniText("[x]\n[x]\nk=v\n");
  EXPECT_TRUE(GetIniPairs(repeated, "x").empty());
  EXPECT_EQ(GetIniValue(repeated, "x", "k"), "v");
  EXPECT_TRUE(ParseIniText("").sections.empty());
}

TEST(IniDocumentTest, ByteOrderMarkMeansUtf8AndEverythingElseCodePage936) {
  const std::string utf8 = "[osimage]\r\nw=Windows 11 \xE4\xB8\x93\xE4\xB8\x9A\xE7\x89\x88,url\r\n";
  const std::string gbk = "[osimage]\r\nw=Windows 11 \xD7\xA8\xD2\xB5\xB0\xE6,url\r\n";
  EXPECT_EQ(DecodeIniBytes("\xEF\xBB\xBF" + utf8), utf8);
  EXPECT_EQ(DecodeIniBytes(gbk), utf8);
  EXPECT_EQ(DecodeIniBytes("plain ascii"), "plain ascii");
  EXPECT_EQ(DecodeIniBytes(""), "");

  test::TempDirectory temp;
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"utf8.ini"), "\xEF\xBB\xBF" + utf8));
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"gbk.ini"), gbk));
  IniDocument fromUtf8;
  IniDocument fromGbk;
  ASSERT_TRUE(LoadIniFile(temp.Child(L"utf8.ini"), &fromUtf8));
  ASSERT_TRUE(LoadIniFile(temp.Child(L"gbk.ini"), &fromGbk));
  EXPECT_EQ(GetIniValue(fromUtf8, "osimage", "w"), "Windows 11 \xE4\xB8\x93\xE4\xB8\x9A\xE7\x89\x88,url");
  EXPECT_EQ(GetIniPairs(fromGbk, "osimage"), GetIniPairs(fromUtf8, "osimage"));

  IniDocument untouched = ParseIniText("[keep]\nk=v\n");
  EXPECT_FALSE(LoadIniFile(temp.Child(L"missing.ini"), &untouched));
  EXPECT_EQ(GetIniValue(untouched, "keep", "k"), "v");
}

}  // namespace
}  // namespace pl::config
