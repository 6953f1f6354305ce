#include "ui/ai_diagnosis_dialog.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "reporting/diagnosis.h"
#include "tools/tool_runner.h"
#include "ui/modal_window.h"
#include "ui/screen_capture.h"
#include "ui/theme.h"
#include "ui/theme_gdi.h"
#include "ui/worker_guard.h"

namespace pl::ui {
namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 340;
constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT kAnimationMs = 16;
constexpr int32_t kCommandTimeLimitMs = 300000;

constexpr char kRunCommand[] = "run_command";
constexpr char kRequestScreenshot[] = "request_screenshot";
constexpr char kRetryDownload[] = "retry_download";
constexpr char kRetryStage[] = "retry_stage";
constexpr char kResolved[] = "resolved";

enum class DiagnosisPhase { Waiting, ShowingRound, Working, EndedMaxRounds, EndedFailed, EndedUnavailable };

// What a wait for the backend ended with.
enum class ReplyKind { Round, MaxRounds, Failed, Unavailable };

struct DiagnosisReply {
  ReplyKind kind = ReplyKind::Unavailable;
  int32_t roundNumber = 0;  // the round's fields are empty unless kind is Round
  std::string advice;
  std::string suggestedAction;
  std::string commandToRun;
};

struct CommandOutcome {
  bool started = false;
  uint32_t exitCode = 0;
  std::string output;  // why it did not start, when it did not
};

struct ScreenshotOutcome {
  bool ok = false;
  std::string pngBase64;
};

// Owned by RunAiDiagnosis for the life of the dialog, attached to the window. Only the UI thread touches it.
struct DiagnosisDialogState {
  HWND hwnd = nullptr;
  HWND owner = nullptr;
  HWND textBox = nullptr;
  HWND actionButton = nullptr;
  HWND endButton = nullptr;
  DiagnosisPhase phase = DiagnosisPhase::Waiting;
  std::string sessionId;
  int32_t requestId = -1;
  int32_t roundNumber = 0;  // the round on display
  std::string suggestedAction;
  std::string commandToRun;
  std::string commandRefusal;  // why the round's command is not offered (CommandRefusal); empty when it is
  bool retryRequested = false;
  int animationTick = 0;  // frame of the busy strip
  std::string errorMessage;
  AiDiagnosisOptions options;
  // A confirmation box is open: its message loop could deliver a second press of the action button.
  bool confirming = false;
};

// ---- texts

std::string WaitingText(const DiagnosisDialogState& state) {
  std::string text;
  if (!state.errorMessage.empty()) text = "检测到问题：" + state.errorMessage + "\r\n\r\n";
  if (state.roundNumber == 0) {
    return text +
           "正在联系 AI 诊断，请稍候……（最长可能需要几分钟）\r\n\r\n"
           "这一步只是把已经发生的报错信息发给诊断服务，不会改动这台电脑上的任何内容。";
  }
  return text + "AI 正在根据刚才的结果分析下一步，请稍候……（最长可能需要几分钟）";
}

bool ActionRunsCommandFirst(const std::string& action) {
  return action == kRunCommand || action == kRequestScreenshot;
}

std::string RoundText(const DiagnosisDialogState& state, const std::string& advice) {
  if (!ActionRunsCommandFirst(state.suggestedAction) || state.commandToRun.empty()) return advice;
  // A refused command is not shown either: the text box could not show it faithfully any more than the box.
  if (!state.commandRefusal.empty()) return advice + "\r\n\r\n——————————\r\n" + state.commandRefusal;
  return advice + "\r\n\r\n——————————\r\nAI 建议先执行以下命令：\r\n\r\n" + state.commandToRun;
}

std::string WorkingText(const DiagnosisDialogState& state) {
  if (state.suggestedAction == kRequestScreenshot) {
    return state.commandToRun.empty() ? "正在截图，请稍候……" : "正在截图，请稍候……\r\n\r\n先执行：" + state.commandToRun;
  }
  return "正在执行命令，请稍候……\r\n\r\n" + state.commandToRun;
}

std::string EndedText(ReplyKind kind) {
  switch (kind) {
    case ReplyKind::MaxRounds:
      return "已经尝试了 5 轮，AI 暂时没能自动解决这个问题。\r\n\r\n"
             "建议保留现场，点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
    case ReplyKind::Failed:
      return "AI 诊断服务这次处理出错了（不是你这台电脑的问题）。\r\n\r\n"
             "建议稍后重试，或者点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
    default:
      return "AI 诊断暂时不可用（可能是网络问题，或者诊断服务这会儿没在线）。\r\n\r\n"
             "建议保留现场，点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
  }
}

// The action button's caption for a suggested action; empty when the round shows none.
std::wstring ActionButtonText(const std::string& action) {
  if (action == kRunCommand) return L"确认执行此命令";
  if (action == kRequestScreenshot) return L"截图并发送";
  if (action == kRetryDownload) return L"清空重新下载并重试";
  if (action == kRetryStage) return L"重试";
  if (action == kResolved) return L"";
  return L"知道了，继续";
}

// A multi-line edit control breaks lines only at "\r\n"; the backend's texts may break them with "\n" alone.
std::wstring ForTextBox(const std::string& text) {
  std::wstring shown;
  for (const wchar_t c : base::Utf8ToWideReplacing(text)) {
    if (c == L'\n' && (shown.empty() || shown.back() != L'\r')) shown += L'\r';
    shown += c;
  }
  return shown;
}

// ---- worker threads: each owns a heap copy of its arguments and reaches the dialog only by posted records

template <typename Record>
void PostRecord(HWND dialog, UINT message, std::unique_ptr<Record> record) {
  if (IsWindow(dialog) && PostMessageW(dialog, message, 0, reinterpret_cast<LPARAM>(record.get()))) {
    record.release();  // the dialog frees it
  }
}

void PostReply(HWND dialog, DiagnosisReply reply) {
  PostRecord(dialog, MsgDiagnosisReply, std::make_unique<DiagnosisReply>(std::move(reply)));
}

// Runs a worker's body guarded (RunGuarded), its failures logged under the worker's name.
void RunGuarded(const char* worker, const std::function<void()>& body,
                const std::function<void(const std::string&)>& onFailure) {
  ui::RunGuarded(std::string("[AiDiagnosisDialog] ") + worker, body, onFailure);
}

struct Conversation {
  HWND dialog = nullptr;
  std::string sessionId;
  int32_t requestId = -1;
  AiDiagnosisOptions options;
};

// Polls until the backend offers a round or ends the conversation, at the options' pace.
DiagnosisReply AwaitReply(const Conversation& conversation) {
  const AiDiagnosisOptions& pace = conversation.options;
  for (int poll = 0; poll < pace.maxPolls; ++poll) {
    for (int slice = 0; slice < pace.waitSlices && IsWindow(conversation.dialog); ++slice) Sleep(pace.sliceMs);
    if (!IsWindow(conversation.dialog)) return {};
    reporting::DiagnosisPoll answer;
    if (!reporting::PollDiagnosisRequest(conversation.sessionId, conversation.requestId, &answer)) continue;
    if (answer.hasRound) {
      return {ReplyKind::Round, answer.roundNumber, answer.advice, answer.suggestedAction, answer.commandToRun};
    }
    if (answer.status == "max_rounds") return {ReplyKind::MaxRounds};
    if (answer.status == "failed" || answer.status == "user_cancelled") return {ReplyKind::Failed};
  }
  return {};
}

struct PollArgs {
  Conversation conversation;
  std::string stage;
  std::string errorMessage;
  std::string diagnosticText;
};

DWORD WINAPI PollThreadProc(void* parameter) {
  const std::unique_ptr<PollArgs> args(static_cast<PollArgs*>(parameter));
  Conversation& conversation = args->conversation;
  RunGuarded(
      "PollThreadProc",
      [&] {
        log::LogInfo("[AiDiagnosisDialog] 轮询线程启动，准备排队诊断请求");
        conversation.requestId = reporting::QueueDiagnosisRequest(conversation.sessionId, args->stage,
                                                                  args->errorMessage, args->diagnosticText);
        log::LogInfo("[AiDiagnosisDialog] 排队请求返回 requestId=" + std::to_string(conversation.requestId));
        if (conversation.requestId < 0) {
          PostReply(conversation.dialog, {});
          return;
        }
        if (IsWindow(conversation.dialog)) {
          PostMessageW(conversation.dialog, MsgRequestQueued, static_cast<WPARAM>(conversation.requestId), 0);
        }
        PostReply(conversation.dialog, AwaitReply(conversation));
      },
      [&](const std::string&) { PostReply(conversation.dialog, {}); });
  return 0;
}

// Every command the backend asked for goes through here, after the user's Yes, and is logged with its exit code.
// The system's own cmd.exe, never the one "ComSpec" names (the user's environment), without the user's AutoRun
// command ("/d"), the command taken as it stands between the outer quotes ("/s"), started in the system directory,
// and told not to look for programs in its current directory first: a program of a system tool's name lying in the
// folder the copy was started from (Downloads) would otherwise run elevated instead.
CommandOutcome RunConfirmedCommand(const std::wstring& command, const std::wstring& interpreterOverride) {
  const std::wstring interpreter =
      interpreterOverride.empty() ? tools::SystemToolPath(L"cmd.exe") : interpreterOverride;
  log::LogInfo("[AiDiagnosisDialog] 开始执行命令: " + base::WideToUtf8(command));
  const tools::ToolRunResult run =
      interpreter.empty() ? tools::ToolRunResult{}
                          : tools::RunToolCaptured(interpreter, L"/d /s /c \"" + command + L"\"",
                                                   base::SystemDirectoryPath(), kCommandTimeLimitMs,
                                                   {{L"NoDefaultCurrentDirectoryInExePath", L"1"}});
  if (!run.started) {
    const DWORD error = interpreter.empty() ? ERROR_PATH_NOT_FOUND : GetLastError();
    const std::string why = "启动 " + base::WideToUtf8(interpreter.empty() ? L"cmd.exe" : interpreter) +
                            " 失败, GetLastError=" + std::to_string(error);
    log::LogWarn("[AiDiagnosisDialog] 命令没能启动: " + why);
    return {false, 0, why};
  }
  log::LogInfo("[AiDiagnosisDialog] 命令执行完毕, 退出码=" + std::to_string(run.exitCode));
  return {true, run.exitCode, run.output};
}

struct CommandArgs {
  HWND dialog = nullptr;
  std::wstring command;      // exactly what the user confirmed
  DWORD pauseMs = 0;         // a screenshot's command: the pause before the capture
  std::wstring interpreter;  // AiDiagnosisOptions::interpreter
};

DWORD WINAPI CommandThreadProc(void* parameter) {
  const std::unique_ptr<CommandArgs> args(static_cast<CommandArgs*>(parameter));
  RunGuarded(
      "CommandThreadProc",
      [&] {
        PostRecord(args->dialog, MsgCommandFinished,
                   std::make_unique<CommandOutcome>(RunConfirmedCommand(args->command, args->interpreter)));
      },
      [&](const std::string& why) {
        PostRecord(args->dialog, MsgCommandFinished, std::make_unique<CommandOutcome>(CommandOutcome{false, 0, why}));
      });
  return 0;
}

DWORD WINAPI ScreenshotThreadProc(void* parameter) {
  const std::unique_ptr<CommandArgs> args(static_cast<CommandArgs*>(parameter));
  RunGuarded(
      "ScreenshotThreadProc",
      [&] {
        if (!args->command.empty()) {
          // Its outcome is not reported: the picture shows its effect.
          RunConfirmedCommand(args->command, args->interpreter);
          Sleep(args->pauseMs);
        }
        auto outcome = std::make_unique<ScreenshotOutcome>();
        outcome->pngBase64 = CaptureScreenPngBase64();
        outcome->ok = !outcome->pngBase64.empty();
        PostRecord(args->dialog, MsgScreenshotFinished, std::move(outcome));
      },
      [&](const std::string&) {
        PostRecord(args->dialog, MsgScreenshotFinished, std::make_unique<ScreenshotOutcome>());
      });
  return 0;
}

struct ReportArgs {
  Conversation conversation;
  int32_t roundNumber = 0;
  std::string output;
  int32_t exitCode = -1;
  std::string screenshotBase64;
};

DWORD WINAPI ReportAndContinueThreadProc(void* parameter) {
  const std::unique_ptr<ReportArgs> args(static_cast<ReportArgs*>(parameter));
  const Conversation& conversation = args->conversation;
  RunGuarded(
      "ReportAndContinueThreadProc",
      [&] {
        // A result the backend refused shows as its next answer; the polls tell.
        reporting::SubmitRoundResult(conversation.sessionId, conversation.requestId, args->roundNumber, args->output,
                                     args->exitCode, args->screenshotBase64);
        PostReply(conversation.dialog, AwaitReply(conversation));
      },
      [&](const std::string&) { PostReply(conversation.dialog, {}); });
  return 0;
}

// Detached: it may outlive the dialog.
DWORD WINAPI CancelThreadProc(void* parameter) {
  const std::unique_ptr<Conversation> args(static_cast<Conversation*>(parameter));
  try {
    reporting::CancelDiagnosisRequest(args->sessionId, args->requestId);
  } catch (const std::exception& error) {
    log::LogWarn(std::string("[AiDiagnosisDialog] 上报结束对话失败: ") + error.what());
  } catch (...) {
    log::LogWarn("[AiDiagnosisDialog] 上报结束对话时捕获到未知类型异常");
  }
  return 0;
}

// Starts the procedure on a thread of its own, which then owns `args`; the thread's handle, empty when it could not
// be created (the arguments are freed then).
template <typename Args>
base::UniqueKernelHandle StartWorker(LPTHREAD_START_ROUTINE procedure, std::unique_ptr<Args> args,
                                     DWORD flags = 0) {
  base::UniqueKernelHandle thread(CreateThread(nullptr, 0, procedure, args.get(), flags, nullptr));
  if (thread) {
    args.release();
  } else {
    log::LogError("[AiDiagnosisDialog] 创建工作线程失败, GetLastError=" + std::to_string(GetLastError()));
  }
  return thread;
}

Conversation ConversationOf(const DiagnosisDialogState& state) {
  return {state.hwnd, state.sessionId, state.requestId, state.options};
}

// ---- the window

bool Busy(DiagnosisPhase phase) { return phase == DiagnosisPhase::Waiting || phase == DiagnosisPhase::Working; }

SIZE ClientSize(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

RECT StripRect(SIZE client) { return {16, 16, client.cx - 16, 24}; }

void Layout(const DiagnosisDialogState& state) {
  const SIZE client = ClientSize(state.hwnd);
  const int w = client.cx;
  const int h = client.cy;
  const bool busy = Busy(state.phase);
  MoveWindow(state.textBox, 16, busy ? 40 : 16, w - 32, h - 76 - (busy ? 24 : 0), TRUE);
  MoveWindow(state.actionButton, w - 364, h - 44, 170, 28, TRUE);  // placed also while hidden
  MoveWindow(state.endButton, w - 186, h - 44, 170, 28, TRUE);
}

// One place for every change of what the dialog shows. An empty action caption hides the action button.
void Present(DiagnosisDialogState* state, DiagnosisPhase phase, const std::string& text,
             const std::wstring& actionCaption, const wchar_t* endCaption, bool endEnabled) {
  state->phase = phase;
  SetWindowTextW(state->textBox, ForTextBox(text).c_str());
  SetWindowTextW(state->actionButton, actionCaption.c_str());
  EnableWindow(state->actionButton, TRUE);
  ShowWindow(state->actionButton, actionCaption.empty() ? SW_HIDE : SW_SHOW);
  SetWindowTextW(state->endButton, endCaption);
  EnableWindow(state->endButton, endEnabled ? TRUE : FALSE);
  Layout(*state);
  InvalidateRect(state->hwnd, nullptr, TRUE);
}

void ShowWaiting(DiagnosisDialogState* state) {
  Present(state, DiagnosisPhase::Waiting, WaitingText(*state), L"", L"结束对话", true);
}

void ShowEnded(DiagnosisDialogState* state, ReplyKind kind) {
  const DiagnosisPhase phase = kind == ReplyKind::MaxRounds ? DiagnosisPhase::EndedMaxRounds
                               : kind == ReplyKind::Failed  ? DiagnosisPhase::EndedFailed
                                                            : DiagnosisPhase::EndedUnavailable;
  Present(state, phase, EndedText(kind), L"", L"关闭", true);
}

void ShowRound(DiagnosisDialogState* state, const DiagnosisReply& reply) {
  state->roundNumber = reply.roundNumber;
  state->suggestedAction = reply.suggestedAction;
  state->commandToRun = reply.commandToRun;
  state->commandRefusal = ActionRunsCommandFirst(reply.suggestedAction)
                              ? CommandRefusal(base::Utf8ToWide(reply.commandToRun))
                              : std::string();
  const bool resolved = reply.suggestedAction == kResolved;
  // A refused command leaves only reporting the refusal, so that the service can suggest something else.
  Present(state, DiagnosisPhase::ShowingRound, RoundText(*state, reply.advice),
          state->commandRefusal.empty() ? ActionButtonText(reply.suggestedAction) : L"知道了，继续",
          resolved ? L"关闭" : L"结束对话", true);
}

void ShowWorking(DiagnosisDialogState* state) {
  Present(state, DiagnosisPhase::Working, WorkingText(*state), L"", L"结束对话", false);
}

// Reports the round on display and waits for the next answer.
void ReportRound(DiagnosisDialogState* state, std::string output, int32_t exitCode, std::string screenshotBase64) {
  ShowWaiting(state);
  auto args = std::make_unique<ReportArgs>(
      ReportArgs{ConversationOf(*state), state->roundNumber, std::move(output), exitCode, std::move(screenshotBase64)});
  if (!StartWorker(ReportAndContinueThreadProc, std::move(args))) ShowEnded(state, ReplyKind::Unavailable);
}

// Starts the command (or screenshot) worker for the round on display, with the command the user confirmed: a
// round arriving while the box was open may have replaced the one on display.
void StartWork(DiagnosisDialogState* state, LPTHREAD_START_ROUTINE procedure, const std::wstring& confirmed) {
  ShowWorking(state);
  auto args = std::make_unique<CommandArgs>(CommandArgs{state->hwnd, confirmed, state->options.screenshotCommandPauseMs,
                                                        state->options.interpreter});
  if (!StartWorker(procedure, std::move(args))) ShowEnded(state, ReplyKind::Unavailable);
}

// True only when the user answered Yes and the round is still on display. No is the default, so that Enter, or a
// key held down when the box appears, does not run a command.
bool Confirm(DiagnosisDialogState* state, const std::wstring& text, const wchar_t* caption) {
  state->confirming = true;
  const int answer = MessageBoxW(state->hwnd, text.c_str(), caption, MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2);
  state->confirming = false;
  return answer == IDYES && IsWindow(state->hwnd) && state->phase == DiagnosisPhase::ShowingRound;
}

void OnAction(DiagnosisDialogState* state) {
  if (state->phase != DiagnosisPhase::ShowingRound || state->confirming) return;
  const std::string& action = state->suggestedAction;
  // A copy taken now: the box shows it and the worker gets it, whatever the state holds by the time the box returns.
  const std::wstring command = base::Utf8ToWide(state->commandToRun);
  if (ActionRunsCommandFirst(action) && !state->commandRefusal.empty()) {
    ReportRound(state, "命令未执行：" + state->commandRefusal, -1, "");
  } else if (action == kRunCommand) {
    if (Confirm(state, L"即将执行以下命令：\r\n\r\n" + command + L"\r\n\r\n确定要执行吗？", L"确认执行命令")) {
      StartWork(state, CommandThreadProc, command);
    }
  } else if (action == kRequestScreenshot) {
    if (command.empty() ||
        Confirm(state, L"AI 想先执行以下命令再截图：\r\n\r\n" + command + L"\r\n\r\n确定要继续吗？", L"确认截图")) {
      StartWork(state, ScreenshotThreadProc, command);
    }
  } else if (action == kRetryDownload || action == kRetryStage) {
    state->retryRequested = true;
    DestroyWindow(state->hwnd);
  } else if (action != kResolved) {
    ReportRound(state, "", -1, "");
  }
}

// The end button, or the close box outside Working. A conversation the backend still holds open is cancelled.
void OnEnd(DiagnosisDialogState* state) {
  if (state->phase == DiagnosisPhase::Working) return;
  const bool open = state->phase == DiagnosisPhase::Waiting ||
                    (state->phase == DiagnosisPhase::ShowingRound && state->suggestedAction != kResolved);
  if (open && state->requestId >= 0) StartWorker(CancelThreadProc, std::make_unique<Conversation>(ConversationOf(*state)));
  DestroyWindow(state->hwnd);
}

void OnReply(DiagnosisDialogState* state, std::unique_ptr<DiagnosisReply> reply) {
  if (reply->kind == ReplyKind::Round) {
    ShowRound(state, *reply);
  } else {
    ShowEnded(state, reply->kind);
  }
}

void OnCommandFinished(DiagnosisDialogState* state, std::unique_ptr<CommandOutcome> outcome) {
  if (state->phase != DiagnosisPhase::Working) return;
  if (!outcome->started) {
    ReportRound(state, "命令没能启动：" + outcome->output, -1, "");
    return;
  }
  ReportRound(state, "退出码: " + std::to_string(outcome->exitCode) + "\r\n\r\n" + outcome->output,
              static_cast<int32_t>(outcome->exitCode), "");
}

void OnScreenshotFinished(DiagnosisDialogState* state, std::unique_ptr<ScreenshotOutcome> outcome) {
  if (state->phase != DiagnosisPhase::Working) return;
  ReportRound(state, outcome->ok ? "" : "截图失败", -1, std::move(outcome->pngBase64));
}

// The busy strip: a track with an accent segment sliding to and fro, drawn off-screen so that it never flickers.
void PaintBusyStrip(HDC dc, const DiagnosisDialogState& state) {
  const SIZE client = ClientSize(state.hwnd);
  const RECT strip = StripRect(client);
  const int width = strip.right - strip.left;
  const int height = strip.bottom - strip.top;
  if (width <= 0) return;
  base::UniqueMemoryDc memory(CreateCompatibleDC(dc));
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(dc, width, height));
  if (!memory || !bitmap) return;
  {
    detail::SavedDc saved(memory.get());
    SelectObject(memory.get(), bitmap.get());
    const RECT track{0, 0, width, height};
    FillSolid(memory.get(), track, GetSysColor(COLOR_BTNFACE));
    FillRounded(memory.get(), track, 16, kBorder);
    const int w = client.cx;
    const int segment = (3 * w - 96) / 10;
    const int travel = w - segment - 32;
    const int a = state.animationTick % 120;
    const int left = (a <= 60 ? a * travel : (120 - a) * travel) / 60;
    FillRounded(memory.get(), {left, 0, left + segment, height}, 16, kAccent);
    BitBlt(dc, strip.left, strip.top, width, height, memory.get(), 0, 0, SRCCOPY);
  }
}

void OnPaint(DiagnosisDialogState* state) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(state->hwnd, &paint);
  if (Busy(state->phase)) PaintBusyStrip(dc, *state);
  EndPaint(state->hwnd, &paint);
}

