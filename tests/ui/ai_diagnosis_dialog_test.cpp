// RunAiDiagnosis under Wine over pl_ui_host's owner window, against the test's own session of the backend stand-in
// playing scripted rounds, at a pace of milliseconds instead of seconds. Commands run through Wine's cmd.exe; the
// fake bcdedit holds one until the test releases it. Screenshots: build/screenshots/ai-*.png.

#include <windows.h>

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "base/system_paths.h"
#include "base/text.h"
#include "config/service_config.h"
#include "devserver_client.h"
#include "reporting/report_session.h"
#include "tools/tool_runner.h"
#include "ui/ai_diagnosis_dialog.h"
#include "ui/theme.h"
#include "ui_host.h"
#include "ui_host_driver.h"

namespace pl::ui {
namespace {

using Lines = std::vector<std::string>;

constexpr wchar_t kQuickPace[] = L"1 10 100 0";  // one 10 ms pause before each of 100 polls, no pause after a command
constexpr wchar_t kSlowPace[] = L"1 50 10000 0";  // a wait the test ends long before it runs out

const std::string kProblem = "检测到问题：下载失败：连接超时\r\n\r\n";
const std::string kFirstWait = kProblem +
                               "正在联系 AI 诊断，请稍候……（最长可能需要几分钟）\r\n\r\n"
                               "这一步只是把已经发生的报错信息发给诊断服务，不会改动这台电脑上的任何内容。";
const std::string kNextWait = kProblem + "AI 正在根据刚才的结果分析下一步，请稍候……（最长可能需要几分钟）";
const std::string kCommandRule = "\r\n\r\n——————————\r\nAI 建议先执行以下命令：\r\n\r\n";
const std::string kAdvice = "先看看磁盘的情况。";
const std::string kEndedMaxRounds =
    "已经尝试了 5 轮，AI 暂时没能自动解决这个问题。\r\n\r\n"
    "建议保留现场，点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
const std::string kEndedFailed =
    "AI 诊断服务这次处理出错了（不是你这台电脑的问题）。\r\n\r\n"
    "建议稍后重试，或者点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
const std::string kEndedUnavailable =
    "AI 诊断暂时不可用（可能是网络问题，或者诊断服务这会儿没在线）。\r\n\r\n"
    "建议保留现场，点击页脚的\"生成诊断信息\"按钮生成一份诊断文件，联系人工客服处理。";
const std::wstring kEnd = L"结束对话";
const std::wstring kClose = L"关闭";

// The log of every dialog that got request 1, before what happened in it and after its end.
const Lines kOpened = {
    "T [INFO] [AiDiagnosisDialog] 开始创建弹窗",
    "T [INFO] [AiDiagnosisDialog] 窗口已创建，开始显示",
    "T [INFO] [AiDiagnosisDialog] 轮询线程已启动，进入消息循环",
    "T [INFO] [AiDiagnosisDialog] 轮询线程启动，准备排队诊断请求",
    "T [INFO] [AiDiagnosisDialog] 排队请求返回 requestId=1",
};
const std::string kClosed = "T [INFO] [AiDiagnosisDialog] 消息循环结束";

std::wstring Wide(const std::string& text) { return base::Utf8ToWide(text); }

// A script whose first step offers round 1 with this action and command, and whose later steps follow.
std::string RoundScript(const std::string& action, const std::string& command, const std::string& later = "") {
  return R"({"steps": [{"round": {"roundNumber": 1, "advice": ")" + kAdvice + R"(", "suggestedAction": ")" + action +
         R"(", "commandToRun": ")" + command + "\"}}" + (later.empty() ? "" : ", " + later) + "]}";
}

struct AiDiagnosisDialogTest : ::testing::Test {
  // Opens the dialog for a new reporting session of the test's stand-in, which plays `script` (its default one
  // when empty); `pace` is the host's "<wait-slices> <slice-ms> <polls> <pause-ms>". Each call starts a new host;
  // the earlier ones stay, so that a thread of theirs can still reach the stand-in.
  HWND Open(const std::string& script, const std::wstring& pace = kQuickPace) {
    if (!script.empty()) server.SetDiagnosisScript(script);
    session = reporting::CreateReportSession("w11-pro", "0.1.0");
    EXPECT_FALSE(session.empty());
    hosts.emplace_back();
    EXPECT_TRUE(host().Start(L"ai \"" + Wide(session) + L"\" " + pace));
    owner = host().Owner();
    return host().Window(kAiDiagnosisDialogClass);
  }
  test::UiHost& host() { return hosts.back(); }
  const test::UiHost& host() const { return hosts.back(); }
  // Waits for the text, then expects the buttons to go with it (an empty action caption: the button is hidden).
  void ExpectShown(HWND dialog, const std::string& text, const std::wstring& action, const std::wstring& end,
                   bool endEnabled = true, const wchar_t* screenshot = nullptr) {
    EXPECT_EQ(test::WaitForText(dialog, kAiTextBoxId, Wide(text)), Wide(text));
    EXPECT_EQ(test::ControlVisible(dialog, kAiActionButtonId), !action.empty());
    if (!action.empty()) {
      EXPECT_EQ(test::ControlText(dialog, kAiActionButtonId), action);
    }
    EXPECT_EQ(test::ControlText(dialog, kAiEndButtonId), end);
    EXPECT_EQ(test::ControlEnabled(dialog, kAiEndButtonId), endEnabled);
    if (screenshot != nullptr) {
      EXPECT_FALSE(test::SaveScreenshot(screenshot).empty());
    }
  }
  // Presses the action button and answers the confirmation with the given caption; returns its text.
  std::wstring AnswerConfirmation(HWND dialog, const std::wstring& caption, int answer,
                                  const wchar_t* screenshot = nullptr) {
    test::PressButton(dialog, kAiActionButtonId);
    HWND box = host().MessageBox(caption);
    if (box == nullptr) return L"(no confirmation)";
    if (screenshot != nullptr) {
      // Once the box has painted: its text at the top and its buttons at the bottom.
      RECT client{};
      GetClientRect(box, &client);
      const RECT area = test::OnScreen(box, client);
      const test::ScreenImage image = test::CaptureWhen([&](const test::ScreenImage& shot) {
        const RECT ink = test::InkBox(shot, area, shot.At(area.left + 1, area.top + 1));
        return ink.bottom - ink.top > (area.bottom - area.top) / 2;
      });
      EXPECT_FALSE(test::SaveImage(image, screenshot).empty());
    }
    const std::wstring text = test::MessageBoxText(box);
    test::PressButton(box, answer);
    return text;
  }
  // The reports of this kind for the latest session.
  std::vector<test::DevServerReport> Reports(const std::string& kind) const {
    std::vector<test::DevServerReport> mine;
    for (auto& report : server.Reports(kind)) {
      if (report.sessionId == session) mine.push_back(std::move(report));
    }
    return mine;
  }
  std::vector<test::DevServerReport> WaitForReports(const std::string& kind, size_t count) const {
    std::vector<test::DevServerReport> reports;
    test::WaitUntil([&] { return (reports = Reports(kind)).size() >= count; });
    return reports;
  }
  // The one report of this kind, once it came; an empty one (and a failure) otherwise.
  test::DevServerReport OneReport(const std::string& kind) const {
    const auto reports = WaitForReports(kind, 1);
    EXPECT_EQ(reports.size(), 1u);
    return reports.size() == 1 ? reports[0] : test::DevServerReport{};
  }
  // Presses the end button; the call then returns false to the owner.
  void End(HWND dialog) const {
    test::PressButton(dialog, kAiEndButtonId);
    test::ExpectOwnerBack(owner, L"result=0");
  }
  // A cancel would be sent by a thread started as the dialog closed: give it time to arrive. Any session's counts.
  bool CancelArrives() const {
    return test::WaitUntil([&] { return !server.Reports("cancel").empty(); }, 1500);
  }
  Lines LogLines() const {
    std::string bytes;
    test::ReadFileBytes(hosts.back().log, &bytes);
    return test::LogLinesWithoutTime(bytes);
  }
  // The log of a dialog that got request 1 with `inside` between its opening and its end.
  static Lines DialogLog(const Lines& inside = {}) {
    Lines lines = kOpened;
    lines.insert(lines.end(), inside.begin(), inside.end());
    lines.push_back(kClosed);
    return lines;
  }

