#include "net/http.h"

#include <gtest/gtest.h>

#include "devserver_client.h"
#include "net/http_request.h"
#include "test_support.h"

namespace pl::net {
namespace {

using test::DevServerRule;
using test::DevServerSession;

TEST(HttpTest, AnErrorStatusIsATransportSuccessWithItsBody) {
  DevServerSession server;
  server.AddRule({.path = "/broken", .status = 500, .body = "服务器内部错误\nline two"});
  HttpResponse response = HttpGet(server.Url("/broken"), {});
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(response.body, "服务器内部错误\nline two");
  EXPECT_EQ(response.error, "");

  response = HttpGet(server.Url("/no/such/thing"), {});
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.body, "{\"error\": \"not found\"}");
}

TEST(HttpTest, HeadersGoOutInListOrderWithTheUserAgentAndNoBody) {
  DevServerSession server;
  const HttpResponse response =
      HttpGet(server.Url("/files/none"), {{L"X-Second", L"b value"}, {L"X-First", L"a"}, {L"X-Api-Key", L"k"}});
  EXPECT_TRUE(response.ok);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/files/none");
  EXPECT_EQ(requests[0].Header("User-Agent"), "PelloraReinstall/1.0");
  EXPECT_EQ(requests[0].HeaderCount("Content-Type"), 0u);
  EXPECT_EQ(requests[0].body, "");
  std::vector<std::pair<std::string, std::string>> ours;
  for (const auto& header : requests[0].headers) {
    if (header.first.rfind("X-", 0) == 0) ours.push_back(header);
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"X-Second", "b value"}, {"X-First", "a"}, {"X-Api-Key", "k"}};
  EXPECT_EQ(ours, expected);
}

TEST(HttpTest, JsonPostsCarryTheContentTypeAlsoWhenEmpty) {
  DevServerSession server;
  HttpResponse response = HttpPostJson(server.Url("/reset/api/v1/sessions"), "", {{L"X-Trace", L"1"}});
  EXPECT_TRUE(response.ok);
  const std::string json = "{\"名字\":\"值\",\"n\":1}";
  response = HttpPostJson(server.Url("/post"), json, {});
  EXPECT_TRUE(response.ok);
  response = HttpSend(L"PUT", server.Url("/put"), std::nullopt, {});
  EXPECT_TRUE(response.ok);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].Header("Content-Length"), "0");
  EXPECT_EQ(requests[0].Header("X-Trace"), "1");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[1].Header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].Header("Content-Length"), std::to_string(json.size()));
  EXPECT_EQ(requests[1].body, json);
  EXPECT_EQ(requests[2].method, "PUT");
  EXPECT_EQ(requests[2].HeaderCount("Content-Type"), 0u);
}

TEST(HttpTest, FailuresBeforeAResponseNameTheStep) {
  HttpResponse response = HttpGet(L"http://no-such-host.invalid/config", {});
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.error, "WinHttpSendRequest 失败, GetLastError=12007");

  response = HttpGet(L"not a url", {});
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.error, "URL 解析失败");
  response = HttpGet(L"http://" + std::wstring(300, L'h') + L".example/", {});
  EXPECT_EQ(response.error, "URL 解析失败");
  response = HttpGet(L"http://127.0.0.1/" + std::wstring(2100, L'p'), {});
  EXPECT_EQ(response.error, "URL 解析失败");

  // Nothing listens on the port of a closed session.
  std::wstring closedOrigin;
  {
    DevServerSession server;
    closedOrigin = server.origin;
  }
  response = HttpGet(closedOrigin + L"/config", {});
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.error, "WinHttpSendRequest 失败, GetLastError=12029");

  // A connection reset before any answer.
  DevServerSession server;
  server.AddRule({.path = "/reset", .drop = true});
  response = HttpGet(server.Url("/reset"), {});
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.error.rfind("WinHttpReceiveResponse 失败, GetLastError=", 0), 0u) << response.error;
}

TEST(HttpTest, TheQueryStringReachesTheServer) {
  DevServerSession server;
  EXPECT_TRUE(HttpGet(server.Url("/files/x.bin?token=a%20b&n=2"), {}).ok);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/files/x.bin?token=a%20b&n=2");
}

