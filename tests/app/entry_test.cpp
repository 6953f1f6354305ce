// The program itself under Wine: run modes, single instance, self-install on start, uninstall mode.

#include <windows.h>

#include <commctrl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "base/text.h"
#include "devserver_client.h"
#include "base/unique_handle.h"
#include "gui_driver.h"
#include "install/self_install.h"
#include "install_state.h"
#include "pe_marker.h"
#include "test_support.h"

namespace pl::app {
namespace {

using test::FileExists;
using test::GuiProgram;

constexpr DWORD kWait = 60000;
const std::wstring kCaption = L"Pellora重装大师";

struct EntryTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(test::RemoveInstallState());
    ASSERT_FALSE(test::HostGuiPath().empty());
  }
  void TearDown() override { test::RemoveInstallState(); }

  // The program's log goes to the private temporary folder; the catalog comes from the backend stand-in.
  bool Start(GuiProgram* program, const std::wstring& arguments, const std::wstring& exe = test::HostGuiPath(),
             const std::wstring& backend = test::DevServerUrl()) {
    return program->Start(exe, arguments, {{L"TMP", temp.path}, {L"TEMP", temp.path}, {L"PL_BACKEND_ORIGIN", backend}});
  }
  // The entry's own lines: the window's start-up check writes its own between them.
  std::vector<std::string> LogLines() {
    std::string bytes;
    test::ReadFileBytes(temp.path + L"\\PelloraLogs\\pl_host_gui.log", &bytes);
    static const char* const kEntryMessages[] = {"pl_host_gui ", "已复制到安装目录", "检测到已有一个", "当前运行的就是",
                                                 "自我安装到", "用户取消卸载"};
    std::vector<std::string> lines;
    for (const std::string& line : test::LogLinesWithoutTime(bytes)) {
      for (const char* message : kEntryMessages) {
        if (line.find(message) != std::string::npos) {
          lines.push_back(line);
          break;
        }
      }
    }
    return lines;
  }
  std::wstring InstalledExe() { return install::InstallDirectory() + L"\\Kavrin.exe"; }
  // Starts the program, waits for its main window, closes it and expects a clean exit.
  void RunUntilWindowThenClose(const std::wstring& arguments, const std::wstring& exe = test::HostGuiPath()) {
    GuiProgram program;
    ASSERT_TRUE(Start(&program, arguments, exe));
    HWND window = test::WaitForWindow(L"PlHostGuiMainWindow", program.processId, kWait);
    ASSERT_NE(window, nullptr);
    test::CloseWindow(window);
    EXPECT_EQ(program.WaitForExit(kWait), 0);
  }

  test::TempDirectory temp;
};

TEST_F(EntryTest, WindowContractAndHandOverToAMinimisedFirstInstance) {
  GuiProgram first;
  ASSERT_TRUE(Start(&first, L""));
  HWND window = test::WaitForWindow(L"PlHostGuiMainWindow", first.processId, kWait);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(test::WindowText(window), kCaption);
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.right - client.left, 900);
  EXPECT_EQ(client.bottom - client.top, 600);
  RECT frame{};
  GetWindowRect(window, &frame);
  EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
  Sleep(300);  // first paint
  EXPECT_FALSE(test::SaveScreenshot(L"contract-window.png").empty());

  ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window));
  GuiProgram second;
  ASSERT_TRUE(Start(&second, L"--dry-run"));
  EXPECT_EQ(second.WaitForExit(kWait), 0);  // a message box would have kept it waiting
  EXPECT_FALSE(IsIconic(window));
  EXPECT_EQ(GetForegroundWindow(), window);
  EXPECT_TRUE(first.Running());

  test::CloseWindow(window);
  EXPECT_EQ(first.WaitForExit(kWait), 0);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] pl_host_gui 启动，模式: execute",
                            "T [INFO] 已复制到安装目录: " + base::WideToUtf8(InstalledExe()),
                            "T [INFO] 检测到已有一个 pl_host_gui 实例在运行，本次启动直接让位退出",
                        }));
}

TEST_F(EntryTest, InformationBoxWhenTheRunningInstanceHasNoWindow) {
  // Another process holds the mutex but shows no window yet.
  base::UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, L"Pellora_Kavrin_SingleInstance_Mutex"));
  ASSERT_TRUE(mutex);
  GuiProgram program;
  ASSERT_TRUE(Start(&program, L""));
  HWND box = test::WaitForMessageBox(kCaption, program.processId, kWait);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(test::MessageBoxText(box), L"Pellora重装大师已经在运行中。");
  EXPECT_TRUE(test::PressButton(box, IDOK));
  EXPECT_EQ(program.WaitForExit(kWait), 0);
  mutex.reset();
  EXPECT_EQ(LogLines(),
            std::vector<std::string>{"T [INFO] 检测到已有一个 pl_host_gui 实例在运行，本次启动直接让位退出"});
  EXPECT_FALSE(FileExists(install::InstallDirectory()));
}

