// The main window driven under Wine: pl_main_host runs the real window with a machine and jobs chosen per test,
// against a private session of the backend stand-in for the catalog.

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <gtest/gtest.h>

#include "base/text.h"
#include "devserver_client.h"
#include "gui_driver.h"
#include "main_window_host.h"
#include "test_support.h"
#include "ui/contact_dialog.h"
#include "ui/main_window.h"
#include "ui/theme.h"

namespace pl::ui {
namespace {

using test::GuiProgram;
namespace host = test::main_host;

constexpr DWORD kWait = 60000;
const std::wstring kCaption = L"Pellora重装大师";

// A named event the host waits on; set by Release().
struct HostEvent {
  explicit HostEvent(const wchar_t* name) : handle(CreateEventW(nullptr, TRUE, FALSE, name)) {}
  ~HostEvent() { CloseHandle(handle); }
  void Release() { SetEvent(handle); }
  HANDLE handle;
};

bool WaitUntil(const std::function<bool()>& condition) {
  for (DWORD waited = 0; waited < kWait; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

struct MainWindowTest : ::testing::Test {
  // Starts the host with `words`.
  bool Launch(const std::wstring& words) {
    std::wstring path = test::HostGuiPath();
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"..\\tests\\ui\\pl_main_host.exe";
    temp.emplace();
    program.emplace();
    return program->Start(path, words,
                          {{L"TMP", temp->path}, {L"TEMP", temp->path}, {L"PL_BACKEND_ORIGIN", backend.origin}});
  }
  // Starts the host with `words` and waits until the start-up result is shown (the tabs are enabled).
  HWND Start(const std::wstring& words, bool waitReady = true) {
    if (!Launch(words)) return nullptr;
    window = test::WaitForWindow(kMainWindowClass, program->processId, kWait);
    if (window != nullptr && waitReady) WaitUntil([&] { return test::ControlEnabled(window, 1201); });
    return window;
  }
  std::wstring Text(int id) { return test::ControlText(window, id); }
  bool Visible(int id) { return test::ControlVisible(window, id); }
  bool Enabled(int id) { return test::ControlEnabled(window, id); }
  void Press(int id) { ASSERT_TRUE(test::PressButton(window, id)); }
  // A click the control sees itself, so that a radio button checks itself before it notifies.
  void Click(int id) { PostMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0); }
  // Waits for a box of the window's process, checks its text and answers it (button 0: Enter on the keyboard).
  void Answer(const std::wstring& text, int button, const std::wstring& caption = kCaption) {
    HWND box = test::WaitForMessageBox(caption, program->processId, kWait);
    ASSERT_NE(box, nullptr) << base::WideToUtf8(text);
    EXPECT_EQ(test::MessageBoxText(box), text);
    EXPECT_TRUE(button == 0 ? test::PressKey(VK_RETURN) : test::PressButton(box, button));
    WaitUntil([&] { return !IsWindow(box); });
  }
  void WaitForText(int id, const std::wstring& text) {
    WaitUntil([&] { return Text(id) == text; });
    EXPECT_EQ(Text(id), text);
  }
  void Shot(const std::wstring& name) {
    Sleep(300);  // the last paint
    EXPECT_FALSE(test::SaveScreenshot(name).empty());
  }
  LRESULT Send(int id, UINT message, WPARAM wParam = 0) {
    return SendMessageW(GetDlgItem(window, id), message, wParam, 0);
  }
  std::vector<std::string> HostLines() {
    std::string bytes;
    test::ReadFileBytes(temp->path + L"\\PelloraLogs\\pl_main_host.log", &bytes);
    std::vector<std::string> lines;
    for (const std::string& line : test::LogLinesWithoutTime(bytes)) {
      for (const char* mark : {"[host]", "用户手动", "[AI帮我看看]"}) {
        if (line.find(mark) != std::string::npos) {
          lines.push_back(line);
          break;
        }
      }
    }
    return lines;
  }
  std::wstring LogPath() { return temp->path + L"\\PelloraLogs\\pl_main_host.log"; }
  bool Logged(const std::string& line) {
    std::string bytes;
    test::ReadFileBytes(LogPath(), &bytes);
    const std::vector<std::string> lines = test::LogLinesWithoutTime(bytes);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // The id of the control with the keyboard focus; 0 for the window itself, -1 for anything else.
  int FocusedId() {
    HWND focus = test::FocusedWindow(window);
    return focus == window ? 0 : IsChild(window, focus) ? GetDlgCtrlID(focus) : -1;
  }
  // A real key stroke, then the wait until the focus is on `expected` (an id as FocusedId gives it).
  void Key(WORD key, int expected, bool shift = false) {
    ASSERT_TRUE(test::PressKey(key, shift));
    EXPECT_TRUE(WaitUntil([&] { return FocusedId() == expected; })) << "key " << key << ": focus on " << FocusedId();
  }
  COLORREF PixelAt(POINT client) {
    ClientToScreen(window, &client);
    test::ScreenImage image;
    return test::CaptureScreen(&image) ? image.At(client) : CLR_INVALID;
  }
  // From the environment page through the image and software pages to the run.
  void StartReinstall() {
    Press(1102);
    WaitUntil([&] { return Visible(1003); });
    Press(1102);
    WaitUntil([&] { return Visible(1005); });
    Press(1102);
  }
  // On the USB tab: the only drive, its wipe confirmed, then image row `row` and the answer to the last question.
  void ChooseUsbImage(int row, int answer) {
    Press(1202);
    ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 1 && Enabled(1102); }));
    Send(1003, LB_SETCURSEL, 0);
    Press(1102);
    Answer(L"即将清空并制作以下 U 盘：\n\nSanDisk Ultra 1 (28.6 GB)\n\n此操作会清空该 U 盘上的所有数据，且不可恢复。\n\n确认继续吗？", IDYES);
    WaitForText(1002, L"请选择要写入 U 盘的系统版本：");
    Send(1003, LB_SETCURSEL, row);
    Press(1102);
    Answer(L"即将开始制作，过程中请保持网络连接，不要拔出 U 盘。\n\n是否继续？", answer);
  }
  void Close() {
    test::CloseWindow(window);
    EXPECT_EQ(program->WaitForExit(kWait), 0);
  }

