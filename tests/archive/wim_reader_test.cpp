#include "archive/wim_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

#include "test_data.h"
#include "wim_builder.h"

namespace pl::archive {
namespace {

using test::BuildWim;
using test::Put16;
using test::Put32;
using test::Put64;
using test::Utf16Bytes;

const std::string kNotWim = "不是 WIM/ESD 镜像文件";
const std::string kCutShort = "文件不完整（比文件头记录的短，可能下载或复制时被截断）";
const std::string kXml = "映像信息（XML 数据）";
const std::string kUnparseable = kXml + "无法解析：";

const std::u16string kTwoImages =
    u"<WIM><IMAGE INDEX=\"1\"><NAME>One</NAME><WINDOWS><ARCH>9</ARCH><EDITIONID>Core</EDITIONID>"
    u"<VERSION><BUILD>22631</BUILD></VERSION></WINDOWS></IMAGE><IMAGE INDEX=\"2\"><NAME>Two</NAME></IMAGE></WIM>";

// The header fields and every image, one line each, so a whole result is compared at once.
std::string Describe(const WimInfo& info) {
  char header[160];
  std::snprintf(header, sizeof header, "version 0x%X %s%s, part %u/%u, %u images\n", info.version,
                info.compression.empty() ? "none" : info.compression.c_str(), info.solid ? " solid" : "",
                info.partNumber, info.totalParts, info.imageCount);
  std::string text = header;
  for (const WimImage& image : info.images) {
    text += std::to_string(image.index) + " | " + image.name + " | " + image.editionId + " | " + image.architecture +
            " | " + image.build + "\n";
  }
  return text;
}

struct Result {
  bool ok = false;
  std::string error;
  WimInfo info;
};

Result Read(const std::string& bytes) {
  Result result;
  result.ok = ReadWimImageList(MemoryWimSource(test::Bytes(bytes)), &result.info, &result.error);
  return result;
}

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(PL_WIM_FIXTURES) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WimReader, FixturesGiveTheirImagesOrTheirError) {
  const std::string threeImages =
      "1 | Windows 10 Home | Core | x64 | 19045.3803\n"
      "2 | Windows 10 专业版 | Professional | x86 | 19045\n"
      "3 | Windows 11 专业版 & <ARM> 𠀀 | Professional | arm64 | 22631.2861\n";
  const struct {
    const char* file;
    std::string error;
    std::string described;  // of a readable file
  } cases[] = {
      {"three.wim", "", "version 0x10D00 LZX, part 1/1, 3 images\n" + threeImages},
      {"three.esd", "", "version 0xE00 LZMS solid, part 1/1, 3 images\n" + threeImages},
      {"split1.swm", "分卷 WIM（第 1/4 卷），不能单独应用", ""},
      {"split2.swm", "分卷 WIM（第 2/4 卷），不能单独应用", ""},
      {"truncated.wim", kCutShort, ""},
      {"pipable.wim", "流式（pipable）WIM，Windows 的部署工具无法应用", ""},
  };
  for (const auto& c : cases) {
    const Result result = Read(Fixture(c.file));
    EXPECT_EQ(result.ok, c.error.empty()) << c.file;
    EXPECT_EQ(result.error, c.error) << c.file;
    if (result.ok) {
      EXPECT_EQ(Describe(result.info), c.described) << c.file;
    }
  }

  const Result three = Read(Fixture("three.wim"));
  ASSERT_TRUE(three.ok);
  EXPECT_EQ(FindWimImage(three.info, 2), &three.info.images[1]);
  EXPECT_EQ(FindWimImage(three.info, 4), nullptr);
  EXPECT_EQ(FindWimImage(three.info, 0), nullptr);
  EXPECT_EQ(WimImageIndexes(three.info), "1, 2, 3");
}

// Both writers' shapes and what a hand-written list may hold: a declaration, comments, CDATA, entities, quotes
// of either kind, images out of order, no byte-order mark and trailing NULs.
TEST(WimReader, XmlDetailsAreReadAsTheirText) {
  const std::u16string xml =
      u"\r\n<?xml version=\"1.0\"?><!-- by hand --><WIM>\n"
      u"  <IMAGE INDEX='2' ID=\"x\"><DISPLAYNAME> Only &#x41;&#66;&amp;&quot;&apos;&lt;&gt; shown </DISPLAYNAME>"
      u"<FLAGS>EnterpriseS</FLAGS><WINDOWS><EDITIONID/><ARCH>5</ARCH><NAME>not this</NAME>"
      u"<LANGUAGES><LANGUAGE>zh-CN</LANGUAGE></LANGUAGES><VERSION><BUILD>17763</BUILD><SPBUILD></SPBUILD>"
      u"</VERSION></WINDOWS></IMAGE>\n"
      u"  <IMAGE INDEX=\"1\"><NAME><![CDATA[A<B>&amp;]]>\xD800!</NAME><DISPLAYNAME>ignored</DISPLAYNAME>"
      u"<WINDOWS><ARCH>7</ARCH><VERSION><SPBUILD>5</SPBUILD></VERSION></WINDOWS></IMAGE>\n"
      u"</WIM>\n";
  const Result result = Read(BuildWim(Utf16Bytes(xml, false) + std::string(4, '\0'), 2));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(Describe(result.info),
            "version 0x10D00 none, part 1/1, 2 images\n"
            "1 | A<B>&amp;\xEF\xBF\xBD! |  | 7 | \n"
            "2 | Only AB&\"'<> shown | EnterpriseS | arm | 17763\n");
}

TEST(WimReader, DamagedHeadersAndImageListsGiveTheirError) {
  const std::string valid = BuildWim(Utf16Bytes(kTwoImages), 2);
  ASSERT_TRUE(Read(valid).ok);
  auto damaged = [&valid](auto change) {
    std::string bytes = valid;
    change(&bytes);
    return bytes;
  };
  auto withXml = [](std::u16string_view xml, uint32_t count = 2) { return BuildWim(Utf16Bytes(xml), count); };
  std::u16string deep = u"<WIM>";
  for (int i = 0; i < 100; ++i) deep += u"<A>";

  const struct {
    const char* what;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"empty file", "", "文件不完整（只有 0 字节，不够 WIM 文件头的 208 字节）"},
      {"start of the magic only", "MSW", "文件不完整（只有 3 字节，不够 WIM 文件头的 208 字节）"},
      {"header cut short", valid.substr(0, 100), "文件不完整（只有 100 字节，不够 WIM 文件头的 208 字节）"},
      {"an error page", "<html><body>404 Not Found</body></html>", kNotWim},
      {"bad magic", damaged([](std::string* w) { (*w)[4] = 'X'; }), kNotWim},
      {"header size", damaged([](std::string* w) { Put32(w, test::kWimHeaderSizeAt, 200); }),
       "不支持的 WIM 文件头大小（200 字节）"},
      {"version", damaged([](std::string* w) { Put32(w, test::kWimVersionAt, 0x10C00); }),
       "不支持的 WIM 版本（0x10C00）"},
      {"part 0", damaged([](std::string* w) { Put16(w, test::kWimPartNumberAt, 0); }),
       "WIM 文件头已损坏（分卷编号 0/1）"},
      {"part past the total", damaged([](std::string* w) { Put16(w, test::kWimPartNumberAt, 3); }),
       "WIM 文件头已损坏（分卷编号 3/1）"},
      {"write in progress", damaged([](std::string* w) { Put32(w, test::kWimFlagsAt, 0x40); }),
       "文件没有写完（文件头标记为正在写入，写入过程被中断）"},
      {"cut inside the XML", valid.substr(0, valid.size() - 10), kCutShort},
      {"XML past the end", damaged([](std::string* w) { Put64(w, test::kWimXmlAt + 8, 1000); }), kCutShort},
      {"XML end past 2^64", damaged([](std::string* w) { Put64(w, test::kWimXmlAt + 8, ~uint64_t{0} - 5); }),
       kCutShort},
      {"table past the end", damaged([](std::string* w) {
         Put64(w, test::kWimOffsetTableAt, 50);
         Put64(w, test::kWimOffsetTableAt + 8, w->size() - 20);
       }),
       kCutShort},
      {"XML size 0", damaged([](std::string* w) { Put64(w, test::kWimXmlAt, 0); }), "缺少映像信息（XML 数据为空）"},
      {"XML compressed", damaged([](std::string* w) { (*w)[test::kWimXmlAt + 7] = 0x06; }),
       kXml + "被标记为压缩，无法读取"},
      {"XML of 17 MiB", damaged([](std::string* w) { Put64(w, test::kWimXmlAt, 17 << 20); }),
       kXml + "过大（17825792 字节）"},
      {"odd XML size", damaged([](std::string* w) { Put64(w, test::kWimXmlAt, w->size() - 209); }),
       kXml + "不是 UTF-16 文本"},
      {"UTF-8 XML", BuildWim("<WIM></WIM> ", 2), kXml + "不是 UTF-16 文本"},
      {"big-endian XML", BuildWim(std::string("\xFE\xFF\0<\0W\0I\0M\0/\0>", 14), 2), kXml + "不是 UTF-16 文本"},
      {"nothing but the mark", BuildWim("\xFF\xFE", 2), kUnparseable + "没有根元素"},
      {"text first", withXml(u"<!-- c -->x<WIM/>"), kUnparseable + "开头不是 XML 元素"},
      {"wrong end tag", withXml(u"<WIM><IMAGE INDEX=\"1\"></NAME></WIM>"), kUnparseable + "结束标签不匹配"},
      {"unclosed", withXml(u"<WIM><IMAGE INDEX=\"1\">"), kUnparseable + "文档不完整（元素没有闭合）"},
      {"unclosed comment", withXml(u"<WIM><!-- x"), kUnparseable + "注释没有结束"},
      {"unknown entity", withXml(u"<WIM><IMAGE INDEX=\"1\"><NAME>a&nbsp;b</NAME></IMAGE></WIM>"),
       kUnparseable + "无效的实体引用"},
      {"surrogate entity", withXml(u"<WIM><IMAGE INDEX=\"1\"><NAME>&#xD800;</NAME></IMAGE></WIM>"),
       kUnparseable + "无效的实体引用"},
      {"unquoted attribute", withXml(u"<WIM><IMAGE INDEX=1/></WIM>"), kUnparseable + "属性格式错误"},
      {"DOCTYPE", withXml(u"<!DOCTYPE WIM [<!ENTITY x 'y'>]><WIM/>"), kUnparseable + "不支持 DOCTYPE 等声明"},
      {"root not WIM", withXml(u"<IMAGES/>"), kUnparseable + "根元素不是 WIM"},
      {"after the root", withXml(u"<WIM><IMAGE INDEX=\"1\"/></WIM><WIM/>"), kUnparseable + "根元素之后还有内容"},
      {"100 levels", withXml(deep), kUnparseable + "元素嵌套过深"},
      {"encrypted ESD",
       withXml(u"<WIM><ESD><ENCRYPTED><KEY>AAAA</KEY></ENCRYPTED></ESD><IMAGE INDEX=\"1\"/></WIM>", 1),
       "加密的 ESD 镜像（没有解密密钥），Windows 的部署工具无法应用"},
      {"no images", withXml(u"<WIM><TOTALBYTES>0</TOTALBYTES></WIM>", 0), "镜像中没有任何映像"},
      {"header counts 3", withXml(kTwoImages, 3), "映像数量不一致（文件头记录 3 个，XML 中有 2 个）"},
      {"no INDEX", withXml(u"<WIM><IMAGE/></WIM>", 1), "映像信息中的序号无效（INDEX=\"\"）"},
      {"INDEX past the count", withXml(u"<WIM><IMAGE INDEX=\"2\"/></WIM>", 1), "映像信息中的序号无效（INDEX=\"2\"）"},
      {"INDEX twice", withXml(u"<WIM><IMAGE INDEX=\"1\"/><IMAGE INDEX=\"1\"/></WIM>"),
       "映像信息中的序号无效（INDEX=\"1\"）"},
      {"INDEX not a number", withXml(u"<WIM><IMAGE INDEX=\"+1\"/></WIM>", 1), "映像信息中的序号无效（INDEX=\"+1\"）"},
  };
  for (const auto& c : cases) {
    const Result result = Read(c.bytes);
    EXPECT_FALSE(result.ok) << c.what;
    EXPECT_EQ(result.error, c.error) << c.what;
    EXPECT_TRUE(result.info.images.empty()) << c.what;
  }
}