  test::FakeTools fake;  // before the host starts: it inherits the scenario's folder and the backend's origin
  test::DevServerSession server;
  test::ScopedEnvironment backend{config::kBackendOriginVariable, server.origin};
  std::list<test::UiHost> hosts;
  std::string session;
  HWND owner = nullptr;
};

TEST_F(AiDiagnosisDialogTest, AResolvedRoundOffersOnlyCloseAndSendsNoCancel) {
  HWND dialog = Open("");  // the stand-in's own script: one poll pending, then a "resolved" round
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(test::WindowText(dialog), L"AI 诊断助手");
  test::ExpectCentredOn(dialog, owner, 460, 340);
  EXPECT_FALSE(IsWindowEnabled(owner));
  ExpectShown(dialog, "本地测试服务的诊断回答：没有发现需要处理的问题，可以关闭对话。", L"", kClose, true,
              L"ai-resolved.png");
  End(dialog);
  EXPECT_FALSE(CancelArrives());

  std::vector<std::string> kinds;
  for (const auto& report : server.Reports()) kinds.push_back(report.kind);
  EXPECT_EQ(kinds, (Lines{"create", "diagnosis_queue", "diagnosis_poll", "diagnosis_poll"}));
  EXPECT_EQ(Reports("diagnosis_queue").at(0).body,
            R"({"diagnosticBundle":"===== 环境 =====\r\nWindows 10","message":"下载失败：连接超时","stage":"download"})");
  EXPECT_EQ(LogLines(), DialogLog());
}

// The whole route of a command: shown, confirmed, run (held meanwhile, when neither close box nor end button may end
// the dialog), its exit code and output reported, and the next round shown. It runs through the system's cmd.exe
// whatever "ComSpec" says, in the system directory, and so does what it starts.
TEST_F(AiDiagnosisDialogTest, AConfirmedCommandRunsAndItsExitCodeReachesTheBackend) {
  const test::ScopedEnvironment interpreter(L"ComSpec", L"C:\\missing\\cmd.exe");
  const std::string command = "bcdedit /enum & echo hello & exit /b 3";
  const std::wstring release = fake.directory.Child(L"release");
  fake.Add({.tool = "bcdedit", .match = "*/enum*", .output = "held\r\n", .delayMs = 60000,
            .releaseFile = base::WideToUtf8(release)});
  HWND dialog = Open(RoundScript("run_command", command, R"({"round": {"roundNumber": 2, "advice": "问题已经解决。",
      "suggestedAction": "resolved"}})"));
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + command, L"确认执行此命令", kEnd, true, L"ai-round-command.png");
  EXPECT_EQ(AnswerConfirmation(dialog, L"确认执行命令", IDYES, L"ai-confirm.png"),
            L"即将执行以下命令：\r\n\r\n" + Wide(command) + L"\r\n\r\n确定要执行吗？");

  ExpectShown(dialog, "正在执行命令，请稍候……\r\n\r\n" + command, L"", kEnd, false);
  ASSERT_TRUE(test::WaitUntil([&] { return fake.Calls().size() == 1; }));
  EXPECT_EQ(fake.Calls()[0].workingDirectory, base::WideToUtf8(base::SystemDirectoryPath()));
  EXPECT_EQ(fake.Calls()[0].environment.at("NoDefaultCurrentDirectoryInExePath"), "1");
  EXPECT_FALSE(test::SaveScreenshot(L"ai-working.png").empty());
  // Queued before the command's outcome can be: both are handled, and ignored, before it.
  test::CloseWindow(dialog);
  test::PressButton(dialog, kAiEndButtonId);
  ASSERT_TRUE(test::WriteFileBytes(release, ""));

  ExpectShown(dialog, "问题已经解决。", L"", kClose);
  const test::DevServerReport result = OneReport("round_result");
  EXPECT_EQ(result.round.value_or(-1), 1);
  EXPECT_EQ(result.body, R"({"exitCode":3,"output":"退出码: 3\r\n\r\nheld\r\nhello \r\n"})");
  End(dialog);
  EXPECT_EQ(LogLines(), DialogLog({"T [INFO] [AiDiagnosisDialog] 开始执行命令: " + command,
                                   "T [INFO] [AiDiagnosisDialog] 命令执行完毕, 退出码=3"}));
}

