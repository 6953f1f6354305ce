#include "net/http.h"

#include <algorithm>

#include "net/http_request.h"

namespace pl::net {

HttpResponse HttpSend(const std::wstring& verb, const std::wstring& url, const std::optional<std::string>& body,
                      const std::vector<HttpHeader>& headers) {
  HttpResponse response;
  OpenedRequest opened;
  if (!OpenRequest(verb, url, true, &opened, &response.error)) return response;
  HINTERNET request = opened.request.get();
  AddRequestHeaders(request, headers);

  BOOL sent;
  if (body) {
    WinHttpAddRequestHeaders(request, L"Content-Type: application/json", static_cast<DWORD>(-1),
                             WINHTTP_ADDREQ_FLAG_ADD);
    const DWORD size = static_cast<DWORD>(body->size());
    sent = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              size ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA, size, size, 0);
  } else {
    sent = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  }
  if (!sent) {
    response.error = "WinHttpSendRequest 失败, GetLastError=" + std::to_string(GetLastError());
    return response;
  }
  if (!WinHttpReceiveResponse(request, nullptr)) {
    response.error = "WinHttpReceiveResponse 失败, GetLastError=" + std::to_string(GetLastError());
    return response;
  }
  response.status = QueryStatusCode(request);

  // A read that fails part-way ends the body as received: callers treat it as the answer.
  std::vector<char> buffer(8192);
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
    available = std::min<DWORD>(available, kMaxResponseBody + 1 - static_cast<DWORD>(response.body.size()));
    if (available > buffer.size()) buffer.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), available, &read) || read == 0) break;
    response.body.append(buffer.data(), read);
    // Backend answers are small documents; a larger one is not read into memory.
    if (response.body.size() > kMaxResponseBody) {
      response.body.clear();
      response.error = "响应内容超过 " + std::to_string(kMaxResponseBody >> 20) + " MiB 上限，已放弃";
      return response;
    }
  }
  response.ok = true;
  return response;
}

HttpResponse HttpGet(const std::wstring& url, const std::vector<HttpHeader>& headers) {
  return HttpSend(L"GET", url, std::nullopt, headers);
}

HttpResponse HttpPostJson(const std::wstring& url, const std::string& json, const std::vector<HttpHeader>& headers) {
  return HttpSend(L"POST", url, json, headers);
}

}  // namespace pl::net
