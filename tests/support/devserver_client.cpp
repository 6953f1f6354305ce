#include "devserver_client.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace pl::test {
namespace {

using nlohmann::json;

std::wstring Widen(std::string_view text) {
  std::wstring out;
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  out.resize(n);
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  out.resize(n);
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// One request to the stand-in's control API, independent of the code under test. Returns the status, 0 on failure.
int Control(const wchar_t* verb, const std::string& path, const std::string& body, std::string* answer) {
  answer->clear();
  const std::wstring url = DevServerUrl() + Widen(path);
  wchar_t host[256];
  wchar_t urlPath[2048];
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = urlPath;
  parts.dwUrlPathLength = 2048;
  parts.dwExtraInfoLength = 1;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return 0;
  HINTERNET session = WinHttpOpen(L"pl-test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
  HINTERNET connection = session ? WinHttpConnect(session, std::wstring(host, parts.dwHostNameLength).c_str(),
                                                  parts.nPort, 0)
                                 : nullptr;
  const std::wstring fullPath = std::wstring(urlPath, parts.dwUrlPathLength) +
                                std::wstring(parts.lpszExtraInfo ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
  HINTERNET request = connection ? WinHttpOpenRequest(connection, verb, fullPath.c_str(), nullptr, nullptr, nullptr, 0)
                                 : nullptr;
  DWORD status = 0;
  if (request &&
      WinHttpSendRequest(request, nullptr, 0, body.empty() ? nullptr : const_cast<char*>(body.data()),
                         static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) &&
      WinHttpReceiveResponse(request, nullptr)) {
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                        nullptr);
    char block[16384];
    DWORD got = 0;
    while (WinHttpReadData(request, block, sizeof block, &got) && got > 0) answer->append(block, got);
  }
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  return static_cast<int>(status);
}

// The body parsed, or a discarded value when it is not JSON.
json ParseBody(const std::string& body) { return json::parse(body, nullptr, false); }

}  // namespace

std::string DevServerReport::Member(std::string_view name) const {
  const nlohmann::json value = ParseBody(body);
  const std::string key(name);
  return value.is_object() && value.contains(key) ? value[key].dump() : std::string();
}

std::string DevServerReport::Text(std::string_view name) const {
  const nlohmann::json value = ParseBody(body);
  const std::string key(name);
  return value.is_object() && value.contains(key) && value[key].is_string() ? value[key].get<std::string>()
                                                                              : std::string();
}

std::string DevServerRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualNoCase(key, name)) return value;
  }
  return {};
}

size_t DevServerRequest::HeaderCount(std::string_view name) const {
  size_t count = 0;
  for (const auto& header : headers) count += EqualNoCase(header.first, name) ? 1 : 0;
  return count;
}

std::string DecodeBase64(const std::string& text) {
  DWORD size = 0;
  if (text.empty() || !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                            nullptr, &size, nullptr, nullptr)) {
    return {};
  }
  std::string bytes(size, '\0');
  CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                       reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr);
  bytes.resize(size);
  return bytes;
}

std::wstring DevServerUrl() {
  wchar_t buffer[512];
  const DWORD length = GetEnvironmentVariableW(L"PL_DEVSERVER_URL", buffer, 512);
  return length > 0 && length < 512 ? std::wstring(buffer, length) : std::wstring();
}

std::string GeneratedBytes(uint64_t offset, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((offset + i) % 251);
  return bytes;
}

DevServerSession::DevServerSession() {
  std::string answer;
  if (DevServerUrl().empty() || Control(L"POST", "/_control/sessions", "", &answer) != 200) {
    ADD_FAILURE() << "the backend stand-in is not reachable (PL_DEVSERVER_URL=" << Narrow(DevServerUrl()) << ")";
    return;
  }
  const json reply = json::parse(answer);
  token = reply.at("token").get<std::string>();
  origin = Widen(reply.at("origin").get<std::string>());
}

DevServerSession::~DevServerSession() {
  std::string answer;
  if (!token.empty()) Control(L"DELETE", "/_control/sessions/" + token, "", &answer);
}

std::wstring DevServerSession::Url(std::string_view path) const { return origin + Widen(path); }

