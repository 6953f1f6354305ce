#pragma once
// The mark of the volume a task overwrites or backs up: a small file at its root, written beside "task.ini",
// naming the task's boot entry and session. Inside the PE letters and volume GUIDs may differ from the host's, and
// this file is how the deployer recognises the volume. It also carries the boot defaults from before the PE entry
// was made, which only the host could read and the deployer puts back.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/service_config.h"
#include "pipeline/pipeline_common.h"
#include "pipeline/task_file.h"

namespace pl::pipeline {

inline constexpr wchar_t kTargetMarkerName[] = L"$PelloraTarget$.ini";
// Where a dry run leaves the task it would have written, beside its log file, for the deployer's own dry run.
inline constexpr wchar_t kDryRunTaskName[] = L"pl_dry_run_task.ini";

struct TargetMarker {
  std::string peBootId;          // as in the task; empty when the host made no entry
  std::string sessionId;         // as in the task; empty when there is none
  std::string previousDefault;   // the default boot entry before the PE entry, braces included; empty when unknown
  int32_t previousTimeout = -1;  // the boot menu time-out before, in seconds; -1 when unknown

  bool operator==(const TargetMarker&) const = default;
};

// "[target]" and the four keys in this order, as the hand-over files are written (CR LF, no mark: the writer adds
// it).
std::string TargetMarkerText(const TargetMarker& marker);
// False when the bytes are no marker: no "[target]" section, a key missing, or a time-out that is no number.
bool ParseTargetMarker(std::string_view bytes, TargetMarker* marker);

// Before the task file of a task naming a target volume (a USB task names none): the marker at the root of the
// system drive, which is that volume. In dry-run only logged. A marker that cannot be written fails the run: the
// deployer would have no sure way to find the volume.
bool MarkTargetVolume(RunState& run, const DeployTask& task);

// A dry run writes no task file; its text goes beside the log file instead (kDryRunTaskName), for the deployer's
// dry run to read. Nothing without a log file; never fatal.
void KeepDryRunTask(const DeployTask& task, const std::vector<config::InstallItem>& items);

}  // namespace pl::pipeline
