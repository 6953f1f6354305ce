#pragma once
// Tests' side of the backend stand-in (devserver/): a private session per test, i.e. a port of its own with its own
// fault rules, files and request log, so tests running in parallel never disturb each other.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pl::test {

// How the session answers matching requests instead of its normal answer.
struct DevServerRule {
  std::string path = "*";    // exact path without query, or a prefix ending in '*'
  std::string method;        // empty = any
  int times = 0;             // answers this many requests, then later rules or the normal answer take over; 0 = all
  int status = 0;            // non-zero: answer with this status and `body`
  std::string body;          // UTF-8
  std::string contentType;   // with `status`; default "text/plain; charset=utf-8"
  int delayMs = 0;           // wait this long before answering
  int64_t cutAfter = -1;     // send the announced length but only this many body bytes, then close
  bool drop = false;         // reset the connection without any answer
  bool ignoreRange = false;  // the whole file with 200 even when a range was asked
};

struct DevServerRequest {
  std::string method;
  std::string path;  // with the query string
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  std::string body;
  // The first header of that name (any case); empty when absent.
  std::string Header(std::string_view name) const;
  size_t HeaderCount(std::string_view name) const;
};

struct DevServerSession {
  DevServerSession();  // a test failure when the stand-in cannot be reached
  ~DevServerSession();
  DevServerSession(const DevServerSession&) = delete;
  DevServerSession& operator=(const DevServerSession&) = delete;

  std::wstring Url(std::string_view path) const;  // origin + path
  void AddRule(const DevServerRule& rule);
  void ClearRules();
  // Served as "/files/<name>" by this session only. Returns the stand-in's MD5 of the bytes (lower-case hex).
  std::string PutFile(std::string_view name, const std::string& bytes);
  std::vector<DevServerRequest> Requests() const;

  std::string token;
  std::wstring origin;  // "http://127.0.0.1:<port>"
};

// The stand-in's main port from PL_DEVSERVER_URL (set by the CTest fixture); empty when unset.
std::wstring DevServerUrl();
// What "/gen/<size>" serves at [offset, offset + length): byte i is i % 251.
std::string GeneratedBytes(uint64_t offset, size_t length);
// The service key the stand-in expects in "X-API-Key".
inline constexpr char kDevServerApiKey[] = "7a3d1c9e5b2f48a06d4c8e1b3f5a7092c4e6b8d0a2f41e3c";

}  // namespace pl::test