TEST_F(AiDiagnosisDialogTest, ACommandAnsweredNoNeverRunsAndEndingThenCancels) {
  HWND dialog = Open(RoundScript("run_command", "bcdedit /enum"));
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + "bcdedit /enum", L"确认执行此命令", kEnd);
  AnswerConfirmation(dialog, L"确认执行命令", IDNO);
  ASSERT_TRUE(test::WaitUntil([&] { return test::NoMessageBox(L"确认执行命令", host().program.processId); }));
  ExpectShown(dialog, kAdvice + kCommandRule + "bcdedit /enum", L"确认执行此命令", kEnd);

  End(dialog);
  EXPECT_EQ(WaitForReports("cancel", 1).size(), 1u);
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_TRUE(Reports("round_result").empty());
  EXPECT_EQ(LogLines(), DialogLog());
}

// How the interpreter is started, seen by a fake tool standing in for it (Wine's cmd.exe tells nothing of its own
// command line): no AutoRun ("/d"), the command between outer quotes taken as it stands ("/s"), the system
// directory, and no search for programs in the current directory first.
TEST_F(AiDiagnosisDialogTest, TheInterpreterStartsWithoutAutoRunInTheSystemDirectory) {
  const std::wstring standIn = tools::SystemToolPath(L"bcdedit.exe");
  const std::string command = "dir & echo \\\"a b\\\"";  // JSON for: dir & echo "a b"
  HWND dialog = Open(RoundScript("run_command", command, R"({"status": "max_rounds"})"),
                     std::wstring(kQuickPace) + L" " + standIn);
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + "dir & echo \"a b\"", L"确认执行此命令", kEnd);
  AnswerConfirmation(dialog, L"确认执行命令", IDYES);
  ExpectShown(dialog, kEndedMaxRounds, L"", kClose);
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 1u);
  const std::string system = base::WideToUtf8(base::SystemDirectoryPath());
  EXPECT_EQ(calls[0].commandLine, "\"" + system + "\\bcdedit.exe\" /d /s /c \"dir & echo \"a b\"\"");
  EXPECT_EQ(calls[0].workingDirectory, system);
  EXPECT_EQ(calls[0].environment.at("NoDefaultCurrentDirectoryInExePath"), "1");
  End(dialog);
}

