#pragma once
// One synchronous HTTP request per call: status and whole body as received. For small JSON documents; files go
// through the streaming download (download.h).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pl::net {

struct HttpHeader {
  std::wstring name;
  std::wstring value;

  bool operator==(const HttpHeader&) const = default;
};

struct HttpResponse {
  bool ok = false;     // a response arrived and its body was read as far as the server sent it
  int32_t status = 0;  // 0 when no status was received
  std::string body;    // bytes as sent by the server
  std::string error;   // UTF-8 reason when `ok` is false, empty otherwise

  bool operator==(const HttpResponse&) const = default;
};

// A body larger than this fails the request.
inline constexpr uint32_t kMaxResponseBody = 16u << 20;

// `verb` and `url` as given to WinHTTP; `body` present means a JSON body with "Content-Type: application/json".
// Headers are sent in list order. Only `ok` tells transport success: a 404 is `ok` with status 404. A body over
// kMaxResponseBody is a failure (`ok` false, `status` as received, no body).
HttpResponse HttpSend(const std::wstring& verb, const std::wstring& url, const std::optional<std::string>& body,
                      const std::vector<HttpHeader>& headers);
HttpResponse HttpGet(const std::wstring& url, const std::vector<HttpHeader>& headers);
HttpResponse HttpPostJson(const std::wstring& url, const std::string& json, const std::vector<HttpHeader>& headers);

}  // namespace pl::net
