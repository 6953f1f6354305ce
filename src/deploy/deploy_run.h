#pragma once
// The deployer's job inside the PE: find the task this start serves, identify its volume before anything changes,
// then deploy (or restore) an image onto it or capture it into a backup. A failure before the format deletes the
// PE boot entry and puts the earlier default back, so the machine starts the old system again; one after the
// format leaves the entry, so the next start retries the whole deployment (every step is safe to repeat). The
// session of the task hears of every stage, of a failure with an excerpt of the tool's log, and of the end.

#include <functional>
#include <string>
#include <vector>

#include "deploy/deploy_machine.h"
#include "deploy/target_choice.h"

namespace pl::deploy {

struct DeployOptions {
  bool dryRun = false;    // every change is logged with "[dry-run] " instead of made
  std::wstring taskPath;  // dry run only: this task file instead of the search (the host's dry run leaves its
                          // task beside its log); its paths are taken as written
};

// What the run tells and asks the person in front of the machine; each member may be empty.
struct DeployUi {
  std::function<void(const std::string& step, int percent)> step;
  std::function<void(const std::string& text)> detail;  // one line under the progress, such as the tool's progress
  // The volume a USB task overwrites, picked from `candidates` and confirmed: its index, -1 when the user declined.
  // Empty: nobody can pick, which declines.
  std::function<int(const std::vector<VolumeFacts>& candidates, const std::string& osName)> chooseVolume;
};

inline constexpr int kExitDone = 0;
inline constexpr int kExitNothingChanged = 1;  // refused or failed before the format; the old system starts again
inline constexpr int kExitRetryNextStart = 2;  // failed after the format; the next start retries

struct DeployOutcome {
  int exitCode = kExitNothingChanged;
  std::string error;     // the message for the user; empty on success
  std::wstring logPath;  // where the log went

  bool operator==(const DeployOutcome&) const = default;
};

DeployOutcome RunDeployer(const DeployOptions& options, const DeployUi& ui,
                          const DeployMachine& machine = LiveDeployMachine());

}  // namespace pl::deploy
