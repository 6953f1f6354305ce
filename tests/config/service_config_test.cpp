#include "config/service_config.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/text.h"
#include "catalog_expectations.h"
#include "devserver_client.h"
#include "log_capture.h"
#include "printers.h"
#include "test_support.h"

namespace pl::config {
namespace {

using base::Utf8ToWide;
using base::WideToUtf8;
using test::DevServerRule;
using test::DevServerSession;

// A private log and folder; the backend is the test's own session of the stand-in.
struct ConfigFixture : test::LoggedTest {
  std::wstring WriteIni(const std::wstring& name, const std::string& text) {
    const std::wstring path = temp.Child(name);
    EXPECT_TRUE(test::WriteFileBytes(path, text));
    return path;
  }
  DevServerSession server;
  test::ScopedEnvironment backend{kBackendOriginVariable, server.origin};
};

const char kLocalCatalog[] =
    "; local catalog\r\n"
    "[osimage]\r\n"
    "w11=Windows 11 \xD7\xA8\xD2\xB5\xB0\xE6,http://d/win11.wim,2,ABC,23H2,2024-05,5.1\r\n"
    "short=\xBC\xD2\xCD\xA5\xB0\xE6\r\n"
    "odd=name,http://d/x.wim,7abc,,,,x5,extra,more\r\n"
    "text=name,url,x7,,,,\r\n"
    "[install]\r\n"
    "wx=wx.exe,/S,http://d/wx.exe,M,\xCE\xA2\xD0\xC5\r\n"
    "bare=only.exe\r\n"
    "[exlist]\r\n"
    "pe=http://d/pe.wim,PMD5\r\n"
    "tools=http://d/t.zip,TMD5,ignored\r\n"
    "sdi=http://d/boot.sdi,\r\n"
    "[osimage]\r\n"
    "late=ignored,http://d/late.wim\r\n";

TEST(SplitCommaListTest, PiecesBetweenCommasUntrimmed) {
  using List = std::vector<std::string>;
  EXPECT_EQ(SplitCommaList(""), List{""});
  EXPECT_EQ(SplitCommaList("a,"), (List{"a", ""}));
  EXPECT_EQ(SplitCommaList(",,"), (List{"", "", ""}));
  EXPECT_EQ(SplitCommaList(" a , b"), (List{" a ", " b"}));
  EXPECT_EQ(SplitCommaList("\"a,b\""), (List{"\"a", "b\""}));
}

using BackendUrlTest = test::LoggedTest;

TEST_F(BackendUrlTest, BuiltInOriginUnlessTheVariableNamesAValidOne) {
  {
    test::ScopedEnvironment unset(kBackendOriginVariable, L"", true);
    EXPECT_EQ(BackendUrl("/config"), L"https://api.pellora.example/reset/api/v1/config");
    EXPECT_EQ(BackendUrl(""), L"https://api.pellora.example/reset/api/v1");
    EXPECT_EQ(BackendUrl("/会话"), L"https://api.pellora.example/reset/api/v1/\x4F1A\x8BDD");
  }
  {
    test::ScopedEnvironment set(kBackendOriginVariable, L"http://127.0.0.1:8123/");
    EXPECT_EQ(BackendUrl("/sessions"), L"http://127.0.0.1:8123/reset/api/v1/sessions");
  }
  EXPECT_EQ(BackendOriginFrom(L"HTTPS://staging.example:8443"), L"HTTPS://staging.example:8443");
  EXPECT_EQ(BackendOriginFrom(L"http://h"), L"http://h");
  for (const wchar_t* bad : {L"", L"ftp://h", L"http://", L"http:///", L"http://h/path", L"127.0.0.1:80",
                             L"http://h?x=1", L"http://a b"}) {
    EXPECT_EQ(BackendOriginFrom(bad), L"https://api.pellora.example") << WideToUtf8(bad);
  }
  {
    test::ScopedEnvironment set(kBackendOriginVariable, L"localhost:9000");
    EXPECT_EQ(BackendUrl("/config"), L"https://api.pellora.example/reset/api/v1/config");
  }
  EXPECT_EQ(LogLines(),
            std::vector<std::string>{
                "T [WARN] 环境变量 PL_BACKEND_ORIGIN 的值不是 http(s)://主机[:端口] 的形式，已忽略: localhost:9000"});

  EXPECT_EQ(ApiKeyHeaders(),
            (std::vector<net::HttpHeader>{{L"X-API-Key", L"7a3d1c9e5b2f48a06d4c8e1b3f5a7092c4e6b8d0a2f41e3c"}}));
}

TEST(BackendOriginChoiceTest, TheVariableCountsOnlyWhereTheBuildReadsIt) {
  EXPECT_TRUE(BackendOverrideAllowed());  // the development and test build
  const std::wstring builtIn = L"https://api.pellora.example";
  const std::string invalid = "环境变量 PL_BACKEND_ORIGIN 的值不是 http(s)://主机[:端口] 的形式，已忽略: ";
  const std::string ignored = "此版本不读取环境变量 PL_BACKEND_ORIGIN，已忽略: ";
  const struct {
    std::wstring value;
    bool allowed;
    BackendOriginChoice choice;
  } cases[] = {
      {L"", true, {builtIn, ""}},
      {L"", false, {builtIn, ""}},
      {L"http://127.0.0.1:8123/", true, {L"http://127.0.0.1:8123", ""}},
      {L"http://127.0.0.1:8123/", false, {builtIn, ignored + "http://127.0.0.1:8123/"}},
      {L"localhost:9000", true, {builtIn, invalid + "localhost:9000"}},
      {L"localhost:9000", false, {builtIn, ignored + "localhost:9000"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseBackendOrigin(c.value, c.allowed), c.choice) << WideToUtf8(c.value) << " " << c.allowed;
  }
}

TEST(LocalCatalogTest, FieldsFromCommaListsAndTheFirstSectionsOnly) {
  const ServiceConfig config = ServiceConfigFromIni(ParseIniText(DecodeIniBytes(kLocalCatalog)));
  ASSERT_TRUE(config.ok) << config.error;
  ASSERT_EQ(config.osImages.size(), 4u);
  const OsImageEntry& w11 = config.osImages[0];
  EXPECT_EQ(w11.key, "w11");
  EXPECT_EQ(w11.displayName, "Windows 11 专业版");
  EXPECT_EQ(w11.url, "http://d/win11.wim");
  EXPECT_EQ(w11.imageIndex, 2);
  EXPECT_EQ(w11.md5, "ABC");
  EXPECT_EQ(w11.version, "23H2");
  EXPECT_EQ(w11.updateDate, "2024-05");
  EXPECT_DOUBLE_EQ(w11.sizeGb, 5.1);
  const OsImageEntry& shortEntry = config.osImages[1];
  EXPECT_EQ(shortEntry.displayName, "家庭版");
  EXPECT_EQ(shortEntry.url, "");
  EXPECT_EQ(shortEntry.imageIndex, 1);
  EXPECT_DOUBLE_EQ(shortEntry.sizeGb, 0.0);
  EXPECT_EQ(config.osImages[2].imageIndex, 7);  // leading number
  EXPECT_DOUBLE_EQ(config.osImages[2].sizeGb, 0.0);
  EXPECT_EQ(config.osImages[3].imageIndex, 0);  // no leading number
  EXPECT_EQ(config.osImages[3].md5, "");
  ExpectSharedItemAndResourceUrls(config);
  EXPECT_EQ(config.installItems[1].fileName, "only.exe");
  EXPECT_EQ(config.exResources.pe.md5, "PMD5");
  EXPECT_EQ(config.exResources.drv.md5, "TMD5");
  EXPECT_EQ(config.exResources.sdi.md5, "");
}

TEST(LocalCatalogTest, MissingResourcesOrImagesFail) {
  ServiceConfig config =
      ServiceConfigFromIni(ParseIniText("[osimage]\nw=n,u\n[exlist]\npe=http://d/pe.wim\ntools=a,b\nsdi=c,d\n"));
  EXPECT_FALSE(config.ok);
  EXPECT_EQ(config.error, "[exlist] 缺少 pe、tools 或 sdi 条目");
  config = ServiceConfigFromIni(ParseIniText("[osimage]\nw=n,u\n[exlist]\npe=a,b\ntools=a,b\n"));
  EXPECT_EQ(config.error, "[exlist] 缺少 pe、tools 或 sdi 条目");
  config = ServiceConfigFromIni(ParseIniText("[install]\ni=f\n[exlist]\npe=a,b\ntools=a,b\nsdi=c,d\n"));
  EXPECT_FALSE(config.ok);
  EXPECT_EQ(config.error, "配置里没有系统镜像条目");
  // The exlist check comes first.
  config = ServiceConfigFromIni(ParseIniText(""));
  EXPECT_EQ(config.error, "[exlist] 缺少 pe、tools 或 sdi 条目");
}

TEST_F(ConfigFixture, TheSameCatalogInUtf8WithBomAndInCodePage936) {
  const std::string utf8 = base::GbkToUtf8(kLocalCatalog);
  ServiceConfig fromUtf8;
  ServiceConfig fromGbk;
  ASSERT_TRUE(LoadLocalCatalog(WriteIni(L"utf8.ini", "\xEF\xBB\xBF" + utf8), &fromUtf8));
  ASSERT_TRUE(LoadLocalCatalog(WriteIni(L"gbk.ini", kLocalCatalog), &fromGbk));
  ASSERT_EQ(fromUtf8.osImages.size(), fromGbk.osImages.size());
  for (size_t i = 0; i < fromUtf8.osImages.size(); ++i) {
    EXPECT_EQ(fromUtf8.osImages[i].displayName, fromGbk.osImages[i].displayName);
  }
  EXPECT_EQ(fromGbk.osImages[0].displayName, "Windows 11 专业版");
  EXPECT_EQ(fromUtf8.installItems[0].displayName, fromGbk.installItems[0].displayName);
  // UTF-8 without the mark is read as code page 936 and comes out garbled, as on Windows.
  ServiceConfig noMark;
  ASSERT_TRUE(LoadLocalCatalog(WriteIni(L"nomark.ini", utf8), &noMark));
  EXPECT_NE(noMark.osImages[0].displayName, "Windows 11 专业版");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ConfigFixture, RemoteCatalogFromTheStandInNeedsNoLocalFile) {
  const ServiceConfig config = LoadServiceConfig(temp.Child(L"absent.ini"));
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] 已从后台拉取远程配置"});
  ASSERT_EQ(config.osImages.size(), 6u);
  EXPECT_EQ(config.osImages[0].key, "win11_23h2_pro");
  EXPECT_EQ(config.osImages[0].url, WideToUtf8(server.origin) + "/files/win11_23h2_x64.wim");
  EXPECT_EQ(config.osImages[0].imageIndex, 2);
  EXPECT_EQ(config.osImages[0].md5.size(), 32u);
  EXPECT_EQ(config.installItems.size(), 3u);
  EXPECT_EQ(config.exResources.drv.url, WideToUtf8(server.origin) + "/files/pl_tools.zip");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/reset/api/v1/config");
  EXPECT_EQ(requests[0].Header("X-API-Key"), test::kDevServerApiKey);
  EXPECT_EQ(requests[0].HeaderCount("X-API-Key"), 1u);
}

TEST_F(ConfigFixture, ARemoteFailureIsOneWarningThenTheLocalFile) {
  const std::wstring path = WriteIni(L"imglist3.ini", kLocalCatalog);
  server.AddRule({.path = "/reset/api/v1/config", .times = 1, .status = 503, .body = "维护中"});
  ServiceConfig config = LoadServiceConfig(path);
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(config.osImages[0].key, "w11");
  EXPECT_EQ(config.osImages.size(), 4u);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [WARN] 拉取远程配置失败(HTTP 503: 维护中)，回退读本地配置文件: " +
                                                 WideToUtf8(path)});