TEST_F(EntryTest, InsideAPeNothingIsInstalledAndTheTargetIsChosenByHand) {
  test::ScopedPeMarker pe;
  ASSERT_TRUE(pe.created);
  GuiProgram program;
  ASSERT_TRUE(Start(&program, L"--dry-run"));
  HWND window = test::WaitForWindow(L"PlHostGuiMainWindow", program.processId, kWait);
  ASSERT_NE(window, nullptr);
  // No other drive of the prefix holds a Windows: Next leads to the manual target page.
  for (int waited = 0; waited < 600 && !test::ControlEnabled(window, 1201); ++waited) Sleep(100);
  EXPECT_TRUE(test::PressButton(window, 1102));
  for (int waited = 0; waited < 600 && !test::ControlVisible(window, 1602); ++waited) Sleep(100);
  EXPECT_TRUE(test::ControlVisible(window, 1601));
  EXPECT_GT(SendMessageW(GetDlgItem(window, 1602), LVM_GETITEMCOUNT, 0, 0), 0);
  Sleep(300);
  EXPECT_FALSE(test::SaveScreenshot(L"main-pe-manual-target.png").empty());
  test::CloseWindow(window);
  EXPECT_EQ(program.WaitForExit(kWait), 0);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] pl_host_gui 启动，模式: dry-run"});
  EXPECT_FALSE(FileExists(install::InstallDirectory()));
  EXPECT_FALSE(FileExists(install::DesktopShortcutPath()));
  EXPECT_EQ(test::UninstallValue(L"DisplayName"), "");
}

TEST_F(EntryTest, WithoutACatalogTheErrorIsShownAndTheWindowCloses) {
  test::DevServerSession backend;
  backend.AddRule({.path = "/reset/api/v1/config", .status = 500, .body = "down"});
  GuiProgram program;
  ASSERT_TRUE(Start(&program, L"--dry-run", test::HostGuiPath(), backend.origin));  // no local catalog either
  HWND box = test::WaitForMessageBox(kCaption, program.processId, kWait);
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(test::MessageBoxText(box).empty());
  Sleep(300);
  EXPECT_FALSE(test::SaveScreenshot(L"main-catalog-failure.png").empty());
  EXPECT_TRUE(test::PressButton(box, IDOK));
  EXPECT_EQ(program.WaitForExit(kWait), 0);
}

// The shipped window with the real runs behind it: a dry-run reinstall from the environment page to the result and
// the dry-run box, against the stand-in's catalog and the prefix's drives.
TEST_F(EntryTest, ADryRunReinstallGoesThroughEveryPageToTheDryRunBox) {
  GuiProgram program;
  ASSERT_TRUE(Start(&program, L"--dry-run"));
  HWND window = test::WaitForWindow(L"PlHostGuiMainWindow", program.processId, kWait);
  ASSERT_NE(window, nullptr);
  auto waitVisible = [window](int id) {
    for (int waited = 0; waited < 1200 && !test::ControlVisible(window, id); ++waited) Sleep(100);
    return test::ControlVisible(window, id);
  };
  for (int waited = 0; waited < 600 && !test::ControlEnabled(window, 1102); ++waited) Sleep(100);
  ASSERT_TRUE(test::PressButton(window, 1102));
  ASSERT_TRUE(waitVisible(1003));  // images
  ASSERT_TRUE(test::PressButton(window, 1102));
  ASSERT_TRUE(waitVisible(1005));  // install items
  SendMessageW(GetDlgItem(window, 1701), BM_CLICK, 0, 0);  // no automatic restart: the result page stays
  ASSERT_TRUE(test::PressButton(window, 1102));
  ASSERT_TRUE(waitVisible(1009));
  const std::string result = base::WideToUtf8(test::ControlText(window, 1009));
  EXPECT_EQ(result.rfind("安装准备已完成！", 0), 0u) << result;
  ASSERT_TRUE(test::PressButton(window, 1102));
  HWND box = test::WaitForMessageBox(kCaption, program.processId, kWait);
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(test::PressButton(box, IDOK));
  EXPECT_EQ(program.WaitForExit(kWait), 0);
  std::string log;
  test::ReadFileBytes(temp.path + L"\\PelloraLogs\\pl_host_gui.log", &log);
  EXPECT_NE(log.find("[dry-run] 跳过系统镜像检查: "), std::string::npos);
}

TEST_F(EntryTest, StartingTheInstalledCopyRefreshesShortcutAndEntry) {
  std::string error;
  ASSERT_TRUE(install::SelfInstall(test::HostGuiPath(), "0.0.1", &error)) << error;
  ASSERT_EQ(test::UninstallValue(L"DisplayVersion"), "REG_SZ:0.0.1");
  ASSERT_TRUE(DeleteFileW(install::DesktopShortcutPath().c_str()));

  // The same file under a path that differs only in letter case.
  std::wstring upper = InstalledExe();
  CharUpperW(upper.data());
  RunUntilWindowThenClose(L"", upper);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] pl_host_gui 启动，模式: execute",
                                                  "T [INFO] 当前运行的就是已安装位置的拷贝，跳过自我复制这一步"}));
  EXPECT_TRUE(FileExists(install::DesktopShortcutPath()));
  EXPECT_EQ(test::UninstallValue(L"DisplayVersion"), "REG_SZ:0.1.0");
}