  test::DevServerSession backend;
  std::optional<test::TempDirectory> temp;
  std::optional<GuiProgram> program;
  HWND window = nullptr;
};

TEST_F(MainWindowTest, EnvironmentPageForEachStagingRoute) {
  struct Case {
    const wchar_t* words;
    bool nextEnabled, aiHelp, decrypt;
    COLORREF secondNotice;  // fill at the second notice's place; the card's white when there is one notice
    const wchar_t* shot;
  };
  const Case cases[] = {
      {L"staging=other", true, false, false, kSurface, L"main-env-other.png"},
      {L"staging=room", true, false, false, kHintFill, L"main-env-room.png"},
      {L"staging=shrink bitlocker-on", true, false, false, kHintFill, L"main-env-shrink.png"},
      {L"staging=bitlocker", false, true, true, kAlertFill, L"main-env-bitlocker.png"},
      {L"staging=none", false, true, false, kAlertFill, L"main-env-none.png"},
      {L"staging=none pe", true, false, false, kHintFill, L"main-env-manual.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(base::WideToUtf8(c.words));
    ASSERT_NE(Start(c.words), nullptr);
    EXPECT_EQ(Enabled(1102), c.nextEnabled);
    EXPECT_EQ(Visible(1803), c.aiHelp);
    EXPECT_EQ(Visible(1804), c.decrypt);
    EXPECT_FALSE(Visible(1101));
    Shot(c.shot);
    EXPECT_EQ(PixelAt({200, 414}), kAlertFill);  // the warning always comes first
    EXPECT_EQ(PixelAt({200, 446}), c.secondNotice);
    Close();
  }
}

TEST_F(MainWindowTest, AiHelpForAnEnvironmentWithoutRoomAndItsRetry) {
  ASSERT_NE(Start(L"staging=none ai=retry"), nullptr);
  Press(1803);
  // The retry checks the staging routes again: the host's second answer opens the shrink route.
  // Next and the help button change in one handler: an outside reader may see one before the other.
  EXPECT_TRUE(WaitUntil([&] { return Enabled(1102) && !Visible(1803); }));
  const std::vector<test::DevServerReport> errors = backend.Reports("error");
  ASSERT_EQ(errors.size(), 1u);
  const std::string error = "环境检测阶段：暂存区空间不足，系统盘剩余空间不够压缩出数据区，无法继续重装";
  EXPECT_EQ(errors[0].Member("stage"), "\"env_check\"");
  EXPECT_EQ(errors[0].Member("message"), "\"" + error + "\"");
  const std::string& session = errors[0].sessionId;
  EXPECT_EQ(HostLines(), (std::vector<std::string>{
                             "T [INFO] [AI帮我看看] 开始：创建上报 session",
                             "T [INFO] [AI帮我看看] session 创建成功: " + session,
                             "T [INFO] [AI帮我看看] 正在上报错误信息",
                             "T [INFO] [AI帮我看看] 错误信息已上报，开始生成诊断信息文本",
                             "T [INFO] [AI帮我看看] 诊断信息文本已生成，长度=11，准备弹出对话框",
                             "T [INFO] [host] AI dialog session=" + session + " error=" + error + " retry=1",
                             "T [INFO] [AI帮我看看] 对话框已关闭，retryRequested=1",
                             "T [INFO] [host] staging checked again",
                         }));
  Close();
}

TEST_F(MainWindowTest, TabsAreRefusedUntilTheStartUpCheckEnds) {
  HostEvent start(host::kStartEvent);
  ASSERT_NE(Start(L"hold-start", false), nullptr);
  Shot(L"main-env-checking.png");
  EXPECT_FALSE(Enabled(1102));
  // Disabled tabs take no click; the command itself is refused as well.
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(1203, BN_CLICKED), 0);
  Answer(L"配置加载中，请稍候。", IDOK);
  start.Release();
  ASSERT_TRUE(WaitUntil([&] { return Enabled(1203); }));
  Press(1203);
  WaitUntil([&] { return Visible(1301); });
  EXPECT_EQ(Text(1102), L"开始备份");
  Close();
}

TEST_F(MainWindowTest, TheHeaderBandDragsTheWindowButNeverMaximisesIt) {
  ASSERT_NE(Start(L""), nullptr);
  const std::pair<POINT, LRESULT> points[] = {{{10, 10}, HTCAPTION}, {{400, 87}, HTCAPTION}, {{807, 40}, HTCAPTION},
                                              {{400, 88}, HTCLIENT}, {{808, 40}, HTCLIENT}, {{899, 87}, HTCLIENT}};
  for (const auto& [client, expected] : points) {
    POINT screen = client;
    ClientToScreen(window, &screen);
    EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y)), expected) << client.x << "," << client.y;
  }
  SendMessageW(window, WM_NCLBUTTONDBLCLK, HTCAPTION, 0);
  EXPECT_FALSE(IsZoomed(window));
  RECT before{};
  GetWindowRect(window, &before);
  SendMessageW(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);  // nor does the system menu's way
  RECT after{};
  GetWindowRect(window, &after);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  Close();
}