TEST(HttpTest, AConnectionCutMidBodyReturnsWhatArrived) {
  DevServerSession server;
  const std::string content = test::GeneratedBytes(0, 100000);
  server.PutFile("big.bin", content);
  server.AddRule({.path = "/files/big.bin", .cutAfter = 30000});
  const HttpResponse response = HttpGet(server.Url("/files/big.bin"), {});
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body.size(), 30000u);
  EXPECT_TRUE(response.body == content.substr(0, response.body.size()));

  server.ClearRules();
  EXPECT_TRUE(HttpGet(server.Url("/files/big.bin"), {}).body == content);
}

TEST(HttpTest, ABodyOverSixteenMegabytesIsRefused) {
  DevServerSession server;
  const HttpResponse whole = HttpGet(server.Url("/gen/16777216"), {});
  EXPECT_TRUE(whole.ok);
  EXPECT_TRUE(whole.body == test::GeneratedBytes(0, 16777216));
  EXPECT_EQ(HttpGet(server.Url("/gen/16777217"), {}),
            (HttpResponse{false, 200, "", "响应内容超过 16 MiB 上限，已放弃"}));
  server.AddRule({.path = "/gen/*", .chunked = true});  // no length to go by
  EXPECT_EQ(HttpGet(server.Url("/gen/20000000"), {}), (HttpResponse{false, 200, "", "响应内容超过 16 MiB 上限，已放弃"}));
}

TEST(HttpRequestTest, TheSecureFlagIsSetExactlyForHttps) {
  OpenedRequest secure;
  std::string error;
  ASSERT_TRUE(OpenRequest(L"GET", L"https://127.0.0.1:8443/a?b=c", true, &secure, &error)) << error;
  EXPECT_EQ(secure.openFlags, static_cast<DWORD>(WINHTTP_FLAG_SECURE));
  OpenedRequest plain;
  ASSERT_TRUE(OpenRequest(L"GET", L"http://127.0.0.1:8080/a", false, &plain, &error)) << error;
  EXPECT_EQ(plain.openFlags, 0u);
  OpenedRequest upper;
  ASSERT_TRUE(OpenRequest(L"POST", L"HTTPS://example.invalid/", true, &upper, &error)) << error;
  EXPECT_EQ(upper.openFlags, static_cast<DWORD>(WINHTTP_FLAG_SECURE));

  UrlParts parts;
  ASSERT_TRUE(SplitUrl(L"https://host.example/path/file.wim?sig=1", &parts));
  EXPECT_EQ(parts.scheme, INTERNET_SCHEME_HTTPS);
  EXPECT_EQ(parts.host, L"host.example");
  EXPECT_EQ(parts.port, 443);
  EXPECT_EQ(parts.path, L"/path/file.wim?sig=1");
  ASSERT_TRUE(SplitUrl(L"http://h:8080", &parts));
  EXPECT_EQ(parts.port, 8080);
  EXPECT_EQ(parts.path, L"");
  EXPECT_FALSE(SplitUrl(L"", &parts));
  EXPECT_FALSE(SplitUrl(L"ftp//missing-colon", &parts));
}

TEST(HttpRequestTest, ContentLengthIsReadAsA64BitNumber) {
  uint64_t length = 7;
  EXPECT_TRUE(ParseContentLength(L"5368709120", &length));
  EXPECT_EQ(length, 5368709120ull);
  EXPECT_TRUE(ParseContentLength(L" 0 ", &length));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(ParseContentLength(L"18446744073709551615", &length));
  EXPECT_EQ(length, UINT64_MAX);
  length = 7;
  EXPECT_FALSE(ParseContentLength(L"18446744073709551616", &length));
  EXPECT_FALSE(ParseContentLength(L"", &length));
  EXPECT_FALSE(ParseContentLength(L"-1", &length));
  EXPECT_FALSE(ParseContentLength(L"+1", &length));
  EXPECT_FALSE(ParseContentLength(L"12a", &length));
  EXPECT_FALSE(ParseContentLength(L"1 2", &length));
  EXPECT_EQ(length, 7u);
}

}  // namespace
}  // namespace pl::net
