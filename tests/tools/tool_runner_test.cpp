#include "tools/tool_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log_capture.h"
#include "printers.h"
#include "test_support.h"

namespace pl::tools {
namespace {

using base::WideToCodePage;
using base::WideToUtf8;
using test::FakeToolRule;
using test::FakeTools;

std::wstring Bcdedit() { return base::SystemDirectoryPath() + L"\\bcdedit.exe"; }

// The private folder also takes diskpart's script file; a private log file.
struct RunnerFixture : test::LoggedTest {
  test::ScopedEnvironment tmp{L"TMP", temp.path};
  test::ScopedEnvironment tempVar{L"TEMP", temp.path};
  FakeTools fake;
};

TEST(SystemToolPathTest, JoinsTheSystemDirectoryOrFallsBackToTheBareName) {
  EXPECT_EQ(SystemToolPathFrom(L"C:\\Windows\\system32", L"bcdedit.exe"), L"C:\\Windows\\system32\\bcdedit.exe");
  // An unreadable system directory (see MaxPathBufferText for when) gives nothing, never a bare name that the
  // current directory or PATH would answer.
  EXPECT_EQ(SystemToolPathFrom(L"", L"diskpart.exe"), L"");
  EXPECT_EQ(SystemToolPath(L"WindowsPowerShell\\v1.0\\powershell.exe"),
            base::SystemDirectoryPath() + L"\\WindowsPowerShell\\v1.0\\powershell.exe");
}

TEST(CommandLineTest, QuotedPathThenArgumentsUnchanged) {
  EXPECT_EQ(BuildCommandLine(L"C:\\a b\\t.exe", L""), L"\"C:\\a b\\t.exe\"");
  EXPECT_EQ(BuildCommandLine(L"C:\\t.exe", L"/set {x} \"a b\""), L"\"C:\\t.exe\" /set {x} \"a b\"");
}

TEST_F(RunnerFixture, CapturedRunPassesTheCommandLineAndWorkingDirectory) {
  fake.Add({.tool = "bcdedit", .match = "/enum*", .exitCode = 0, .output = "listed\r\n"});
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/enum all", temp.path, 0), (ToolRunResult{true, 0, "listed\r\n"}));
  const ToolRunResult run = RunToolCaptured(Bcdedit(), L"", L"", 0);
  EXPECT_TRUE(run.started);
  EXPECT_EQ(run.output, "");

  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].commandLine, "\"" + WideToUtf8(Bcdedit()) + "\" /enum all");
  EXPECT_EQ(calls[0].arguments, "/enum all");
  EXPECT_EQ(calls[0].workingDirectory, WideToUtf8(temp.path));
  EXPECT_EQ(calls[0].rule, 0);
  // No arguments: only the quoted path, no trailing blank; the child inherits the current directory.
  EXPECT_EQ(calls[1].commandLine, "\"" + WideToUtf8(Bcdedit()) + "\"");
  EXPECT_EQ(calls[1].rule, -1);
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_EQ(calls[1].workingDirectory, WideToUtf8(cwd));
}

TEST_F(RunnerFixture, CapturedOutputIsDecodedFromCodePage936WithBothStreams) {
  fake.Add({.tool = "bcdedit",
            .exitCode = 0xC0000005u,
            .output = WideToCodePage(936, L"操作成功完成。\r\n"),
            .errorOutput = WideToCodePage(936, L"错误\r\n")});
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/x", L"", 0),
            (ToolRunResult{true, 3221225477u, "操作成功完成。\r\n错误\r\n"}));
}

// Progress is read while the tool runs: every byte reaches the sink, in order, before the run returns.
TEST_F(RunnerFixture, CapturedOutputReachesTheSinkAsItArrives) {
  const std::string progress = WideToCodePage(936, L"[==  10.0%  ]\r[=====  55.5%  ]\r\n完成\r\n");
  fake.Add({.tool = "bcdedit", .output = progress, .errorOutput = "late\r\n"});
  std::string received;
  const ToolRunResult run =
      RunToolCaptured(Bcdedit(), L"/x", L"", 0, {}, [&](std::string_view bytes) { received.append(bytes); });
  EXPECT_EQ(received, progress + "late\r\n");
  EXPECT_EQ(run.output, "[==  10.0%  ]\r[=====  55.5%  ]\r\n完成\r\nlate\r\n");
}