TEST_F(MainWindowTest, DryRunReinstallFromImageToTheDryRunBox) {
  ASSERT_NE(Start(L"dry-run hold-run edition=Professional"), nullptr);
  HostEvent run(host::kRunEvent);
  Press(1102);
  WaitUntil([&] { return Visible(1003); });
  EXPECT_EQ(Text(1002), L"请选择要安装的系统版本：");
  EXPECT_EQ(Send(1003, LB_GETCOUNT), 3);  // the Windows 10 images of the sample catalog
  Shot(L"main-choose-image.png");
  Press(1502);  // WIN11
  WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 3 && Send(1003, LB_GETCURSEL) == 0; });
  Press(1102);
  WaitUntil([&] { return Visible(1005); });
  EXPECT_EQ(Text(1102), L"开始重装");
  EXPECT_EQ(Send(1005, LVM_GETITEMCOUNT), 3);
  EXPECT_EQ(Send(1011, LVM_GETITEMCOUNT), 2);
  EXPECT_EQ(SendMessageW(GetDlgItem(window, 1011), LVM_GETITEMSTATE, 0, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(2));
  EXPECT_EQ(SendMessageW(GetDlgItem(window, 1011), LVM_GETITEMSTATE, 1, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(1));
  Shot(L"main-choose-software.png");
  Press(1102);
  WaitForText(1006, L"正在下载系统镜像...");
  EXPECT_FALSE(Visible(1102));
  Shot(L"main-progress.png");
  run.Release();
  // Auto-restart is checked: in dry-run the box comes at once and the window closes after it.
  HWND box = test::WaitForMessageBox(kCaption, program->processId, kWait);
  ASSERT_NE(box, nullptr);
  Shot(L"main-dry-run-box.png");
  EXPECT_EQ(test::MessageBoxText(box), L"[dry-run] 流程走查完成，不会真正重启。");
  EXPECT_TRUE(test::PressButton(box, IDOK));
  EXPECT_EQ(program->WaitForExit(kWait), 0);
  EXPECT_EQ(HostLines(), std::vector<std::string>{"T [INFO] [host] run reinstall image=win11_23h2_pro items=3 "
                                                  "wishlist: dry-run=1"});
}

TEST_F(MainWindowTest, ResultPagesOfFailedAndRestartedRuns) {
  const std::wstring failure = L"很抱歉，准备安装时出现问题：\r\n\r\n下载系统镜像失败\r\n\r\n详细日志见 ";
  struct Case {
    const wchar_t* words;
    bool uncheckAutoRestart;
    std::wstring resultStart;
    const wchar_t* next;
    std::vector<std::string> hostLines;
    const wchar_t* box = nullptr;  // answered with OK before the result page
  };
  const std::string run = "T [INFO] [host] run reinstall image=win10_22h2_home items=3 wishlist: dry-run=0";
  const std::string ai = "T [INFO] [host] AI dialog session=s-42 error=下载系统镜像失败 retry=";
  const Case cases[] = {
      {L"run=fail", false, failure, L"关闭", {run}},
      {L"run=fail-session", false, failure, L"关闭", {run, ai + "0"}},
      {L"run=fail-session ai=retry", false, failure, L"关闭", {run, ai + "1", run, ai + "0"}},
      {L"thread-fail", false, L"很抱歉，准备安装时出现问题：\r\n\r\n无法启动后台任务（创建线程失败, GetLastError=8），请稍后重试。",
       L"关闭", {}},
      {L"edition=Professional", true,
       L"安装准备已完成！\r\n\r\n即将安装：Windows 10 家庭版 22H2（镜像中的版本：Professional）", L"立即重启进入 PE 环境",
       {run}},
      {L"restart=fail", false, L"安装准备已完成！", L"立即重启进入 PE 环境",
       {run, "T [INFO] [host] restart"}, L"触发重启失败，请手动重启一次进入 PE 环境。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(base::WideToUtf8(c.words));
    ASSERT_NE(Start(c.words), nullptr);
    Press(1102);
    WaitUntil([&] { return Visible(1003); });
    Press(1102);
    WaitUntil([&] { return Visible(1701); });
    if (c.uncheckAutoRestart) Send(1701, BM_SETCHECK, BST_UNCHECKED);
    Press(1102);
    if (c.box != nullptr) Answer(c.box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return Visible(1009); }));
    EXPECT_TRUE(Text(1009).starts_with(c.resultStart)) << base::WideToUtf8(Text(1009));
    if (!c.resultStart.starts_with(L"安装") && c.resultStart == failure) {
      EXPECT_EQ(Text(1009), failure + LogPath() + L"。");
    }
    EXPECT_EQ(Text(1102), c.next);
    EXPECT_EQ(HostLines(), c.hostLines);
    if (c.uncheckAutoRestart) Shot(L"main-result.png");
    if (std::wstring(c.words) == L"run=fail") Shot(L"main-result-failed.png");
    Close();  // no run is busy any more, also after a thread that never started
  }
}