  server.AddRule({.path = "/reset/api/v1/config", .times = 1, .status = 200, .body = "{\"installItems\": []}"});
  config = LoadServiceConfig(path);
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(LogLines().back(),
            "T [WARN] 拉取远程配置失败(响应字段格式不对: [json.exception.out_of_range.403] key 'osImages' not "
            "found)，回退读本地配置文件: " + WideToUtf8(path));
  EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(ConfigFixture, NoBackendAndNoLocalFileFails) {
  std::wstring closedOrigin;
  {
    DevServerSession closed;
    closedOrigin = closed.origin;
  }
  test::ScopedEnvironment unreachable(kBackendOriginVariable, closedOrigin);
  const std::wstring path = temp.Child(L"ini\\imglist3.ini");
  const ServiceConfig config = LoadServiceConfig(path);
  EXPECT_FALSE(config.ok);
  EXPECT_EQ(config.error, "读取本地配置文件也失败了: " + WideToUtf8(path));
  EXPECT_TRUE(config.osImages.empty());
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [WARN] 拉取远程配置失败(网络请求失败: WinHttpSendRequest 失败, GetLastError=12029)，"
                            "回退读本地配置文件: " + WideToUtf8(path),
                            "T [ERROR] 读取本地配置文件也失败了: " + WideToUtf8(path)}));
}

