// ConfirmAndDecryptVolume under Wine over pl_ui_host's owner window, with PowerShell answered by the fake tool and
// the worker polling every 20 ms instead of every 5 s. Screenshots: build/screenshots/decrypt-*.png.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/decrypt_window.h"
#include "ui_host_driver.h"

namespace pl::ui {
namespace {

using test::FakeToolRule;

const std::wstring kConfirmCaption = L"确认关闭 BitLocker 加密";
const std::wstring kWorking = L"正在关闭加密保护，请稍候……";
const std::wstring kDone = L"加密保护已关闭，这个分区现在可以正常使用了。";
const std::wstring kFailed = L"关闭加密保护失败，请到磁盘管理里手动查看这个分区的状态。";
const std::string kTriggerLine = "T [INFO] [BitLockerDecryptDialog] 触发关闭 E: 的 BitLocker 保护";

FakeToolRule StartAnswer(const std::string& output) {
  return {.tool = "powershell", .match = "*Disable-BitLocker*", .output = output + "\r\n"};
}
FakeToolRule PercentageAnswer(const std::string& output, uint32_t exitCode = 0, int times = 0) {
  return {.tool = "powershell", .match = "*EncryptionPercentage*", .exitCode = exitCode, .output = output + "\r\n",
          .times = times};
}

struct DecryptWindowTest : ::testing::Test {
  // Starts the host for drive E: and answers the confirmation; the decryption window after Yes.
  HWND Open(int answer) {
    EXPECT_TRUE(host.Start(L"decrypt E 20"));
    owner = host.Owner();
    HWND box = host.MessageBox(kConfirmCaption);
    if (owner == nullptr || box == nullptr) return nullptr;
    confirmation = test::MessageBoxText(box);
    test::PressButton(box, answer);
    return answer == IDYES ? host.Window(kDecryptWindowClass) : nullptr;
  }
  static int Progress(HWND window) {
    return static_cast<int>(SendMessageW(GetDlgItem(window, kDecryptProgressId), PBM_GETPOS, 0, 0));
  }
  int PercentageQueries() const {
    int count = 0;
    for (const auto& call : fake.Calls()) count += call.arguments.find("EncryptionPercentage") != std::string::npos;
    return count;
  }
  std::vector<std::string> LogLines() const {
    std::string bytes;
    test::ReadFileBytes(host.log, &bytes);
    return test::LogLinesWithoutTime(bytes);
  }
  // Waits for the status text, then expects the bar and the button to go with it; saves a screenshot.
  void ExpectShown(HWND window, const std::wstring& status, int progress, const std::wstring& button,
                   const wchar_t* screenshot) {
    EXPECT_EQ(test::WaitForText(window, kDecryptStatusId, status), status);
    EXPECT_EQ(Progress(window), progress);
    EXPECT_EQ(test::ControlText(window, kDecryptButtonId), button);
    if (screenshot != nullptr) {
      EXPECT_FALSE(test::SaveScreenshot(screenshot).empty());
    }
  }

  test::FakeTools fake;  // before the host starts: it inherits the scenario's folder
  test::UiHost host;
  HWND owner = nullptr;
  std::wstring confirmation;
};

TEST_F(DecryptWindowTest, AlreadyDecryptedVolumeShowsSuccessAtOnce) {
  fake.Add(StartAnswer("ALREADY_OFF"));
  fake.Add(PercentageAnswer("0"));
  HWND window = Open(IDYES);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(confirmation,
            L"即将关闭 E: 盘的 BitLocker 加密保护。\r\n\r\n这是不可逆操作：\r\n"
            L"· 关闭后该分区的数据将变为未加密状态，之后不再受 BitLocker 保护，除非你以后自己重新开启\r\n"
            L"· 解密在后台进行，根据分区大小可能需要几分钟到更长时间，期间请不要关机或拔出磁盘\r\n"
            L"· 解密完成后即可正常使用这个分区\r\n\r\n确定要关闭加密吗？");
  EXPECT_EQ(test::WindowText(window), L"关闭 BitLocker 加密");
  test::ExpectCentredOn(window, owner, 420, 220);
  EXPECT_FALSE(IsWindowEnabled(owner));

  ExpectShown(window, kDone, 100, L"完成", L"decrypt-done.png");
  test::PressButton(window, kDecryptButtonId);
  test::ExpectOwnerBack(owner, L"result=1");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            kTriggerLine,
                            "T [INFO] 已触发关闭 E: 的 BitLocker 保护（ALREADY_OFF），实际解密在后台异步进行，需要轮询进度",
                        }));
  EXPECT_EQ(PercentageQueries(), 1);
}

TEST_F(DecryptWindowTest, ProgressIsTheDecryptedShareAndClosingEarlyReturnsFalse) {
  fake.Add(StartAnswer("STARTED"));
  fake.Add(PercentageAnswer("57.3"));
  HWND window = Open(IDYES);
  ASSERT_NE(window, nullptr);
  ExpectShown(window, kWorking + L"43%", 43, L"关闭窗口", L"decrypt-progress.png");
  ASSERT_TRUE(test::CloseByCloseBox(window));
  test::ExpectOwnerBack(owner, L"result=0");
}

TEST_F(DecryptWindowTest, EscClosesTheWindowAsItsCloseBoxDoes) {
  fake.Add(StartAnswer("STARTED"));
  fake.Add(PercentageAnswer("57.3"));
  HWND window = Open(IDYES);
  ASSERT_NE(window, nullptr);
  ExpectShown(window, kWorking + L"43%", 43, L"关闭窗口", nullptr);
  ASSERT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == window; }));
  ASSERT_TRUE(test::PressKey(VK_ESCAPE));
  test::ExpectOwnerBack(owner, L"result=0");
}

TEST_F(DecryptWindowTest, FailingQueriesKeepPollingAtTheLastProgress) {
  fake.Add(StartAnswer("STARTED"));
  fake.Add(PercentageAnswer("80", 0, 1));
  fake.Add(PercentageAnswer("", 1));
  HWND window = Open(IDYES);
  ASSERT_NE(window, nullptr);
  ExpectShown(window, kWorking + L"20%", 20, L"关闭窗口", nullptr);
  EXPECT_TRUE(test::WaitUntil([&] { return PercentageQueries() >= 5; }));
  ExpectShown(window, kWorking + L"20%", 20, L"关闭窗口", nullptr);
  test::PressButton(window, kDecryptButtonId);
  test::ExpectOwnerBack(owner, L"result=0");
}

TEST_F(DecryptWindowTest, StartFailureShowsTheFailureText) {
  fake.Add(StartAnswer("QUERY_FAILED"));
  HWND window = Open(IDYES);
  ASSERT_NE(window, nullptr);
  ExpectShown(window, kFailed, 0, L"完成", L"decrypt-failed.png");
  test::PressButton(window, kDecryptButtonId);
  test::ExpectOwnerBack(owner, L"result=0");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kTriggerLine,
                                                  "T [WARN] 触发关闭 E: 的 BitLocker 保护失败（QUERY_FAILED）"}));
  EXPECT_EQ(PercentageQueries(), 0);
}

TEST_F(DecryptWindowTest, AnsweringNoCreatesNoWindowAndStartsNothing) {
  fake.Add(StartAnswer("STARTED"));
  EXPECT_EQ(Open(IDNO), nullptr);
  test::ExpectOwnerBack(owner, L"result=0");
  EXPECT_EQ(test::WaitForWindow(kDecryptWindowClass, host.program.processId, 0), nullptr);
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace pl::ui
