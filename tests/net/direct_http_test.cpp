#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/direct_http.h"

#include <gtest/gtest.h>

#include "net/http_head.h"
#include "net/stall_watch.h"
#include "scripted_server.h"

namespace pl::net {
namespace {

std::string Partial(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-" + std::to_string(body.size() - 1) + "/100\r\n" +
         extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// "<status> <body>", then " error <text>" when the body failed; or "error <text>".
std::string Fetch(const DirectTarget& target, ByteExtent piece, uint32_t timeoutMs, DirectConnection* conn) {
  ResponseHead head;
  std::string error;
  const std::string request = RangeRequestText(target.host, target.path, piece.begin, piece.end - 1);
  if (!DirectRequest(target, request, timeoutMs, 0, conn, &head, &error)) return "error " + error;
  std::string body;
  char buffer[4];  // small, so that held-back bytes and the socket both serve parts
  int64_t got;
  while ((got = DirectRead(conn, buffer, sizeof buffer, &error)) > 0) body.append(buffer, got);
  return std::to_string(head.status) + " " + body + (got < 0 ? " error " + error : "");
}

TEST(DirectHttpTest, KeptConnectionsRetriesAndRefusedAnswers) {
  struct Case {
    const char* name;
    std::vector<std::vector<Answer>> script;
    uint32_t timeoutMs;
    std::vector<std::string> outcomes;  // of two requests, the second on the same DirectConnection
    int accepted;
  };
  const std::string tooLong = "HTTP/1.1 206 Partial Content\r\nX-Pad: " + std::string(kMaxResponseHead, 'p');
  const std::vector<Case> cases = {
      {"one kept connection", {{{Partial("abcde")}, {Partial("fgh")}}}, 5000, {"206 abcde", "206 fgh"}, 1},
      {"a kept connection the server closed is replaced once",
       {{{Partial("abc"), true}}, {{Partial("def")}}}, 5000, {"206 abc", "206 def"}, 2},
      {"Connection: close is not reused",
       {{{Partial("abc", "Connection: close\r\n")}}, {{Partial("def")}}}, 5000, {"206 abc", "206 def"}, 2},
      {"bytes past the announced body are dropped with the connection",
       {{{Partial("abc") + "XYZ"}}, {{Partial("def")}}}, 5000, {"206 abc", "206 def"}, 2},
      {"a body without a length runs to the connection's end",
       {{{"HTTP/1.1 200 OK\r\n\r\nwhole file", true}}, {{Partial("def")}}}, 5000, {"200 whole file", "206 def"}, 2},
      {"a malformed head", {{{"HTTP/1.1 206 Partial\r\n bad fold\r\n\r\n", true}}, {{Partial("def")}}}, 5000,
       {"error 响应头无效", "206 def"}, 2},
      {"a head past 16 KiB", {{{tooLong, true}}, {{Partial("def")}}}, 5000, {"error 响应头过长", "206 def"}, 2},
      {"closed before any answer", {{{"", true}}, {{Partial("def")}}}, 5000,
       {"error 服务器在响应头之前关闭了连接", "206 def"}, 2},
      {"a silent server", {{{"", false, true}}, {{Partial("def")}}}, 300, {"error 接收响应失败: 10060", "206 def"}, 2},
      {"a chunked body is decoded and its connection not kept",
       {{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\nT: 1\r\n\r\n"}},
        {{Partial("def")}}},
       5000, {"200 abcde", "206 def"}, 2},
      {"a chunked body cut before its last chunk",
       {{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", true}}, {{Partial("def")}}}, 5000,
       {"200 abc error 下载中断: 分块传输的响应在最后一个分块之前结束", "206 def"}, 2},
      {"a malformed chunk",
       {{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n", true}}, {{Partial("def")}}},
       5000, {"200 abc error 分块传输的格式无效", "206 def"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    const std::string host = "127.0.0.1:" + std::to_string(server.port);
    DirectTarget target;
    ASSERT_TRUE(DirectTargetOf(L"http://" + std::wstring(host.begin(), host.end()) + L"/f/a.wim?s=1", &target));
    DirectConnection conn;
    std::vector<std::string> outcomes;
    outcomes.push_back(Fetch(target, {0, 5}, c.timeoutMs, &conn));
    outcomes.push_back(Fetch(target, {5, 8}, c.timeoutMs, &conn));
    conn = DirectConnection();
    server.Stop();
    EXPECT_EQ(outcomes, c.outcomes);
    EXPECT_EQ(server.accepted, c.accepted);
    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_EQ(server.requests[1], "GET /f/a.wim?s=1 HTTP/1.1\r\nHost: " + host +
                                      "\r\nUser-Agent: PelloraReinstall/1.0\r\nRange: bytes=5-7\r\n"
                                      "Accept-Encoding: identity\r\n\r\n");
  }
}

TEST(DirectHttpTest, OnlyPlainHttpWithAsciiHostAndPathGoesDirect) {
  struct Case {
    const wchar_t* url;
    bool direct;
    std::string host, path;
  };
  for (const Case& c : std::vector<Case>{
           {L"http://mirror.example/img/win.wim", true, "mirror.example", "/img/win.wim"},
           {L"http://10.0.0.2:8080/a.esd?sig=x%20y&t=1", true, "10.0.0.2:8080", "/a.esd?sig=x%20y&t=1"},
           {L"https://mirror.example/win.wim", false},
           {L"http://mirror.example/镜像.wim", false},
           {L"http://镜像.example/win.wim", false},
           {L"ftp://mirror.example/win.wim", false},
           {L"not a url", false}}) {
    DirectTarget target;
    EXPECT_EQ(DirectTargetOf(c.url, &target), c.direct) << c.url;
    if (c.direct) {
      EXPECT_EQ(std::make_pair(target.host, target.path), std::make_pair(c.host, c.path)) << c.url;
    }
  }
}

TEST(HttpHeadTest, HeadsAreFoundAndReadStrictly) {
  EXPECT_EQ(ResponseHeadLength("HTTP/1.1 200 OK\r\nA: b\r\n"), 0u);
  EXPECT_EQ(ResponseHeadLength("HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody"), 25u);
  EXPECT_EQ(ResponseHeadLength("HTTP/1.1 200 OK\nA: b\n\nbody"), 22u);
  EXPECT_EQ(ResponseHeadLength(std::string(kMaxResponseHead, 'x')), kHeadTooLong);

  struct Case {
    std::string head;
    bool ok;
    int status;
    bool hasLength;
    uint64_t length;
    bool hasRange;
    bool encoded;
    bool keepAlive;
    bool chunked = false;
    bool acceptsRanges = false;
  };
  const std::string range = "Content-Range: bytes 4294967296-5368709119/5368709120\r\n";
  const std::vector<Case> cases = {
      {"HTTP/1.1 206 Partial Content\r\n" + range + "Content-Length: 1073741824\r\n\r\n", true, 206, true,
       1073741824, true, false, true},
      {"HTTP/1.1 206\r\ncontent-length:  7 \r\ncontent-range: bytes 0-6/7\r\nConnection: Close\r\n\r\n", true, 206,
       true, 7, true, false, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n", true, 200, true, 7, false, false, false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n", true, 200, false, 0, false, false, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nAccept-Ranges: none\r\n\r\n", true, 200, false, 0, false,
       true, true, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", true, 200, false, 0, false, true, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n", true, 200, false, 0,
       false, true, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Identity\r\nAccept-Ranges: Bytes\r\nContent-Length: 3\r\n\r\n",
       true, 200, true, 3, false, false, true, false, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\nContent-Range: bytes 0-99/*\r\nContent-Length: 100\r\n\r\n", true, 206, true, 100,
       false, false, true},
      {"HTTP/1.1 206 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", true, 206, true, 5, false, false, true},
      {"HTTP/1.1 206 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\nContent-Length: -5\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\nX-A: 1\r\n folded\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\nno colon\r\n\r\n", false},
      {"HTTP/1.1 206 OK\r\n: empty name\r\n\r\n", false},
      {"HTTP/2 206 OK\r\n\r\n", false},
      {"HTTP/1.1 2x6 OK\r\n\r\n", false},
      {"HTTP/1.1 099 Low\r\n\r\n", false},
      {"HTTP/1.1 2066 OK\r\n\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    ResponseHead head;
    ASSERT_EQ(ParseResponseHead(c.head, &head), c.ok) << c.head;
    if (!c.ok) continue;
    EXPECT_EQ(std::make_tuple(head.status, head.hasLength, head.length, head.hasRange, head.encoded, head.keepAlive,
                              head.chunked, head.acceptsRanges),
              std::make_tuple(c.status, c.hasLength, c.length, c.hasRange, c.encoded, c.keepAlive, c.chunked,
                              c.acceptsRanges))
        << c.head;
  }
  ResponseHead head;
  ASSERT_TRUE(ParseResponseHead("HTTP/1.1 206 OK\r\n" + range + "\r\n", &head));
  EXPECT_EQ(std::make_tuple(head.rangeFirst, head.rangeLast, head.rangeTotal, head.contentRange),
            std::make_tuple(4294967296ull, 5368709119ull, 5368709120ull,
                            std::string("bytes 4294967296-5368709119/5368709120")));
}

TEST(HttpHeadTest, ChunkedBodiesDecodeInAnyPiecesAndEndOnlyAtTheirLastChunk) {
  using State = ChunkedDecoder::State;
  struct Case {
    std::string framed;
    std::string body;
    State end;
    size_t used;  // bytes taken when the body ended; the rest belongs to no body
  };
  const std::string longLine = "1;" + std::string(kMaxChunkLine, 'x') + "\r\na\r\n0\r\n\r\n";
  const std::vector<Case> cases = {
      {"3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\nNEXT", "abc0123456789", State::kDone, 28},
      {"3;name=\"v\"\nabc\n0\nTrailer: x\nOther: y\n\n", "abc", State::kDone, 38},
      {"ff\r\n" + std::string(255, 'f') + "\r\n0\r\n\r\n", std::string(255, 'f'), State::kDone, 266},
      {"3\r\nabc\r\n4\r\ndefg\r\n", "abcdefg", State::kSize, 0},  // cut before the last chunk
      {"3\r\nabc\r\n0\r\nT: 1\r\n", "abc", State::kTrailer, 0},   // cut inside the trailer
      {"x\r\n", "", State::kBad, 0},
      {"3\rX\nabc\r\n0\r\n\r\n", "", State::kBad, 0},
      {"3\r\nabcd\r\n", "abc", State::kBad, 0},
      {"10000000000000000\r\n", "", State::kBad, 0},  // past 64 bits
      {longLine, "", State::kBad, 0},
      {"0\r\n" + std::string(kMaxResponseHead, 'T') + "\r\n\r\n", "", State::kBad, 0},
  };
  for (const Case& c : cases) {
    // All at once into a large buffer, then a byte at a time into a one-byte buffer: the same body and end.
    for (const bool piecewise : {false, true}) {
      ChunkedDecoder decoder;
      std::string body;
      size_t used = 0;
      char out[1024];
      while (used < c.framed.size() && decoder.state != State::kDone && decoder.state != State::kBad) {
        const std::string_view in = std::string_view(c.framed).substr(used, piecewise ? 1 : std::string::npos);
        size_t produced = 0;
        used += DecodeChunked(&decoder, in, out, piecewise ? 1 : sizeof out, &produced);
        body.append(out, produced);
      }
      SCOPED_TRACE(c.framed.substr(0, 40) + (piecewise ? " piecewise" : " whole"));
      EXPECT_EQ(body, c.body);
      EXPECT_EQ(decoder.state, c.end);
      if (c.end == State::kDone) {
        EXPECT_EQ(used, c.used);
      }
    }
  }
}

TEST(StallWatchTest, AWholeWindowWithTooFewBytesIsAStall) {
  struct Step {
    uint64_t now;
    uint64_t bytes;
    bool stalled;
  };
  struct Case {
    const char* name;
    uint32_t windowMs;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"enough in each window", 1000, {{500, 40000, false}, {1000, 30000, false}, {1900, 65535, false},
                                       {2000, 1, false}, {3000, 65536, false}}},
      {"a trickle", 1000, {{10, 70000, false}, {1010, 0, false}, {1500, 100, false}, {2009, 100, false},
                           {2010, 0, true}, {2011, 100000, true}}},
      {"a late read with enough counts", 1000, {{5000, 65536, false}, {5999, 0, false}, {6000, 0, true}}},
      {"never without a window", 0, {{1000000, 0, false}, {5000000, 1, false}}},
  };
  for (const Case& c : cases) {
    StallWatch watch = StartStallWatch(c.windowMs, 65536, 0);
    for (const Step& step : c.steps) {
      EXPECT_EQ(StallWatchStalled(&watch, step.now, step.bytes), step.stalled) << c.name << " at " << step.now;
    }
  }
  EXPECT_EQ(StallText(60000, 64 * 1024), "下载停滞: 连接在 60 秒内收到的数据不足 64 KiB，已断开");
  EXPECT_EQ(StallText(1500, 1000), "下载停滞: 连接在 1500 毫秒内收到的数据不足 1000 字节，已断开");
}

TEST(HttpHeadTest, OnlyASurelyDirectMachineGoesDirect) {
  using A = AutoProxyAnswer;
  struct Case {
    ProxyFacts facts;
    bool direct;
  };
  for (const Case& c : std::vector<Case>{
           {{}, true},
           {{.defaultProxy = true}, false},
           {{.userProxy = true}, false},
           {{.userDetect = true, .answer = A::kDetectionFailed}, true},
           {{.userDetect = true, .answer = A::kDirect}, true},
           {{.userDetect = true, .answer = A::kProxy}, false},
           {{.userDetect = true, .answer = A::kError}, false},
           {{.userScript = true, .answer = A::kDirect}, true},
           {{.userScript = true, .answer = A::kProxy}, false},
           {{.userScript = true, .userDetect = true, .answer = A::kDetectionFailed}, false},
           {{.userScript = true, .answer = A::kError}, false},
           {{.defaultProxy = true, .userDetect = true, .answer = A::kDetectionFailed}, false},
       }) {
    EXPECT_EQ(GoesDirect(c.facts), c.direct) << c.facts.defaultProxy << c.facts.userProxy << c.facts.userScript
                                             << c.facts.userDetect << static_cast<int>(c.facts.answer);
  }
}

}  // namespace
}  // namespace pl::net