TEST_F(RunnerFixture, CapturedRunThatCannotStartReportsNotStarted) {
  EXPECT_EQ(RunToolCaptured(temp.Child(L"no-such-tool.exe"), L"/x", L"", 0), ToolRunResult{});
  EXPECT_TRUE(LogLines().empty());  // the captured run itself logs nothing
}

TEST_F(RunnerFixture, NoLimitWaitsForTheChild) {
  fake.Add({.tool = "bcdedit", .exitCode = 5, .output = "before", .delayMs = 400});
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/wait", L"", 0), (ToolRunResult{true, 5, "before"}));
}

TEST_F(RunnerFixture, PassingLimitTerminatesTheChildAndKeepsItsOutput) {
  fake.Add({.tool = "bcdedit", .exitCode = 0, .output = "partial", .delayMs = 120000});
  const ULONGLONG start = GetTickCount64();
  // The limit leaves the child time to start and write on a busy machine.
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/slow", L"", 3000), (ToolRunResult{true, 4294967295u, "partial"}));
  EXPECT_LT(GetTickCount64() - start, 30000u);  // far below the child's two minutes
}

TEST_F(RunnerFixture, GrandchildHoldingThePipeDoesNotHangALimitedRun) {
  // The child sleeps and a grandchild keeps the output open: both far beyond the limit.
  fake.Add({.tool = "bcdedit", .match = "/hold-both", .output = "held", .delayMs = 120000, .holdMs = 120000});
  // The child exits at once with its code; only the grandchild keeps the output open.
  fake.Add({.tool = "bcdedit", .match = "/hold-grandchild", .exitCode = 3, .output = "done", .holdMs = 120000});

  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/hold-both", L"", 1000), (ToolRunResult{true, 4294967295u, "held"}));
  EXPECT_LT(GetTickCount64() - start, 30000u);

  start = GetTickCount64();
  // It ended on its own: its own code, not the termination code.
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/hold-grandchild", L"", 1000), (ToolRunResult{true, 3, "done"}));
  EXPECT_LT(GetTickCount64() - start, 30000u);
}

TEST_F(RunnerFixture, OutputClosedEarlyLeavesOnlyWhatRemainsOfTheLimit) {
  // The child keeps its output open for a good part of the limit, then closes it and lives on. What is left
  // of the limit leaves room for the child's start-up, which under Wine takes a while.
  constexpr int32_t kLimitMs = 5000;
  constexpr int32_t kCloseMs = 2000;
  fake.Add({.tool = "bcdedit", .output = "early", .delayMs = 120000, .closeOutputMs = kCloseMs});
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/linger", L"", kLimitMs), (ToolRunResult{true, 4294967295u, "early"}));
  // A fresh limit once the output closed would end it more than kCloseMs after the limit.
  EXPECT_LT(GetTickCount64() - start, static_cast<ULONGLONG>(kLimitMs + kCloseMs * 3 / 4));
}

TEST_F(RunnerFixture, OverlappingRunsHoldOnlyTheirOwnPipes) {
  // Stands for a third run caught between creating its pipe and starting its child: an inheritable write end.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  base::UniqueKernelHandle otherRead;
  base::UniqueKernelHandle otherWrite;
  ASSERT_TRUE(CreatePipe(otherRead.put(), otherWrite.put(), &inheritable, 0));
  constexpr int32_t kFirstLimitMs = 5000;
  fake.Add({.tool = "bcdedit", .match = "/linger", .output = "first", .delayMs = 120000});
  fake.Add({.tool = "bcdedit", .match = "/quick", .exitCode = 7, .output = "second"});

  // Both start at once: each pipe exists while the other run is creating its child (which takes a while).
  ToolRunResult first;
  std::thread lingering([&] { first = RunToolCaptured(Bcdedit(), L"/linger", L"", kFirstLimitMs); });
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunToolCaptured(Bcdedit(), L"/quick", L"", 0), (ToolRunResult{true, 7, "second"}));
  // Its own child's end, not the first child's termination at that run's limit.
  EXPECT_LT(GetTickCount64() - start, static_cast<ULONGLONG>(kFirstLimitMs));
  otherWrite.reset();
  DWORD available = 0;
  EXPECT_FALSE(PeekNamedPipe(otherRead.get(), nullptr, 0, nullptr, &available, nullptr));  // no writer left
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  lingering.join();
  EXPECT_EQ(first, (ToolRunResult{true, 4294967295u, "first"}));
}

