// One stream over our own connection against the scripted loopback server: the head checked, the chunked framing
// decoded, redirects handed to WinHTTP.
#include "scripted_server.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "log_capture.h"
#include "net/download.h"
#include "test_support.h"

namespace pl::net {
namespace {

const std::string kFile = "0123456789";

std::string Head(const std::string& status, const std::string& headers) {
  return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n";
}
std::string Whole(const std::string& body) {
  return Head("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}
// The rest of the file from `from` on.
std::string Rest(size_t from, const std::string& contentRange = "") {
  const std::string range = contentRange.empty() ? "bytes " + std::to_string(from) + "-9/10" : contentRange;
  return Head("206 Partial Content", "Content-Range: " + range + "\r\nContent-Length: " +
                                         std::to_string(kFile.size() - from) + "\r\n") +
         kFile.substr(from);
}
std::string Chunked(const std::string& chunks) {
  return Head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks;
}
std::string Redirect() {
  return Head("302 Found", "Location: http://127.0.0.1:%PORT%/new.bin\r\nContent-Length: 0\r\nConnection: close\r\n");
}

// The request line's target and the Range asked for: "GET /f.bin bytes=3-".
std::vector<std::string> Summaries(const std::vector<std::string>& requests) {
  std::vector<std::string> out;
  for (const std::string& request : requests) {
    std::string line = request.substr(0, request.find(" HTTP/1.1"));
    const size_t range = request.find("\r\nRange: ");
    if (range != std::string::npos) line += " " + request.substr(range + 9, request.find("\r\n", range + 9) - range - 9);
    out.push_back(line);
  }
  return out;
}

struct SingleStreamTest : test::LoggedTest {
  std::wstring Target() const { return temp.Child(L"f.bin"); }
  std::string Utf8Target() const { return base::WideToUtf8(Target()); }
};

TEST_F(SingleStreamTest, FreshResumedChunkedAndRedirected) {
  struct Case {
    const char* name;
    std::string partial;  // the file before the download
    std::vector<std::vector<Answer>> script;
    bool ok;
    std::vector<std::string> requests;
    std::vector<std::string> log;  // "PATH" stands for the target
    std::string content;
  };
  const std::string attempt1 = "T [WARN] 下载失败(第 1/5 次尝试): ";
  std::vector<std::string> badRange;  // each of the five attempts
  for (int i = 1; i <= 5; ++i) {
    badRange.push_back("T [WARN] 下载失败(第 " + std::to_string(i) + "/5 次尝试): 续传响应的范围不符: 请求 bytes=3-，收到 "
                       "bytes 2-9/10");
  }
  const std::vector<Case> cases = {
      {"fresh", "", {{{Whole(kFile)}}}, true, {"GET /f.bin"}, {}, kFile},
      {"resumed", "012", {{{Rest(3)}}}, true, {"GET /f.bin bytes=3-"}, {}, kFile},
      {"a server that ignores the range rewrites the file", "XYZ", {{{Whole(kFile)}}}, true, {"GET /f.bin bytes=3-"},
       {}, kFile},
      {"a chunked body that ends properly, with nothing to check it against", "",
       {{{Chunked("4\r\n0123\r\n6;x=1\r\n456789\r\n0\r\n\r\n")}}}, true, {"GET /f.bin"},
       {"T [WARN] 服务器没有给出文件长度，也没有大小或 MD5 可以核对，无法确认文件完整: PATH"}, kFile},
      {"a chunked body cut before its last chunk is resumed", "",
       {{{Chunked("4\r\n0123\r\n6\r\n45"), true}}, {{Rest(6)}}}, true, {"GET /f.bin", "GET /f.bin bytes=6-"},
       {attempt1 + "下载中断: 分块传输的响应在最后一个分块之前结束"}, kFile},
      {"a redirect is followed by WinHTTP", "",
       {{{Redirect(), true}}, {{Redirect(), true}}, {{Whole(kFile), true}}}, true,
       {"GET /f.bin", "GET /f.bin", "GET /new.bin"}, {"T [INFO] 请求被服务器转向，改由 WinHTTP 发送: PATH"}, kFile},
      {"a 206 for other bytes is refused", "012", std::vector<std::vector<Answer>>(5, {{Rest(2, "bytes 2-9/10"), true}}),
       false, std::vector<std::string>(5, "GET /f.bin bytes=3-"), badRange, "012"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name) + L".log");
    DeleteFileW(Target().c_str());
    if (!c.partial.empty()) {
      ASSERT_TRUE(test::WriteFileBytes(Target(), c.partial));
    }
    ScriptedServer server(c.script);
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(server.port) + L"/f.bin";
    std::string error;
    EXPECT_EQ(DownloadVerified({url, Target(), "", "f", 0}, {}, &error, [](uint32_t) {}), c.ok) << error;
    server.Stop();
    EXPECT_EQ(Summaries(server.requests), c.requests);
    std::vector<std::string> log = c.log;
    for (std::string& line : log) {
      if (const size_t at = line.find("PATH"); at != std::string::npos) line.replace(at, 4, Utf8Target());
    }
    EXPECT_EQ(LogLines(), log);
    std::string content;
    test::ReadFileBytes(Target(), &content);
    EXPECT_EQ(content, c.content);
  }
  // Our own request, whole.
  ScriptedServer own({{{Rest(4)}}});
  std::string error;
  ASSERT_TRUE(test::WriteFileBytes(Target(), "0123"));
  ASSERT_TRUE(DownloadVerified({L"http://127.0.0.1:" + std::to_wstring(own.port) + L"/f.bin?s=1", Target(), "", "f", 0},
                               {}, &error, [](uint32_t) {}));
  own.Stop();
  ASSERT_EQ(own.requests.size(), 1u);
  EXPECT_EQ(own.requests[0], "GET /f.bin?s=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(own.port) +
                                 "\r\nUser-Agent: PelloraReinstall/1.0\r\nRange: bytes=4-\r\nAccept-Encoding: identity\r\n\r\n");
}

}  // namespace
}  // namespace pl::net
