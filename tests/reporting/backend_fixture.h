#pragma once
// The fixture of the reporting clients' tests: a private log, and the test's own session of the stand-in as the
// backend (through PL_BACKEND_ORIGIN, as a run would be pointed at it).

#include <string>
#include <vector>

#include "config/service_config.h"
#include "devserver_client.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::test {

inline const std::string kApi = "/reset/api/v1";

struct BackendTest : LoggedTest {
  // Requests to `path` below the API (a prefix when it ends in '*') get `status` and `body` instead.
  void Answer(const std::string& path, const std::string& method, int status, const std::string& body) {
    server.AddRule({.path = kApi + path, .method = method, .status = status, .body = body,
                    .contentType = "application/json"});
  }
  // The kinds of the reports the stand-in received, in order.
  std::vector<std::string> ReportKinds() const {
    std::vector<std::string> kinds;
    for (const DevServerReport& r : server.Reports()) kinds.push_back(r.kind);
    return kinds;
  }

  DevServerSession server;
  ScopedEnvironment backend{config::kBackendOriginVariable, server.origin};
};

// An origin where nothing listens any more: requests fail before an answer.
inline std::wstring ClosedOrigin() {
  DevServerSession closed;
  return closed.origin;
}

}  // namespace pl::test
