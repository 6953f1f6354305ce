#pragma once
// What the session and diagnosis clients share: how a body is serialised and how a request reaches the backend.
// Internal to the reporting library.

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

#include "net/http.h"

namespace pl::reporting {

// Compact, keys in ascending byte order, non-ASCII written as is, malformed UTF-8 replaced by U+FFFD (a text
// from the machine must never cost the report).
std::string SerializeBody(const nlohmann::json& body);

// POST of `body` (JSON text) or GET to the backend URL of `path`, with the service key.
net::HttpResponse PostToBackend(std::string_view path, const std::string& body);
net::HttpResponse GetFromBackend(std::string_view path);

// Why a request failed, for warnings: "HTTP " + status when an answer came, else the transport's error text.
std::string FailureCause(const net::HttpResponse& response);

}  // namespace pl::reporting