void OnTimer(DiagnosisDialogState* state) {
  if (!Busy(state->phase)) return;
  ++state->animationTick;
  const RECT strip = StripRect(ClientSize(state->hwnd));
  InvalidateRect(state->hwnd, &strip, FALSE);
}

bool OnCreate(HWND window, const CREATESTRUCTW& create) {
  auto* state = static_cast<DiagnosisDialogState*>(create.lpCreateParams);
  state->hwnd = window;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  HFONT font = ThemeFont(10, false);
  state->textBox = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                   WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                                   0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kAiTextBoxId)),
                                   GetModuleHandleW(nullptr), nullptr);
  SendMessageW(state->textBox, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  state->actionButton = CreateControl(window, L"BUTTON", L"", WS_TABSTOP | BS_PUSHBUTTON, kAiActionButtonId, font);
  ShowWindow(state->actionButton, SW_HIDE);
  state->endButton = CreateControl(window, L"BUTTON", L"结束对话", WS_TABSTOP | BS_DEFPUSHBUTTON, kAiEndButtonId, font);
  if (state->textBox == nullptr || state->actionButton == nullptr || state->endButton == nullptr) return false;
  SetTimer(window, kAnimationTimer, kAnimationMs, nullptr);
  ShowWaiting(state);
  return true;
}