// No is the default answer: Enter (a real key press) on the box runs nothing.
TEST_F(AiDiagnosisDialogTest, EnterOnTheConfirmationAnswersNo) {
  HWND dialog = Open(RoundScript("run_command", "bcdedit /enum"));
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + "bcdedit /enum", L"确认执行此命令", kEnd);
  test::PressButton(dialog, kAiActionButtonId);
  HWND box = host().MessageBox(L"确认执行命令");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(GetWindowLongW(GetDlgItem(box, IDNO), GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_FALSE(GetWindowLongW(GetDlgItem(box, IDYES), GWL_STYLE) & BS_DEFPUSHBUTTON);
  ASSERT_TRUE(test::PressEnterIn(box));
  ASSERT_TRUE(test::WaitUntil([&] { return test::NoMessageBox(L"确认执行命令", host().program.processId); }));
  ExpectShown(dialog, kAdvice + kCommandRule + "bcdedit /enum", L"确认执行此命令", kEnd);
  End(dialog);
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_EQ(LogLines(), DialogLog());
}

// A command the box could not show as it would run is not offered: the dialog says why and only reports the refusal.
TEST_F(AiDiagnosisDialogTest, ACommandWithAControlCharacterIsRefusedWithAMessage) {
  const std::string refusal = CommandRefusal(L"\t");
  HWND dialog = Open(RoundScript("run_command", "echo a\\tb", R"({"status": "max_rounds"})"));
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + "\r\n\r\n——————————\r\n" + refusal, L"知道了，继续", kEnd, true,
              L"ai-refused-command.png");
  test::PressButton(dialog, kAiActionButtonId);
  ExpectShown(dialog, kEndedMaxRounds, L"", kClose);
  EXPECT_TRUE(test::NoMessageBox(L"确认执行命令", host().program.processId));
  const test::DevServerReport result = OneReport("round_result");
  EXPECT_EQ(result.Text("output"), "命令未执行：" + refusal);
  EXPECT_EQ(result.Member("exitCode"), "");
  End(dialog);
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_EQ(LogLines(), DialogLog());
}

TEST(CommandRefusalTest, ControlAndDirectionMarksAndLengthAreRefused) {
  const std::string control = CommandRefusal(L"\t");
  const std::string tooLong = "AI 建议的命令超过 2000 个字符，确认框没法完整显示它，已拒绝执行这条命令。";
  std::wstring pairs;  // 2,000 characters in 4,000 UTF-16 units
  for (int i = 0; i < 2000; ++i) pairs += L"\xD83D\xDE00";
  const std::pair<std::wstring, std::string> cases[] = {
      {L"ipconfig /all & echo 中文", ""}, {L"echo a\r\ndel x", control},  {std::wstring(L"echo \0x", 7), control},
      {L"echo \x7F", control},          {L"echo \x85", control},         {L"echo \x202Etxt.exe", control},
      {L"echo \x2066x\x2069", control}, {L"echo \x200F\x061C", control}, {std::wstring(2000, L'x'), ""},
      {std::wstring(2001, L'x'), tooLong}, {pairs, ""},
  };
  EXPECT_EQ(control,
            "AI 建议的命令里有控制字符（比如换行、制表符）或文字方向控制符，确认框没法如实显示它，已拒绝执行这条命令。");
  for (const auto& [command, refusal] : cases) EXPECT_EQ(CommandRefusal(command), refusal) << base::WideToUtf8(command);
}