TEST_F(MainWindowTest, ASecondRunAndClosingAreRefusedWhileARunIsBusy) {
  HostEvent run(host::kRunEvent);
  ASSERT_NE(Start(L"hold-run"), nullptr);
  StartReinstall();
  WaitForText(1006, L"正在下载系统镜像...");
  test::CloseWindow(window);
  Answer(L"正在处理中，请稍候完成后再关闭。", IDOK);
  Press(1203);
  WaitUntil([&] { return Visible(1301); });
  Press(1102);
  Answer(L"一键重装正在进行中，请等它结束后再开始新的任务。", IDOK);
  EXPECT_TRUE(Visible(1301));
  Press(1201);  // back to the run in progress
  WaitUntil([&] { return Visible(1008); });
  run.Release();
  // One run, then the restart of its success (auto-restart is checked).
  WaitUntil([&] { return HostLines().size() == 2; });
  EXPECT_EQ(HostLines(), (std::vector<std::string>{
                             "T [INFO] [host] run reinstall image=win10_22h2_home items=3 wishlist: dry-run=0",
                             "T [INFO] [host] restart"}));
  program->Terminate();
}

TEST_F(MainWindowTest, UsbDrivesAndAScanThatEndsAfterThePageWasLeft) {
  ASSERT_NE(Start(L"usb=2"), nullptr);
  Press(1202);
  ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 2; }));
  EXPECT_EQ(Text(1002), L"请选择要制作的 U 盘：");
  Send(1003, LB_SETCURSEL, 1);
  Shot(L"main-usb-drives.png");
  Press(1102);
  Answer(L"即将清空并制作以下 U 盘：\n\nSanDisk Ultra 2 (29.6 GB)\n\n此操作会清空该 U 盘上的所有数据，且不可恢复。\n\n确认继续吗？", IDYES);
  WaitForText(1002, L"请选择要写入 U 盘的系统版本：");
  EXPECT_EQ(Text(1102), L"开始制作");
  Press(1201);  // the reinstall page takes the shared list back
  Press(1102);
  WaitForText(1002, L"请选择要安装的系统版本：");
  Close();

  HostEvent scan(host::kUsbEvent);
  ASSERT_NE(Start(L"usb=2 hold-usb"), nullptr);
  Press(1202);
  WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 1; });
  EXPECT_FALSE(Enabled(1102));
  Press(1201);
  WaitUntil([&] { return Visible(1102) && Enabled(1102); });
  scan.Release();
  Sleep(500);  // the scan's message has arrived and been discarded; nothing to wait for
  Press(1203);
  Press(1202);  // a new scan, still held: the discarded list never filled the box
  EXPECT_EQ(Send(1003, LB_GETCOUNT), 1);
  Close();
}

