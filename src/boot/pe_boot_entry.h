#pragma once
// The one-shot RAM-disk boot entry that starts the PE on the next restart, made through bcdedit.

#include <string>

#include "disks/firmware.h"

namespace pl::boot {

// The boot manager's default entry and menu time-out as they were before the PE entry was made.
struct BootDefaults {
  std::string defaultId;    // braces included; empty when it could not be read
  int timeoutSeconds = -1;  // -1 when it could not be read
  bool operator==(const BootDefaults&) const = default;
};

struct BootEntryResult {
  bool ok = false;        // every required step succeeded
  std::string entryId;    // as bcdedit printed it, braces included; all zeros in dry-run. When `ok` is false: the
                          // entry made and left in the store because deleting it failed, else empty
  std::string error;      // the message for the user when `ok` is false
  BootDefaults previous;  // read before any change (dry-run too)

  bool operator==(const BootEntryResult&) const = default;
};

// Whether this process may change the boot configuration store.
using ElevationQuery = bool (*)();

// TokenElevation of the process token; false when the token cannot be opened or read.
bool ProcessIsElevated();

// Reads the boot manager's default and time-out, then adds a "Pellora PE" entry booting `peWimPath` from a RAM disk
// with `bootSdiPath`, makes it the next boot (and, best effort, the default) and silences the boot menu. When a
// required step fails after the entry was made, the entry is deleted again (the default and time-out are changed
// only after the required steps). `isElevated` is asked before any change outside dry-run; tests replace it.
BootEntryResult CreatePeBootEntry(const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                                  disks::FirmwareType firmware, bool dryRun,
                                  ElevationQuery isElevated = ProcessIsElevated);

// Deletes the entry `entryId` and puts back `previous` (the default and the time-out, each only when known),
// each step logged; false with `error` filled when a step failed (the others are still tried). Dry-run: logged
// with "[dry-run] " only.
bool RemovePeBootEntry(const std::string& entryId, const BootDefaults& previous, bool dryRun,
                       std::string* error);

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

// The "default" and "timeout" lines of bcdedit's answer to "/enum {bootmgr}" (element names are not translated):
// the default only when it is one braced word, the time-out only when it is a whole number of at most 9 digits.
BootDefaults ParseBootManagerDefaults(const std::string& enumOutput);

}  // namespace pl::boot
