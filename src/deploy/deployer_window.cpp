#include "deploy/deployer_window.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>

#include "base/constants.h"
#include "base/resource.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "ui/theme.h"

namespace pl::deploy {
namespace {

using base::Utf8ToWideReplacing;

// Posted by the worker; lParam is a heap record the window takes over (MsgChoose: one the worker keeps).
constexpr UINT MsgStep = WM_APP + 700;
constexpr UINT MsgDetail = WM_APP + 701;
constexpr UINT MsgChoose = WM_APP + 702;
constexpr UINT MsgDone = WM_APP + 703;

constexpr int kWidth = 600;
constexpr int kHeight = 360;
constexpr RECT kHeader{0, 0, kWidth, 88};
constexpr RECT kCard{16, 100, kWidth - 16, kHeight - 16};
constexpr RECT kTrack{40, 158, kWidth - 40, 166};
constexpr RECT kMessageBox{32, 204, kWidth - 32, 264};
constexpr int kRowHeight = 26;

struct StepNote {
  std::string text;
  int percent = 0;
};

// Owned by the worker, which waits until the window answers it (or goes).
struct ChooseRequest {
  std::vector<VolumeFacts> candidates;
  std::string osName;
  base::UniqueKernelHandle answered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> answer{-1};
};

struct WindowState {
  HWND window = nullptr;
  DeployOptions options;
  int percent = 0;
  bool finished = false;
  int exitCode = kExitNothingChanged;
  ChooseRequest* pending = nullptr;
  base::UniqueGdiObject surfaceBrush{CreateSolidBrush(ui::kSurface)};
  base::UniqueGdiObject alertBrush{CreateSolidBrush(ui::kAlertFill)};
};

struct WorkerArgs {
  HWND window = nullptr;
  DeployOptions options;
};

HWND Control(const WindowState& state, int id) { return GetDlgItem(state.window, id); }

void Show(const WindowState& state, int id, bool visible) { ShowWindow(Control(state, id), visible ? SW_SHOW : SW_HIDE); }

void SetText(const WindowState& state, int id, const std::string& text) {
  SetWindowTextW(Control(state, id), Utf8ToWideReplacing(text).c_str());
}

template <typename Record>
void PostRecord(HWND window, UINT message, Record* record) {
  if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

void Answer(WindowState& state, int index) {
  if (state.pending == nullptr) return;
  state.pending->answer = index;
  SetEvent(state.pending->answered.get());
  state.pending = nullptr;
}

int ChooseThroughWindow(HWND window, const std::vector<VolumeFacts>& candidates, const std::string& osName) {
  ChooseRequest request;
  request.candidates = candidates;
  request.osName = osName;
  if (!request.answered || !PostMessageW(window, MsgChoose, 0, reinterpret_cast<LPARAM>(&request))) return -1;
  WaitForSingleObject(request.answered.get(), INFINITE);
  return request.answer;
}

DWORD WINAPI DeployWorker(void* parameter) {
  const std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(parameter));
  const HWND window = args->window;
  auto outcome = std::make_unique<DeployOutcome>();
  try {
    const DeployUi ui = {
        .step = [window](const std::string& text,
                         int percent) { PostRecord(window, MsgStep, new StepNote{text, percent}); },
        .detail = [window](const std::string& text) { SetDeployerDetail(window, text); },
        .chooseVolume = [window](const std::vector<VolumeFacts>& candidates,
                                 const std::string& osName) { return ChooseThroughWindow(window, candidates, osName); },
    };
    *outcome = RunDeployer(args->options, ui);
  } catch (const std::exception& error) {
    outcome->error = std::string("部署线程出现异常: ") + error.what();
    log::LogError(outcome->error);
  } catch (...) {
    outcome->error = "部署线程出现未知异常";
    log::LogError(outcome->error);
  }
  if (outcome->logPath.empty()) outcome->logPath = log::GetLogFilePath();
  PostRecord(window, MsgDone, outcome.release());
  return 0;
}

void Layout(const WindowState& state) {
  const struct {
    int id;
    RECT rect;
  } places[] = {
      {kDeployerStepId, {40, 116, kWidth - 40, 146}},     {kDeployerDetailId, {40, 172, kWidth - 40, 194}},
      {kDeployerMessageId, {44, 210, kWidth - 44, 258}},  {kDeployerLogId, {40, 268, kWidth - 40, 292}},
      {kDeployerVolumesId, {40, 152, kWidth - 40, 290}},  {kDeployerStartId, {kWidth - 160, 298, kWidth - 40, 330}},
      {kDeployerCancelId, {kWidth - 290, 298, kWidth - 170, 330}},
      {kDeployerCloseId, {kWidth - 160, 298, kWidth - 40, 330}},
  };
  for (const auto& [id, rect] : places) {
    MoveWindow(Control(state, id), rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, FALSE);
  }
}

bool OnCreate(HWND window, const CREATESTRUCTW& create) {
  auto* state = static_cast<WindowState*>(create.lpCreateParams);
  state->window = window;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const struct {
    int id;
    const wchar_t* className;
    DWORD style;
    int points;
    bool bold;
  } controls[] = {
      {kDeployerStepId, L"STATIC", SS_LEFT | SS_ENDELLIPSIS | WS_VISIBLE, 12, true},
      {kDeployerDetailId, L"STATIC", SS_LEFT | SS_ENDELLIPSIS | WS_VISIBLE, 10, false},
      {kDeployerMessageId, L"STATIC", SS_LEFT, 10, false},
      {kDeployerLogId, L"STATIC", SS_LEFT | SS_PATHELLIPSIS, 10, false},
      {kDeployerVolumesId, L"LISTBOX", LBS_OWNERDRAWFIXED | LBS_NOTIFY | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 10, false},
      {kDeployerStartId, L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 11, false},
      {kDeployerCancelId, L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 11, false},
      {kDeployerCloseId, L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 11, false},
  };
  const wchar_t* texts[] = {L"正在启动...", L"", L"", L"", L"", L"清除并安装", L"取消", L"关闭"};
  for (size_t i = 0; i < std::size(controls); ++i) {
    HWND control = CreateWindowExW(0, controls[i].className, texts[i], WS_CHILD | controls[i].style, 0, 0, 0, 0,
                                   window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(controls[i].id)), instance,
                                   nullptr);
    if (control == nullptr) return false;
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(ui::ThemeFont(controls[i].points, controls[i].bold)),
                 FALSE);
    if (controls[i].className == std::wstring(L"BUTTON")) ui::TrackHover(control);
  }
  Layout(*state);
  return true;
}