TEST_F(EntryTest, AFailingCopyIsOnlyAWarning) {
  ASSERT_TRUE(CreateDirectoryW(install::InstallDirectory().c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(InstalledExe(), "old"));
  base::UniqueFileHandle held(CreateFileW(InstalledExe().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  RunUntilWindowThenClose(L"");
  held.reset();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] pl_host_gui 启动，模式: execute",
                            "T [WARN] 自我安装到 ProgramData 失败（不影响正常使用）: 复制到安装目录失败, GetLastError=32",
                        }));
  EXPECT_FALSE(FileExists(install::DesktopShortcutPath()));
}

TEST_F(EntryTest, UninstallAnsweredNoRemovesNothing) {
  std::string error;
  ASSERT_TRUE(install::SelfInstall(test::HostGuiPath(), "0.1.0", &error)) << error;
  GuiProgram program;
  ASSERT_TRUE(Start(&program, L"--uninstall"));
  HWND box = test::WaitForMessageBox(L"Pellora重装大师 - 卸载", program.processId, kWait);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(test::MessageBoxText(box), L"确定要卸载Pellora重装大师吗？\n\n这会删除桌面快捷方式、卸载记录和安装目录。");
  // A Yes/No box: both buttons shown and enabled, no OK or Cancel.
  EXPECT_FALSE(test::ControlText(box, IDYES).empty());
  EXPECT_TRUE(test::ControlVisible(box, IDYES) && test::ControlEnabled(box, IDYES));
  EXPECT_TRUE(test::ControlVisible(box, IDNO) && test::ControlEnabled(box, IDNO));
  EXPECT_FALSE(test::ControlVisible(box, IDOK));
  EXPECT_FALSE(test::ControlVisible(box, IDCANCEL));
  Sleep(300);
  EXPECT_FALSE(test::SaveScreenshot(L"uninstall-question.png").empty());
  EXPECT_TRUE(test::PressButton(box, IDNO));
  EXPECT_EQ(program.WaitForExit(kWait), 0);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] pl_host_gui 以 --uninstall 参数启动，进入卸载流程",
                                                  "T [INFO] 用户取消卸载"}));
  EXPECT_TRUE(FileExists(InstalledExe()));
  EXPECT_TRUE(FileExists(install::DesktopShortcutPath()));
  EXPECT_EQ(test::UninstallValue(L"DisplayName"), "REG_SZ:Pellora重装大师");
}

// The processes `parent` started that still run.
int RunningChildren(DWORD parent) {
  base::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent) ++count;
  }
  return count;
}

// Yes removes shortcut and entry at once and the folder shortly after; the dry-run flag changes nothing here.
void RunUninstallYes(EntryTest* t, const std::wstring& exe = test::HostGuiPath()) {
  GuiProgram program;
  ASSERT_TRUE(t->Start(&program, L"--dry-run --uninstall", exe));
  HWND question = test::WaitForMessageBox(L"Pellora重装大师 - 卸载", program.processId, kWait);
  ASSERT_NE(question, nullptr);
  EXPECT_TRUE(test::PressButton(question, IDYES));
  HWND done = test::WaitForMessageBox(kCaption, program.processId, kWait);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(test::MessageBoxText(done), L"卸载完成。");
  EXPECT_FALSE(FileExists(install::DesktopShortcutPath()));
  EXPECT_EQ(test::UninstallValue(L"DisplayName"), "");
  EXPECT_TRUE(test::PressButton(done, IDOK));
  EXPECT_EQ(program.WaitForExit(kWait), 0);
  // One deletion at most outlives the program: a second one would delete the folder of the next install.
  EXPECT_LE(RunningChildren(program.processId), 1);
  const ULONGLONG deadline = GetTickCount64() + 40000;
  while (FileExists(install::InstallDirectory()) && GetTickCount64() < deadline) Sleep(200);
  EXPECT_FALSE(FileExists(install::InstallDirectory()));
  EXPECT_EQ(t->LogLines(), std::vector<std::string>{"T [INFO] pl_host_gui 以 --uninstall 参数启动，进入卸载流程"});
}

TEST_F(EntryTest, UninstallAnsweredYesRemovesEverything) {
  std::string error;
  ASSERT_TRUE(install::SelfInstall(test::HostGuiPath(), "0.1.0", &error)) << error;
  RunUninstallYes(this);
}

// The installed copy, started by the uninstall entry, removes the folder holding its own file.
TEST_F(EntryTest, TheInstalledCopyUninstallsItselfAlsoWhenTheShortcutWasDeletedByHand) {
  std::string error;
  ASSERT_TRUE(install::SelfInstall(test::HostGuiPath(), "0.1.0", &error)) << error;
  ASSERT_TRUE(DeleteFileW(install::DesktopShortcutPath().c_str()));
  RunUninstallYes(this, InstalledExe());
}

}  // namespace
}  // namespace pl::app
