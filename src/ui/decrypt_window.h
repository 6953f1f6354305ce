#pragma once
// Turning BitLocker off on one volume: the confirmation, then a small modal window that starts the decryption and
// follows its progress until it ends or the user closes the window (decryption itself goes on regardless).

#include <windows.h>

namespace pl::ui {

// Posted by the worker to the window.
inline constexpr UINT MsgDecryptProgress = WM_APP + 600;  // wParam: the volume's encryption percentage
inline constexpr UINT MsgDecryptFinished = WM_APP + 601;  // lParam: 1 when decryption completed, 0 when it failed

inline constexpr wchar_t kDecryptWindowClass[] = L"PlBitLockerDecryptDialog";
// Controls of the window.
inline constexpr int kDecryptButtonId = 1;
inline constexpr int kDecryptStatusId = 1001;
inline constexpr int kDecryptProgressId = 1002;

struct DecryptOptions {
  DWORD pollIntervalMs = 5000;  // pause between two percentage queries
};

// True when the user confirmed and the decryption completed while the window was open.
bool ConfirmAndDecryptVolume(HWND owner, wchar_t letter, const DecryptOptions& options = {});

}  // namespace pl::ui