void DevServerSession::AddRule(const DevServerRule& rule) {
  json value = {{"path", rule.path}, {"times", rule.times}, {"delayMs", rule.delayMs}, {"drop", rule.drop},
                {"ignoreRange", rule.ignoreRange}};
  if (!rule.method.empty()) value["method"] = rule.method;
  if (rule.status != 0) {
    value["status"] = rule.status;
    value["body"] = rule.body;
    value["headers"] = {{"Content-Type", rule.contentType.empty() ? "text/plain; charset=utf-8" : rule.contentType}};
    if (!rule.location.empty()) value["headers"]["Location"] = rule.location;
  }
  if (rule.cutAfter >= 0) value["cutAfter"] = rule.cutAfter;
  if (!rule.range.empty()) value["range"] = rule.range;
  if (rule.chunked) value["chunked"] = true;
  if (rule.stallAfter >= 0) value["stallAfter"] = rule.stallAfter;
  if (rule.trickleMs > 0) value["trickleMs"] = rule.trickleMs;
  std::string answer;
  EXPECT_EQ(Control(L"POST", "/_control/sessions/" + token + "/rules", value.dump(), &answer), 200) << answer;
}

void DevServerSession::ClearRules() {
  std::string answer;
  EXPECT_EQ(Control(L"DELETE", "/_control/sessions/" + token + "/rules", "", &answer), 200) << answer;
}

std::string DevServerSession::PutFile(std::string_view name, const std::string& bytes) {
  std::string answer;
  const int status = Control(L"PUT", "/_control/sessions/" + token + "/files/" + std::string(name), bytes, &answer);
  EXPECT_EQ(status, 200) << answer;
  return status == 200 ? json::parse(answer).at("md5").get<std::string>() : std::string();
}

std::vector<DevServerRequest> DevServerSession::Requests() const {
  std::vector<DevServerRequest> requests;
  std::string answer;
  if (Control(L"GET", "/_control/sessions/" + token + "/requests", "", &answer) != 200) {
    ADD_FAILURE() << "cannot read the stand-in's request log: " << answer;
    return requests;
  }
  for (const json& item : json::parse(answer)) {
    DevServerRequest request;
    request.method = item.at("method").get<std::string>();
    request.path = item.at("path").get<std::string>();
    request.body = item.at("body").get<std::string>();
    for (const json& header : item.at("headers")) {
      request.headers.emplace_back(header.at(0).get<std::string>(), header.at(1).get<std::string>());
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

std::vector<DevServerReport> DevServerSession::Reports(std::string_view kind) const {
  std::vector<DevServerReport> reports;
  std::string answer;
  const std::string query = kind.empty() ? std::string() : "?kind=" + std::string(kind);
  if (Control(L"GET", "/_control/sessions/" + token + "/reports" + query, "", &answer) != 200) {
    ADD_FAILURE() << "cannot read the stand-in's report store: " << answer;
    return reports;
  }
  for (const json& item : json::parse(answer)) {
    DevServerReport report;
    report.kind = item.at("kind").get<std::string>();
    report.method = item.at("method").get<std::string>();
    report.path = item.at("path").get<std::string>();
    report.sessionId = item.at("sessionId").is_string() ? item["sessionId"].get<std::string>() : std::string();
    report.requestId = item.at("requestId").is_number() ? item["requestId"].get<int64_t>() : -1;
    if (item.at("round").is_number()) report.round = item["round"].get<int64_t>();
    report.status = item.at("status").get<int>();
    report.byRule = item.at("rule").get<bool>();
    report.body = DecodeBase64(item.at("bodyBase64").get<std::string>());
    const json parsed = ParseBody(report.body);
    if (!parsed.is_discarded()) report.json = parsed.dump(-1, ' ', false, json::error_handler_t::replace);
    report.answer = item.at("answer").get<std::string>();
    reports.push_back(std::move(report));
  }
  return reports;
}

void DevServerSession::ClearReports() {
  std::string answer;
  EXPECT_EQ(Control(L"DELETE", "/_control/sessions/" + token + "/reports", "", &answer), 200) << answer;
}

void DevServerSession::SetDiagnosisScript(const std::string& json) {
  std::string answer;
  EXPECT_EQ(Control(L"PUT", "/_control/sessions/" + token + "/diagnosis-script", json, &answer), 200) << answer;
}

}  // namespace pl::test
