#pragma once
// Which catalog image fits the running system best: Windows 10 or 11, and the edition class.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/service_config.h"

namespace pl::config {

enum class EditionClass : int32_t { Unknown = 0, Home = 1, Professional = 2, Enterprise = 3, Ltsc = 4 };

struct SystemEditionInfo {
  bool isWin11 = false;
  EditionClass edition = EditionClass::Unknown;
  int32_t build = 0;

  bool operator==(const SystemEditionInfo&) const = default;
};

// The running system; all zero when its version cannot be read.
SystemEditionInfo DetectSystemEdition();
// The system described by a build number and, when `productKnown`, a GetProductInfo product type.
SystemEditionInfo SystemEditionFrom(uint32_t build, bool productKnown, uint32_t productType);
EditionClass EditionFromProductType(uint32_t productType);

// Index into `images`: an LTSC image for an LTSC system, else the first non-LTSC image of the system's family
// whose edition index matches; 0 when nothing matches or the list is empty.
size_t PickDefaultImage(const std::vector<OsImageEntry>& images, const SystemEditionInfo& system);

}  // namespace pl::config
