#pragma once
// Tests' side of the backend stand-in (devserver/): a private session per test, i.e. a port of its own with its own
// fault rules, files and request log, so tests running in parallel never disturb each other.

#include <cstdint>
#include <optional>
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
  std::string location;      // with `status`: a Location header (for redirects)
  int delayMs = 0;           // wait this long before answering
  int64_t cutAfter = -1;     // send the announced length but only this many body bytes, then close
  bool drop = false;         // reset the connection without any answer
  bool ignoreRange = false;  // the whole file with 200 even when a range was asked
  std::string range;         // non-empty: matches only requests with exactly this Range header ("bytes=0-99")
  bool chunked = false;      // a file's body in chunked encoding, without Content-Length (`cutAfter` still cuts)
  int64_t stallAfter = -1;   // a file's body: this many bytes, then the connection stays open and silent
  int trickleMs = 0;         // with `stallAfter`: not silent, the rest comes one byte every this many ms
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

// One request to a reporting or diagnosis endpoint as the stand-in received and answered it (devserver.py's
// header explains the report store).
struct DevServerReport {
  std::string kind;  // "create", "device", "stage_event", "error", "finish", "diagnosis_queue", "diagnosis_poll",
                     // "round_result", "cancel"
  std::string method;
  std::string path;                // with the query string
  std::string sessionId;           // empty when the request named none or its create failed
  int64_t requestId = -1;          // -1 when none
  std::optional<int64_t> round;    // a result's round number, or the round a poll answer offered
  int status = 0;                  // HTTP status answered; 0 when a rule dropped the connection
  bool byRule = false;             // a fault rule answered instead of the endpoint
  std::string body;                // the exact bytes received
  std::string json;                // `body` parsed and dumped compactly with sorted keys; empty when not JSON
  std::string answer;              // the body answered
  // A member of the body object as compact JSON ("3", "\"text\"", "null"); empty when absent or no object.
  std::string Member(std::string_view name) const;
  // A string member of the body object; empty when absent or not a string.
  std::string Text(std::string_view name) const;
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
  // The report store in arrival order; with `kind`, only reports of that kind.
  std::vector<DevServerReport> Reports(std::string_view kind = {}) const;
  void ClearReports();
  // Replaces this session's diagnosis script (JSON text, format at the top of devserver.py).
  void SetDiagnosisScript(const std::string& json);

  std::string token;
  std::wstring origin;  // "http://127.0.0.1:<port>"
};

// The stand-in's main port from PL_DEVSERVER_URL (set by the CTest fixture); empty when unset.
std::wstring DevServerUrl();
// The bytes of a Base64 text (standard alphabet); empty when it is empty or not Base64.
std::string DecodeBase64(const std::string& text);
// What "/gen/<size>" serves at [offset, offset + length): byte i is i % 251.
std::string GeneratedBytes(uint64_t offset, size_t length);
// The service key the stand-in expects in "X-API-Key".
inline constexpr char kDevServerApiKey[] = "7a3d1c9e5b2f48a06d4c8e1b3f5a7092c4e6b8d0a2f41e3c";

}  // namespace pl::test
