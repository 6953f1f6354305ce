#pragma once
// The main window's decisions over plain data, apart from any window: pages and what they show, the progress
// bar's steps, the environment notices, the Windows 10/11 filter, the run refusal, the texts of results and the
// keyboard's way through the controls.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/service_config.h"
#include "disks/inventory.h"
#include "disks/planner.h"

namespace pl::ui {

enum class WindowMode : int32_t { Reinstall = 0, BackupRestore = 1, UsbMaker = 2 };

namespace reinstall_page {
inline constexpr int kEnvCheck = 0, kChooseImage = 1, kChooseSoftware = 2, kProgress = 3, kResult = 4,
                     kManualTarget = 5;
}
namespace backup_page {
inline constexpr int kChooseOperation = 0, kProgress = 1, kResult = 2, kManualTarget = 3;
}
namespace usb_page {
inline constexpr int kChooseDrive = 0, kChooseImage = 1, kProgress = 2, kResult = 3, kMarkSystemVolume = 4;
}

// Control ids.
enum : int {
  kIdListTitle = 1002, kIdList = 1003, kIdSoftwareTitle = 1004, kIdItemList = 1005, kIdStatus = 1006,
  kIdTransfer = 1007, kIdProgress = 1008, kIdResult = 1009, kIdInstalledTitle = 1010, kIdInstalledList = 1011,
  kIdBack = 1101, kIdNext = 1102,
  kIdTabReinstall = 1201, kIdTabUsb = 1202, kIdTabBackup = 1203,
  kIdBackupRadio = 1301, kIdRestoreRadio = 1302, kIdOperationText = 1303, kIdChooseFile = 1304, kIdFilePath = 1305,
  kIdMinimise = 1401, kIdClose = 1402,
  kIdFilter10 = 1501, kIdFilter11 = 1502,
  kIdManualHint = 1601, kIdVolumeList = 1602,
  kIdAutoRestart = 1701,
  kIdDiagnose = 1801, kIdContact = 1802, kIdAiHelp = 1803, kIdDecrypt = 1804,
};

// Control groups that ApplyPage shows together.
enum ControlGroup : uint32_t {
  kGroupList = 1u << 0,       // 1002, 1003
  kGroupFilter = 1u << 1,     // 1501, 1502
  kGroupManual = 1u << 2,     // 1601, 1602
  kGroupSoftware = 1u << 3,   // 1004, 1005, 1010, 1011, 1701
  kGroupOperation = 1u << 4,  // 1301, 1302, 1303
  kGroupFile = 1u << 5,       // 1304, 1305
  kGroupRun = 1u << 6,        // 1006, 1007, 1008
  kGroupResult = 1u << 7,     // 1009
};

// What a page depends on.
struct PageInputs {
  WindowMode mode = WindowMode::Reinstall;
  int page = 0;
  bool environmentReady = false;
  bool needsManualTarget = false;
  bool manualTargetChosen = false;
  disks::StagingFeasibility staging;
  bool systemBitLockerOn = false;
  bool restoreSelected = false;
  bool restorePathChosen = false;
  bool runOk = false;  // the mode's last run
  bool usbDrivesListed = false;  // the drive page holds drives to choose from (not the scan's placeholder)
};

struct PageLayout {
  uint32_t groups = 0;
  bool backVisible = false;
  bool nextVisible = true;
  bool nextEnabled = true;
  std::wstring nextText;
  bool aiHelpVisible = false;
  bool decryptVisible = false;

  bool operator==(const PageLayout&) const = default;
};
PageLayout LayoutFor(const PageInputs& inputs);

// A staging route is open (or the manual target still has to be chosen, which comes first).
bool SpaceRouteOpen(const disks::StagingFeasibility& staging);

// Left bar: the mode's title and its steps (icon number and label).
struct StepInfo {
  int icon = 0;
  const wchar_t* label = L"";
};
const wchar_t* ModeTitle(WindowMode mode);
std::vector<StepInfo> ModeSteps(WindowMode mode);

// The progress bar: a reported value clamped to 0..100, and one 16 ms step of the shown value towards the target
// (a sixth of the distance, at least one).
int ClampPercent(int64_t value);
int StepTowards(int shown, int target);

// The environment page's notices, in order.
enum class NoticeTone { Alert, Hint };
struct NoticeText {
  NoticeTone tone = NoticeTone::Alert;
  std::wstring text;

  bool operator==(const NoticeText&) const = default;
};
std::vector<NoticeText> EnvironmentNotices(bool systemBitLockerOn, bool needsManualTarget,
                                           const disks::StagingFeasibility& staging);

// Catalog indexes shown under the Windows 10 or 11 filter, in catalog order, and the row to select (-1 for none).
std::vector<size_t> VisibleImages(const std::vector<config::OsImageEntry>& images, int windowsFilter);
int RowToSelect(const std::vector<size_t>& visible, size_t defaultImageIndex);
// The card's second line: version, update date and size, each only when known.
std::wstring ImageCardDetail(const config::OsImageEntry& image);
// First non-empty of display name, file name and key.
std::string InstallItemText(const config::InstallItem& item);
std::wstring DriveRowText(const std::string& name, double sizeGb);
// The five columns of a volume row.
std::vector<std::wstring> VolumeRowTexts(const disks::VolumeInfo& volume);
// Operation description of the backup/restore page.
std::wstring BackupDescription(bool restoreSelected, bool systemBitLockerOn);

// The message refusing a run while a run of another mode is busy; empty when the run may start.
struct BusyFlags {
  bool reinstall = false;
  bool backup = false;
  bool usb = false;
};
std::wstring RunRefusal(WindowMode starting, const BusyFlags& busy);

// Result page texts. `logPath` is the log file's full path.
std::wstring ReinstallResultText(bool ok, const std::string& displayName, const std::string& edition,
                                 const std::string& error, const std::wstring& logPath);
std::wstring BackupResultText(bool ok, bool restore, const std::wstring& backupPath, const std::string& error,
                              const std::wstring& logPath);
std::wstring UsbResultText(bool ok, const std::string& error, const std::wstring& logPath);
// A worker thread that could not be created, as a run's error.
std::string ThreadStartFailure(unsigned long lastError);
// A worker's job that threw, as its error: `job` (such as "后台任务") + "出现异常: " + what, or, for an exception of
// unknown type (empty `what`), + "出现未知类型的异常".
std::string WorkerFailure(const std::string& job, const std::string& what);

// ---- Keyboard ----

// The controls Tab walks through, in reading order: the header's tabs and window buttons, the page from top to
// bottom, its bottom row from left to right, the footer's buttons.
const std::vector<int>& TabOrder();
// The control after `current` in TabOrder (before it when `backward`) that `focusable` accepts, around the end;
// from a control outside the order (0: the window itself) the first one (or the last). 0 when none is accepted.
int NextTabStop(int current, bool backward, const std::function<bool(int)>& focusable);
// Arrow keys move between peers: the tabs, the filter buttons, the backup/restore choices. The peer `step` (1 or
// -1) away that `focusable` accepts, around the end; 0 when `current` has no peers or none is accepted.
int ArrowPeer(int current, int step, const std::function<bool(int)>& focusable);
// Whether the control presses itself on Enter (a button that is not a choice); on any other, or none, Enter
// presses Next.
bool PressesItselfOnEnter(int id);

}  // namespace pl::ui
