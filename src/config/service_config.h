#pragma once
// The catalog of OS images, install items and boot resources: from the backend, or from the local INI file when
// the backend cannot be used; and the backend's base URL and key that every backend call uses.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_document.h"
#include "net/http.h"

namespace pl::config {

struct OsImageEntry {
  std::string key;          // sent to the backend as the chosen image
  std::string displayName;
  std::string url;          // download URL; also tells Windows 10/11 and LTSC apart for the default choice
  int32_t imageIndex = 1;   // edition inside the image file
  std::string md5;          // hex digits in any case; empty = not checked
  std::string version;
  std::string updateDate;
  double sizeGb = 0;

  bool operator==(const OsImageEntry&) const = default;
};

struct InstallItem {
  std::string key;
  std::string fileName;
  std::string params;
  std::string url;
  std::string md5;
  std::string displayName;

  bool operator==(const InstallItem&) const = default;
};

struct ResourceRef {
  std::string url;
  std::string md5;

  bool operator==(const ResourceRef&) const = default;
};

struct ExResources {
  ResourceRef pe;   // the PE boot image
  ResourceRef drv;  // the tools and driver archive ("tools" in the local file)
  ResourceRef sdi;  // the RAM-disk boot file

  bool operator==(const ExResources&) const = default;
};

struct ServiceConfig {
  bool ok = false;
  std::string error;  // why `ok` is false
  std::vector<OsImageEntry> osImages;
  std::vector<InstallItem> installItems;
  ExResources exResources;

  bool operator==(const ServiceConfig&) const = default;
};

// The backend is reached at this origin unless the environment variable below names another one.
// HTTPS with WinHTTP's normal certificate checks: the catalog names the PE, its boot file and the tools (the
// deployer) with their MD5s, and the next boot runs them.
inline constexpr wchar_t kBackendOrigin[] = L"https://api.pellora.example";
inline constexpr wchar_t kBackendBasePath[] = L"/reset/api/v1";
// "http://host[:port]" or "https://host[:port]" (a trailing slash is allowed): replaces scheme, host and port, for
// the local stand-in and tests. Any other value is ignored with a warning. Only development and test builds read
// it (BackendOverrideAllowed).
inline constexpr wchar_t kBackendOriginVariable[] = L"PL_BACKEND_ORIGIN";
inline constexpr wchar_t kServiceApiKey[] = L"7a3d1c9e5b2f48a06d4c8e1b3f5a7092c4e6b8d0a2f41e3c";

// Whether this build reads the variable at all: the CMake option PL_ALLOW_BACKEND_OVERRIDE, on for development and
// tests, off in a release build. The program runs elevated: whoever can set the user's environment could
// otherwise point it at another catalog, and so at another boot image.
bool BackendOverrideAllowed();

struct BackendOriginChoice {
  std::wstring origin;
  std::string warning;  // logged when not empty

  bool operator==(const BackendOriginChoice&) const = default;
};
// The origin for the variable's value (empty when it is not set) in a build that does or does not read it.
BackendOriginChoice ChooseBackendOrigin(const std::wstring& variableValue, bool overrideAllowed);

// Base URL followed directly by `path` (UTF-8, such as "/sessions").
std::wstring BackendUrl(std::string_view path);
// The origin to use for an override value: the value without a trailing slash when it is a valid origin, else the
// built-in origin.
std::wstring BackendOriginFrom(const std::wstring& overrideValue);
// Exactly one header: "X-API-Key" with the service key.
std::vector<net::HttpHeader> ApiKeyHeaders();

// GET "/config" of the backend, converted.
ServiceConfig FetchRemoteConfig();
// The remote answer to the catalog: transport, status, JSON and field checks, in that order. Never throws.
ServiceConfig ServiceConfigFromResponse(const net::HttpResponse& response);

// Reads the INI catalog at `path` into `config` (replacing it); false with `config->error` set and logged.
bool LoadLocalCatalog(const std::wstring& path, ServiceConfig* config);
// The INI document's catalog: [osimage], [install] and [exlist]. Does not log.
ServiceConfig ServiceConfigFromIni(const IniDocument& document);

// Remote first; on any remote failure a warning and the local file at `localPath` (relative paths resolve against
// the current directory).
ServiceConfig LoadServiceConfig(const std::wstring& localPath);

// The pieces between commas, untrimmed: "" gives one empty piece, "a," gives "a" and "".
std::vector<std::string> SplitCommaList(std::string_view text);

}  // namespace pl::config
