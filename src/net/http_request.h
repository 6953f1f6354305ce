#pragma once
// The opening steps every request and download share: URL splitting, session, connection and request handles.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_internet.h"
#include "net/http.h"

namespace pl::net {

extern const wchar_t kUserAgent[];

struct UrlParts {
  INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTP;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // with the query string, which reaches the server unchanged
};

// False when WinHTTP cannot split the URL or a part overflows its buffer (host 256, path 2048 units).
bool SplitUrl(const std::wstring& url, UrlParts* parts);

// Declared in release order: the request closes first, the session last.
struct OpenedRequest {
  base::UniqueInternet session;
  base::UniqueInternet connection;
  base::UniqueInternet request;
  DWORD openFlags = 0;  // as passed to WinHttpOpenRequest: WINHTTP_FLAG_SECURE exactly for HTTPS
  std::wstring path;    // the request path, for further requests on the same connection
};

// Splits the URL, opens the session (with the request time-outs when `withTimeouts`), connects and opens the
// request. On failure `error` (when given) gets "URL 解析失败", "WinHttpOpen 失败", "WinHttpConnect 失败" or
// "WinHttpOpenRequest 失败".
bool OpenRequest(const std::wstring& verb, const std::wstring& url, bool withTimeouts, OpenedRequest* opened,
                 std::string* error);
// Closes the request of `opened` and opens another on the same session and connection, so that WinHTTP may send
// it over the connection the last one left idle. Fails with "WinHttpOpenRequest 失败".
bool OpenNextRequest(const std::wstring& verb, OpenedRequest* opened, std::string* error);

// The connection of this request is closed after it, never handed to another request: for responses that may end
// early or be cut off on purpose.
void DisableKeepAlive(HINTERNET request);
// A response header as text; false when absent.
bool QueryHeaderText(HINTERNET request, DWORD query, std::wstring* text);

// Each header as its own "name: value" line, in list order.
void AddRequestHeaders(HINTERNET request, const std::vector<HttpHeader>& headers);

// The status code; 0 when it cannot be read.
int32_t QueryStatusCode(HINTERNET request);

// Content-Length read as text: WinHTTP's number form stops at 32 bits. False when absent or not a number.
bool QueryContentLength(HINTERNET request, uint64_t* length);
// Decimal digits only, no sign, within 64 bits.
bool ParseContentLength(std::wstring_view text, uint64_t* length);

}  // namespace pl::net
