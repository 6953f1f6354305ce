#pragma once
// pl_ui_host: a test program that shows the user-interface pieces on command, for tests to drive with the GUI
// driver. Its resources hold the program's pictures (pl_ui_host_bare.exe: without some, see ui_host_bare.rc).
//   pl_ui_host gallery                      every drawn element in each state (gallery_layout.h)
//   pl_ui_host decrypt <letter> [poll-ms]   ConfirmAndDecryptVolume over an owner window
//   pl_ui_host contact                      ShowContactDialog over an owner window
//   pl_ui_host ai <session-id> [<wait-slices> <slice-ms> <polls> <pause-ms> [<interpreter>]]
//                                           RunAiDiagnosis over an owner window, for the stage, error and
//                                           diagnostics text below, at the pace given (AiDiagnosisOptions)
// Options after the command: log=<path> sends the log there; "minimised" minimises the owner before the call;
// "nested" makes the call from a timer while a message box of the host (caption kNestedBoxCaption) is open over the
// owner, as a posted message reaches a window under one of its boxes. The owner window ("PlUiTestOwner") shows the
// outcome as its title once the call returned ("result=1", "result=0", "closed") and stays until it is closed.

#include <windows.h>

namespace pl::test::ui_host {

inline constexpr wchar_t kOwnerClass[] = L"PlUiTestOwner";
inline constexpr wchar_t kOwnerWaiting[] = L"waiting";
inline constexpr wchar_t kNestedBoxCaption[] = L"PlUiTestBox";

// What the "ai" command hands to the dialog besides the session.
inline constexpr char kAiStage[] = "download";
inline constexpr char kAiError[] = "下载失败：连接超时";
inline constexpr char kAiDiagnostics[] = "===== 环境 =====\r\nWindows 10";

// The gallery window's message loop; returns the exit code.
int RunGallery();

}  // namespace pl::test::ui_host
