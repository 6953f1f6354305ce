#include "net/http_request.h"

#include "base/text.h"
#include "net/http_head.h"

namespace pl::net {

const wchar_t kUserAgent[] = L"" PL_NET_USER_AGENT;

namespace {

void SetError(std::string* error, const char* text) {
  if (error) *error = text;
}

}  // namespace

bool SplitUrl(const std::wstring& url, UrlParts* parts) {
  wchar_t host[256];
  wchar_t path[2048];
  wchar_t extra[2048];
  URL_COMPONENTS components = {};
  components.dwStructSize = sizeof components;
  components.lpszHostName = host;
  components.dwHostNameLength = 256;
  components.lpszUrlPath = path;
  components.dwUrlPathLength = 2048;
  components.lpszExtraInfo = extra;
  components.dwExtraInfoLength = 2048;
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components)) return false;
  parts->scheme = components.nScheme;
  parts->host.assign(host, components.dwHostNameLength);
  parts->port = components.nPort;
  // Download links may carry a signature in the query; asked for separately, it is put back on the path.
  parts->path.assign(path, components.dwUrlPathLength);
  parts->path.append(extra, components.dwExtraInfoLength);
  return !parts->host.empty();
}

bool OpenRequest(const std::wstring& verb, const std::wstring& url, bool withTimeouts, OpenedRequest* opened,
                 std::string* error) {
  UrlParts parts;
  if (!SplitUrl(url, &parts)) {
    SetError(error, "URL 解析失败");
    return false;
  }
  opened->session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
  if (!opened->session) {
    SetError(error, "WinHttpOpen 失败");
    return false;
  }
  if (withTimeouts) WinHttpSetTimeouts(opened->session.get(), 5000, 5000, 8000, 8000);
  opened->connection.reset(WinHttpConnect(opened->session.get(), parts.host.c_str(), parts.port, 0));
  if (!opened->connection) {
    SetError(error, "WinHttpConnect 失败");
    return false;
  }
  opened->openFlags = parts.scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  opened->path = parts.path;
  return OpenNextRequest(verb, opened, error);
}

bool OpenNextRequest(const std::wstring& verb, OpenedRequest* opened, std::string* error) {
  opened->request.reset();
  opened->request.reset(WinHttpOpenRequest(opened->connection.get(), verb.c_str(), opened->path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, opened->openFlags));
  if (!opened->request) {
    SetError(error, "WinHttpOpenRequest 失败");
    return false;
  }
  return true;
}

void DisableKeepAlive(HINTERNET request) {
  DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
}

bool QueryHeaderText(HINTERNET request, DWORD query, std::wstring* text) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  text->assign(buffer, size / sizeof(wchar_t));
  return true;
}

void AddRequestHeaders(HINTERNET request, const std::vector<HttpHeader>& headers) {
  for (const HttpHeader& header : headers) {
    const std::wstring line = header.name + L": " + header.value;
    WinHttpAddRequestHeaders(request, line.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
  }
}

int32_t QueryStatusCode(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return static_cast<int32_t>(status);
}

bool QueryContentLength(HINTERNET request, uint64_t* length) {
  std::wstring text;
  return QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, &text) && ParseContentLength(text, length);
}

bool ParseContentLength(std::wstring_view text, uint64_t* length) {
  text = base::TrimBlanks(text);
  if (text.empty()) return false;
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - L'0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *length = value;
  return true;
}

}  // namespace pl::net