// With the system disk unknown every USB disk would be refused before the wipe: the page says so and offers none.
TEST_F(MainWindowTest, UsbDrivePageWithTheSystemDiskUnknown) {
  ASSERT_NE(Start(L"usb=2 usb-no-system-disk"), nullptr);
  Press(1202);
  const std::wstring notice = L"无法确定系统盘所在的磁盘，无法把 U 盘和系统盘区分开，为避免误清空，不列出任何 U 盘";
  const auto firstRow = [&] {
    wchar_t text[256] = {};
    if (Send(1003, LB_GETTEXTLEN) < 256) SendMessageW(GetDlgItem(window, 1003), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return std::wstring(text);
  };
  WaitUntil([&] { return firstRow() == notice; });
  EXPECT_EQ(firstRow(), notice);
  EXPECT_EQ(Send(1003, LB_GETCOUNT), 1);
  EXPECT_FALSE(Enabled(1102));
  Shot(L"main-usb-no-system-disk.png");
  Close();
}

TEST_F(MainWindowTest, ReinstallAndUsbKeepTheirOwnImagesAndResults) {
  ASSERT_NE(Start(L"usb=1"), nullptr);
  Press(1102);
  WaitUntil([&] { return Visible(1003); });
  Press(1102);  // the default image, Windows 10 家庭版 22H2
  WaitUntil([&] { return Visible(1701); });
  Send(1701, BM_SETCHECK, BST_UNCHECKED);
  ChooseUsbImage(2, IDNO);  // Windows 10 企业版 LTSC 2021, not made
  Press(1201);
  WaitUntil([&] { return Visible(1005); });
  Press(1102);
  ASSERT_TRUE(WaitUntil([&] { return Visible(1009); }));
  const std::wstring reinstallResult = Text(1009);
  EXPECT_TRUE(reinstallResult.starts_with(L"安装准备已完成！\r\n\r\n即将安装：Windows 10 家庭版 22H2\r\n"));
  ChooseUsbImage(2, IDYES);
  EXPECT_TRUE(WaitUntil([&] { return Text(1009).starts_with(L"U 盘制作完成！"); }));
  Press(1201);
  WaitForText(1009, reinstallResult);
  EXPECT_EQ(Text(1102), L"立即重启进入 PE 环境");
  EXPECT_EQ(HostLines(), (std::vector<std::string>{
                             "T [INFO] [host] run reinstall image=win10_22h2_home items=3 wishlist: dry-run=0",
                             "T [INFO] [host] run usb image=win10_ltsc_2021 items=3 wishlist: dry-run=0"}));
  Close();
}

TEST_F(MainWindowTest, TheReinstallImagePageAfterAVisitToTheUsbTab) {
  const std::wstring confirm = L"Pellora重装大师 - 请确认";
  for (const bool pe : {false, true}) {
    SCOPED_TRACE(pe);
    ASSERT_NE(Start(pe ? L"pe staging=none" : L""), nullptr);
    if (pe) {  // the reinstall's own target page is left for the USB tab's
      Press(1102);
      ASSERT_TRUE(WaitUntil([&] { return Visible(1602); }));
    }
    Press(1202);
    if (pe) {
      WaitUntil([&] { return Visible(1602); });
      Press(1102);
      Answer(L"即将把 D: 分区标记为本机系统盘（用于在选 U 盘时正确排除，避免误选成目标）。\n\n确定是这个分区吗？", IDYES,
             confirm);
    }
    WaitForText(1002, L"请选择要制作的 U 盘：");
    Press(1201);
    Press(1102);
    if (pe) {
      Answer(L"即将把 D: 分区设为本次重装的目标——这个分区上的所有数据都会被清空，且无法恢复。\n\n确定是这个分区吗？",
             IDYES, confirm);
    }
    WaitForText(1002, L"请选择要安装的系统版本：");
    EXPECT_EQ(Send(1003, LB_GETCOUNT), 3);
    Press(1102);
    EXPECT_TRUE(WaitUntil([&] { return Visible(1005); }));
    Close();
  }
}

// A drive list arriving while the wipe question is open: the older scan's list was shown, the newer one lacks the
// first stick, so the confirmed row names another drive or none.
TEST_F(MainWindowTest, ADriveListArrivingDuringTheWipeQuestionMakesNothing) {
  for (const int row : {0, 1}) {
    SCOPED_TRACE(row);
    HostEvent first(host::kUsbEvent);
    HostEvent later(host::kUsbLaterEvent);
    ASSERT_NE(Start(L"usb=2 hold-usb usb-pulled"), nullptr);
    Press(1202);
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(1102); }));
    Press(1201);
    ASSERT_TRUE(WaitUntil([&] { return Enabled(1102); }));
    Press(1202);  // a second scan while the first is still held
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(1102); }));
    first.Release();
    ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 2; }));
    Send(1003, LB_SETCURSEL, row);
    Press(1102);
    HWND box = test::WaitForMessageBox(kCaption, program->processId, kWait);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(test::MessageBoxText(box).starts_with(row == 0 ? L"即将清空并制作以下 U 盘：\n\nSanDisk Ultra 1 ("
                                                               : L"即将清空并制作以下 U 盘：\n\nSanDisk Ultra 2 ("));
    later.Release();
    ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 1; }));
    EXPECT_TRUE(test::PressButton(box, IDYES));
    Answer(L"请先选择要制作的 U 盘。", IDOK);
    EXPECT_EQ(Text(1002), L"请选择要制作的 U 盘：");
    EXPECT_EQ(HostLines(), std::vector<std::string>{});
    Close();
  }
}

