#include "ui/main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <windowsx.h>

#include "base/constants.h"
#include "base/resource.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "disks/inventory.h"
#include "inspect/diagnostics.h"
#include "log/log.h"
#include "ui/contact_dialog.h"
#include "ui/decrypt_window.h"
#include "ui/main_window_state.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

constexpr DWORD kStyle = WS_POPUPWINDOW | WS_CLIPCHILDREN | WS_MINIMIZEBOX;

struct CreateParams {
  bool dryRun = false;
  const MainWindowSeams* seams = nullptr;
  std::string error;  // why WM_CREATE failed
};

// ---- Creation and destruction ----

void FreeState(MainWindowState* state) {
  KillTimer(state->window, kAnimationTimer);
  SetWindowLongPtrW(state->window, GWLP_USERDATA, 0);
  for (HICON icon : {state->logoIcon, state->bigIcon, state->smallIcon}) {
    if (icon != nullptr) DestroyIcon(icon);
  }
  delete state;
}

bool OnCreate(HWND window, const CREATESTRUCTW& create) {
  auto* params = static_cast<CreateParams*>(create.lpCreateParams);
  auto* state = new MainWindowState;
  state->window = window;
  state->seams = *params->seams;
  state->dryRun = params->dryRun;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  state->uiFont = CreateUiFont(10, false);
  state->logoIcon = static_cast<HICON>(LoadImageW(create.hInstance, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, 40,
                                                  40, LR_DEFAULTCOLOR));
  bool created = CreateControls(*state, &params->error);
  if (created && !StartStartupThread(*state)) {
    params->error = "无法创建环境检测线程, GetLastError=" + std::to_string(GetLastError());
    created = false;
  }
  if (!created) {
    // The window is destroyed without ever running: no quit message, which would end the box that tells why.
    FreeState(state);
    return false;
  }
  SetTimer(window, kAnimationTimer, 16, nullptr);
  return true;
}

void OnDestroy(MainWindowState* state) {
  FreeState(state);
  PostQuitMessage(0);
}

// A window that could not be made: the user is told why, not left with nothing on the screen.
void ReportCreateFailure(const std::string& reason) {
  log::LogError("[MainWindow] 主窗口创建失败: " + reason);
  const std::wstring text = L"无法打开程序窗口（" + base::Utf8ToWide(reason) + L"），请重新运行程序。\r\n\r\n详细日志见 " +
                            log::GetLogFilePath() + L"。";
  MessageBoxW(nullptr, text.c_str(), base::kProductNameW, MB_ICONERROR);
}

void OnClose(MainWindowState& state) {
  // A modal dialog or box of ours is open: its caller is still on the stack and uses the state, so the window must
  // outlive it. The close is kept, not dropped: the window posts its own closes after a box (no catalog, the dry
  // run's end), and such a box may come while another modal window is open.
  if (state.modalDepth > 0) {
    state.closePending = true;
    return;
  }
  if (!IsWindowEnabled(state.window)) return;
  if (state.reinstallBusy || state.backupBusy || state.usbBusy) {
    ShowBox(state, L"正在处理中，请稍候完成后再关闭。", MB_ICONWARNING);
    return;
  }
  DestroyWindow(state.window);
}

// ---- Tabs ----

void ShowImageTitleAndCards(MainWindowState& state) {
  SetControlText(state, kIdListTitle, L"请选择要安装的系统版本：");
  FillImageList(state);
  state.listTakenByUsb = false;
}

void OnTab(MainWindowState& state, int id) {
  if (!state.environmentReady) {
    ShowBox(state, L"配置加载中，请稍候。", MB_ICONINFORMATION);
    return;
  }
  if (id == kIdTabReinstall) {
    if (state.mode == WindowMode::Reinstall) return;
    state.mode = WindowMode::Reinstall;
    if (state.listTakenByUsb && state.reinstallPage == reinstall_page::kChooseImage) ShowImageTitleAndCards(state);
  } else if (id == kIdTabBackup) {
    if (state.mode == WindowMode::BackupRestore) return;
    state.mode = WindowMode::BackupRestore;
    // A backup/restore run in progress keeps its page; otherwise the choice starts afresh.
    if (!state.backupBusy) {
      state.backupPage = backup_page::kChooseOperation;
      state.restoreSelected = false;
      state.restoreImagePath.clear();
      Button_SetCheck(Control(state, kIdBackupRadio), BST_CHECKED);
      Button_SetCheck(Control(state, kIdRestoreRadio), BST_UNCHECKED);
      ShowBackupDescription(state);
      SetControlText(state, kIdFilePath, L"");
    }
  } else {
    if (state.mode == WindowMode::UsbMaker) return;
    state.mode = WindowMode::UsbMaker;
    if (!state.usbBusy) {
      if (state.needsManualTarget && !state.manualTargetChosen) {
        state.usbPage = usb_page::kMarkSystemVolume;
        FillVolumeList(state);
      } else {
        state.usbPage = usb_page::kChooseDrive;
        SetControlText(state, kIdListTitle, L"请选择要制作的 U 盘：");
        StartUsbDriveScan(state);
      }
    }
  }
  ApplyPage(state);
}

