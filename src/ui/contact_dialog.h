#pragma once
// The contact dialog: the support contact's QR picture (resource 205) with a caption and a close button, modal
// over the main window.

#include <windows.h>

namespace pl::ui {

inline constexpr wchar_t kContactDialogClass[] = L"PlContactDialog";
// Controls of the dialog.
inline constexpr int kContactCloseId = 1;
inline constexpr int kContactCaptionId = 1001;
inline constexpr int kContactPictureId = 1002;

// Returns when the dialog is closed.
void ShowContactDialog(HWND owner);

}  // namespace pl::ui