TEST_F(AiDiagnosisDialogTest, ACommandThatCannotStartIsReportedWithoutAnExitCode) {
  HWND dialog = Open(RoundScript("run_command", "echo hello", R"({"status": "failed"})"),
                     std::wstring(kQuickPace) + L" C:\\missing\\cmd.exe");
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + "echo hello", L"确认执行此命令", kEnd);
  AnswerConfirmation(dialog, L"确认执行命令", IDYES);
  ExpectShown(dialog, kEndedFailed, L"", kClose);
  const test::DevServerReport result = OneReport("round_result");
  const std::string why = "启动 C:\\missing\\cmd.exe 失败, GetLastError=3";
  EXPECT_EQ(result.Text("output"), "命令没能启动：" + why);
  EXPECT_EQ(result.Member("exitCode"), "");
  End(dialog);
  EXPECT_EQ(LogLines(), DialogLog({"T [INFO] [AiDiagnosisDialog] 开始执行命令: echo hello",
                                   "T [WARN] [AiDiagnosisDialog] 命令没能启动: " + why}));
}

TEST_F(AiDiagnosisDialogTest, AScreenshotIsTheWholeDesktopAsOnePngInBase64) {
  HWND dialog = Open(RoundScript("request_screenshot", "echo shot", R"({"status": "max_rounds"})"));
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kAdvice + kCommandRule + "echo shot", L"截图并发送", kEnd);
  EXPECT_EQ(AnswerConfirmation(dialog, L"确认截图", IDYES),
            L"AI 想先执行以下命令再截图：\r\n\r\necho shot\r\n\r\n确定要继续吗？");
  ExpectShown(dialog, kEndedMaxRounds, L"", kClose);

  const test::DevServerReport result = OneReport("round_result");
  EXPECT_EQ(result.Member("output"), "\"\"");
  EXPECT_EQ(result.Member("exitCode"), "");
  const std::string base64 = result.Text("screenshotBase64");
  EXPECT_EQ(base64.find_first_of("\r\n"), std::string::npos);
  const std::string png = test::DecodeBase64(base64);
  test::WriteFileBytes(test::ScreenshotPath(L"ai-sent-screenshot.png"), png);
  const SIZE size = test::PngSize(png);
  EXPECT_EQ(size.cx, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(size.cy, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  End(dialog);
  EXPECT_EQ(LogLines(), DialogLog({"T [INFO] [AiDiagnosisDialog] 开始执行命令: echo shot",
                                   "T [INFO] [AiDiagnosisDialog] 命令执行完毕, 退出码=0"}));
}

TEST_F(AiDiagnosisDialogTest, ARetryActionEndsTheDialogWithTrue) {
  for (const auto& [action, caption] : {std::pair{"retry_download", L"清空重新下载并重试"}, {"retry_stage", L"重试"}}) {
    SCOPED_TRACE(action);
    HWND dialog = Open(RoundScript(action, ""));
    ASSERT_NE(dialog, nullptr);
    ExpectShown(dialog, kAdvice, caption, kEnd);
    test::PressButton(dialog, kAiActionButtonId);
    test::ExpectOwnerBack(owner, L"result=1");
    EXPECT_TRUE(Reports("round_result").empty());
  }
  EXPECT_FALSE(CancelArrives());
}

// An action the dialog does not know is taken as advice: it goes on with an empty result, then waits for the next
// round with its other text; ending while it waits (by Esc, as by the close box) cancels the request. Over a
// minimised owner the dialog opens on the owner restored, in sight.
TEST_F(AiDiagnosisDialogTest, AnUnknownActionIsReportedEmptyAndEndingWhileWaitingCancels) {
  const std::wstring overMinimisedOwner = std::wstring(kSlowPace) + L" minimised";
  HWND dialog = Open(RoundScript("open_settings", "ms-settings:", R"({"status": "pending"})"), overMinimisedOwner);
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsIconic(owner));
  test::ExpectCentredOn(dialog, owner, 460, 340);
  ExpectShown(dialog, kAdvice, L"知道了，继续", kEnd, true, L"ai-round-info.png");
  test::PressButton(dialog, kAiActionButtonId);
  ExpectShown(dialog, kNextWait, L"", kEnd, true, L"ai-waiting-next.png");
  const test::DevServerReport result = OneReport("round_result");
  EXPECT_EQ(result.body, R"({"output":""})");
  ASSERT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == dialog; }));
  ASSERT_TRUE(test::PressKey(VK_ESCAPE));
  test::ExpectOwnerBack(owner, L"result=0");
  EXPECT_EQ(WaitForReports("cancel", 1).size(), 1u);
  EXPECT_TRUE(fake.Calls().empty());
}