// ---- Manual target ----

bool ConfirmManualTarget(MainWindowState& state, const wchar_t* suffix) {
  const int row = SelectedVolumeRow(state);
  if (row < 0 || row >= static_cast<int>(state.candidateVolumes.size())) {
    ShowBox(state, L"请先选择目标磁盘分区。", MB_ICONWARNING);
    return false;
  }
  const wchar_t letter = state.candidateVolumes[row].letter;
  const std::wstring question = L"即将把 " + std::wstring(1, letter) + suffix;
  if (ShowBox(state, question, MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2, L"Pellora重装大师 - 请确认") != IDYES) {
    return false;
  }
  disks::SetSystemDriveOverride(letter);
  state.manualTargetChosen = true;
  log::LogInfo("用户手动选择目标系统盘: " + base::DriveLetterText(letter) + ":");
  state.environment.staging = state.seams.checkStaging();
  return true;
}

// ---- Next and Back ----

// Refuses a run while another mode's run is busy: they share the staging area and the boot configuration.
bool RefusedWhileOtherRunBusy(MainWindowState& state) {
  const std::wstring refusal = RunRefusal(state.mode, {state.reinstallBusy, state.backupBusy, state.usbBusy});
  if (refusal.empty()) return false;
  ShowBox(state, refusal, MB_ICONWARNING);
  return true;
}

void NextReinstall(MainWindowState& state) {
  switch (state.reinstallPage) {
    case reinstall_page::kEnvCheck:
      if (!state.environmentReady) return;
      if (state.needsManualTarget && !state.manualTargetChosen) {
        FillVolumeList(state);
        state.reinstallPage = reinstall_page::kManualTarget;
      } else {
        ShowImageTitleAndCards(state);  // the USB tab may hold the shared list
        state.reinstallPage = reinstall_page::kChooseImage;
      }
      break;
    case reinstall_page::kChooseImage: {
      const int row = SelectedListRow(state);
      if (!state.listShowsImages || row < 0 || row >= static_cast<int>(state.visibleImageIndexes.size())) {
        ShowBox(state, L"请先选择要安装的系统版本。", MB_ICONWARNING);
        return;
      }
      state.reinstallImageIndex = static_cast<int>(state.visibleImageIndexes[row]);
      state.reinstallPage = reinstall_page::kChooseSoftware;
      break;
    }
    case reinstall_page::kChooseSoftware:
      if (RefusedWhileOtherRunBusy(state)) return;
      StartReinstallRun(state, false);
      return;
    case reinstall_page::kResult:
      if (state.reinstallOk) {
        RebootIntoPe(state, true);
      } else {
        PostMessageW(state.window, WM_CLOSE, 0, 0);
      }
      return;
    case reinstall_page::kManualTarget:
      if (!ConfirmManualTarget(state, L": 分区设为本次重装的目标——这个分区上的所有数据都会被清空，且无法恢复。\n\n确定是这个分区吗？")) {
        return;
      }
      ShowImageTitleAndCards(state);
      state.reinstallPage = reinstall_page::kChooseImage;
      break;
    default:
      return;
  }
  ApplyPage(state);
}

