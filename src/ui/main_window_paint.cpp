// What the main window draws itself: header, left bar, footer, the environment page with its notices, and the
// owner-drawn controls; everything into an off-screen bitmap copied with one BitBlt.

#include "base/resource.h"
#include "base/text.h"
#include "ui/main_window_state.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

constexpr RECT kHeader{0, 0, 900, 88};
constexpr RECT kLeftBar{0, 88, 168, 574};
constexpr RECT kFooter{0, 574, 900, 600};
constexpr RECT kContentCard{176, 96, 892, 502};

void PaintLeftBar(const MainWindowState& state, HDC dc) {
  DrawLeftBar(dc, kLeftBar);
  DrawModeTitle(dc, {12, 100, 156, 150}, ModeTitle(state.mode));
  const std::vector<StepInfo> steps = ModeSteps(state.mode);
  const int height = steps.size() == 5 ? 80 : 404 / static_cast<int>(steps.size());
  const int page = PageOf(state);
  for (int i = 0; i < static_cast<int>(steps.size()); ++i) {
    const RECT rect{4, 160 + i * height, 164, 160 + (i + 1) * height};
    DrawStepItem(dc, rect, steps[i].icon, steps[i].label, i == page, i < page);
  }
}

// The bar's moving segment while the check runs: there and back every 120 ticks.
int SegmentOffset(int tick) {
  const int t = tick % 120;
  return t <= 60 ? t * 479 / 60 : (57480 - t * 479) / 60;
}

void PaintEnvironmentPage(const MainWindowState& state, HDC dc) {
  DrawContentCard(dc, kContentCard);
  const RECT track{192, 118, 876, 126};
  FillRounded(dc, track, 8, kBorder);
  if (state.environmentReady) {
    FillRounded(dc, track, 8, kAccent);
  } else {
    const int x = SegmentOffset(state.animationTick);
    FillRounded(dc, {192 + x, 118, 397 + x, 126}, 8, kAccent);
  }
  FillEllipse(dc, {196, 142, 256, 202}, kAccentLight);
  DrawLineIcon(dc, 3, {226, 172}, 30, kAccent);
  DrawTextIn(dc, state.environmentReady ? L"已对环境检测完毕" : L"正在检测环境...", {276, 158, 876, 186},
             ThemeFont(12, true), kTextPrimary, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
  if (!state.environmentReady) return;

  const inspect::EnvironmentSummary& env = state.environment;
  const std::pair<const wchar_t*, const std::string*> rows[] = {
      {L"当前系统：", &env.osText},          {L"CPU型号：", &env.cpuText},         {L"物理内存：", &env.memoryText},
      {L"系统盘符：", &env.systemDriveText}, {L"分区类型：", &env.partitionText},  {L"安全启动：", &env.secureBootText},
      {L"主板型号：", &env.motherboardText}, {L"硬盘信息：", &env.diskText},       {L"网络状态：", &env.networkText},
  };
  int y = 222;
  for (const auto& [label, value] : rows) {
    DrawTextIn(dc, label, {192, y, 332, y + 20}, ThemeFont(10, false), kTextSecondary, DT_SINGLELINE | DT_VCENTER);
    DrawTextIn(dc, base::Utf8ToWide(*value), {332, y, 876, y + 20}, ThemeFont(10, false), kTextPrimary,
               DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    y += 20;
  }
  const std::vector<NoticeText> notices =
      EnvironmentNotices(env.systemBitLockerOn, state.needsManualTarget, env.staging);
  const bool single = notices.size() == 1;
  y += 8;
  for (const NoticeText& notice : notices) {
    DrawNotice(dc, {192, y, 876, y + (single ? 32 : 22)}, notice.text,
               notice.tone == NoticeTone::Alert ? NoticeKind::Alert : NoticeKind::Hint);
    y += single ? 38 : 25;
  }
}

int TabPicture(int id) {
  return id == kIdTabReinstall ? IDR_PNG_TAB_REINSTALL : id == kIdTabUsb ? IDR_PNG_TAB_USB : IDR_PNG_TAB_BACKUP;
}

bool TabSelected(const MainWindowState& state, int id) {
  return (id == kIdTabReinstall && state.mode == WindowMode::Reinstall) ||
         (id == kIdTabUsb && state.mode == WindowMode::UsbMaker) ||
         (id == kIdTabBackup && state.mode == WindowMode::BackupRestore);
}

void DrawListRow(const MainWindowState& state, const DRAWITEMSTRUCT& item) {
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  const bool focused = state.showFocus && (item.itemState & ODS_FOCUS) != 0;
  if (item.itemID == static_cast<UINT>(-1)) {
    FillSolid(item.hDC, item.rcItem, kWindowBackground);
    return;
  }
  if (state.listShowsImages && item.itemID < state.visibleImageIndexes.size()) {
    const config::OsImageEntry& image = state.config.osImages[state.visibleImageIndexes[item.itemID]];
    DrawImageCard(item.hDC, item.rcItem, base::Utf8ToWide(image.displayName), ImageCardDetail(image), selected,
                  focused);
    return;
  }
  wchar_t text[512] = L"";
  if (SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0) < 511) {
    SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID, reinterpret_cast<LPARAM>(text));
  }
  DrawDriveRow(item.hDC, item.rcItem, text, selected, focused);
}

}  // namespace

