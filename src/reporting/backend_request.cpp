#include "reporting/backend_request.h"

#include <nlohmann/json.hpp>

#include "config/service_config.h"

namespace pl::reporting {

std::string SerializeBody(const nlohmann::json& body) {
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

net::HttpResponse PostToBackend(std::string_view path, const std::string& body) {
  return net::HttpPostJson(config::BackendUrl(path), body, config::ApiKeyHeaders());
}

net::HttpResponse GetFromBackend(std::string_view path) {
  return net::HttpGet(config::BackendUrl(path), config::ApiKeyHeaders());
}

std::string FailureCause(const net::HttpResponse& response) {
  return response.ok ? "HTTP " + std::to_string(response.status) : response.error;
}

}  // namespace pl::reporting