void NextBackup(MainWindowState& state) {
  const bool restore = state.restoreSelected;
  switch (state.backupPage) {
    case backup_page::kChooseOperation: {
      if (restore && state.restoreImagePath.empty()) {
        ShowBox(state, L"请先选择要还原的备份文件。", MB_ICONWARNING);
        return;
      }
      if (state.needsManualTarget && !state.manualTargetChosen) {
        FillVolumeList(state);
        state.backupPage = backup_page::kManualTarget;
        break;
      }
      if (RefusedWhileOtherRunBusy(state)) return;
      const int answer =
          restore ? ShowBox(state, L"即将准备还原，此操作最终会清空当前系统盘所有内容并替换为所选备份。\n\n是否继续？",
                            MB_ICONWARNING | MB_YESNO)
                  : ShowBox(state, L"即将备份当前系统分区，过程中需要重启进入 PE 环境，完成后会自动回到当前系统。\n\n是否继续？",
                            MB_ICONQUESTION | MB_YESNO);
      if (answer == IDYES) StartBackupRun(state, false);
      return;
    }
    case backup_page::kResult:
      if (!state.backupOk) {
        PostMessageW(state.window, WM_CLOSE, 0, 0);
      } else if (ShowBox(state,
                         state.lastBackupWasRestore
                             ? L"即将重启进入 PE 环境开始还原，请确保已保存所有工作。\n\n是否继续？"
                             : L"即将重启进入 PE 环境开始备份，请确保已保存所有工作。\n\n是否继续？",
                         MB_ICONWARNING | MB_YESNO) == IDYES) {
        RebootIntoPe(state, false);
      }
      return;
    case backup_page::kManualTarget:
      if (!ConfirmManualTarget(state, restore ? L": 分区设为本次还原的目标——这个分区上的所有数据都会被清空并替换成备份内容，且无法恢复。\n\n确定是这个分区吗？"
                                              : L": 分区设为本次备份的目标（读取这个分区的内容打包成镜像文件）。\n\n确定是这个分区吗？")) {
        return;
      }
      state.backupPage = backup_page::kChooseOperation;
      break;
    default:
      return;
  }
  ApplyPage(state);
}

void NextUsb(MainWindowState& state) {
  switch (state.usbPage) {
    case usb_page::kChooseDrive: {
      const int row = SelectedListRow(state);
      if (state.listShowsImages || row < 0 || row >= static_cast<int>(state.usbDrives.size())) {
        ShowBox(state, L"请先选择要制作的 U 盘。", MB_ICONWARNING);
        return;
      }
      const UsbDrive drive = state.usbDrives[row];
      wchar_t question[1024];
      swprintf(question, 1024,
               L"即将清空并制作以下 U 盘：\n\n%ls (%.1f GB)\n\n此操作会清空该 U 盘上的所有数据，且不可恢复。\n\n确认继续吗？",
               base::Utf8ToWide(drive.name).c_str(), drive.sizeGb);
      if (ShowBox(state, question, MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) != IDYES) return;
      // A scan's list may have replaced the rows while the question was open: go on only with the very drive the
      // user confirmed, still on this page.
      const bool stillThatDrive = state.mode == WindowMode::UsbMaker && state.usbPage == usb_page::kChooseDrive &&
                                  !state.listShowsImages && row < static_cast<int>(state.usbDrives.size()) &&
                                  state.usbDrives[row] == drive;
      if (!stillThatDrive) {
        ShowBox(state, L"请先选择要制作的 U 盘。", MB_ICONWARNING);
        return;
      }
      state.chosenUsbDrive = drive;
      SetControlText(state, kIdListTitle, L"请选择要写入 U 盘的系统版本：");
      FillImageList(state);
      state.usbPage = usb_page::kChooseImage;
      break;
    }
    case usb_page::kChooseImage: {
      const int row = SelectedListRow(state);
      if (!state.listShowsImages || row < 0 || row >= static_cast<int>(state.visibleImageIndexes.size())) {
        ShowBox(state, L"请先选择要写入 U 盘的系统版本。", MB_ICONWARNING);
        return;
      }
      state.usbImageIndex = static_cast<int>(state.visibleImageIndexes[row]);
      if (RefusedWhileOtherRunBusy(state)) return;
      if (ShowBox(state, L"即将开始制作，过程中请保持网络连接，不要拔出 U 盘。\n\n是否继续？", MB_ICONQUESTION | MB_YESNO) ==
          IDYES) {
        StartUsbRun(state);
      }
      return;
    }
    case usb_page::kResult:
      PostMessageW(state.window, WM_CLOSE, 0, 0);
      return;
    case usb_page::kMarkSystemVolume:
      if (!ConfirmManualTarget(state, L": 分区标记为本机系统盘（用于在选 U 盘时正确排除，避免误选成目标）。\n\n确定是这个分区吗？")) {
        return;
      }
      state.usbPage = usb_page::kChooseDrive;
      SetControlText(state, kIdListTitle, L"请选择要制作的 U 盘：");
      StartUsbDriveScan(state);
      break;
    default:
      return;
  }
  ApplyPage(state);
}

