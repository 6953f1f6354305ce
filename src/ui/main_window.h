#pragma once
// The program's one top-level window: three modes (reinstall, backup/restore, USB stick), each a small wizard of
// pages, with every long job on a worker thread that talks to the window only through posted heap records.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "config/service_config.h"
#include "disks/inventory.h"
#include "inspect/system_info.h"
#include "pipeline/pipeline_common.h"
#include "software/installed_software.h"

namespace pl::ui {

inline constexpr wchar_t kMainWindowClass[] = L"PlHostGuiMainWindow";

// A USB disk offered on the drive page.
struct UsbDrive {
  int diskNumber = -1;
  std::string name;  // UTF-8
  double sizeGb = 0;

  bool operator==(const UsbDrive&) const = default;
};

// What a drive scan found: the drives, or why none is offered.
struct UsbDriveList {
  std::vector<UsbDrive> drives;
  std::string notice;  // UTF-8; shown in place of the rows when not empty
};

// What one run hands back to the window, whichever job it was.
struct RunOutcome {
  bool ok = false;
  std::string error;         // UTF-8, the message for the user
  std::string sessionId;     // reporting session; empty when none
  std::wstring backupPath;   // backup runs: where the image will be stored
  std::string imageEdition;  // reinstall runs: the edition found in the image; empty when unknown

  bool operator==(const RunOutcome&) const = default;
};

enum class RunKind { Reinstall, Backup, Restore, Usb };

// The inputs of one run, copied for its thread.
struct RunRequest {
  RunKind kind = RunKind::Reinstall;
  config::OsImageEntry image;               // reinstall and USB
  std::vector<config::InstallItem> items;
  config::ExResources resources;
  std::string clientVersion;
  bool dryRun = false;
  std::vector<std::string> wishlist;        // reinstall
  std::wstring restoreImagePath;            // restore
  UsbDrive usbDrive;                        // USB: the row the user confirmed
};

// Called from the run's threads, possibly several at once; they only post.
using RunProgress = std::function<void(const std::string& message, int percent)>;
using RunBytes = pipeline::ByteCallback;  // the downloads' bytes, for the line under the progress bar

// What the AI dialog needs after a failure.
struct AiRequest {
  std::string sessionId;
  std::string stage;
  std::string errorMessage;
  std::string diagnosticText;
};

// Everything the window asks of the machine and the jobs it starts, bound to the live calls by LiveMainWindowSeams.
// The program always runs with the live record; test hosts replace single members.
struct MainWindowSeams {
  std::function<config::ServiceConfig()> loadConfig;             // the catalog, local file "ini\imglist3.ini"
  std::function<inspect::EnvironmentSummary()> gatherEnvironment;
  std::function<disks::StagingFeasibility()> checkStaging;       // after a manual target, decryption or retry
  std::function<std::vector<software::InstalledSoftwareEntry>()> scanSoftware;
  std::function<bool()> isWinPE;
  // Inside a PE: the candidates for a manual target when no Windows installation was found, else empty with
  // `found` true.
  std::function<std::vector<disks::VolumeInfo>(bool* found)> findTarget;
  std::function<RunOutcome(const RunRequest&, const RunProgress&, const RunBytes&)> run;  // each kind of run
  std::function<UsbDriveList()> listUsbDrives;
  std::function<bool(HWND owner, const AiRequest&)> runAiDiagnosis;      // true when a retry was asked for
  std::function<std::string()> buildDiagnosticText;
  std::function<bool()> restartWindows;  // false with the thread's last error set
  // Starts `body` on a detached thread; false with the last error set when the thread cannot be created.
  std::function<bool(std::function<void()> body)> startThread;
};
MainWindowSeams LiveMainWindowSeams();

// 1 when the window cannot be created (logged, and told in a box), 0 when its message loop ends.
int RunMainWindow(HINSTANCE instance, int showCommand, bool dryRun,
                  const MainWindowSeams& seams = LiveMainWindowSeams());

}  // namespace pl::ui
