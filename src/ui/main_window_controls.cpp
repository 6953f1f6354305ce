// The child controls of the pages: created once from a table, shown and hidden by ApplyPage, and the list fills.

#include <windows.h>

#include <commctrl.h>

#include "base/resource.h"
#include "base/text.h"
#include "software/installed_software.h"
#include "ui/main_window_state.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

enum Extra : unsigned { kNone = 0, kHover = 1, kDisabled = 2, kChecked = 4 };

struct ControlRow {
  int id;
  const wchar_t* className;
  DWORD style;  // beyond WS_CHILD
  int x, y, width, height;
  const wchar_t* text;
  unsigned extra;
  uint32_t group;  // 0: not governed by the page table
};

constexpr DWORD kOwnerDraw = BS_OWNERDRAW | WS_TABSTOP;
constexpr DWORD kCheckList = LVS_REPORT | LVS_SINGLESEL | LVS_NOCOLUMNHEADER;

const ControlRow kControls[] = {
    {kIdTabReinstall, L"BUTTON", WS_VISIBLE | kOwnerDraw, 329, 8, 140, 72, L"一键重装", kHover | kDisabled, 0},
    {kIdTabUsb, L"BUTTON", WS_VISIBLE | kOwnerDraw, 479, 8, 140, 72, L"U盘启动", kHover | kDisabled, 0},
    {kIdTabBackup, L"BUTTON", WS_VISIBLE | kOwnerDraw, 629, 8, 140, 72, L"备份/还原", kHover | kDisabled, 0},
    {kIdListTitle, L"STATIC", SS_NOPREFIX, 192, 104, 684, 24, L"请选择要安装的系统版本：", kNone, kGroupList},
    {kIdFilter10, L"BUTTON", kOwnerDraw, 192, 134, 92, 30, L"WIN10", kHover, kGroupFilter},
    {kIdFilter11, L"BUTTON", kOwnerDraw, 294, 134, 92, 30, L"WIN11", kHover, kGroupFilter},
    {kIdList, L"LISTBOX", WS_VSCROLL | LBS_NOTIFY | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT, 192,
     174, 684, 320, L"", kNone, kGroupList},
    {kIdManualHint, L"STATIC", SS_NOPREFIX, 192, 104, 684, 40,
     L"未能自动识别出目标系统盘（该机器上没有找到可识别的已装系统），请手动选择要重装到哪个磁盘分区：\n"
     L"（此操作会清空所选分区的所有数据，请务必选对）",
     kNone, kGroupManual},
    {kIdVolumeList, WC_LISTVIEWW, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 192, 150, 684, 344, L"", kNone,
     kGroupManual},
    {kIdSoftwareTitle, L"STATIC", SS_NOPREFIX, 192, 104, 684, 20, L"请选择需要安装的软件（默认全选，可取消勾选）：",
     kNone, kGroupSoftware},
    {kIdItemList, WC_LISTVIEWW, kCheckList, 192, 128, 684, 190, L"", kNone, kGroupSoftware},
    {kIdInstalledTitle, L"STATIC", SS_NOPREFIX, 192, 326, 684, 20,
     L"检测到本机已安装以下软件，勾选后：能匹配到上方目录的会一起安装到新系统，其余仅记录（不参与本次安装）：", kNone,
     kGroupSoftware},
    {kIdInstalledList, WC_LISTVIEWW, kCheckList, 192, 350, 684, 144, L"", kNone, kGroupSoftware},
    {kIdStatus, L"STATIC", SS_CENTER | SS_NOPREFIX, 192, 248, 684, 30, L"", kNone, kGroupRun},
    {kIdProgress, PROGRESS_CLASSW, PBS_SMOOTH, 192, 288, 684, 22, L"", kNone, kGroupRun},
    {kIdTransfer, L"STATIC", SS_CENTER | SS_NOPREFIX, 192, 318, 684, 20, L"", kNone, kGroupRun},
    {kIdResult, L"STATIC", SS_NOPREFIX, 192, 104, 684, 390, L"", kNone, kGroupResult},
    {kIdBackupRadio, L"BUTTON", WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 192, 108, 200, 24, L"备份当前系统", kChecked,
     kGroupOperation},
    {kIdRestoreRadio, L"BUTTON", BS_AUTORADIOBUTTON, 412, 108, 200, 24, L"从备份还原", kNone, kGroupOperation},
    {kIdOperationText, L"STATIC", SS_NOPREFIX, 192, 148, 684, 100, L"", kNone, kGroupOperation},
    {kIdChooseFile, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 192, 258, 160, 30, L"选择备份文件...", kNone, kGroupFile},
    {kIdFilePath, L"STATIC", SS_NOPREFIX | SS_PATHELLIPSIS, 368, 262, 508, 24, L"", kNone, kGroupFile},
    {kIdBack, L"BUTTON", kOwnerDraw, 192, 524, 110, 36, L"上一步", kHover, 0},
    {kIdNext, L"BUTTON", kOwnerDraw, 676, 524, 200, 36, L"下一步", kHover | kDisabled, 0},
    {kIdAiHelp, L"BUTTON", kOwnerDraw, 314, 524, 160, 36, L"AI 帮我看看", kNone, 0},
    {kIdDecrypt, L"BUTTON", kOwnerDraw, 486, 524, 160, 36, L"关闭加密后使用", kNone, 0},
    {kIdAutoRestart, L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX, 476, 532, 180, 20, L"完成后自动重启", kChecked,
     kGroupSoftware},
    // The window buttons draw only a glyph; their texts name them for screen readers.
    {kIdMinimise, L"BUTTON", WS_VISIBLE | kOwnerDraw, 808, 0, 46, 36, L"最小化", kHover, 0},
    {kIdClose, L"BUTTON", WS_VISIBLE | kOwnerDraw, 854, 0, 46, 36, L"关闭", kHover, 0},
    {kIdDiagnose, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 754, 577, 130, 20, L"生成诊断信息", kNone, 0},
    {kIdContact, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 654, 577, 90, 20, L"联系我们", kNone, 0},
};