void OnBack(MainWindowState& state) {
  if (state.mode == WindowMode::UsbMaker && state.usbPage == usb_page::kChooseImage) {
    SetControlText(state, kIdListTitle, L"请选择要制作的 U 盘：");
    state.usbPage = usb_page::kChooseDrive;
    StartUsbDriveScan(state);
  } else if (state.mode == WindowMode::Reinstall && state.reinstallPage == reinstall_page::kChooseSoftware) {
    if (state.listTakenByUsb) ShowImageTitleAndCards(state);
    state.reinstallPage = reinstall_page::kChooseImage;
  } else {
    return;
  }
  ApplyPage(state);
}

// ---- Other commands ----

void OnOperationChoice(MainWindowState& state, bool restore) {
  state.restoreSelected = restore;
  ShowBackupDescription(state);
  ApplyPage(state);
}

void OnChooseBackupFile(MainWindowState& state) {
  wchar_t path[260] = L"";
  OPENFILENAMEW open{};
  open.lStructSize = sizeof open;
  open.hwndOwner = state.window;
  open.lpstrFilter = L"备份镜像文件 (*.wim)\0*.wim\0所有文件 (*.*)\0*.*\0";
  open.lpstrFile = path;
  open.nMaxFile = 260;
  open.lpstrTitle = L"选择备份文件";
  open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  bool chosen = false;
  {
    const ModalScope modal(state);
    chosen = GetOpenFileNameW(&open) != FALSE;
  }
  if (chosen) {
    state.restoreImagePath = path;
    SetControlText(state, kIdFilePath, path);
  }
  ApplyPage(state);
}

void OnFilter(MainWindowState& state, int filter) {
  if (filter == state.windowsFilter) return;
  state.windowsFilter = filter;
  FillImageList(state);
  InvalidateRect(Control(state, kIdFilter10), nullptr, FALSE);
  InvalidateRect(Control(state, kIdFilter11), nullptr, FALSE);
}

void OnDiagnose(MainWindowState& state) {
  const std::wstring path = inspect::WriteDiagnosticFile(base::kClientVersion);
  if (path.empty()) {
    ShowBox(state, L"生成诊断信息失败，请查看 pl_host_gui.log 排查。", MB_ICONERROR);
    return;
  }
  ShowBox(state, L"已生成诊断信息文件：\n" + path + L"\n\n遇到问题时可以把这份文件发给客服。", MB_ICONINFORMATION);
  // By its full path: a bare name is looked for in the working folder first, which for a downloaded copy is the
  // Downloads folder.
  const std::wstring windows = base::WindowsDirectoryPath();
  if (windows.empty()) return;
  const std::wstring parameters = L"/select,\"" + path + L"\"";
  ShellExecuteW(nullptr, L"open", (windows + L"\\explorer.exe").c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL);
}

void OnDecrypt(MainWindowState& state) {
  const wchar_t letter = state.environment.staging.bitLockerBlockedLetter;
  if (letter == 0) return;
  bool decrypted = false;
  {
    const ModalScope modal(state);
    decrypted = ConfirmAndDecryptVolume(state.window, letter);
  }
  if (!decrypted) return;
  state.environment.staging = state.seams.checkStaging();
  ApplyPage(state);
}

void OnCommand(MainWindowState& state, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case kIdTabReinstall:
    case kIdTabUsb:
    case kIdTabBackup:
      return OnTab(state, id);
    case kIdNext:
      if (state.mode == WindowMode::Reinstall) return NextReinstall(state);
      if (state.mode == WindowMode::BackupRestore) return NextBackup(state);
      return NextUsb(state);
    case kIdBack:
      return OnBack(state);
    case kIdBackupRadio:
    case kIdRestoreRadio:
      return OnOperationChoice(state, id == kIdRestoreRadio);
    case kIdChooseFile:
      return OnChooseBackupFile(state);
    case kIdMinimise:
      ShowWindow(state.window, SW_MINIMIZE);
      return;
    case kIdClose:
      PostMessageW(state.window, WM_CLOSE, 0, 0);
      return;
    case kIdFilter10:
    case kIdFilter11:
      return OnFilter(state, id == kIdFilter11 ? 11 : 10);
    case kIdDiagnose:
      return OnDiagnose(state);
    case kIdContact: {
      const ModalScope modal(state);
      ShowContactDialog(state.window);
      return;
    }
    case kIdAiHelp:
      return OnAiHelp(state);
    case kIdDecrypt:
      return OnDecrypt(state);
    default:
      return;
  }
}

