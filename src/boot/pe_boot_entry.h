#pragma once
// The one-shot RAM-disk boot entry that starts the PE on the next restart, made through bcdedit.

#include <string>

#include "disks/firmware.h"

namespace pl::boot {

struct BootEntryResult {
  bool ok = false;       // every required step succeeded
  std::string entryId;   // as bcdedit printed it, braces included; all zeros in dry-run
  std::string error;     // the message for the user when `ok` is false

  bool operator==(const BootEntryResult&) const = default;
};

// Whether this process may change the boot configuration store.
using ElevationQuery = bool (*)();

// TokenElevation of the process token; false when the token cannot be opened or read.
bool ProcessIsElevated();

// Adds a "Pellora PE" entry booting `peWimPath` from a RAM disk with `bootSdiPath`, makes it the next boot
// (and, best effort, the default) and silences the boot menu. Nothing is undone when a step fails.
// `isElevated` is asked before any change outside dry-run; tests replace it.
BootEntryResult CreatePeBootEntry(const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                                  disks::FirmwareType firmware, bool dryRun,
                                  ElevationQuery isElevated = ProcessIsElevated);

// A path in bcdedit's device notation: "D:\x\pe.wim" gives "[D:]" and "\x\pe.wim"; a path without a drive
// letter gives "[C:]" and the whole path.
struct DevicePath {
  std::wstring device;  // with its brackets
  std::wstring rest;

  bool operator==(const DevicePath&) const = default;
};
DevicePath SplitDevicePath(const std::wstring& path);

// The text from the first "{" through the first "}" after it; false when there is no such pair.
bool ParseEntryIdentifier(const std::string& bcdeditOutput, std::string* entryId);

}  // namespace pl::boot