void OnPaint(MainWindowState& state) {
  PAINTSTRUCT paint;
  HDC windowDc = BeginPaint(state.window, &paint);
  RECT client;
  GetClientRect(state.window, &client);
  base::UniqueMemoryDc dc(CreateCompatibleDC(windowDc));
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(windowDc, client.right, client.bottom));
  if (dc && bitmap) {
    HGDIOBJ old = SelectObject(dc.get(), bitmap.get());
    FillSolid(dc.get(), client, kWindowBackground);
    DrawHeader(dc.get(), kHeader, L"Pellora重装大师");
    PaintLeftBar(state, dc.get());
    DrawFooter(dc.get(), kFooter, state.footerText);
    if (state.mode == WindowMode::Reinstall && state.reinstallPage == reinstall_page::kEnvCheck) {
      PaintEnvironmentPage(state, dc.get());
    }
    BitBlt(windowDc, 0, 0, client.right, client.bottom, dc.get(), 0, 0, SRCCOPY);
    SelectObject(dc.get(), old);
  }
  EndPaint(state.window, &paint);
}

void OnDrawItem(MainWindowState& state, const DRAWITEMSTRUCT& item) {
  const int id = static_cast<int>(item.CtlID);
  wchar_t text[128] = L"";
  if (item.CtlType == ODT_BUTTON) GetWindowTextW(item.hwndItem, text, 128);
  if (id == kIdList) return DrawListRow(state, item);
  const bool selected = (id == kIdFilter10 || id == kIdFilter11) ? state.windowsFilter == (id == kIdFilter11 ? 11 : 10)
                                                                 : TabSelected(state, id);
  DrawState look = ItemState(item, selected);
  look.focused = look.focused && state.showFocus;  // only once the keyboard has been used
  switch (id) {
    case kIdTabReinstall:
    case kIdTabUsb:
    case kIdTabBackup:
      return DrawTab(item.hDC, item.rcItem, TabPicture(id), text, look);
    case kIdMinimise:
    case kIdClose:
      return DrawWindowButton(item.hDC, item.rcItem, id == kIdClose ? WindowButton::Close : WindowButton::Minimise,
                              look);
    case kIdFilter10:
    case kIdFilter11:
      return DrawFilterButton(item.hDC, item.rcItem, text, look);
    default:
      return DrawWizardButton(item.hDC, item.rcItem, text, id == kIdNext, look);
  }
}

void OnMeasureItem(MEASUREITEMSTRUCT& item) {
  if (item.CtlID == static_cast<UINT>(kIdList)) item.itemHeight = 78;
}

LRESULT OnControlColour(MainWindowState& state, HDC dc, HWND control) {
  if (!state.backgroundBrush) state.backgroundBrush.reset(CreateSolidBrush(kWindowBackground));
  if (GetDlgCtrlID(control) != 0) {
    SetBkColor(dc, kWindowBackground);
    SetTextColor(dc, GetDlgCtrlID(control) == kIdTransfer ? kTextSecondary : kTextPrimary);
  }
  return reinterpret_cast<LRESULT>(state.backgroundBrush.get());
}

}  // namespace pl::ui