// While the backend thinks, a strip of the border colour shows above the text with an accent segment moving on it.
TEST_F(AiDiagnosisDialogTest, TheFirstWaitShowsTheProblemAndTheBusyStrip) {
  HWND dialog = Open(R"({"steps": [{"status": "pending"}]})", kSlowPace);
  ASSERT_NE(dialog, nullptr);
  ExpectShown(dialog, kFirstWait, L"", kEnd);
  RECT client{};
  GetClientRect(dialog, &client);
  const RECT strip = test::OnScreen(dialog, RECT{16, 16, client.right - 16, 24});
  // Where the segment starts on the strip's middle row; -1 without one.
  const auto segmentLeft = [&](const test::ScreenImage& shot) {
    for (int x = strip.left; x < strip.right; ++x) {
      if (shot.At(x, strip.top + 4) == kAccent) return x;
    }
    return -1;
  };
  const test::ScreenImage image = test::CaptureWhen([&](const test::ScreenImage& shot) {
    return segmentLeft(shot) >= 0 && test::CountColour(shot, strip, kBorder) > 0;
  });
  const int firstLeft = segmentLeft(image);
  EXPECT_GE(firstLeft, 0);
  EXPECT_FALSE(test::SaveImage(image, L"ai-waiting.png").empty());
  EXPECT_TRUE(test::WaitUntil([&] {
    test::ScreenImage later;
    return test::CaptureScreen(&later) && segmentLeft(later) >= 0 && segmentLeft(later) != firstLeft;
  }));
  End(dialog);
  EXPECT_EQ(WaitForReports("cancel", 1).size(), 1u);
}

// Each way a wait can end without a round: the backend's "max_rounds", "failed" and "user_cancelled", 100 polls
// without an answer, a queue the backend refused. None of them is cancelled on closing.
TEST_F(AiDiagnosisDialogTest, AWaitEndsWithTheTextOfHowItEnded) {
  struct Case {
    const char* name;
    std::string script;
    std::string text;
    size_t polls;  // the polls the dialog made
  };
  const std::vector<Case> cases = {
      {"max_rounds", R"({"steps": [{"status": "max_rounds"}]})", kEndedMaxRounds, 1},
      {"failed", R"({"steps": [{"status": "failed"}]})", kEndedFailed, 1},
      {"user_cancelled", R"({"steps": [{"status": "user_cancelled"}]})", kEndedFailed, 1},
      {"unavailable", R"({"steps": [{"status": "pending"}]})", kEndedUnavailable, 100},
      {"refused", "", kEndedUnavailable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.ClearRules();
    if (c.polls == 0) server.AddRule({.path = "/reset/api/v1/sessions/*", .method = "POST", .status = 503});
    HWND dialog = Open(c.script);
    ASSERT_NE(dialog, nullptr);
    ExpectShown(dialog, c.text, L"", kClose, true,
                (L"ai-ended-" + Wide(c.name) + L".png").c_str());
    End(dialog);
    EXPECT_EQ(Reports("diagnosis_poll").size(), c.polls);
  }
  EXPECT_FALSE(CancelArrives());
}

TEST_F(AiDiagnosisDialogTest, WithoutASessionNoDialogOpens) {
  ASSERT_TRUE(hosts.emplace_back().Start(L"ai \"\""));
  owner = host().Owner();
  test::ExpectOwnerBack(owner, L"result=0");
  EXPECT_EQ(test::WaitForWindow(kAiDiagnosisDialogClass, host().program.processId, 0), nullptr);
  EXPECT_EQ(LogLines(), Lines{"T [WARN] 没有可用的上报 session，跳过 AI 诊断弹窗"});
  EXPECT_TRUE(server.Reports().empty());
}

}  // namespace
}  // namespace pl::ui
