#pragma once
// The hand-over to the PE deployer: "task.ini" (what to deploy, capture or restore, and where) and
// "software_wishlist.ini" (software the old system had). docs/deployer-contract.md is the reader's side.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/service_config.h"

namespace pl::pipeline {

// The [deploy] section, one key per field in this order. Texts are UTF-8.
struct DeployTask {
  int32_t targetDisk = 0;         // left 0: the target is named by its volume GUID
  int32_t targetPartition = 0;    // left 0 likewise
  std::string targetVolumeGuid;   // "\\?\Volume{...}\" as Windows gives it, trailing backslash included
  std::string firmware;           // "UEFI", "BIOS" or "UNKNOWN"
  std::string imagePath;          // the OS image to apply
  int32_t imageIndex = 1;         // edition inside the image
  std::string toolsPath;          // the extracted tools package
  std::string stagingDir;         // the data directory holding this file
  std::string peBootId;           // the temporary PE boot entry; empty when none was made
  std::string sessionId;          // reporting session for the deployer to report into; empty when none
  std::string oemProductKey;      // empty when none was found
  std::string driverBackupPath;   // exported drivers of the old system
  std::string osDisplayName;
  std::string mode = "deploy";    // "deploy" (apply an image) or "capture" (back a volume up)
  std::string captureDestPath;    // "capture": the WIM to create
  bool isRestore = false;         // the image is a backup made by this tool

  bool operator==(const DeployTask&) const = default;
};

// Both files are UTF-8 with a byte-order mark and CR LF line ends, and replace any earlier file whole: the text
// goes to a new temporary file beside the target first ("<path>.tmp", or "<path>.N.tmp" when that name is taken,
// see base::CreateTemporaryBeside), which is flushed, closed and then renamed over the target. False
// when any step fails (a full disk, an unwritable folder, a read-only target); the temporary file is then
// removed and an earlier file at `path` stays as it was. Neither function logs.
//
// Values are written without quoting or escaping, except that every line break inside one (CR LF, a lone CR or a
// lone LF) becomes one blank, so that no value can add lines or keys to the file. An install item whose key is
// empty, starts with "[" or ";", or holds "=" is written under its position (1, 2, ...) instead.
bool WriteTaskFile(const std::wstring& path, const DeployTask& task, const std::vector<config::InstallItem>& items);
bool WriteWishlistFile(const std::wstring& path, const std::vector<std::string>& wishlist);
// The same replacement for any other small hand-over file: the mark and `text`, whole or not at all.
bool WriteHandOverFile(const std::wstring& path, const std::string& text);

// The reading side of these files, for whoever takes them over. Sections in file order, each line split at its
// first '=' and kept exactly as written (no trimming: values may hold blanks, '=' and ','). A byte-order mark is
// skipped; lines end with CR LF or LF; lines without '=' (the empty line between sections) are passed over.
struct HandOverSection {
  std::string name;                                        // without its brackets; empty before the first
  std::vector<std::pair<std::string, std::string>> pairs;  // key, value

  bool operator==(const HandOverSection&) const = default;
};
std::vector<HandOverSection> ParseHandOverText(std::string_view bytes);
// The value of the first `key` in the first section named `section`; false when there is none.
bool FindHandOverValue(const std::vector<HandOverSection>& sections, std::string_view section, std::string_view key,
                       std::string* value);

}  // namespace pl::pipeline