TEST_F(RunnerFixture, OutputPastSixteenMegabytesIsCutWithAMark) {
  // The cut falls inside standard error, which follows the output.
  const std::string output(kMaxCapturedOutput - 5, 'x');
  fake.Add({.tool = "bcdedit", .exitCode = 3, .output = output, .errorOutput = "0123456789"});
  const ToolRunResult run = RunToolCaptured(Bcdedit(), L"/huge", L"", 0);
  EXPECT_EQ(std::make_pair(run.started, run.exitCode), std::make_pair(true, 3u));
  EXPECT_TRUE(run.output == output + "01234\r\n[输出超过 16 MiB，后面 5 字节已截去]\r\n")
      << run.output.size() << " " << run.output.substr(run.output.size() - std::min<size_t>(run.output.size(), 60));
}

TEST_F(RunnerFixture, UncapturedRunWaitsOrTerminatesAtTheLimit) {
  fake.Add({.tool = "bcdedit", .match = "/quick", .exitCode = 42});
  fake.Add({.tool = "bcdedit", .match = "/slow", .exitCode = 0, .delayMs = 120000});
  EXPECT_EQ(RunToolAndWait(Bcdedit(), L"/quick", temp.path, 0), (LaunchResult{true, false, 42}));
  // Time enough for the child to start and write its journal line before it is terminated.
  EXPECT_EQ(RunToolAndWait(Bcdedit(), L"/slow", L"", 3000), (LaunchResult{true, true, 4294967295u}));
  EXPECT_EQ(RunToolAndWait(temp.Child(L"missing.exe"), L"", L"", 0), LaunchResult{});

  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].workingDirectory, WideToUtf8(temp.path));
}

// Every system tool starts in the system directory, PowerShell also without profiles and with the system's modules
// only; a child gets the variables it is given on top of the caller's environment.
TEST_F(RunnerFixture, SystemToolsStartInTheSystemDirectoryWithTheirEnvironment) {
  const std::string system = WideToUtf8(base::SystemDirectoryPath());
  const test::ScopedEnvironment userModules(L"PSModulePath", L"C:\\users\\me\\Documents\\WindowsPowerShell\\Modules");
  EXPECT_TRUE(RunSystemTool(L"bcdedit.exe", L"/enum", 0).started);
  EXPECT_TRUE(RunPowerShell(L"(Get-BitLockerVolume).x", 0).started);
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].commandLine, "\"" + system + "\\bcdedit.exe\" /enum");
  EXPECT_EQ(calls[0].workingDirectory, system);
  EXPECT_EQ(calls[0].environment, (std::map<std::string, std::string>{
                                      {"PSModulePath", "C:\\users\\me\\Documents\\WindowsPowerShell\\Modules"}}));
  EXPECT_EQ(calls[1].commandLine, "\"" + system +
                                      "\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -NonInteractive -Command "
                                      "\"(Get-BitLockerVolume).x\"");
  EXPECT_EQ(calls[1].workingDirectory, system);
  EXPECT_EQ(calls[1].environment, (std::map<std::string, std::string>{
                                      {"PSModulePath", system + "\\WindowsPowerShell\\v1.0\\Modules"}}));
}

TEST_F(RunnerFixture, BcdeditSuccessLogsOnlyTheCommand) {
  fake.Add({.tool = "bcdedit", .output = "The operation completed successfully.\r\n"});
  std::string output = "old";
  EXPECT_TRUE(RunBcdedit(L"/set {bootmgr} timeout 0", false, &output));
  EXPECT_EQ(output, "The operation completed successfully.\r\n");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] bcdedit /set {bootmgr} timeout 0"});
  EXPECT_TRUE(RunBcdedit(L"/enum", false));
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, "/set {bootmgr} timeout 0");
}