void OnTimer(MainWindowState& state) {
  const int next = StepTowards(state.shownPercent, state.targetPercent);
  if (next != state.shownPercent) {
    state.shownPercent = next;
    SendMessageW(Control(state, kIdProgress), PBM_SETPOS, next, 0);
  }
  RefreshTransferLine(state, false);
  if (state.mode == WindowMode::Reinstall && state.reinstallPage == reinstall_page::kEnvCheck &&
      !state.environmentReady) {
    ++state.animationTick;
    const RECT card{176, 96, 892, 502};
    InvalidateRect(state.window, &card, FALSE);
  }
}

// The header band drags the window, except over the two window buttons.
LRESULT OnHitTest(HWND window, WPARAM wParam, LPARAM lParam) {
  const LRESULT hit = DefWindowProcW(window, WM_NCHITTEST, wParam, lParam);
  if (hit != HTCLIENT) return hit;
  POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ScreenToClient(window, &point);
  if (point.y <= 87 && !(point.x >= 808 && point.x <= 899)) return HTCAPTION;
  return hit;
}

// ---- Keyboard ----

// Focus marks appear once the keyboard is used, and stay; the standard controls draw theirs from then on too.
void ShowFocusMarks(MainWindowState& state) {
  if (state.showFocus) return;
  state.showFocus = true;
  SendMessageW(state.window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
  if (HWND focus = GetFocus(); IsChild(state.window, focus)) InvalidateRect(focus, nullptr, FALSE);
}

bool Focusable(const MainWindowState& state, int id) {
  HWND control = Control(state, id);
  if (control == nullptr || !IsWindowVisible(control) || !IsWindowEnabled(control)) return false;
  // Of the two choices only the chosen one is a stop; the arrow keys move between them.
  if (id == kIdBackupRadio || id == kIdRestoreRadio) return Button_GetCheck(control) == BST_CHECKED;
  return true;
}

void FocusControl(MainWindowState& state, int id) {
  ShowFocusMarks(state);
  SetFocus(Control(state, id));
}

// Tab, Shift+Tab, the arrows between peers and Enter, for the window and its controls; other keys go on to the
// focused control (Space presses a button, arrows move in a list). True when the key was taken here.
bool TranslateWindowKey(MainWindowState& state, const MSG& message) {
  if (message.message != WM_KEYDOWN || !IsWindowEnabled(state.window)) return false;
  if (message.hwnd != state.window && !IsChild(state.window, message.hwnd)) return false;
  HWND focus = GetFocus();
  const int focused = IsChild(state.window, focus) ? GetDlgCtrlID(focus) : 0;
  const auto focusable = [&state](int id) { return Focusable(state, id); };
  switch (message.wParam) {
    case VK_TAB: {
      if (const int next = NextTabStop(focused, GetKeyState(VK_SHIFT) < 0, focusable)) FocusControl(state, next);
      return true;
    }
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN: {
      ShowFocusMarks(state);
      const int peer = ArrowPeer(focused, message.wParam == VK_LEFT || message.wParam == VK_UP ? -1 : 1, focusable);
      if (peer == 0) return false;  // a list moves its own selection
      FocusControl(state, peer);
      if (peer == kIdBackupRadio || peer == kIdRestoreRadio) SendMessageW(Control(state, peer), BM_CLICK, 0, 0);
      return true;
    }
    case VK_RETURN: {
      if ((message.lParam & (1 << 30)) != 0) return true;  // held down: one press only
      const int target = PressesItselfOnEnter(focused) ? focused : Focusable(state, kIdNext) ? kIdNext : 0;
      if (target != 0) {
        SendMessageW(state.window, WM_COMMAND, MAKEWPARAM(target, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Control(state, target)));
      }
      return true;
    }
    default:
      return false;
  }
}

// Back from another window (a box, a dialog), the control that had the keyboard has it again.
bool OnActivate(MainWindowState& state, WPARAM wParam) {
  if (LOWORD(wParam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    state.lastFocus = IsChild(state.window, focus) ? focus : nullptr;
    return false;
  }
  HWND last = state.lastFocus;
  if (last == nullptr || !IsWindow(last) || !IsWindowVisible(last) || !IsWindowEnabled(last)) return false;
  SetFocus(last);
  return true;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) return OnCreate(window, *reinterpret_cast<CREATESTRUCTW*>(lParam)) ? 0 : -1;
  MainWindowState* state = StateOf(window);
  if (state == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_DESTROY:
      OnDestroy(state);
      return 0;
    case WM_CLOSE:
      OnClose(*state);
      return 0;
    case WM_COMMAND:
      OnCommand(*state, LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_ACTIVATE:
      if (OnActivate(*state, wParam)) return 0;
      break;
    case WM_TIMER:
      if (wParam == kAnimationTimer) OnTimer(*state);
      return 0;
    case WM_NCHITTEST:
      return OnHitTest(window, wParam, lParam);
    case WM_NCLBUTTONDBLCLK:
      if (wParam == HTCAPTION) return 0;
      break;
    case WM_SYSCOMMAND:
      // The layout is fixed at 900x600: no maximising by the system menu or keyboard either.
      if ((wParam & 0xFFF0) == SC_MAXIMIZE) return 0;
      break;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      OnPaint(*state);
      return 0;
    case WM_CTLCOLORSTATIC:
      return OnControlColour(*state, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_MEASUREITEM:
      OnMeasureItem(*reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_DRAWITEM:
      OnDrawItem(*state, *reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case MsgStartupResult:
      OnStartupResult(*state, reinterpret_cast<StartupResult*>(lParam));
      return 0;
    case MsgReinstallStatus:
    case MsgBackupStatus:
    case MsgUsbStatus:
      OnStatus(*state, reinterpret_cast<std::wstring*>(lParam));
      return 0;
    case MsgReinstallProgress:
    case MsgBackupProgress:
    case MsgUsbProgress:
      OnProgress(*state, wParam);
      return 0;
    case MsgReinstallDone:
      OnReinstallDone(*state, reinterpret_cast<RunOutcome*>(lParam));
      return 0;
    case MsgBackupDone:
      OnBackupDone(*state, reinterpret_cast<RunOutcome*>(lParam));
      return 0;
    case MsgUsbDone:
      OnUsbDone(*state, reinterpret_cast<RunOutcome*>(lParam));
      return 0;
    case MsgUsbDrives:
      OnUsbDrives(*state, reinterpret_cast<UsbDriveList*>(lParam));
      return 0;
    case MsgRunBytes:
      OnRunBytes(*state, reinterpret_cast<pipeline::TransferBytes*>(lParam));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

MainWindowState* StateOf(HWND window) {
  return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

int& CurrentPage(MainWindowState& state) {
  return state.mode == WindowMode::Reinstall       ? state.reinstallPage
         : state.mode == WindowMode::BackupRestore ? state.backupPage
                                                   : state.usbPage;
}

int PageOf(const MainWindowState& state) { return CurrentPage(const_cast<MainWindowState&>(state)); }

HWND Control(const MainWindowState& state, int id) { return GetDlgItem(state.window, id); }

ModalScope::ModalScope(MainWindowState& owner) : state(owner) { ++state.modalDepth; }

ModalScope::~ModalScope() {
  if (--state.modalDepth > 0 || !state.closePending) return;
  state.closePending = false;
  PostMessageW(state.window, WM_CLOSE, 0, 0);
}

int ShowBox(MainWindowState& state, const std::wstring& text, UINT flags, const wchar_t* caption) {
  const ModalScope modal(state);
  return MessageBoxW(state.window, text.c_str(), caption != nullptr ? caption : base::kProductNameW, flags);
}

int RunMainWindow(HINSTANCE instance, int showCommand, bool dryRun, const MainWindowSeams& seams) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON,
                                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kMainWindowClass;
  if (!RegisterClassExW(&windowClass)) {
    ReportCreateFailure("注册窗口类失败, GetLastError=" + std::to_string(GetLastError()));
    return 1;
  }

  RECT frame{0, 0, 900, 600};
  AdjustWindowRect(&frame, kStyle, FALSE);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  CreateParams params{dryRun, &seams};
  HWND window = CreateWindowExW(WS_EX_APPWINDOW, kMainWindowClass, base::kProductNameW, kStyle, x, y, width, height,
                                nullptr, nullptr, instance, &params);
  if (window == nullptr) {
    ReportCreateFailure(!params.error.empty() ? params.error
                                              : "创建窗口失败, GetLastError=" + std::to_string(GetLastError()));
    return 1;
  }
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowClass.hIcon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowClass.hIconSm));
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    MainWindowState* state = StateOf(window);
    if (state != nullptr && TranslateWindowKey(*state, message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace pl::ui
