#pragma once
// The AI diagnosis dialog: hands a failure to the backend's diagnosis service and plays its rounds with the user
// (advice, and a command to run, a screenshot to send, a retry, or nothing to do), modal over the main window.
// The service can ask for a command on this machine: none runs unless the user answered Yes to its confirmation,
// and each one run is logged with its exit code.

#include <windows.h>

#include <string>

namespace pl::ui {

inline constexpr wchar_t kAiDiagnosisDialogClass[] = L"PlAiDiagnosisDialog";
// Controls of the dialog.
inline constexpr int kAiActionButtonId = 1;  // hidden unless the round on display suggests an action
inline constexpr int kAiEndButtonId = 2;
inline constexpr int kAiTextBoxId = 1001;

// Posted by the dialog's worker threads. A record in lParam passes to the dialog, which frees it.
inline constexpr UINT MsgDiagnosisReply = WM_APP + 500;      // lParam: a round, or the end of the conversation
inline constexpr UINT MsgCommandFinished = WM_APP + 501;     // lParam: the command's outcome
inline constexpr UINT MsgRequestQueued = WM_APP + 502;       // wParam: the request id
inline constexpr UINT MsgScreenshotFinished = WM_APP + 503;  // lParam: the screenshot's outcome

struct AiDiagnosisInput {
  std::string sessionId;       // the run's reporting session; without one no dialog opens
  std::string stage;           // the failed stage; may be empty
  std::string errorMessage;    // also shown above the waiting text
  std::string diagnosticText;  // the diagnostics text sent with the request
};

// The pace of the conversation. The defaults are the program's and nothing but code changes them (tests do, so
// that they never wait minutes).
struct AiDiagnosisOptions {
  int waitSlices = 6;  // the wait before each poll, in pauses of sliceMs; it stops early once the dialog is gone
  DWORD sliceMs = 500;
  int maxPolls = 100;  // polls of one wait before the service counts as unavailable
  DWORD screenshotCommandPauseMs = 2000;  // after a screenshot's command, before the capture
  std::wstring interpreter;  // runs the confirmed commands; empty: the system directory's cmd.exe (tests name others)
};

// The longest command the confirmation box shows, in characters.
inline constexpr size_t kMaxConfirmedCommandCharacters = 2000;
// Why a command the service asked for is not offered to the user: it holds a control character or a mark that
// changes the direction of text, or is longer than kMaxConfirmedCommandCharacters, so the confirmation box could not
// show faithfully what would run. The message shown in the dialog instead; empty when the command may be offered.
std::string CommandRefusal(const std::wstring& command);

// Runs the dialog modally on the calling (UI) thread, the owner disabled meanwhile. True when the user chose a retry
// action; false otherwise, and at once, without a dialog, when `input` has no session.
bool RunAiDiagnosis(HWND owner, const AiDiagnosisInput& input);
// The same at another pace.
bool RunAiDiagnosis(HWND owner, const AiDiagnosisInput& input, const AiDiagnosisOptions& options);

}  // namespace pl::ui
