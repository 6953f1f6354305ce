#include "archive/wim_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "base/unique_handle.h"
#include "test_support.h"
#include "wim_builder.h"

namespace pl::archive {
namespace {

using pl::test::TempDirectory;

bool WriteAt(HANDLE file, uint64_t offset, const std::string& bytes) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD wrote = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) && wrote == bytes.size();
}

TEST(WimFile, ReadsTheImageListFromDiskOrSaysWhyNot) {
  TempDirectory temp;
  WimInfo info;
  std::string error;
  EXPECT_FALSE(ReadWimFileImageList(temp.Child(L"missing.wim"), &info, &error));
  EXPECT_EQ(error, "无法打开文件, GetLastError=2");

  std::wstring fixture = base::Utf8ToWide(PL_WIM_FIXTURES "/three.esd");
  std::replace(fixture.begin(), fixture.end(), L'/', L'\\');
  ASSERT_TRUE(ReadWimFileImageList(fixture, &info, &error)) << error;
  EXPECT_EQ(WimImageIndexes(info), "1, 2, 3");
  EXPECT_EQ(info.images[1].name, "Windows 10 专业版");

  // A 5 GiB sparse file with its image list beyond 4 GiB: 64-bit offsets all the way down.
  const std::string xml = test::Utf16Bytes(u"<WIM><IMAGE INDEX=\"1\"><NAME>Far</NAME></IMAGE></WIM>");
  const uint64_t xmlAt = (5ull << 30) - xml.size();
  std::string header = test::BuildWim(xml, 1).substr(0, 208);
  test::Put64(&header, test::kWimXmlAt + 8, xmlAt);
  const std::wstring big = temp.Child(L"big.wim");
  {
    base::UniqueFileHandle file(
        CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(WriteAt(file.get(), 0, header));
    ASSERT_TRUE(WriteAt(file.get(), xmlAt, xml));
  }
  ASSERT_TRUE(ReadWimFileImageList(big, &info, &error)) << error;
  ASSERT_EQ(info.images.size(), 1u);
  EXPECT_EQ(info.images[0].name, "Far");
}

}  // namespace
}  // namespace pl::archive
