#pragma once
// Inside the main window: its state record, control ids, posted messages and the functions its files share.

#include <windows.h>

#include <string>
#include <vector>

#include "base/transfer_line.h"
#include "base/unique_handle.h"
#include "ui/main_window.h"
#include "ui/main_window_rules.h"

namespace pl::ui {

// Posted by worker threads; a starred lParam is a heap record that passes to the window.
inline constexpr UINT MsgStartupResult = WM_APP + 10;      // StartupResult*
inline constexpr UINT MsgReinstallStatus = WM_APP + 11;    // std::wstring* (may be null)
inline constexpr UINT MsgReinstallProgress = WM_APP + 12;  // wParam percent
inline constexpr UINT MsgReinstallDone = WM_APP + 13;      // RunOutcome*
inline constexpr UINT MsgBackupStatus = WM_APP + 14;
inline constexpr UINT MsgBackupProgress = WM_APP + 15;
inline constexpr UINT MsgBackupDone = WM_APP + 16;
inline constexpr UINT MsgUsbStatus = WM_APP + 17;
inline constexpr UINT MsgUsbProgress = WM_APP + 18;
inline constexpr UINT MsgUsbDone = WM_APP + 19;
inline constexpr UINT MsgUsbDrives = WM_APP + 20;          // UsbDriveList*
inline constexpr UINT MsgRunBytes = WM_APP + 21;           // pipeline::TransferBytes* of the run in progress

inline constexpr UINT_PTR kAnimationTimer = 1;
inline constexpr wchar_t kClientVersionText[] = L"0.1.0";

struct StartupResult {
  config::ServiceConfig config;
  inspect::EnvironmentSummary environment;
  std::vector<software::InstalledSoftwareEntry> installedSoftware;
  bool needsManualTarget = false;
  std::vector<disks::VolumeInfo> candidateVolumes;
};

struct MainWindowState {
  HWND window = nullptr;
  MainWindowSeams seams;

  WindowMode mode = WindowMode::Reinstall;
  int reinstallPage = 0;
  int backupPage = 0;
  int usbPage = 0;
  bool dryRun = false;
  bool environmentReady = false;
  // Modal windows of ours open over the window (boxes, dialogs): their callers are on the stack and use the state.
  int modalDepth = 0;
  bool closePending = false;  // a close that came while one was open, acted on when the last one returns
  inspect::EnvironmentSummary environment;
  config::ServiceConfig config;
  std::wstring footerText = L"正在检测环境...";
  size_t defaultImageIndex = 0;
  // Chosen apart on the reinstall and USB image pages: one mode's choice never changes what the other installs.
  int reinstallImageIndex = -1;
  int usbImageIndex = -1;
  bool needsManualTarget = false;
  bool manualTargetChosen = false;
  std::vector<disks::VolumeInfo> candidateVolumes;
  std::vector<software::InstalledSoftwareEntry> installedSoftware;

  bool reinstallBusy = false;
  bool reinstallOk = false;
  std::string reinstallError;
  std::string reinstallSessionId;
  std::vector<config::InstallItem> chosenSoftware;
  std::vector<std::string> wishlistNames;

  int targetPercent = 0;
  int shownPercent = 0;
  int animationTick = 0;
  // The line under the progress bar: the download's last figures and their rate (empty figures: no download).
  pipeline::TransferBytes transfer;
  base::TransferRate transferRate;
  ULONGLONG transferSampledMs = 0;

  // Keyboard: focus marks are drawn once the keyboard has been used; the focus to give back on activation.
  bool showFocus = false;
  HWND lastFocus = nullptr;

  bool restoreSelected = false;
  std::wstring restoreImagePath;
  bool backupBusy = false;
  bool backupOk = false;
  std::string backupError;
  std::string backupSessionId;
  std::wstring backupFilePath;
  bool lastBackupWasRestore = false;

  std::vector<UsbDrive> usbDrives;
  std::string usbDriveNotice;  // why the last scan offers none
  UsbDrive chosenUsbDrive;  // a copy of the row confirmed for wiping
  bool usbBusy = false;
  bool usbOk = false;
  std::string usbError;
  bool listTakenByUsb = false;
  bool listShowsImages = false;
  std::vector<size_t> visibleImageIndexes;
  int windowsFilter = 10;

  // Each mode's result page has its own text; the one result control shows the current mode's.
  std::wstring reinstallResultText;
  std::wstring backupResultText;
  std::wstring usbResultText;

  base::UniqueGdiObject uiFont;
  base::UniqueGdiObject backgroundBrush;
  HICON logoIcon = nullptr;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
};

MainWindowState* StateOf(HWND window);
int& CurrentPage(MainWindowState& state);
int PageOf(const MainWindowState& state);
HWND Control(const MainWindowState& state, int id);
int ShowBox(MainWindowState& state, const std::wstring& text, UINT flags, const wchar_t* caption = nullptr);

// Held while a modal window of ours is open; when the last one returns, a close that came meanwhile is posted again.
struct ModalScope {
  explicit ModalScope(MainWindowState& owner);
  ~ModalScope();
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;
  MainWindowState& state;
};

// main_window_controls.cpp
// False with `error` filled when a control cannot be created.
bool CreateControls(MainWindowState& state, std::string* error);
void ApplyPage(MainWindowState& state);
void SetControlText(const MainWindowState& state, int id, const std::wstring& text);
void FillImageList(MainWindowState& state);
void FillInstallItems(MainWindowState& state);
void FillInstalledSoftware(MainWindowState& state);
void FillVolumeList(MainWindowState& state);
void ShowListPlaceholder(MainWindowState& state, const std::wstring& row);
void FillDriveRows(MainWindowState& state);
int SelectedListRow(const MainWindowState& state);
int SelectedVolumeRow(const MainWindowState& state);
bool ListViewChecked(const MainWindowState& state, int id, int row);
void ShowBackupDescription(MainWindowState& state);

// main_window_paint.cpp
void OnPaint(MainWindowState& state);
void OnDrawItem(MainWindowState& state, const DRAWITEMSTRUCT& item);
void OnMeasureItem(MEASUREITEMSTRUCT& item);
LRESULT OnControlColour(MainWindowState& state, HDC dc, HWND control);

// main_window_runs.cpp
bool StartStartupThread(MainWindowState& state);
void OnStartupResult(MainWindowState& state, StartupResult* result);
void StartUsbDriveScan(MainWindowState& state);
void OnUsbDrives(MainWindowState& state, UsbDriveList* list);
void StartReinstallRun(MainWindowState& state, bool retry);
void StartBackupRun(MainWindowState& state, bool retry);
void StartUsbRun(MainWindowState& state);
void OnStatus(MainWindowState& state, std::wstring* text);
void OnProgress(MainWindowState& state, WPARAM percent);
void OnRunBytes(MainWindowState& state, pipeline::TransferBytes* bytes);
// Samples the rate again when no figures came for a while (a stalled download slows down on screen).
void RefreshTransferLine(MainWindowState& state, bool newFigures);
void OnReinstallDone(MainWindowState& state, RunOutcome* outcome);
void OnBackupDone(MainWindowState& state, RunOutcome* outcome);
void OnUsbDone(MainWindowState& state, RunOutcome* outcome);
bool RebootIntoPe(MainWindowState& state, bool reinstallVariant);
void OnAiHelp(MainWindowState& state);

}  // namespace pl::ui