// Records posted by the workers are taken over here, also when the window is already on its way out.
template <typename Record>
std::unique_ptr<Record> TakeRecord(LPARAM lParam) {
  return std::unique_ptr<Record>(reinterpret_cast<Record*>(lParam));
}

// A destroyed window's queued messages are never dispatched: the records posted to it just before are freed here,
// on its last message. Posts after that fail, and their senders keep and free the record.
void FreeQueuedRecords(HWND window) {
  MSG queued;
  while (PeekMessageW(&queued, window, MsgDiagnosisReply, MsgScreenshotFinished, PM_REMOVE)) {
    if (queued.message == MsgDiagnosisReply) TakeRecord<DiagnosisReply>(queued.lParam);
    if (queued.message == MsgCommandFinished) TakeRecord<CommandOutcome>(queued.lParam);
    if (queued.message == MsgScreenshotFinished) TakeRecord<ScreenshotOutcome>(queued.lParam);
  }
}

LRESULT CALLBACK DiagnosisWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DiagnosisDialogState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE:
      return OnCreate(window, *reinterpret_cast<CREATESTRUCTW*>(lParam)) ? 0 : -1;
    case WM_SIZE:
      if (state != nullptr) Layout(*state);
      return 0;
    case WM_PAINT:
      if (state == nullptr) break;
      OnPaint(state);
      return 0;
    case WM_TIMER:
      if (state != nullptr && wParam == kAnimationTimer) OnTimer(state);
      return 0;
    case WM_COMMAND:
      if (state == nullptr || HIWORD(wParam) != BN_CLICKED) return 0;
      if (LOWORD(wParam) == kAiActionButtonId) OnAction(state);
      if (LOWORD(wParam) == kAiEndButtonId) OnEnd(state);
      return 0;
    case WM_CLOSE:
      if (state != nullptr) OnEnd(state);
      return 0;
    case MsgDiagnosisReply: {
      auto reply = TakeRecord<DiagnosisReply>(lParam);
      if (state != nullptr) OnReply(state, std::move(reply));
      return 0;
    }
    case MsgCommandFinished: {
      auto outcome = TakeRecord<CommandOutcome>(lParam);
      if (state != nullptr) OnCommandFinished(state, std::move(outcome));
      return 0;
    }
    case MsgRequestQueued:
      if (state != nullptr) state->requestId = static_cast<int32_t>(wParam);
      return 0;
    case MsgScreenshotFinished: {
      auto outcome = TakeRecord<ScreenshotOutcome>(lParam);
      if (state != nullptr) OnScreenshotFinished(state, std::move(outcome));
      return 0;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      FreeQueuedRecords(window);
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// This thread's messages until the dialog is gone. A quit message (or a failing GetMessageW) ends the loop early; a
// quit is posted again for the outer loop.
void RunDialogLoop(HWND dialog) {
  MSG message;
  while (IsWindow(dialog)) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      log::LogWarn("[AiDiagnosisDialog] GetMessageW 返回 " + std::to_string(got) +
                   "（收到 WM_QUIT 或出错），提前跳出消息循环，GetLastError=" + std::to_string(GetLastError()));
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    if (HandleModalKey(dialog, message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

std::string CommandRefusal(const std::wstring& command) {
  size_t characters = 0;
  bool unshowable = false;
  for (size_t i = 0; i < command.size(); ++i) {
    const wchar_t c = command[i];
    // A surrogate pair is one character.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < command.size() && command[i + 1] >= 0xDC00 && command[i + 1] <= 0xDFFF) {
      ++i;
    }
    ++characters;
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    // The marks that reorder or isolate text: what the box shows would not be the order cmd.exe reads.
    const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                      (c >= 0x2066 && c <= 0x2069);
    unshowable = unshowable || control || bidi;
  }
  if (unshowable) {
    return "AI 建议的命令里有控制字符（比如换行、制表符）或文字方向控制符，确认框没法如实显示它，已拒绝执行这条命令。";
  }
  if (characters > kMaxConfirmedCommandCharacters) {
    return "AI 建议的命令超过 2000 个字符，确认框没法完整显示它，已拒绝执行这条命令。";
  }
  return {};
}

bool RunAiDiagnosis(HWND owner, const AiDiagnosisInput& input, const AiDiagnosisOptions& options) {
  if (input.sessionId.empty()) {
    log::LogWarn("没有可用的上报 session，跳过 AI 诊断弹窗");
    return false;
  }
  log::LogInfo("[AiDiagnosisDialog] 开始创建弹窗");
  static const bool registered = RegisterModalClass(kAiDiagnosisDialogClass, DiagnosisWindowProc);  // once
  DiagnosisDialogState state;
  state.owner = owner;
  state.sessionId = input.sessionId;
  state.errorMessage = input.errorMessage;
  state.options = options;
  const RECT frame = CentredOn(owner, kWidth, kHeight);
  HWND dialog = registered ? CreateWindowExW(WS_EX_DLGMODALFRAME, kAiDiagnosisDialogClass, L"AI 诊断助手",
                                             WS_POPUPWINDOW | WS_DLGFRAME, frame.left, frame.top, kWidth, kHeight,
                                             owner, nullptr, GetModuleHandleW(nullptr), &state)
                           : nullptr;
  if (dialog == nullptr) {
    log::LogError("[AiDiagnosisDialog] CreateWindowExW 失败, GetLastError=" + std::to_string(GetLastError()));
    return false;
  }
  log::LogInfo("[AiDiagnosisDialog] 窗口已创建，开始显示");
  const bool ownerDisabledHere = DisableOwner(owner);
  ShowWindow(dialog, SW_SHOW);
  UpdateWindow(dialog);

  auto args = std::make_unique<PollArgs>(
      PollArgs{ConversationOf(state), input.stage, input.errorMessage, input.diagnosticText});
  // Held until its start is logged, so that the log reads in the order things happened.
  const base::UniqueKernelHandle poller = StartWorker(PollThreadProc, std::move(args), CREATE_SUSPENDED);
  if (poller) {
    log::LogInfo("[AiDiagnosisDialog] 轮询线程已启动，进入消息循环");
    ResumeThread(poller.get());
  } else {
    ShowEnded(&state, ReplyKind::Unavailable);
  }
  RunDialogLoop(dialog);
  // Left early by a quit message: the state lives in this frame, so the window may not outlive the call.
  if (IsWindow(dialog)) DestroyWindow(dialog);
  log::LogInfo("[AiDiagnosisDialog] 消息循环结束");
  ReleaseOwner(owner, ownerDisabledHere);
  return state.retryRequested;
}

bool RunAiDiagnosis(HWND owner, const AiDiagnosisInput& input) { return RunAiDiagnosis(owner, input, {}); }

}  // namespace pl::ui