TEST_F(ConfigFixture, ABrokenLocalFileIsLoggedAsTheFinalError) {
  server.AddRule({.path = "/reset/api/v1/config", .status = 401, .body = "no"});
  const std::wstring path = WriteIni(L"broken.ini", "[osimage]\nw=n,u\n[exlist]\npe=only-a-url\n");
  const ServiceConfig config = LoadServiceConfig(path);
  EXPECT_FALSE(config.ok);
  EXPECT_EQ(config.error, "[exlist] 缺少 pe、tools 或 sdi 条目");
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "T [ERROR] [exlist] 缺少 pe、tools 或 sdi 条目");
}

TEST_F(ConfigFixture, TheRelativePathResolvesAgainstTheCurrentDirectory) {
  server.AddRule({.path = "/reset/api/v1/config", .drop = true});
  ASSERT_TRUE(CreateDirectoryW(temp.Child(L"ini").c_str(), nullptr));
  WriteIni(L"ini\\imglist3.ini", kLocalCatalog);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
  const ServiceConfig config = LoadServiceConfig(L"ini\\imglist3.ini");
  SetCurrentDirectoryW(previous);
  ASSERT_TRUE(config.ok) << config.error;
  EXPECT_EQ(config.osImages[0].key, "w11");
}

// The stand-in's fallback file describes the same catalog as its JSON document.
TEST_F(ConfigFixture, TheStandInsLocalFileMatchesItsRemoteCatalog) {
  const net::HttpResponse ini = net::HttpGet(server.Url("/sample/imglist3.ini"), {});
  ASSERT_EQ(ini.status, 200);
  ServiceConfig local;
  ASSERT_TRUE(LoadLocalCatalog(WriteIni(L"sample.ini", ini.body), &local)) << local.error;
  const ServiceConfig remote = FetchRemoteConfig();
  ASSERT_TRUE(remote.ok) << remote.error;
  ASSERT_EQ(local.osImages.size(), remote.osImages.size());
  for (size_t i = 0; i < local.osImages.size(); ++i) {
    const OsImageEntry& l = local.osImages[i];
    const OsImageEntry& r = remote.osImages[i];
    EXPECT_EQ(l.key, r.key);
    EXPECT_EQ(l.displayName, r.displayName);
    EXPECT_EQ(l.url, r.url);
    EXPECT_EQ(l.imageIndex, r.imageIndex);
    EXPECT_EQ(l.md5, r.md5);
    EXPECT_EQ(l.version, r.version);
    EXPECT_EQ(l.updateDate, r.updateDate);
    EXPECT_DOUBLE_EQ(l.sizeGb, r.sizeGb);
  }
  ASSERT_EQ(local.installItems.size(), remote.installItems.size());
  for (size_t i = 0; i < local.installItems.size(); ++i) {
    EXPECT_EQ(local.installItems[i].displayName, remote.installItems[i].displayName);
    EXPECT_EQ(local.installItems[i].params, remote.installItems[i].params);
    EXPECT_EQ(local.installItems[i].md5, remote.installItems[i].md5);
  }
  EXPECT_EQ(local.exResources.pe.md5, remote.exResources.pe.md5);
  EXPECT_EQ(local.exResources.drv.url, remote.exResources.drv.url);
  EXPECT_EQ(local.exResources.sdi.url, remote.exResources.sdi.url);
}

}  // namespace
}  // namespace pl::config