TEST_F(RunnerFixture, BcdeditFailureLogsExitCodeAndOutput) {
  fake.Add({.tool = "bcdedit", .exitCode = 0x80070005u, .output = WideToCodePage(936, L"拒绝访问。")});
  std::string output;
  EXPECT_FALSE(RunBcdedit(L"/deletevalue {x} y", false, &output));
  EXPECT_EQ(output, "拒绝访问。");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] bcdedit /deletevalue {x} y",
                                                  "T [ERROR] bcdedit 执行失败, exitCode=2147942405, output=拒绝访问。"}));
}

TEST_F(RunnerFixture, BcdeditDryRunStartsNothing) {
  std::string output = "untouched";
  EXPECT_TRUE(RunBcdedit(L"/bootsequence {abc}", true, &output));
  EXPECT_EQ(output, "untouched");
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] bcdedit /bootsequence {abc}",
                                                  "T [INFO] [dry-run] 跳过实际执行"}));
}

// This process's script folders in the system's temporary folder.
std::vector<std::wstring> ScriptFolders() {
  return test::ListFiles(DiskpartScriptParent(), L"pellora-diskpart-" + std::to_wstring(GetCurrentProcessId()) + L"-*");
}

// The script lies in a new folder of the system's temporary folder, not in the user's (the fixture's, here), and
// goes with its folder once diskpart is done.
TEST_F(RunnerFixture, DiskpartGetsTheExactScriptInAFolderOfItsOwnRemovedAfterwards) {
  const std::string script = "select volume C\r\nshrink desired=12288 minimum=6144\r\nrem 中文\r\n";
  fake.Add({.tool = "diskpart", .output = WideToCodePage(936, L"DiskPart 成功地收缩了卷。")});
  EXPECT_TRUE(RunDiskpartScript(script, false));

  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_TRUE(calls[0].hasScript);
  EXPECT_EQ(calls[0].script, script);
  EXPECT_EQ(calls[0].workingDirectory, WideToUtf8(base::SystemDirectoryPath()));
  const std::string prefix = "/s \"" + WideToUtf8(DiskpartScriptParent()) + "\\pellora-diskpart-" +
                             std::to_string(GetCurrentProcessId()) + "-";
  EXPECT_EQ(calls[0].arguments.substr(0, prefix.size()), prefix);
  EXPECT_EQ(calls[0].arguments.substr(calls[0].arguments.size() - 12), "\\script.txt\"");
  EXPECT_TRUE(ScriptFolders().empty());
  EXPECT_EQ(LogText(), "T [INFO] diskpart 脚本内容:\n" + script + "\r\nT [INFO] DiskPart 成功地收缩了卷。\r\n");
}

TEST_F(RunnerFixture, DiskpartFailureLogsExitCodeAndOutputOnTheirOwnLines) {
  fake.Add({.tool = "diskpart", .exitCode = 2147749896u, .output = "Virtual Disk Service error: no space"});
  EXPECT_FALSE(RunDiskpartScript("list disk\r\n", false));
  EXPECT_TRUE(ScriptFolders().empty());
  ASSERT_EQ(fake.Calls().size(), 1u);
  EXPECT_EQ(fake.Calls()[0].script, "list disk\r\n");
  EXPECT_EQ(LogText(),
            "T [INFO] diskpart 脚本内容:\nlist disk\r\n\r\n"
            "T [ERROR] diskpart 执行失败, exitCode=2147749896\nVirtual Disk Service error: no space\r\n");
}

TEST_F(RunnerFixture, DiskpartDryRunCreatesNoFileAndStartsNothing) {
  EXPECT_TRUE(RunDiskpartScript("clean\r\n", true));
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_TRUE(ScriptFolders().empty());
  EXPECT_EQ(LogText(), "T [INFO] diskpart 脚本内容:\nclean\r\n\r\n"
                      "T [INFO] [dry-run] 跳过实际执行 diskpart，仅记录脚本内容。\r\n");
}

}  // namespace
}  // namespace pl::tools
