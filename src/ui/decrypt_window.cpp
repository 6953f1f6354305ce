#include "ui/decrypt_window.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "base/text.h"
#include "base/unique_handle.h"
#include "disks/bitlocker.h"
#include "log/log.h"
#include "ui/modal_window.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

constexpr wchar_t kWorkingText[] = L"正在关闭加密保护，请稍候……";
constexpr wchar_t kDoneText[] = L"加密保护已关闭，这个分区现在可以正常使用了。";
constexpr wchar_t kFailedText[] = L"关闭加密保护失败，请到磁盘管理里手动查看这个分区的状态。";

// Owned by ConfirmAndDecryptVolume, handed to the window as its creation parameter.
struct DecryptDialogState {
  HWND window = nullptr;
  HWND status = nullptr;
  HWND progress = nullptr;
  HWND button = nullptr;
  wchar_t letter = L'\0';
  DWORD pollIntervalMs = 0;
  bool result = false;  // set only by a successful MsgDecryptFinished
};

// Allocated by the window, owned and freed by the worker thread.
struct DecryptWorkerArgs {
  HWND window = nullptr;
  wchar_t letter = L'\0';
  DWORD pollIntervalMs = 0;
};

std::string LetterText(wchar_t letter) { return base::DriveLetterText(letter); }

void PostWhileOpen(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsWindow(window)) PostMessageW(window, message, wParam, lParam);
}

void RunDecryptWorker(const DecryptWorkerArgs& args) {
  log::LogInfo("[BitLockerDecryptDialog] 触发关闭 " + LetterText(args.letter) + ": 的 BitLocker 保护");
  if (!disks::StartBitLockerDecryption(args.letter)) {
    PostWhileOpen(args.window, MsgDecryptFinished, 0, 0);
    return;
  }
  for (;;) {
    int percentage = -1;
    if (disks::QueryEncryptionPercentage(args.letter, &percentage)) {
      PostWhileOpen(args.window, MsgDecryptProgress, static_cast<WPARAM>(percentage), 0);
      if (percentage <= 0) {
        PostWhileOpen(args.window, MsgDecryptFinished, 0, 1);
        return;
      }
    }
    if (!IsWindow(args.window)) return;
    Sleep(args.pollIntervalMs);
  }
}

DWORD WINAPI DecryptWorker(void* parameter) {
  const std::unique_ptr<DecryptWorkerArgs> args(static_cast<DecryptWorkerArgs*>(parameter));
  try {
    RunDecryptWorker(*args);
  } catch (const std::exception& error) {
    log::LogError(std::string("[BitLockerDecryptDialog] 解密进度线程出现异常: ") + error.what());
    PostWhileOpen(args->window, MsgDecryptFinished, 0, 0);
  } catch (...) {
    log::LogError("[BitLockerDecryptDialog] 解密进度线程出现未知异常");
    PostWhileOpen(args->window, MsgDecryptFinished, 0, 0);
  }
  return 0;
}

void OnSize(DecryptDialogState* state) {
  if (state == nullptr) return;
  RECT client{};
  GetClientRect(state->window, &client);
  const int width = client.right;
  const int height = client.bottom;
  MoveWindow(state->status, 16, 16, width - 32, 60, TRUE);
  MoveWindow(state->progress, 16, 84, width - 32, 20, TRUE);
  MoveWindow(state->button, width - 156, height - 44, 140, 28, TRUE);
}

void StartWorker(const DecryptDialogState& state) {
  auto* args = new DecryptWorkerArgs{state.window, state.letter, state.pollIntervalMs};
  base::UniqueKernelHandle thread(CreateThread(nullptr, 0, DecryptWorker, args, 0, nullptr));
  if (!thread) delete args;  // the window stays at its first text
}

bool OnCreate(HWND window, const CREATESTRUCTW& create) {
  auto* state = static_cast<DecryptDialogState*>(create.lpCreateParams);
  state->window = window;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  HFONT font = ThemeFont(10, false);
  state->status = CreateControl(window, L"STATIC", kWorkingText, 0, kDecryptStatusId, font);
  state->progress = CreateControl(window, PROGRESS_CLASSW, L"", PBS_SMOOTH, kDecryptProgressId, font);
  SendMessageW(state->progress, PBM_SETRANGE32, 0, 100);
  state->button = CreateControl(window, L"BUTTON", L"关闭窗口", WS_TABSTOP | BS_PUSHBUTTON, kDecryptButtonId, font);
  OnSize(state);
  StartWorker(*state);
  return true;
}

void OnProgress(DecryptDialogState* state, WPARAM wParam) {
  const int percentage = std::clamp(static_cast<int>(static_cast<INT_PTR>(wParam)), 0, 100);
  const int progress = 100 - percentage;
  SendMessageW(state->progress, PBM_SETPOS, progress, 0);
  SetWindowTextW(state->status, (std::wstring(kWorkingText) + std::to_wstring(progress) + L"%").c_str());
}

void OnFinished(DecryptDialogState* state, bool completed) {
  state->result = completed;
  SendMessageW(state->progress, PBM_SETPOS, completed ? 100 : 0, 0);
  SetWindowTextW(state->status, completed ? kDoneText : kFailedText);
  SetWindowTextW(state->button, L"完成");
}

LRESULT CALLBACK DecryptWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DecryptDialogState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE:
      return OnCreate(window, *reinterpret_cast<CREATESTRUCTW*>(lParam)) ? 0 : -1;
    case WM_SIZE:
      OnSize(state);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kDecryptButtonId) DestroyWindow(window);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case MsgDecryptProgress:
      if (state != nullptr) OnProgress(state, wParam);
      return 0;
    case MsgDecryptFinished:
      if (state != nullptr) OnFinished(state, lParam != 0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

std::wstring ConfirmationText(wchar_t letter) {
  return L"即将关闭 " + std::wstring(1, letter) +
         L": 盘的 BitLocker 加密保护。\r\n\r\n这是不可逆操作：\r\n"
         L"· 关闭后该分区的数据将变为未加密状态，之后不再受 BitLocker 保护，除非你以后自己重新开启\r\n"
         L"· 解密在后台进行，根据分区大小可能需要几分钟到更长时间，期间请不要关机或拔出磁盘\r\n"
         L"· 解密完成后即可正常使用这个分区\r\n\r\n确定要关闭加密吗？";
}

}  // namespace

bool ConfirmAndDecryptVolume(HWND owner, wchar_t letter, const DecryptOptions& options) {
  if (MessageBoxW(owner, ConfirmationText(letter).c_str(), L"确认关闭 BitLocker 加密", MB_ICONWARNING | MB_YESNO) !=
      IDYES) {
    return false;
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  static const bool registered = RegisterModalClass(kDecryptWindowClass, DecryptWindowProc);  // once per process
  if (!registered) return false;
  DecryptDialogState state;
  state.letter = letter;
  state.pollIntervalMs = options.pollIntervalMs;
  const RECT frame = CentredOn(owner, 420, 220);
  HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, kDecryptWindowClass, L"关闭 BitLocker 加密",
                                WS_POPUPWINDOW | WS_DLGFRAME, frame.left, frame.top, frame.right - frame.left,
                                frame.bottom - frame.top, owner, nullptr, GetModuleHandleW(nullptr), &state);
  if (window == nullptr) return false;
  RunModal(owner, window);
  return state.result;
}

}  // namespace pl::ui