void Paint(const WindowState& state) {
  PAINTSTRUCT paint;
  HDC target = BeginPaint(state.window, &paint);
  base::UniqueMemoryDc dc(CreateCompatibleDC(target));
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(target, kWidth, kHeight));
  const HGDIOBJ old = SelectObject(dc.get(), bitmap.get());
  ui::FillSolid(dc.get(), {0, 0, kWidth, kHeight}, ui::kWindowBackground);
  ui::DrawHeader(dc.get(), kHeader, base::kProductNameW);
  // The program's logo left of the title, where the host's window has it (a shared icon: never destroyed).
  if (HICON logo = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP_ICON),
                                                 IMAGE_ICON, 40, 40, LR_SHARED))) {
    DrawIconEx(dc.get(), 20, 24, logo, 40, 40, 0, nullptr, DI_NORMAL);
  }
  ui::DrawTextIn(dc.get(), state.options.dryRun ? L"系统部署（演练）" : L"系统部署",
                 {kWidth - 220, 0, kWidth - 24, 88}, ui::ThemeFont(12, true), ui::kTextSecondary,
                 DT_SINGLELINE | DT_VCENTER | DT_RIGHT);
  ui::DrawContentCard(dc.get(), kCard);
  const bool picking = state.pending != nullptr;
  if (!picking) {
    ui::FillRounded(dc.get(), kTrack, 8, ui::kBorder);
    const int filled = kTrack.left + (kTrack.right - kTrack.left) * state.percent / 100;
    if (state.percent > 0) ui::FillRounded(dc.get(), {kTrack.left, kTrack.top, filled, kTrack.bottom}, 8, ui::kAccent);
  }
  if (state.finished && state.exitCode != kExitDone) ui::FillRounded(dc.get(), kMessageBox, 6, ui::kAlertFill);
  ui::DrawLine(dc.get(), {0, kHeight - 1}, {kWidth, kHeight - 1}, ui::kBorder);
  BitBlt(target, 0, 0, kWidth, kHeight, dc.get(), 0, 0, SRCCOPY);
  SelectObject(dc.get(), old);
  EndPaint(state.window, &paint);
}