HWND CreateChild(const MainWindowState& state, const wchar_t* className, DWORD style, DWORD exStyle, RECT box,
                 const wchar_t* text, int id) {
  return CreateWindowExW(exStyle, className, text, WS_CHILD | style, box.left, box.top, box.right, box.bottom,
                         state.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(state.window, GWLP_HINSTANCE)), nullptr);
}

void AddColumn(HWND list, int index, const wchar_t* title, int width) {
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = const_cast<wchar_t*>(title);
  column.cx = width;
  SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

void InsertRow(HWND list, int row, const std::wstring& text) {
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void SetCheck(HWND list, int row, bool checked) {
  LVITEMW item{};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

void ShowGroup(const MainWindowState& state, uint32_t visibleGroups) {
  for (const ControlRow& row : kControls) {
    if (row.group == 0) continue;
    ShowWindow(Control(state, row.id), (row.group & visibleGroups) != 0 ? SW_SHOW : SW_HIDE);
  }
}

}  // namespace

bool CreateControls(MainWindowState& state, std::string* error) {
  for (const ControlRow& row : kControls) {
    const bool listView = std::wstring_view(row.className) == WC_LISTVIEWW;
    HWND control = CreateChild(state, row.className, row.style, listView ? WS_EX_CLIENTEDGE : 0,
                               {row.x, row.y, row.width, row.height}, row.text, row.id);
    if (control == nullptr) {
      *error = "创建界面控件 " + std::to_string(row.id) + " 失败, GetLastError=" + std::to_string(GetLastError());
      return false;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.uiFont.get()), FALSE);
    if (row.extra & kHover) TrackHover(control);
    if (row.extra & kDisabled) EnableWindow(control, FALSE);
    if (row.extra & kChecked) SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
  }
  HWND logo = CreateChild(state, L"STATIC", WS_VISIBLE | SS_ICON, 0, {20, 24, 40, 40}, L"", 0);
  SendMessageW(logo, STM_SETICON, reinterpret_cast<WPARAM>(state.logoIcon), 0);
  SetWindowPos(logo, nullptr, 20, 24, 40, 40, SWP_NOZORDER | SWP_NOACTIVATE);

  HWND volumes = Control(state, kIdVolumeList);
  SendMessageW(volumes, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  const std::pair<const wchar_t*, int> columns[] = {{L"盘符", 60}, {L"卷标", 140}, {L"文件系统", 90}, {L"容量", 110},
                                                    {L"所在磁盘", 90}};
  for (int i = 0; i < 5; ++i) AddColumn(volumes, i, columns[i].first, columns[i].second);
  for (int id : {kIdItemList, kIdInstalledList}) {
    SendMessageW(Control(state, id), LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    AddColumn(Control(state, id), 0, L"软件名称", 660);
  }
  SendMessageW(Control(state, kIdProgress), PBM_SETRANGE32, 0, 100);
  SendMessageW(Control(state, kIdTransfer), WM_SETFONT, reinterpret_cast<WPARAM>(ThemeFont(9, false)), FALSE);
  ShowBackupDescription(state);
  ApplyPage(state);
  return true;
}

void SetControlText(const MainWindowState& state, int id, const std::wstring& text) {
  SetWindowTextW(Control(state, id), text.c_str());
}

void ApplyPage(MainWindowState& state) {
  PageInputs inputs;
  inputs.mode = state.mode;
  inputs.page = CurrentPage(state);
  inputs.environmentReady = state.environmentReady;
  inputs.needsManualTarget = state.needsManualTarget;
  inputs.manualTargetChosen = state.manualTargetChosen;
  inputs.staging = state.environment.staging;
  inputs.systemBitLockerOn = state.environment.systemBitLockerOn;
  inputs.restoreSelected = state.restoreSelected;
  inputs.restorePathChosen = !state.restoreImagePath.empty();
  inputs.runOk = state.mode == WindowMode::Reinstall ? state.reinstallOk
                 : state.mode == WindowMode::BackupRestore ? state.backupOk
                                                             : state.usbOk;
  inputs.usbDrivesListed = !state.usbDrives.empty();
  const PageLayout layout = LayoutFor(inputs);
  ShowGroup(state, layout.groups);
  if ((layout.groups & kGroupResult) != 0) {
    SetControlText(state, kIdResult, state.mode == WindowMode::Reinstall       ? state.reinstallResultText
                                     : state.mode == WindowMode::BackupRestore ? state.backupResultText
                                                                               : state.usbResultText);
  }
  ShowWindow(Control(state, kIdBack), layout.backVisible ? SW_SHOW : SW_HIDE);
  HWND next = Control(state, kIdNext);
  SetWindowTextW(next, layout.nextText.c_str());
  ShowWindow(next, layout.nextVisible ? SW_SHOW : SW_HIDE);
  EnableWindow(next, layout.nextEnabled);
  ShowWindow(Control(state, kIdAiHelp), layout.aiHelpVisible ? SW_SHOW : SW_HIDE);
  ShowWindow(Control(state, kIdDecrypt), layout.decryptVisible ? SW_SHOW : SW_HIDE);
  InvalidateRect(state.window, nullptr, FALSE);
  for (int id : {kIdTabReinstall, kIdTabUsb, kIdTabBackup, kIdNext}) InvalidateRect(Control(state, id), nullptr, FALSE);
  // A control the page hid or disabled cannot keep the keyboard: the window takes it (Enter then presses Next).
  HWND focus = GetFocus();
  if (IsChild(state.window, focus) && (!IsWindowVisible(focus) || !IsWindowEnabled(focus))) SetFocus(state.window);
}

void FillImageList(MainWindowState& state) {
  HWND list = Control(state, kIdList);
  state.listShowsImages = true;
  SendMessageW(list, LB_SETITEMHEIGHT, 0, 78);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  state.visibleImageIndexes = VisibleImages(state.config.osImages, state.windowsFilter);
  for (size_t index : state.visibleImageIndexes) {
    const std::wstring name = base::Utf8ToWide(state.config.osImages[index].displayName);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  SendMessageW(list, LB_SETCURSEL, RowToSelect(state.visibleImageIndexes, state.defaultImageIndex), 0);
}

void FillInstallItems(MainWindowState& state) {
  HWND list = Control(state, kIdItemList);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < state.config.installItems.size(); ++i) {
    InsertRow(list, static_cast<int>(i), base::Utf8ToWide(InstallItemText(state.config.installItems[i])));
    SetCheck(list, static_cast<int>(i), true);
  }
}

void FillInstalledSoftware(MainWindowState& state) {
  HWND list = Control(state, kIdInstalledList);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < state.installedSoftware.size(); ++i) {
    const std::string& name = state.installedSoftware[i].name;
    bool matches = false;
    for (const config::InstallItem& item : state.config.installItems) {
      matches = matches || software::SoftwareNameMatches(name, InstallItemText(item));
    }
    InsertRow(list, static_cast<int>(i), base::Utf8ToWide(name));
    SetCheck(list, static_cast<int>(i), matches);
  }
}

void FillVolumeList(MainWindowState& state) {
  HWND list = Control(state, kIdVolumeList);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < state.candidateVolumes.size(); ++i) {
    const std::vector<std::wstring> texts = VolumeRowTexts(state.candidateVolumes[i]);
    InsertRow(list, static_cast<int>(i), texts[0]);
    for (int column = 1; column < static_cast<int>(texts.size()); ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = const_cast<wchar_t*>(texts[column].c_str());
      SendMessageW(list, LVM_SETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
    }
  }
  if (!state.candidateVolumes.empty()) {
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
  }
}

void ShowListPlaceholder(MainWindowState& state, const std::wstring& row) {
  HWND list = Control(state, kIdList);
  state.listShowsImages = false;
  SendMessageW(list, LB_SETITEMHEIGHT, 0, 26);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
}

void FillDriveRows(MainWindowState& state) {
  if (state.usbDrives.empty()) {
    ShowListPlaceholder(state, state.usbDriveNotice.empty() ? L"未检测到可用的 U 盘，请插入后重新进入该功能"
                                                            : base::Utf8ToWide(state.usbDriveNotice));
    return;
  }
  HWND list = Control(state, kIdList);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  for (const UsbDrive& drive : state.usbDrives) {
    const std::wstring text = DriveRowText(drive.name, drive.sizeGb);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

int SelectedListRow(const MainWindowState& state) {
  return static_cast<int>(SendMessageW(Control(state, kIdList), LB_GETCURSEL, 0, 0));
}

int SelectedVolumeRow(const MainWindowState& state) {
  return static_cast<int>(SendMessageW(Control(state, kIdVolumeList), LVM_GETNEXTITEM, -1, LVNI_SELECTED));
}

bool ListViewChecked(const MainWindowState& state, int id, int row) {
  const LRESULT value = SendMessageW(Control(state, id), LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK);
  return ((value & LVIS_STATEIMAGEMASK) >> 12) == 2;
}

void ShowBackupDescription(MainWindowState& state) {
  SetControlText(state, kIdOperationText,
                 BackupDescription(state.restoreSelected, state.environmentReady && state.environment.systemBitLockerOn));
}

}  // namespace pl::ui