TEST_F(MainWindowTest, ABackupRetriedWhileTheReinstallTabIsShownKeepsThatTabsPage) {
  HostEvent run(host::kRunEvent);
  ASSERT_NE(Start(L"hold-run run=fail-session ai=retry"), nullptr);
  Press(1203);
  WaitUntil([&] { return Visible(1301); });
  Press(1102);
  Answer(L"即将备份当前系统分区，过程中需要重启进入 PE 环境，完成后会自动回到当前系统。\n\n是否继续？", IDYES);
  WaitForText(1006, L"正在下载系统镜像...");
  Press(1201);
  ASSERT_TRUE(WaitUntil([&] { return Visible(1102) && !Visible(1008); }));
  run.Release();
  const std::string backup = "T [INFO] [host] run backup image= items=0 wishlist: dry-run=0";
  const std::string ai = "T [INFO] [host] AI dialog session=s-42 error=下载系统镜像失败 retry=";
  WaitUntil([&] { return HostLines().size() == 4; });
  EXPECT_EQ(HostLines(), (std::vector<std::string>{backup, ai + "1", backup, ai + "0"}));
  EXPECT_FALSE(Visible(1008));
  EXPECT_TRUE(Visible(1102));
  EXPECT_EQ(Text(1102), L"下一步");
  Close();
}

// The window's own close, posted after a box shown under the contact dialog, happens once the dialog is closed.
TEST_F(MainWindowTest, TheWindowsOwnCloseWaitsForTheContactDialog) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"hold-start catalog=fail", L"catalog failed"},
      {L"dry-run hold-run", L"[dry-run] 流程走查完成，不会真正重启。"},
  };
  for (const auto& [words, box] : cases) {
    SCOPED_TRACE(base::WideToUtf8(words));
    HostEvent start(host::kStartEvent);
    HostEvent run(host::kRunEvent);
    const bool atStart = std::wstring(words).starts_with(L"hold-start");
    ASSERT_NE(Start(words, !atStart), nullptr);
    if (!atStart) {
      StartReinstall();
      WaitForText(1006, L"正在下载系统镜像...");
    }
    Press(1802);
    HWND dialog = test::WaitForWindow(kContactDialogClass, program->processId, kWait);
    ASSERT_NE(dialog, nullptr);
    start.Release();
    run.Release();
    Answer(box, IDOK);
    EXPECT_TRUE(test::PressButton(dialog, kContactCloseId));
    EXPECT_EQ(program->WaitForExit(kWait), 0);
  }
}

TEST_F(MainWindowTest, RestoreFromAChosenFileAndBackupInDryRun) {
  ASSERT_NE(Start(L""), nullptr);
  const std::wstring image = temp->path + L"\\backup.wim";
  ASSERT_TRUE(test::WriteFileBytes(image, "MSWIM"));
  Press(1203);
  WaitUntil([&] { return Visible(1301); });
  Click(1302);
  // One page change shows the file button before it disables Next: wait for both.
  EXPECT_TRUE(WaitUntil([&] { return Visible(1304) && !Enabled(1102); }));
  EXPECT_EQ(Text(1102), L"开始还原");
  Press(1304);
  ASSERT_TRUE(test::ChooseFileInDialog(L"选择备份文件", program->processId, image, kWait));
  WaitForText(1305, image);
  EXPECT_TRUE(Enabled(1102));
  Shot(L"main-restore.png");
  Press(1102);
  Answer(L"即将准备还原，此操作最终会清空当前系统盘所有内容并替换为所选备份。\n\n是否继续？", IDYES);
  WaitUntil([&] { return Visible(1009); });
  EXPECT_TRUE(Text(1009).starts_with(L"还原准备已完成！"));
  EXPECT_EQ(Text(1102), L"立即重启开始还原");
  Press(1102);
  Answer(L"即将重启进入 PE 环境开始还原，请确保已保存所有工作。\n\n是否继续？", IDYES);
  WaitUntil([&] { return HostLines().size() == 2; });
  EXPECT_EQ(HostLines(), (std::vector<std::string>{"T [INFO] [host] run restore image= items=0 wishlist: dry-run=0",
                                                   "T [INFO] [host] restart"}));
  Close();

  ASSERT_NE(Start(L"dry-run"), nullptr);
  Press(1203);
  WaitUntil([&] { return Visible(1301); });
  EXPECT_EQ(Text(1303), L"将备份当前系统分区（C:）为一个镜像文件，备份过程中需要重启进入 PE 环境，完成后自动回到当前系统。");
  Shot(L"main-backup.png");
  Press(1102);
  Answer(L"即将备份当前系统分区，过程中需要重启进入 PE 环境，完成后会自动回到当前系统。\n\n是否继续？", IDYES);
  WaitUntil([&] { return Visible(1009); });
  EXPECT_TRUE(Text(1009).ends_with(L"备份文件将保存在：\r\nD:\\$PelloraData$\\backup.wim"));
  Press(1102);
  Answer(L"即将重启进入 PE 环境开始备份，请确保已保存所有工作。\n\n是否继续？", IDYES);
  Answer(L"[dry-run] 流程走查完成，不会真正重启。", IDOK);
  EXPECT_EQ(program->WaitForExit(kWait), 0);
}

