#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/direct_http.h"

#include <winhttp.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/text.h"
#include "base/unique_internet.h"
#include "net/http_request.h"

namespace pl::net {
namespace {

constexpr size_t kHeadRead = 64 * 1024;

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

bool PrintableAscii(std::wstring_view text) {
  return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c > L' ' && c < 0x7F; });
}

struct GlobalText {  // a string WinHTTP's proxy queries hand over
  LPWSTR text = nullptr;
  ~GlobalText() {
    if (text) GlobalFree(text);
  }
  bool present() const { return text && *text; }
};

AutoProxyAnswer AskAutoProxy(const std::wstring& url, const wchar_t* script, bool detect) {
  base::UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return AutoProxyAnswer::kError;
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (script) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script;
  }
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
    return GetLastError() == ERROR_WINHTTP_AUTODETECTION_FAILED ? AutoProxyAnswer::kDetectionFailed
                                                                 : AutoProxyAnswer::kError;
  }
  GlobalText proxy{info.lpszProxy}, bypass{info.lpszProxyBypass};
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy.present() ? AutoProxyAnswer::kProxy
                                                                                 : AutoProxyAnswer::kDirect;
}

std::string WsaText(const char* what, int code) { return std::string(what) + ": " + std::to_string(code); }

bool Connect(const DirectTarget& target, uint32_t timeoutMs, UniqueSocket* socket, std::string* error) {
  if (!StartWinsock()) {
    SetError(error, "WSAStartup 失败");
    return false;
  }
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (const int code = GetAddrInfoW(target.hostName.c_str(), target.port.c_str(), &hints, &found); code != 0) {
    SetError(error, WsaText("解析服务器地址失败", code));
    return false;
  }
  int code = 0;
  for (const ADDRINFOW* at = found; at; at = at->ai_next) {
    UniqueSocket candidate(::socket(at->ai_family, at->ai_socktype, at->ai_protocol));
    if (!candidate) {
      code = WSAGetLastError();
      continue;
    }
    const DWORD timeout = timeoutMs;
    setsockopt(candidate.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(candidate.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (connect(candidate.get(), at->ai_addr, static_cast<int>(at->ai_addrlen)) == 0) {
      *socket = std::move(candidate);
      FreeAddrInfoW(found);
      return true;
    }
    code = WSAGetLastError();
  }
  FreeAddrInfoW(found);
  SetError(error, WsaText("连接服务器失败", code));
  return false;
}

bool SendAll(SOCKET socket, const std::string& text, std::string* error) {
  size_t sent = 0;
  while (sent < text.size()) {
    const int n = send(socket, text.data() + sent, static_cast<int>(text.size() - sent), 0);
    if (n <= 0) {
      SetError(error, WsaText("发送请求失败", WSAGetLastError()));
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

enum class HeadRead { kDone, kClosedAtOnce, kFailed };

// Reads until the head is complete; what follows it stays in `conn->pending`.
HeadRead ReadHead(DirectConnection* conn, uint32_t withinMs, ResponseHead* head, std::string* error) {
  std::string data;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    // A head is far smaller than what a connection must move in a stall window: one still coming after it trickles.
    if (withinMs != 0 && GetTickCount64() - start >= withinMs) {
      SetError(error, "响应头迟迟没有收全（" + std::to_string(withinMs) + " 毫秒）");
      return HeadRead::kFailed;
    }
    const size_t length = ResponseHeadLength(data);
    if (length == kHeadTooLong) {
      SetError(error, "响应头过长");
      return HeadRead::kFailed;
    }
    if (length > 0) {
      if (!ParseResponseHead(std::string_view(data).substr(0, length), head)) {
        SetError(error, "响应头无效");
        return HeadRead::kFailed;
      }
      conn->pending = data.substr(length);
      return HeadRead::kDone;
    }
    const size_t at = data.size();
    data.resize(at + kHeadRead);
    const int n = recv(conn->socket.get(), data.data() + at, static_cast<int>(kHeadRead), 0);
    if (n <= 0) {
      const int code = n == 0 ? 0 : WSAGetLastError();
      SetError(error, n == 0 ? std::string("服务器在响应头之前关闭了连接") : WsaText("接收响应失败", code));
      const bool atOnce = at == 0 && (n == 0 || code == WSAECONNRESET || code == WSAECONNABORTED);
      return atOnce ? HeadRead::kClosedAtOnce : HeadRead::kFailed;
    }
    data.resize(at + static_cast<size_t>(n));
  }
}

// The next received bytes into `conn->pending`: false at the connection's end or on an error (`error`).
bool ReceiveMore(DirectConnection* conn, std::string* error) {
  const size_t at = conn->pending.size();
  conn->pending.resize(at + kHeadRead);
  const int n = recv(conn->socket.get(), conn->pending.data() + at, static_cast<int>(kHeadRead), 0);
  conn->pending.resize(at + static_cast<size_t>(std::max(n, 0)));
  if (n > 0) return true;
  conn->keepAlive = false;
  if (n == 0) {
    // The framing says where the body ends: a connection that closes before is a body cut off.
    SetError(error, "下载中断: 分块传输的响应在最后一个分块之前结束");
  } else {
    const int code = WSAGetLastError();
    SetError(error, code == WSAETIMEDOUT ? std::string("接收数据超时") : WsaText("接收数据失败", code));
  }
  return false;
}

int64_t ReadChunked(DirectConnection* conn, char* buffer, size_t size, std::string* error) {
  size = std::min<size_t>(size, INT_MAX);
  for (;;) {
    size_t produced = 0;
    const size_t used = DecodeChunked(&conn->decoder, conn->pending, buffer, size, &produced);
    conn->pending.erase(0, used);
    // Bytes decoded before a fault are handed out first; the fault shows at the next read.
    if (produced > 0 || size == 0 || conn->decoder.state == ChunkedDecoder::State::kDone) {
      return static_cast<int64_t>(produced);
    }
    if (conn->decoder.state == ChunkedDecoder::State::kBad) {
      SetError(error, "分块传输的格式无效");
      conn->keepAlive = false;
      return -1;
    }
    if (!ReceiveMore(conn, error)) return -1;
  }
}

}  // namespace

void SocketTraits::Close(Type socket) noexcept { closesocket(static_cast<SOCKET>(socket)); }

bool DirectTargetOf(const std::wstring& url, DirectTarget* target) {
  UrlParts parts;
  if (!SplitUrl(url, &parts) || parts.scheme != INTERNET_SCHEME_HTTP || !PrintableAscii(parts.host) ||
      !PrintableAscii(parts.path) || parts.path.empty() || parts.path.front() != L'/') {
    return false;
  }
  target->hostName = parts.host;
  target->port = std::to_wstring(parts.port);
  // A bare IPv6 address is bracketed in the Host header, as in the URL.
  const std::wstring host = parts.host.find(L':') != std::wstring::npos ? L"[" + parts.host + L"]" : parts.host;
  target->host = base::WideToUtf8(host) + (parts.port == 80 ? "" : ":" + std::to_string(parts.port));
  target->path = base::WideToUtf8(parts.path);
  return true;
}

bool MachineGoesDirect(const std::wstring& url) {
  ProxyFacts facts;
  WINHTTP_PROXY_INFO defaults = {};
  if (!WinHttpGetDefaultProxyConfiguration(&defaults)) return false;
  {
    GlobalText proxy{defaults.lpszProxy}, bypass{defaults.lpszProxyBypass};
    facts.defaultProxy = defaults.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy.present();
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&user)) return false;
  GlobalText script{user.lpszAutoConfigUrl}, proxy{user.lpszProxy}, bypass{user.lpszProxyBypass};
  facts.userProxy = proxy.present();
  facts.userScript = script.present();
  facts.userDetect = user.fAutoDetect != FALSE;
  if (!facts.defaultProxy && !facts.userProxy && (facts.userScript || facts.userDetect)) {
    facts.answer = AskAutoProxy(url, facts.userScript ? script.text : nullptr, facts.userDetect);
  }
  return GoesDirect(facts);
}

bool DirectRequest(const DirectTarget& target, const std::string& request, uint32_t timeoutMs, uint32_t headWithinMs,
                   DirectConnection* conn, ResponseHead* head, std::string* error) {
  const bool reuse = conn->socket && conn->keepAlive && conn->bodyLeft == 0 && conn->pending.empty();
  if (!reuse) conn->socket.reset();
  for (int round = 0; round < 2; ++round) {
    const bool kept = round == 0 && reuse;
    if (!conn->socket && !Connect(target, timeoutMs, &conn->socket, error)) return false;
    // A kept connection the server has dropped meanwhile refuses the send or ends at once: one new one then.
    const HeadRead read = SendAll(conn->socket.get(), request, error) ? ReadHead(conn, headWithinMs, head, error)
                                                                       : HeadRead::kClosedAtOnce;
    if (read == HeadRead::kDone) {
      conn->keepAlive = head->keepAlive && head->hasLength && !head->encoded;
      conn->bodyLeft = head->hasLength ? head->length : UINT64_MAX;
      conn->chunked = head->chunked;
      conn->decoder = ChunkedDecoder();
      if (conn->pending.size() > conn->bodyLeft) {  // more than the body: the connection cannot be trusted
        conn->pending.resize(static_cast<size_t>(conn->bodyLeft));
        conn->keepAlive = false;
      }
      return true;
    }
    conn->socket.reset();
    conn->pending.clear();
    if (read == HeadRead::kFailed || !kept) return false;
  }
  return false;
}

int64_t DirectRead(DirectConnection* conn, char* buffer, size_t size, std::string* error) {
  if (conn->chunked) return ReadChunked(conn, buffer, size, error);
  size = static_cast<size_t>(std::min<uint64_t>({size, conn->bodyLeft, INT_MAX}));
  if (size == 0) return 0;
  size_t got = 0;
  if (!conn->pending.empty()) {
    got = std::min(size, conn->pending.size());
    std::memcpy(buffer, conn->pending.data(), got);
    conn->pending.erase(0, got);
  } else {
    const int n = recv(conn->socket.get(), buffer, static_cast<int>(size), 0);
    if (n < 0) {
      const int code = WSAGetLastError();
      SetError(error, code == WSAETIMEDOUT ? std::string("接收数据超时") : WsaText("接收数据失败", code));
      conn->keepAlive = false;
      return -1;
    }
    if (n == 0) conn->keepAlive = false;
    got = static_cast<size_t>(n);
  }
  if (conn->bodyLeft != UINT64_MAX) conn->bodyLeft -= got;
  return static_cast<int64_t>(got);
}

}  // namespace pl::net
