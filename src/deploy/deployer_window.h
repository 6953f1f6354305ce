#pragma once
// The deployer's small window in the host's look: the step, a progress bar with one line of detail under it, and
// after a failure the message and where the log is, with a button to close. A USB task shows the volumes it may
// overwrite first and asks before the wipe, naming the volume. The job runs on a worker thread meanwhile; the
// window only shows what it posts.

#include <windows.h>

#include <string>

#include "deploy/deploy_run.h"

namespace pl::deploy {

inline constexpr wchar_t kDeployerWindowClass[] = L"PlDeployerWindow";
// Controls.
inline constexpr int kDeployerStepId = 2001;
inline constexpr int kDeployerDetailId = 2002;   // the line under the progress bar
inline constexpr int kDeployerMessageId = 2003;  // the failure
inline constexpr int kDeployerLogId = 2004;      // where the log is
inline constexpr int kDeployerVolumesId = 2005;  // the volumes a USB task may overwrite
inline constexpr int kDeployerStartId = 2006;    // wipe the chosen volume and install
inline constexpr int kDeployerCancelId = 2007;   // overwrite none
inline constexpr int kDeployerCloseId = 2008;    // after a failure
// The caption of the question before the wipe.
inline constexpr wchar_t kWipeQuestionCaption[] = L"确认清除分区";

// Shows the window, runs the job on its worker and returns the job's exit code once it succeeded, or once the
// user closed the window after a failure. Without a window (none can be made) the job runs here, unattended.
int RunDeployerWindow(const DeployOptions& options);

// Sets the line under the progress bar (UTF-8); from any thread.
void SetDeployerDetail(HWND window, const std::string& text);

}  // namespace pl::deploy
