// The backend's catalog document. The only file of the subsystem that sees the JSON library.
#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>

#include "config/service_config.h"

namespace pl::config {
namespace {

using nlohmann::json;

std::string StringOr(const json& object, const char* name) { return object.value(name, std::string()); }

// Present and not null: the value, which must then have the wanted type; otherwise the fallback.
template <typename T>
T OptionalOr(const json& object, const char* name, T fallback) {
  if (!object.contains(name) || object.at(name).is_null()) return fallback;
  return object.at(name).get<T>();
}

// An image's number in its file: a whole number an int holds. The library would cast any number to int, which is
// undefined for a float past the range, so such a value is refused here instead.
int ImageIndexOr(const json& item, int fallback) {
  if (!item.is_object() || !item.contains("imageIndex") || !item.at("imageIndex").is_number()) {
    return item.value("imageIndex", fallback);  // absent, or the library's own error for another type
  }
  const json& value = item.at("imageIndex");
  const double number = value.get<double>();
  if (number != std::floor(number) || number < INT_MIN || number > INT_MAX) {
    throw json::out_of_range::create(406, "imageIndex 不是可用的映像序号: " + value.dump(), &value);
  }
  return static_cast<int>(number);
}

void ReadCatalog(const json& root, ServiceConfig* config) {
  // get<array_t> insists on a list, with the library's own wording when it is not one.
  for (const json& item : root.at("osImages").get<json::array_t>()) {
    OsImageEntry entry;
    entry.key = StringOr(item, "key");
    entry.displayName = StringOr(item, "displayName");
    entry.url = StringOr(item, "url");
    entry.md5 = StringOr(item, "md5");
    entry.imageIndex = ImageIndexOr(item, 1);
    entry.version = OptionalOr<std::string>(item, "version", "");
    entry.updateDate = OptionalOr<std::string>(item, "updateDate", "");
    entry.sizeGb = OptionalOr<double>(item, "sizeGb", 0.0);
    config->osImages.push_back(std::move(entry));
  }
  for (const json& item : root.at("installItems").get<json::array_t>()) {
    InstallItem entry;
    entry.key = StringOr(item, "key");
    entry.fileName = StringOr(item, "fileName");
    entry.params = StringOr(item, "params");
    entry.url = StringOr(item, "url");
    entry.md5 = StringOr(item, "md5");
    entry.displayName = OptionalOr<std::string>(item, "displayName", "");
    config->installItems.push_back(std::move(entry));
  }
  if (root.is_object() && root.contains("exResources") && root.at("exResources").is_object()) {
    const json& resources = root.at("exResources");
    const std::pair<const char*, ResourceRef*> slots[] = {
        {"pe", &config->exResources.pe}, {"drv", &config->exResources.drv}, {"sdi", &config->exResources.sdi}};
    for (const auto& [name, ref] : slots) {
      if (!resources.contains(name)) continue;
      ref->url = StringOr(resources.at(name), "url");
      ref->md5 = StringOr(resources.at(name), "md5");
    }
  }
}

}  // namespace

ServiceConfig ServiceConfigFromResponse(const net::HttpResponse& response) {
  ServiceConfig config;
  if (!response.ok) {
    config.error = "网络请求失败: " + response.error;
    return config;
  }
  if (response.status != 200) {
    config.error = "HTTP " + std::to_string(response.status) + ": " + response.body;
    return config;
  }
  json root;
  try {
    root = json::parse(response.body);
  } catch (const json::exception& e) {
    config.error = std::string("响应不是合法 JSON: ") + e.what();
    return config;
  }
  try {
    ReadCatalog(root, &config);
  } catch (const json::exception& e) {
    ServiceConfig failed;
    failed.error = std::string("响应字段格式不对: ") + e.what();
    return failed;
  }
  if (config.osImages.empty()) {
    config.error = "远程配置里 osImages 是空的";
    return config;
  }
  config.ok = true;
  return config;
}

}  // namespace pl::config
