// The backend's catalog document in every shape that matters, without a network.
#include <gtest/gtest.h>

#include "catalog_expectations.h"
#include "config/service_config.h"

namespace pl::config {
namespace {

net::HttpResponse Answer(const std::string& body, int status = 200) { return {true, status, body, ""}; }

const char kFullDocument[] = R"({
  "osImages": [
    {"key": "w11pro", "displayName": "Windows 11 专业版", "url": "http://d/win11.wim", "imageIndex": 2,
     "md5": "abc", "version": "23H2", "updateDate": "2024-05", "sizeGb": 5.5, "extra": [1, 2]},
    {"key": "w10", "displayName": "Windows 10", "url": "http://d/win10.wim", "sizeGb": 4}
  ],
  "installItems": [
    {"key": "wx", "fileName": "wx.exe", "params": "/S", "url": "http://d/wx.exe", "md5": "M", "displayName": "微信"},
    {"key": "bare"}
  ],
  "exResources": {"pe": {"url": "http://d/pe.wim", "md5": "P"}, "drv": {"url": "http://d/t.zip"},
                  "sdi": {"url": "http://d/boot.sdi", "md5": "S"}, "other": 1}
})";

TEST(CatalogJsonTest, AFullDocumentFillsEveryField) {
  const ServiceConfig config = ServiceConfigFromResponse(Answer(kFullDocument));
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(config.error, "");
  ASSERT_EQ(config.osImages.size(), 2u);
  const OsImageEntry& a = config.osImages[0];
  EXPECT_EQ(a.key, "w11pro");
  EXPECT_EQ(a.displayName, "Windows 11 专业版");
  EXPECT_EQ(a.url, "http://d/win11.wim");
  EXPECT_EQ(a.imageIndex, 2);
  EXPECT_EQ(a.md5, "abc");
  EXPECT_EQ(a.version, "23H2");
  EXPECT_EQ(a.updateDate, "2024-05");
  EXPECT_DOUBLE_EQ(a.sizeGb, 5.5);
  const OsImageEntry& b = config.osImages[1];
  EXPECT_EQ(b.imageIndex, 1);  // absent
  EXPECT_EQ(b.md5, "");
  EXPECT_EQ(b.version, "");
  EXPECT_EQ(b.updateDate, "");
  EXPECT_DOUBLE_EQ(b.sizeGb, 4.0);  // an integer is a number too
  ExpectSharedItemAndResourceUrls(config);
  EXPECT_EQ(config.installItems[1].key, "bare");
  EXPECT_EQ(config.exResources.pe.md5, "P");
  EXPECT_EQ(config.exResources.drv.md5, "");
}

TEST(CatalogJsonTest, NullsAndMissingResourcesTakeTheirDefaults) {
  ServiceConfig config = ServiceConfigFromResponse(Answer(
      R"({"osImages": [{"key": "k", "version": null, "updateDate": null, "sizeGb": null, "imageIndex": 3}],
          "installItems": [{"key": "i", "displayName": null}]})"));
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(config.osImages[0].version, "");
  EXPECT_EQ(config.osImages[0].updateDate, "");
  EXPECT_DOUBLE_EQ(config.osImages[0].sizeGb, 0.0);
  EXPECT_EQ(config.osImages[0].imageIndex, 3);
  EXPECT_EQ(config.installItems[0].displayName, "");
  EXPECT_EQ(config.exResources.pe.url, "");
  EXPECT_EQ(config.exResources.drv.url, "");

  config = ServiceConfigFromResponse(
      Answer(R"({"osImages": [{"key": "k"}], "installItems": [], "exResources": {"pe": {"url": "u", "md5": "m"}}})"));
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(config.exResources.pe.url, "u");
  EXPECT_EQ(config.exResources.drv.url, "");
  EXPECT_EQ(config.exResources.sdi.url, "");

  // A resource list that is not an object is passed over.
  config = ServiceConfigFromResponse(Answer(R"({"osImages": [{}], "installItems": [], "exResources": [1]})"));
  EXPECT_TRUE(config.ok) << config.error;
}

TEST(CatalogJsonTest, EachFailureCarriesItsPrefixAndTheLibraryText) {
  struct Case {
    net::HttpResponse response;
    std::string error;
  };
  const Case cases[] = {
      {{false, 0, "", "WinHttpSendRequest 失败, GetLastError=12029"},
       "网络请求失败: WinHttpSendRequest 失败, GetLastError=12029"},
      {Answer("{\"error\": \"not found\"}", 404), "HTTP 404: {\"error\": \"not found\"}"},
      {Answer("", 500), "HTTP 500: "},
      {Answer("<html>gateway</html>"),
       "响应不是合法 JSON: [json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
       "parsing value - invalid literal; last read: '<'"},
      {Answer(""),
       "响应不是合法 JSON: [json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
       "parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {Answer(R"({"installItems": []})"),
       "响应字段格式不对: [json.exception.out_of_range.403] key 'osImages' not found"},
      {Answer(R"({"osImages": [{"key": "k"}]})"),
       "响应字段格式不对: [json.exception.out_of_range.403] key 'installItems' not found"},
      {Answer(R"([1, 2])"),
       "响应字段格式不对: [json.exception.type_error.304] cannot use at() with array"},
      {Answer(R"({"osImages": {"a": {"key": "k"}}, "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be array, but is object"},
      {Answer(R"({"osImages": [{"key": 7}], "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be string, but is number"},
      {Answer(R"({"osImages": [{"key": null}], "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be string, but is null"},
      {Answer(R"({"osImages": [{"imageIndex": "2"}], "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be number, but is string"},
      // A number that is no int: the library would cast it (undefined past the range).
      {Answer(R"({"osImages": [{"imageIndex": 1e31}], "installItems": []})"),
       "响应字段格式不对: [json.exception.out_of_range.406] imageIndex 不是可用的映像序号: 1e+31"},
      {Answer(R"({"osImages": [{"imageIndex": 2.5}], "installItems": []})"),
       "响应字段格式不对: [json.exception.out_of_range.406] imageIndex 不是可用的映像序号: 2.5"},
      {Answer(R"({"osImages": [{"sizeGb": "5"}], "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be number, but is string"},
      {Answer(R"({"osImages": ["win11"], "installItems": []})"),
       "响应字段格式不对: [json.exception.type_error.306] cannot use value() with string"},
      {Answer(R"({"osImages": [{"key": "k"}], "installItems": [{"displayName": 5}]})"),
       "响应字段格式不对: [json.exception.type_error.302] type must be string, but is number"},
      {Answer(R"({"osImages": [{"key": "k"}], "installItems": [], "exResources": {"pe": "http://x"}})"),
       "响应字段格式不对: [json.exception.type_error.306] cannot use value() with string"},
      {Answer(R"({"osImages": [], "installItems": [{"key": "i"}]})"), "远程配置里 osImages 是空的"},
  };
  for (const Case& c : cases) {
    const ServiceConfig config = ServiceConfigFromResponse(c.response);
    EXPECT_FALSE(config.ok) << c.response.body;
    EXPECT_EQ(config.error, c.error) << c.response.body;
    // A failing document gives nothing, not the part read before the failure.
    if (c.error.rfind("响应字段格式不对", 0) == 0) {
      EXPECT_TRUE(config.osImages.empty());
      EXPECT_TRUE(config.installItems.empty());
    }
  }
}

}  // namespace
}  // namespace pl::config