LRESULT OnControlColour(const WindowState& state, HDC dc, HWND control) {
  const int id = GetDlgCtrlID(control);
  SetBkMode(dc, TRANSPARENT);
  if (id == kDeployerMessageId) {
    SetTextColor(dc, ui::kAlertText);
    SetBkColor(dc, ui::kAlertFill);
    return reinterpret_cast<LRESULT>(state.alertBrush.get());
  }
  SetTextColor(dc, id == kDeployerStepId ? ui::kTextPrimary : ui::kTextSecondary);
  SetBkColor(dc, ui::kSurface);
  return reinterpret_cast<LRESULT>(state.surfaceBrush.get());
}

void OnDrawItem(const WindowState& state, const DRAWITEMSTRUCT& item) {
  if (item.CtlID == kDeployerVolumesId) {
    if (item.itemID == static_cast<UINT>(-1) || state.pending == nullptr) return;
    const std::string text = VolumeText(state.pending->candidates.at(item.itemID));
    ui::DrawDriveRow(item.hDC, item.rcItem, Utf8ToWideReplacing(text), (item.itemState & ODS_SELECTED) != 0);
    return;
  }
  wchar_t text[64] = {};
  GetWindowTextW(item.hwndItem, text, 64);
  ui::DrawWizardButton(item.hDC, item.rcItem, text, item.CtlID != kDeployerCancelId, ui::ItemState(item));
}

void OnStep(WindowState& state, std::unique_ptr<StepNote> note) {
  SetText(state, kDeployerStepId, note->text);
  state.percent = std::clamp(note->percent, 0, 100);
  InvalidateRect(state.window, &kTrack, FALSE);
}

void ShowPicker(WindowState& state, bool picking) {
  Show(state, kDeployerVolumesId, picking);
  Show(state, kDeployerStartId, picking);
  Show(state, kDeployerCancelId, picking);
  Show(state, kDeployerDetailId, !picking);
  InvalidateRect(state.window, nullptr, FALSE);
}

void OnChoose(WindowState& state, ChooseRequest* request) {
  state.pending = request;
  HWND list = Control(state, kDeployerVolumesId);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  for (size_t i = 0; i < request->candidates.size(); ++i) SendMessageW(list, LB_ADDSTRING, 0, static_cast<LPARAM>(i));
  // Nothing is chosen for the user: the wipe waits for a row picked by hand.
  EnableWindow(Control(state, kDeployerStartId), FALSE);
  SetText(state, kDeployerStepId, "请选择要安装系统的分区（这个分区上的数据会被全部清除）");
  ShowPicker(state, true);
}