// A 6 GiB file costs two reads: the header and the XML at its end. A read error reaches the caller as it is.
TEST(WimReader, ReadsOnlyTheHeaderAndTheImageListOfAHugeFile) {
  const std::string xml = Utf16Bytes(kTwoImages);
  std::string header = BuildWim(xml, 2).substr(0, 208);
  const uint64_t size = 6ull << 30;
  const uint64_t xmlAt = size - xml.size();
  Put64(&header, test::kWimXmlAt + 8, xmlAt);
  std::vector<std::pair<uint64_t, size_t>> reads;
  bool failSecondRead = false;
  WimSource source;
  source.size = size;
  source.read = [&](uint64_t offset, size_t length, uint8_t* buffer, std::string* error) {
    reads.emplace_back(offset, length);
    if (failSecondRead && reads.size() == 2) {
      *error = "读取文件失败, GetLastError=23";
      return false;
    }
    for (size_t i = 0; i < length; ++i) {
      const uint64_t at = offset + i;
      buffer[i] = static_cast<uint8_t>(at < header.size() ? header[at] : at >= xmlAt ? xml[at - xmlAt] : 0);
    }
    return true;
  };
  WimInfo info;
  std::string error;
  ASSERT_TRUE(ReadWimImageList(source, &info, &error)) << error;
  EXPECT_EQ(Describe(info),
            "version 0x10D00 none, part 1/1, 2 images\n1 | One | Core | x64 | 22631\n2 | Two |  |  | \n");
  EXPECT_EQ(reads, (std::vector<std::pair<uint64_t, size_t>>{{0, 208}, {xmlAt, xml.size()}}));

  reads.clear();
  failSecondRead = true;
  EXPECT_FALSE(ReadWimImageList(source, &info, &error));
  EXPECT_EQ(error, "读取文件失败, GetLastError=23");
  EXPECT_EQ(info.imageCount, 2u);  // the header was read
}

}  // namespace
}  // namespace pl::archive
