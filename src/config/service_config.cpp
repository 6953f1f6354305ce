#include "config/service_config.h"

#include <windows.h>

#include <cstdlib>

#include "base/system_paths.h"
#include "base/text.h"
#include "log/log.h"

// Set by the build (CMake option PL_ALLOW_BACKEND_OVERRIDE); a build that does not say reads nothing.
#ifndef PL_ALLOW_BACKEND_OVERRIDE
#define PL_ALLOW_BACKEND_OVERRIDE 0
#endif

namespace pl::config {
namespace {

// `prefix` in lower case.
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  return base::AsciiLower(text.substr(0, prefix.size())) == prefix;
}

// Piece `i` of a comma list, or empty when the list is shorter.
const std::string& Piece(const std::vector<std::string>& pieces, size_t i) {
  static const std::string empty;
  return i < pieces.size() ? pieces[i] : empty;
}

}  // namespace

std::wstring BackendOriginFrom(const std::wstring& overrideValue) {
  std::wstring_view value = overrideValue;
  if (!value.empty() && value.back() == L'/') value.remove_suffix(1);
  size_t schemeLength = 0;
  if (StartsWithNoCase(value, L"http://")) schemeLength = 7;
  if (StartsWithNoCase(value, L"https://")) schemeLength = 8;
  const std::wstring_view rest = value.substr(schemeLength);
  if (schemeLength == 0 || rest.empty() || rest.find_first_of(L"/?# \t") != std::wstring_view::npos) {
    return kBackendOrigin;
  }
  return std::wstring(value);
}

bool BackendOverrideAllowed() { return PL_ALLOW_BACKEND_OVERRIDE != 0; }

BackendOriginChoice ChooseBackendOrigin(const std::wstring& variableValue, bool overrideAllowed) {
  if (variableValue.empty()) return {kBackendOrigin, ""};
  if (!overrideAllowed) {
    return {kBackendOrigin, "此版本不读取环境变量 PL_BACKEND_ORIGIN，已忽略: " + base::WideToUtf8(variableValue)};
  }
  std::wstring origin = BackendOriginFrom(variableValue);
  if (origin != kBackendOrigin) return {std::move(origin), ""};
  return {kBackendOrigin, "环境变量 PL_BACKEND_ORIGIN 的值不是 http(s)://主机[:端口] 的形式，已忽略: " +
                              base::WideToUtf8(variableValue)};
}

std::wstring BackendUrl(std::string_view path) {
  const BackendOriginChoice choice =
      ChooseBackendOrigin(base::ReadEnvironmentVariable(kBackendOriginVariable), BackendOverrideAllowed());
  if (!choice.warning.empty()) log::LogWarn(choice.warning);
  return choice.origin + kBackendBasePath + base::Utf8ToWide(path);
}

std::vector<net::HttpHeader> ApiKeyHeaders() { return {{L"X-API-Key", kServiceApiKey}}; }

ServiceConfig FetchRemoteConfig() { return ServiceConfigFromResponse(net::HttpGet(BackendUrl("/config"), ApiKeyHeaders())); }

ServiceConfig ServiceConfigFromIni(const IniDocument& document) {
  ServiceConfig config;
  for (const IniPair& pair : GetIniPairs(document, "osimage")) {
    const std::vector<std::string> p = SplitCommaList(pair.second);
    OsImageEntry entry;
    entry.key = pair.first;
    entry.displayName = Piece(p, 0);
    entry.url = Piece(p, 1);
    if (p.size() > 2) entry.imageIndex = static_cast<int32_t>(std::strtol(p[2].c_str(), nullptr, 10));
    entry.md5 = Piece(p, 3);
    entry.version = Piece(p, 4);
    entry.updateDate = Piece(p, 5);
    if (p.size() > 6) entry.sizeGb = std::strtod(p[6].c_str(), nullptr);
    config.osImages.push_back(std::move(entry));
  }
  for (const IniPair& pair : GetIniPairs(document, "install")) {
    const std::vector<std::string> p = SplitCommaList(pair.second);
    config.installItems.push_back({pair.first, Piece(p, 0), Piece(p, 1), Piece(p, 2), Piece(p, 3), Piece(p, 4)});
  }
  const std::vector<std::string> pe = SplitCommaList(GetIniValue(document, "exlist", "pe"));
  const std::vector<std::string> tools = SplitCommaList(GetIniValue(document, "exlist", "tools"));
  const std::vector<std::string> sdi = SplitCommaList(GetIniValue(document, "exlist", "sdi"));
  if (pe.size() < 2 || tools.size() < 2 || sdi.size() < 2) {
    config.error = "[exlist] 缺少 pe、tools 或 sdi 条目";
    return config;
  }
  config.exResources.pe = {pe[0], pe[1]};
  config.exResources.drv = {tools[0], tools[1]};
  config.exResources.sdi = {sdi[0], sdi[1]};
  if (config.osImages.empty()) {
    config.error = "配置里没有系统镜像条目";
    return config;
  }
  config.ok = true;
  return config;
}

bool LoadLocalCatalog(const std::wstring& path, ServiceConfig* config) {
  IniDocument document;
  if (!LoadIniFile(path, &document)) {
    *config = ServiceConfig();
    config->error = "读取本地配置文件也失败了: " + base::WideToUtf8(path);
  } else {
    *config = ServiceConfigFromIni(document);
  }
  if (!config->ok) log::LogError(config->error);
  return config->ok;
}

ServiceConfig LoadServiceConfig(const std::wstring& localPath) {
  ServiceConfig remote = FetchRemoteConfig();
  if (remote.ok) {
    log::LogInfo("已从后台拉取远程配置");
    ServiceConfig config;
    config.osImages = std::move(remote.osImages);
    config.installItems = std::move(remote.installItems);
    config.exResources = std::move(remote.exResources);
    if (config.osImages.empty()) {
      config.error = "配置里没有系统镜像条目";
      log::LogError(config.error);
    } else {
      config.ok = true;
    }
    return config;
  }
  log::LogWarn("拉取远程配置失败(" + remote.error + ")，回退读本地配置文件: " + base::WideToUtf8(localPath));
  ServiceConfig config;
  LoadLocalCatalog(localPath, &config);
  return config;
}

std::vector<std::string> SplitCommaList(std::string_view text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) break;
    pieces.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

}  // namespace pl::config
