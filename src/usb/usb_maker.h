#pragma once
// The USB run: a stick that boots into the same PE as the reinstall, carrying the image, the tools and a task file.

#include <string>
#include <vector>

#include "config/service_config.h"
#include "pipeline/pipeline_common.h"
#include "usb/usb_drives.h"

namespace pl::usb {

struct UsbMakeResult {
  bool ok = false;
  std::string error;      // the message for the user; empty when ok
  std::string sessionId;  // the reporting session; empty in dry-run or when none could be created

  bool operator==(const UsbMakeResult&) const = default;
};

// Wipes the disk the user picked (`drive`, the row of ListUsbDrives as it was shown: the wipe is refused when the
// disk under that number no longer matches it), downloads the PE, its boot file, the tools and the image onto the
// stick, makes it bootable and writes "task.ini". Only a failed wipe finishes the reporting session; later
// failures leave it open, as does success. The downloads' bytes go to `bytes` when given. Blocking: run it on a
// worker thread.
UsbMakeResult MakeUsbBootDisk(const UsbDriveInfo& drive, const config::OsImageEntry& image,
                              const std::vector<config::InstallItem>& items, const config::ExResources& resources,
                              const std::string& clientVersion, bool dryRun, const pipeline::ProgressCallback& progress,
                              const UsbMachine& machine = LiveUsbMachine(), const pipeline::ByteCallback& bytes = {});

}  // namespace pl::usb