// The wipe is asked for once more, naming the volume.
void OnStart(WindowState& state) {
  if (state.pending == nullptr) return;
  const int index = static_cast<int>(SendMessageW(Control(state, kDeployerVolumesId), LB_GETCURSEL, 0, 0));
  if (index < 0 || index >= static_cast<int>(state.pending->candidates.size())) return;
  const std::string question = "将清除分区 " + VolumeText(state.pending->candidates[index]) +
                               " 上的全部数据，并在上面安装 " + state.pending->osName +
                               "。\r\n\r\n清除后无法恢复，确定继续吗？";
  if (MessageBoxW(state.window, Utf8ToWideReplacing(question).c_str(), kWipeQuestionCaption,
                  MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  ShowPicker(state, false);
  Answer(state, index);
}

void OnCancel(WindowState& state) {
  ShowPicker(state, false);
  Answer(state, -1);
}

void OnDone(WindowState& state, std::unique_ptr<DeployOutcome> outcome) {
  state.finished = true;
  state.exitCode = outcome->exitCode;
  if (outcome->exitCode == kExitDone) {
    DestroyWindow(state.window);
    return;
  }
  SetText(state, kDeployerStepId, outcome->exitCode == kExitRetryNextStart ? "部署失败，下次开机会自动重试"
                                                                            : "没有完成，原来的系统没有改动");
  SetText(state, kDeployerMessageId, outcome->error);
  SetText(state, kDeployerLogId, "详细日志见 " + base::WideToUtf8(outcome->logPath));
  Show(state, kDeployerDetailId, false);
  Show(state, kDeployerMessageId, true);
  Show(state, kDeployerLogId, true);
  Show(state, kDeployerCloseId, true);
  InvalidateRect(state.window, nullptr, FALSE);
}

LRESULT CALLBACK DeployerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE:
      return OnCreate(window, *reinterpret_cast<CREATESTRUCTW*>(lParam)) ? 0 : -1;
    case WM_PAINT:
      if (state == nullptr) break;
      Paint(*state);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CTLCOLORSTATIC:
      if (state == nullptr) break;
      return OnControlColour(*state, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_MEASUREITEM:
      reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight = kRowHeight;
      return TRUE;
    case WM_DRAWITEM:
      if (state == nullptr) break;
      OnDrawItem(*state, *reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_COMMAND:
      if (state == nullptr) break;
      if (LOWORD(wParam) == kDeployerVolumesId && HIWORD(wParam) == LBN_SELCHANGE) {
        EnableWindow(Control(*state, kDeployerStartId), TRUE);
      }
      if (LOWORD(wParam) == kDeployerStartId) OnStart(*state);
      if (LOWORD(wParam) == kDeployerCancelId) OnCancel(*state);
      if (LOWORD(wParam) == kDeployerCloseId) DestroyWindow(window);
      return 0;
    case WM_CLOSE:
      // The job cannot be stopped half-way; the window closes once it has ended.
      if (state != nullptr && state->finished) DestroyWindow(window);
      if (state != nullptr && state->pending != nullptr) OnCancel(*state);
      return 0;
    case MsgStep:
      if (state != nullptr) OnStep(*state, std::unique_ptr<StepNote>(reinterpret_cast<StepNote*>(lParam)));
      return 0;
    case MsgDetail: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      if (state != nullptr) SetText(*state, kDeployerDetailId, *text);
      return 0;
    }
    case MsgChoose:
      if (state != nullptr) OnChoose(*state, reinterpret_cast<ChooseRequest*>(lParam));
      return 0;
    case MsgDone:
      if (state != nullptr) OnDone(*state, std::unique_ptr<DeployOutcome>(reinterpret_cast<DeployOutcome*>(lParam)));
      return 0;
    case WM_DESTROY:
      if (state != nullptr) Answer(*state, -1);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterDeployerClass() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DeployerWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kDeployerWindowClass;
  return RegisterClassExW(&windowClass) != 0;
}

}  // namespace

void SetDeployerDetail(HWND window, const std::string& text) { PostRecord(window, MsgDetail, new std::string(text)); }

int RunDeployerWindow(const DeployOptions& options) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  WindowState state;
  state.options = options;
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  HWND window = nullptr;
  if (RegisterDeployerClass()) {
    const std::wstring title = std::wstring(base::kProductNameW) + (options.dryRun ? L" - 系统部署（演练）" : L" - 系统部署");
    window = CreateWindowExW(0, kDeployerWindowClass, title.c_str(), WS_POPUP | WS_BORDER,
                             area.left + (area.right - area.left - kWidth) / 2,
                             area.top + (area.bottom - area.top - kHeight) / 2, kWidth, kHeight, nullptr, nullptr,
                             GetModuleHandleW(nullptr), &state);
  }
  if (window == nullptr) {
    log::LogWarn("部署窗口创建失败, GetLastError=" + std::to_string(GetLastError()) + "，不显示窗口，直接执行");
    return RunDeployer(options, {}).exitCode;
  }
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  auto* args = new WorkerArgs{window, options};
  base::UniqueKernelHandle worker(CreateThread(nullptr, 0, DeployWorker, args, 0, nullptr));
  if (!worker) {
    delete args;
    log::LogError("无法启动部署线程, GetLastError=" + std::to_string(GetLastError()));
    DestroyWindow(window);
    return kExitNothingChanged;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The worker posted its outcome as its last act; the window went only after that.
  WaitForSingleObject(worker.get(), INFINITE);
  return state.exitCode;
}

}  // namespace pl::deploy