TEST_F(MainWindowTest, ManualTargetInsideAPe) {
  ASSERT_NE(Start(L"pe staging=none"), nullptr);
  Press(1102);
  ASSERT_TRUE(WaitUntil([&] { return Visible(1602); }));
  EXPECT_EQ(Send(1602, LVM_GETITEMCOUNT), 2);
  EXPECT_EQ(Send(1602, LVM_GETNEXTITEM, static_cast<WPARAM>(-1)), 0);
  Shot(L"main-manual-target.png");
  Press(1102);
  Answer(L"即将把 D: 分区设为本次重装的目标——这个分区上的所有数据都会被清空，且无法恢复。\n\n确定是这个分区吗？", IDYES,
         L"Pellora重装大师 - 请确认");
  WaitForText(1002, L"请选择要安装的系统版本：");
  EXPECT_TRUE(Visible(1003));
  EXPECT_EQ(HostLines(), (std::vector<std::string>{"T [INFO] 用户手动选择目标系统盘: D:",
                                                   "T [INFO] [host] staging checked again"}));
  Close();
}

// Every step by real key strokes alone: the names the drawn controls carry, the focus mark, the tabs and the USB
// drive page, the contact dialog closed by Esc, a dry-run reinstall with its download line under the progress bar.
TEST_F(MainWindowTest, KeysAloneWalkTheUsbPageAndADryRunReinstall) {
  HostEvent run(host::kRunEvent);
  ASSERT_NE(Start(L"dry-run hold-run bytes usb=1"), nullptr);
  const std::pair<int, const wchar_t*> names[] = {{1201, L"一键重装"}, {1202, L"U盘启动"}, {1203, L"备份/还原"},
                                                  {1401, L"最小化"},   {1402, L"关闭"},    {1501, L"WIN10"},
                                                  {1101, L"上一步"},   {1804, L"关闭加密后使用"}};
  for (const auto& [id, name] : names) EXPECT_EQ(Text(id), name) << id;
  SetForegroundWindow(window);
  ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == window; }));
  // Each stroke and where the focus is then (0: the window, -1: not looked at); `-VK_TAB` is Shift+Tab.
  const auto keys = [&](std::initializer_list<std::pair<int, int>> strokes) {
    for (const auto& [key, focus] : strokes) {
      ASSERT_TRUE(test::PressKey(static_cast<WORD>(std::abs(key)), key < 0));
      if (focus >= 0) {
        ASSERT_TRUE(WaitUntil([&] { return FocusedId() == focus; })) << key << " " << FocusedId();
      }
    }
  };

  keys({{VK_TAB, 1201}});
  EXPECT_TRUE(WaitUntil([&] { return PixelAt({332, 44}) == kAccent; }));  // the ring inside the selected tab
  EXPECT_EQ(PixelAt({337, 44}), kTabSelected);
  Shot(L"main-keys-focus.png");
  keys({{-VK_TAB, 1801}, {VK_TAB, 1201}, {VK_RIGHT, 1202}, {VK_SPACE, 1202}});  // round the end, the USB tab
  ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCOUNT) == 1 && Enabled(1102); }));
  keys({{VK_TAB, 1203}, {VK_TAB, 1401}, {VK_TAB, 1402}, {VK_TAB, 1003}, {VK_DOWN, 1003}, {VK_RETURN, -1}});
  HWND box = test::WaitForMessageBox(kCaption, program->processId, kWait);
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(test::MessageBoxText(box).starts_with(L"即将清空并制作以下 U 盘：\n\nSanDisk Ultra 1"));
  ASSERT_TRUE(test::PressKey(VK_TAB, true));  // from No, the default, to Yes
  ASSERT_TRUE(WaitUntil([&] { return test::FocusedWindow(box) == GetDlgItem(box, IDYES); }));
  keys({{VK_RETURN, 1003}, {VK_DOWN, 1003}});  // back on the list, from the default image to the third
  WaitForText(1002, L"请选择要写入 U 盘的系统版本：");
  ASSERT_TRUE(WaitUntil([&] { return Send(1003, LB_GETCURSEL) == 2; }));
  // The focused card is outlined in the accent colour, the other cards keep their border.
  EXPECT_TRUE(WaitUntil([&] { return PixelAt({192, 174 + 2 * 78 + 39}) == kAccent; }));
  EXPECT_EQ(PixelAt({192, 174 + 39}), kBorder);
  Shot(L"main-keys-card.png");
  // Back, hidden then: the window keeps the keys; the reinstall tab; the contact dialog by Space, closed by Esc.
  keys({{VK_TAB, 1101}, {VK_SPACE, 0}, {VK_TAB, 1201}, {VK_SPACE, 1201}, {-VK_TAB, 1801}, {-VK_TAB, 1802},
        {VK_SPACE, -1}});
  HWND contact = test::WaitForWindow(kContactDialogClass, program->processId, kWait);
  ASSERT_TRUE(contact != nullptr && WaitUntil([&] { return GetForegroundWindow() == contact; }));
  keys({{VK_ESCAPE, 1802}, {-VK_TAB, 1102}, {VK_RETURN, 1102}, {-VK_TAB, 1003}, {VK_DOWN, 1003}, {VK_RETURN, 0}});
  // The software page: the auto-restart box unchecked by Space, then Enter for Next.
  keys({{-VK_TAB, 1801}, {-VK_TAB, 1802}, {-VK_TAB, 1102}, {-VK_TAB, 1701}, {VK_SPACE, 1701}});
  ASSERT_TRUE(WaitUntil([&] { return Send(1701, BM_GETCHECK) == BST_UNCHECKED; }));
  keys({{VK_RETURN, 0}});

  // The download line: done and total, the speed, and the time left once the speed is steady. The amount done grows
  // with the seconds this takes, and the speed follows the host's clock only as closely as its messages arrive.
  EXPECT_TRUE(WaitUntil([&] { return Text(1007).find(L"剩余约") != std::wstring::npos; }));
  const std::wstring line = Text(1007);
  EXPECT_TRUE(line.starts_with(L"已下载 1.") && line.find(L" GB / 4.7 GB · 1") != std::wstring::npos &&
              line.find(L" MB/s · 剩余约 ") != std::wstring::npos && line.ends_with(L" 分钟"))
      << base::WideToUtf8(line);
  Shot(L"main-progress-line.png");
  run.Release();
  ASSERT_TRUE(WaitUntil([&] { return Visible(1009); }));
  EXPECT_EQ(Text(1007), L"");  // gone with the download
  keys({{VK_RETURN, -1}});     // Next on the result page, then OK in the dry-run box
  Answer(L"[dry-run] 流程走查完成，不会真正重启。", 0);
  EXPECT_EQ(program->WaitForExit(kWait), 0);
  EXPECT_EQ(HostLines(), std::vector<std::string>{"T [INFO] [host] run reinstall image=win10_ltsc_2021 items=3 "
                                                  "wishlist: dry-run=1"});
}

