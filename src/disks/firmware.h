#pragma once
// The machine's firmware type, as the boot configuration and the staging decisions need it.

namespace pl::disks {

// Kept as the integers the system query gives, so a value read elsewhere maps on directly.
enum class FirmwareType : int { Unknown = 0, Bios = 1, Uefi = 2 };

// "UEFI", "BIOS", or "UNKNOWN" for anything else.
inline const char* FirmwareTypeName(FirmwareType type) {
  switch (type) {
    case FirmwareType::Uefi:
      return "UEFI";
    case FirmwareType::Bios:
      return "BIOS";
    default:
      return "UNKNOWN";
  }
}

}  // namespace pl::disks
