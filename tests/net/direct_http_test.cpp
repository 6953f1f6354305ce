#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/direct_http.h"

#include <gtest/gtest.h>

#include <thread>

#include "net/http_head.h"

namespace pl::net {
namespace {

// A loopback listener answering from a script: per connection it accepts, the answers to its requests in order.
struct Answer {
  std::string bytes;
  bool closeAfter = false;  // close the connection after sending
  bool silent = false;      // send nothing; wait for the client to go
};

struct ScriptedServer {
  explicit ScriptedServer(std::vector<std::vector<Answer>> script) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(listener.get(), 4), 0);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    thread = std::thread([this, script = std::move(script)] { Serve(script); });
  }
  ~ScriptedServer() {
    Stop();
    WSACleanup();
  }
  // Waits for the script to end; afterwards `requests` and `accepted` may be read.
  void Stop() {
    listener.reset();
    if (thread.joinable()) thread.join();
  }

  void Serve(const std::vector<std::vector<Answer>>& script) {
    for (const std::vector<Answer>& answers : script) {
      UniqueSocket client(accept(listener.get(), nullptr, nullptr));
      if (!client) return;
      ++accepted;
      bool open = true;
      for (size_t i = 0; open && i < answers.size(); ++i) {
        std::string request;
        char byte;
        while (request.find("\r\n\r\n") == std::string::npos && recv(client.get(), &byte, 1, 0) == 1) request += byte;
        requests.push_back(request);
        if (!answers[i].silent) send(client.get(), answers[i].bytes.data(), static_cast<int>(answers[i].bytes.size()), 0);
        open = !answers[i].closeAfter;
      }
      // The client decides when a kept connection ends.
      char rest[256];
      while (open && recv(client.get(), rest, sizeof rest, 0) > 0) {
      }
    }
  }

  UniqueSocket listener;
  uint16_t port = 0;
  std::thread thread;
  std::vector<std::string> requests;  // read only after the client is done
  int accepted = 0;
};

std::string Partial(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-" + std::to_string(body.size() - 1) + "/100\r\n" +
         extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// "<status> <body>" or "error <text>".
std::string Fetch(const DirectTarget& target, ByteExtent piece, uint32_t timeoutMs, DirectConnection* conn) {
  ResponseHead head;
  std::string error;
  if (!DirectRequest(target, piece, timeoutMs, conn, &head, &error)) return "error " + error;
  std::string body;
  char buffer[4];  // small, so that held-back bytes and the socket both serve parts
  for (int64_t got; (got = DirectRead(conn, buffer, sizeof buffer, &error)) > 0;) body.append(buffer, got);
  return std::to_string(head.status) + " " + body;
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
  };
  const std::string range = "Content-Range: bytes 4294967296-5368709119/5368709120\r\n";
  const std::vector<Case> cases = {
      {"HTTP/1.1 206 Partial Content\r\n" + range + "Content-Length: 1073741824\r\n\r\n", true, 206, true,
       1073741824, true, false, true},
      {"HTTP/1.1 206\r\ncontent-length:  7 \r\ncontent-range: bytes 0-6/7\r\nConnection: Close\r\n\r\n", true, 206,
       true, 7, true, false, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n", true, 200, true, 7, false, false, false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n", true, 200, false, 0, false, false, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true, 200, false, 0, false, true, true},
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
    EXPECT_EQ(std::make_tuple(head.status, head.hasLength, head.length, head.hasRange, head.encoded, head.keepAlive),
              std::make_tuple(c.status, c.hasLength, c.length, c.hasRange, c.encoded, c.keepAlive))
        << c.head;
  }
  ResponseHead head;
  ASSERT_TRUE(ParseResponseHead("HTTP/1.1 206 OK\r\n" + range + "\r\n", &head));
  EXPECT_EQ(std::make_tuple(head.rangeFirst, head.rangeLast, head.rangeTotal, head.contentRange),
            std::make_tuple(4294967296ull, 5368709119ull, 5368709120ull,
                            std::string("bytes 4294967296-5368709119/5368709120")));
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