// A worker that throws ends its own job with the reason logged and shown; the program lives on, or closes as after
// that job's ordinary failure. A window that cannot be made says why.
TEST_F(MainWindowTest, AWorkerThatThrowsEndsItsJobAndAWindowThatCannotBeMadeSaysWhy) {
  struct Case {
    const wchar_t* words;
    std::string logged;
    std::wstring box;  // shown before the end, answered OK
    int exitCode;      // -1: still running, closed by the test after the check
  };
  const Case cases[] = {
      {L"throw=start", "[MainWindow] 环境检测线程 捕获到异常: host failure", L"环境检测时出现异常: host failure", 0},
      {L"throw=catalog", "[MainWindow] 目录加载线程 捕获到异常: host failure",
       L"加载系统镜像目录时出现异常: host failure", 0},
      {L"throw=run", "[MainWindow] 后台任务线程 捕获到异常: host failure", L"", -1},
      {L"throw=usb", "[MainWindow] U 盘检测线程 捕获到异常: host failure", L"", -1},
      {L"thread-fail=all", "[MainWindow] 主窗口创建失败: 无法创建环境检测线程, GetLastError=8",
       L"无法打开程序窗口（无法创建环境检测线程, GetLastError=8），请重新运行程序。\r\n\r\n详细日志见 ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(base::WideToUtf8(c.words));
    ASSERT_TRUE(Launch(c.words));
    if (c.exitCode == 1) {
      Answer(c.box + LogPath() + L"。", IDOK);  // no window
    } else if (c.exitCode == 0) {
      Answer(c.box, IDOK);
    } else {
      window = test::WaitForWindow(kMainWindowClass, program->processId, kWait);
      ASSERT_TRUE(WaitUntil([&] { return Enabled(1201); }));
      const bool usb = std::wstring(c.words) == L"throw=usb";
      usb ? Press(1202) : StartReinstall();
      // The run's failure on its result page; a scan that found no stick.
      EXPECT_TRUE(WaitUntil([&] {
        wchar_t row[64] = L"";
        SendMessageW(GetDlgItem(window, 1003), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(row));
        return usb ? std::wstring(row) == L"未检测到可用的 U 盘，请插入后重新进入该功能"
                   : Text(1009) == L"很抱歉，准备安装时出现问题：\r\n\r\n后台任务出现异常: host failure\r\n\r\n详细日志见 " +
                                       LogPath() + L"。";
      }));
      Close();
    }
    if (c.exitCode >= 0) {
      EXPECT_EQ(program->WaitForExit(kWait), c.exitCode);
    }
    EXPECT_TRUE(Logged("T [ERROR] " + c.logged));
  }
}

}  // namespace
}  // namespace pl::ui
