#include "config/default_image.h"

#include <windows.h>

#include <string>

#include "base/text.h"

namespace pl::config {

EditionClass EditionFromProductType(uint32_t productType) {
  switch (productType) {
    case 2: case 3: case 5: case 26: case 98: case 100: case 101:
      return EditionClass::Home;
    case 48: case 49:
      return EditionClass::Professional;
    case 4: case 27:
      return EditionClass::Enterprise;
    case 125: case 126:
      return EditionClass::Ltsc;
    default:
      return EditionClass::Unknown;
  }
}

SystemEditionInfo SystemEditionFrom(uint32_t build, bool productKnown, uint32_t productType) {
  SystemEditionInfo info;
  info.build = static_cast<int32_t>(build);
  info.isWin11 = build > 21999;
  if (productKnown) info.edition = EditionFromProductType(productType);
  return info;
}

SystemEditionInfo DetectSystemEdition() {
  // RtlGetVersion is not subject to the compatibility shims that make GetVersionEx report older systems.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return {};
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (!rtlGetVersion) return {};
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (rtlGetVersion(&version) != 0) return {};
  DWORD productType = 0;
  const bool productKnown =
      GetProductInfo(version.dwMajorVersion, version.dwMinorVersion, 0, 0, &productType) != FALSE;
  return SystemEditionFrom(version.dwBuildNumber, productKnown, productType);
}

size_t PickDefaultImage(const std::vector<OsImageEntry>& images, const SystemEditionInfo& system) {
  if (images.empty()) return 0;
  const std::string family = system.isWin11 ? "win11" : "win10";
  int32_t wanted = 1;
  if (system.edition == EditionClass::Ltsc) {
    for (size_t i = 0; i < images.size(); ++i) {
      if (base::AsciiLower(images[i].url).find("ltsc") != std::string::npos) return i;
    }
  } else if (system.edition == EditionClass::Professional) {
    wanted = 2;
  } else if (system.edition == EditionClass::Enterprise) {
    wanted = 3;
  }
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string url = base::AsciiLower(images[i].url);
    if (url.find("ltsc") == std::string::npos && url.find(family) != std::string::npos &&
        images[i].imageIndex == wanted) {
      return i;
    }
  }
  return 0;
}

}  // namespace pl::config
