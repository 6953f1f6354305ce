#pragma once
// Which volume the deployer may overwrite or back up. The PE names volumes its own way, so the target is
// identified positively before anything changes: by the task's volume GUID when this PE knows it, else by the
// host's marker file at the volume's root; anything doubtful is refused. A USB stick's task names no target: the
// user picks one of the volumes on offer. Plain decisions over what was read of each volume.

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/target_marker.h"
#include "pipeline/task_file.h"

namespace pl::deploy {

// One volume with a drive letter, as the PE sees it.
struct VolumeFacts {
  wchar_t letter = 0;
  std::string guidPath;     // "\\?\Volume{...}\"; empty when unknown
  bool fixed = false;       // on a fixed disk
  bool removable = false;   // on removable media
  std::string label;
  uint64_t totalBytes = 0;  // 0 when unknown
  std::string windows;      // the Windows found on it ("Windows 10 Pro"), empty when none
  bool hasMarker = false;   // a readable marker file at its root
  pipeline::TargetMarker marker;

  bool operator==(const VolumeFacts&) const = default;
};

enum class TargetRole { Deploy, Capture };

// What must not be the target besides removable media: the volume holding the task (the data folder) and the one
// holding the image to apply, or for a capture the one receiving the backup. 0 for none.
struct KeptVolumes {
  wchar_t task = 0;
  wchar_t image = 0;
};

struct TargetChoice {
  wchar_t letter = 0;  // 0 when refused
  std::string how;     // how it was recognised, for the log: "卷 GUID" or "标记文件"
  std::string error;   // why it was refused, for the user

  bool operator==(const TargetChoice&) const = default;
};

// Exactly one volume with the task's GUID, or else exactly one whose marker names the task's boot entry and session;
// a marker on another volume than the GUID's is refused too. The volume found must lie on a fixed disk and be
// neither of the kept volumes.
TargetChoice IdentifyTarget(const pipeline::DeployTask& task, const std::vector<VolumeFacts>& volumes,
                            const KeptVolumes& kept, TargetRole role);

// What a USB task may overwrite: volumes of fixed disks other than the kept ones, the PE's own drive and the
// stick's two partitions ("PELLORA_PE", "PELLORA_DATA"), in letter order.
std::vector<VolumeFacts> UsbTargetCandidates(const std::vector<VolumeFacts>& volumes, const KeptVolumes& kept,
                                             wchar_t peLetter);

// One volume for a list row and the wipe question: "E:  标签 数据  238 GB  Windows 10 Pro".
std::string VolumeText(const VolumeFacts& volume);

}  // namespace pl::deploy
