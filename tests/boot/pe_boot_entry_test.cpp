#include "boot/pe_boot_entry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "log_capture.h"
#include "printers.h"
#include "test_support.h"

namespace pl::boot {
namespace {

using base::WideToCodePage;
using base::WideToUtf8;
using disks::FirmwareType;
using test::FakeToolRule;
using test::FakeTools;

constexpr wchar_t kPeOnD[] = L"D:\\$PelloraData$Boot$\\pe.wim";
constexpr wchar_t kSdiOnD[] = L"D:\\$PelloraData$Boot$\\boot.sdi";
constexpr char kId[] = "{5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d}";
constexpr char kZeroId[] = "{00000000-0000-0000-0000-000000000000}";

const std::string kEnum = "/enum {bootmgr} /v";
const std::string kCreate = "/create /d \"Pellora PE\" /application osloader";
const std::string kCreateOptions = "/create {ramdiskoptions} /d \"Ramdisk options\"";
const std::string kRemoveOptions = "/displayorder {ramdiskoptions} /remove";

// A whole BIOS run with both files in "D:\$PelloraData$Boot$", as the fake bcdedit journals it.
const std::vector<std::string> kBiosJournalOnD = {
    kEnum,
    kCreate,
    kCreateOptions,
    kRemoveOptions,
    "/set {ramdiskoptions} ramdisksdidevice partition=D:",
    "/set {ramdiskoptions} ramdisksdipath \\$PelloraData$Boot$\\boot.sdi",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} device ramdisk=[D:]\\$PelloraData$Boot$\\pe.wim,{ramdiskoptions}",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} osdevice ramdisk=[D:]\\$PelloraData$Boot$\\pe.wim,{ramdiskoptions}",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} path \\Windows\\System32\\boot\\winload.exe",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} systemroot \\Windows",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} winpe yes",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} inherit {bootloadersettings}",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} detecthal yes",
    "/displayorder {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} /addlast",
    "/bootsequence {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d}",
    "/default {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d}",
    "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} bootmenupolicy Legacy",
    "/set {default} bootmenupolicy Legacy",
    "/timeout 0",
};

const std::string kMissingSdiOnDWarning =
    "T [WARN] 未找到 boot.sdi（D:\\$PelloraData$Boot$\\boot.sdi），ramdisk 引导需要该文件——正常情况下 HostPipeline "
    "应该已经跟 pe.wim 一起下载好了，走到这里说明下载步骤被跳过了（比如手动调用本函数时），请检查上游调用";

// The boot manager as an English bcdedit shows it, and how the read logs it.
const std::string kBootManager =
    "\r\nWindows Boot Manager\r\n--------------------\r\nidentifier              {bootmgr}\r\n"
    "device                  partition=\\Device\\HarddiskVolume1\r\ndescription             Windows Boot Manager\r\n"
    "locale                  en-US\r\ninherit                 {globalsettings}\r\ndefault                 {current}\r\n"
    "resumeobject            {9a6b3c2d-0000-11ee-8000-000000000001}\r\ndisplayorder            {current}\r\n"
    "toolsdisplayorder       {memdiag}\r\ntimeout                 30\r\n";
const BootDefaults kUsualDefaults{"{current}", 30};
const std::vector<std::string> kReadLog = {"T [INFO] bcdedit " + kEnum,
                                           "T [INFO] 引导管理器原来的默认项: {current}，等待时间: 30 秒"};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> Arguments(const FakeTools& fake) {
  std::vector<std::string> arguments;
  for (const test::FakeToolCall& call : fake.Calls()) {
    EXPECT_EQ(call.tool, "bcdedit");
    arguments.push_back(call.arguments);
  }
  return arguments;
}

// The usual answers of a machine that ran this before: the options object exists and is not in the menu.
void AddUsualAnswers(FakeTools& fake, const std::string& createOutput) {
  fake.Add({.tool = "bcdedit", .match = kEnum, .output = kBootManager});
  fake.Add({.tool = "bcdedit", .match = "/create /d*", .output = createOutput});
  fake.Add({.tool = "bcdedit",
            .match = "/create {ramdiskoptions}*",
            .exitCode = 1,
            .output = "An object with the specified identifier already exists.\r\n"});
  fake.Add({.tool = "bcdedit", .match = kRemoveOptions, .exitCode = 1, .output = "The element was not found.\r\n"});
}

std::string EnglishCreated(const std::string& id) { return "The entry " + id + " was successfully created.\r\n"; }

bool Denied() { return false; }

int elevationQueries = 0;
bool CountedElevated() {
  ++elevationQueries;
  return true;
}

struct BootEntryFixture : test::LoggedTest {
  // Real files for the boot-file check, in the temporary folder on C:.
  void MakeBootFiles() {
    ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"pe.wim"), "wim"));
    ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"boot.sdi"), "sdi"));
  }
  FakeTools fake;
};

TEST(DevicePathTest, DriveLetterPathsSplitOthersGoToC) {
  EXPECT_EQ(SplitDevicePath(kPeOnD), (DevicePath{L"[D:]", L"\\$PelloraData$Boot$\\pe.wim"}));
  EXPECT_EQ(SplitDevicePath(L"e:\\x"), (DevicePath{L"[e:]", L"\\x"}));  // the letter is kept as written
  EXPECT_EQ(SplitDevicePath(L"D:"), (DevicePath{L"[D:]", L""}));
  for (const std::wstring path : {L"\\$PelloraData$Boot$\\pe.wim", L"\\\\?\\D:\\pe.wim", L"D", L"", L"pe.wim"}) {
    EXPECT_EQ(SplitDevicePath(path), (DevicePath{L"[C:]", path}));
  }
}

TEST(EntryIdentifierTest, FirstBracedTextOnly) {
  std::string id = "unchanged";
  EXPECT_TRUE(ParseEntryIdentifier("The entry {abc} was successfully created.", &id));
  EXPECT_EQ(id, "{abc}");
  EXPECT_TRUE(ParseEntryIdentifier("{a}{b} {c}", &id));
  EXPECT_EQ(id, "{a}");
  EXPECT_TRUE(ParseEntryIdentifier("x}{y{z}w}", &id));  // a "}" before the first "{" does not count
  EXPECT_EQ(id, "{y{z}");
  EXPECT_TRUE(ParseEntryIdentifier("{}", &id));  // nothing else is checked
  EXPECT_EQ(id, "{}");
  id = "unchanged";
  EXPECT_FALSE(ParseEntryIdentifier("The operation completed successfully.", &id));
  EXPECT_FALSE(ParseEntryIdentifier("only an opening {brace", &id));
  EXPECT_FALSE(ParseEntryIdentifier("closing} then {", &id));
  EXPECT_FALSE(ParseEntryIdentifier("", &id));
  EXPECT_EQ(id, "unchanged");
}

TEST(BootManagerDefaultsTest, DefaultAndTimeoutFromTheFirstLinesNamingThem) {
  // A Chinese bcdedit translates the heading and "identifier" only.
  const std::string chinese =
      "Windows 启动管理器\r\n--------------------\r\n标识符                  {bootmgr}\r\n"
      "description             Windows Boot Manager\r\nlocale                  zh-CN\r\n"
      "default                 {a1b2c3d4-0000-11ee-8000-000000000002}\r\ntimeout                 5\r\n";
  const std::pair<std::string, BootDefaults> cases[] = {
      {kBootManager, kUsualDefaults},
      {chinese, {"{a1b2c3d4-0000-11ee-8000-000000000002}", 5}},
      {"DEFAULT\t{current}\nTimeOut\t0\n", {"{current}", 0}},  // any case, tabs, bare line feeds
      {"timeout 30", {"", 30}},                                  // no default line, no last line end
      {"default {current}\r\ntimeout 30\r\ndefault {x}\r\ntimeout 7\r\n", {"{current}", 30}},
      // Values that could not be put back count as unknown; only the first line of a name counts.
      {"default current\r\ntimeout 30s\r\n", {"", -1}},
      {"default {a b}\r\ntimeout -1\r\n", {"", -1}},
      {"default {}\r\ntimeout 1234567890\r\n", {"", -1}},
      {"default\r\ntimeout\r\n", {"", -1}},
      {"default {a}}\r\ntimeout 999999999\r\n", {"", 999999999}},
      {"defaults {a}\r\nmytimeout 3\r\n  default {b}\r\n", {"{b}", -1}},
      {"", {"", -1}},
  };
  for (const auto& [output, expected] : cases) EXPECT_EQ(ParseBootManagerDefaults(output), expected) << output;
}

// Each step runs even when one before it failed; unknown defaults are left as they are.
TEST_F(BootEntryFixture, RemovalDeletesTheEntryAndPutsBackWhatWasKnown) {
  struct Case {
    BootDefaults previous;
    std::vector<std::string> failing;
    bool dryRun;
    std::vector<std::string> journal;  // in dry-run: the commands logged
    std::string error;
  };
  const std::string deleteEntry = "/delete " + std::string(kId);
  const Case cases[] = {
      {kUsualDefaults, {}, false, {deleteEntry, "/default {current}", "/timeout 30"}, ""},
      {{"", 0}, {}, false, {deleteEntry, "/timeout 0"}, ""},
      {{"{current}", -1}, {}, false, {deleteEntry, "/default {current}"}, ""},
      {BootDefaults(), {}, false, {deleteEntry}, ""},
      {kUsualDefaults, {deleteEntry}, false, {deleteEntry, "/default {current}", "/timeout 30"}, "删除 PE 引导项失败"},
      {kUsualDefaults, {"/default {current}", "/timeout 30"}, false, {deleteEntry, "/default {current}", "/timeout 30"},
       "恢复原来的默认引导项失败；恢复引导菜单等待时间失败"},
      {kUsualDefaults, {}, true, {deleteEntry, "/default {current}", "/timeout 30"}, ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    UseLog(L"remove" + std::to_wstring(i) + L".log");
    FakeTools scenario;
    for (const std::string& match : c.failing) scenario.Add({.tool = "bcdedit", .match = match, .exitCode = 1});
    std::string error = "untouched";
    EXPECT_EQ(RemovePeBootEntry(kId, c.previous, c.dryRun, &error), c.error.empty());
    EXPECT_EQ(error, c.error.empty() ? "untouched" : c.error);
    EXPECT_EQ(Arguments(scenario), c.dryRun ? std::vector<std::string>{} : c.journal);

    std::vector<std::string> expected = {"T [INFO] 撤销 PE 引导项 " + std::string(kId) + "，恢复原来的默认项和等待时间"};
    if (c.previous.defaultId.empty()) expected.push_back("T [WARN] 原来的默认引导项未知，不恢复");
    if (c.previous.timeoutSeconds < 0) expected.push_back("T [WARN] 原来的引导菜单等待时间未知，不恢复");
    for (const std::string& command : c.journal) {
      expected.push_back("T [INFO] bcdedit " + command);
      if (c.dryRun) expected.push_back("T [INFO] [dry-run] 跳过实际执行");
      if (std::find(c.failing.begin(), c.failing.end(), command) != c.failing.end()) {
        expected.push_back("T [ERROR] bcdedit 执行失败, exitCode=1, output=");
      }
    }
    EXPECT_EQ(LogLines(), expected);
  }
}

TEST_F(BootEntryFixture, BiosRunOnDriveDRunsEveryCommandInOrderAndLogsThem) {
  AddUsualAnswers(fake, EnglishCreated(kId));
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Bios, false);
  EXPECT_EQ(result, (BootEntryResult{true, kId, "", kUsualDefaults}));
  EXPECT_EQ(Arguments(fake), kBiosJournalOnD);

  std::vector<std::string> expected = {
      kMissingSdiOnDWarning,
      kReadLog[0],
      kReadLog[1],
      "T [INFO] bcdedit " + kCreate,
      // The tool's own line end stays in the message.
      "T [INFO] {ramdiskoptions} 对象已存在（或创建失败，不影响后续，忽略）: "
      "An object with the specified identifier already exists.",
      "",
  };
  for (size_t i = 4; i < kBiosJournalOnD.size(); ++i) expected.push_back("T [INFO] bcdedit " + kBiosJournalOnD[i]);
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(BootEntryFixture, UefiRunOnDriveDLeavesOutDetecthalAndUsesTheEfiLoader) {
  AddUsualAnswers(fake, EnglishCreated(kId));
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Uefi, false);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.entryId, kId);
  std::vector<std::string> expected = kBiosJournalOnD;
  expected[8] = "/set {5f1b2c3d-7e8f-11ee-a1b2-0800272f3c4d} path \\Windows\\System32\\boot\\winload.efi";
  expected.erase(expected.begin() + 12);  // detecthal
  EXPECT_EQ(Arguments(fake), expected);
  // Counting the creation: twelve required commands on BIOS, eleven on UEFI.
  EXPECT_EQ(expected.size() - 3 - 4, 11u);
}

TEST_F(BootEntryFixture, RealFilesOnCAndARootRelativePathBothGiveDriveC) {
  MakeBootFiles();
  ASSERT_EQ(temp.path.substr(1, 2), L":\\");
  ASSERT_EQ(towupper(temp.path[0]), L'C');
  const std::string folder = WideToUtf8(temp.path.substr(2));  // "\users\...\Temp\..."
  const std::string id = "{0a0b0c0d-0e0f-4000-8000-000000000001}";
  AddUsualAnswers(fake, EnglishCreated(id));

  // With its own drive letter.
  BootEntryResult result =
      CreatePeBootEntry(temp.Child(L"pe.wim"), temp.Child(L"boot.sdi"), FirmwareType::Uefi, false);
  EXPECT_TRUE(result.ok);
  std::vector<std::string> journal = Arguments(fake);
  ASSERT_EQ(journal.size(), 18u);
  const std::string letter = WideToUtf8(temp.path.substr(0, 2));
  EXPECT_EQ(journal[4], "/set {ramdiskoptions} ramdisksdidevice partition=" + letter);
  EXPECT_EQ(journal[5], "/set {ramdiskoptions} ramdisksdipath " + folder + "\\boot.sdi");
  EXPECT_EQ(journal[6], "/set " + id + " device ramdisk=[" + letter + "]" + folder + "\\pe.wim,{ramdiskoptions}");
  EXPECT_EQ(journal[7], "/set " + id + " osdevice ramdisk=[" + letter + "]" + folder + "\\pe.wim,{ramdiskoptions}");

  // Without a drive letter: the file is still found from the current drive, and the entry names C:.
  wchar_t previous[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
  result = CreatePeBootEntry(temp.path.substr(2) + L"\\pe.wim", temp.path.substr(2) + L"\\boot.sdi",
                             FirmwareType::Bios, false);
  SetCurrentDirectoryW(previous);
  EXPECT_TRUE(result.ok);
  journal = Arguments(fake);
  ASSERT_EQ(journal.size(), 18u + 19u);
  EXPECT_EQ(journal[18 + 4], "/set {ramdiskoptions} ramdisksdidevice partition=C:");
  EXPECT_EQ(journal[18 + 5], "/set {ramdiskoptions} ramdisksdipath " + folder + "\\boot.sdi");
  EXPECT_EQ(journal[18 + 6], "/set " + id + " device ramdisk=[C:]" + folder + "\\pe.wim,{ramdiskoptions}");
  EXPECT_EQ(journal[18 + 7], "/set " + id + " osdevice ramdisk=[C:]" + folder + "\\pe.wim,{ramdiskoptions}");

  // Both files were there: no warning at all.
  for (const std::string& line : LogLines()) EXPECT_EQ(line.find("[WARN] 未找到 boot.sdi"), std::string::npos) << line;
}

TEST_F(BootEntryFixture, MissingBootFileWarnsWithItsPathAndTheRunGoesOn) {
  const std::wstring missing = temp.Child(L"引导文件\\boot.sdi");
  AddUsualAnswers(fake, EnglishCreated(kId));
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, missing, FirmwareType::Uefi, false);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(Arguments(fake).size(), 18u);
  const std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "T [WARN] 未找到 boot.sdi（" + WideToUtf8(missing) +
                          "），ramdisk 引导需要该文件——正常情况下 HostPipeline 应该已经跟 pe.wim "
                          "一起下载好了，走到这里说明下载步骤被跳过了（比如手动调用本函数时），请检查上游调用");
  EXPECT_EQ(lines[1], kReadLog[0]);
}

TEST_F(BootEntryFixture, IdentifierComesFromEnglishChineseAndMultiBraceAnswers) {
  MakeBootFiles();
  struct Case {
    std::string answer;
    std::string id;
  };
  const std::vector<Case> cases = {
      {EnglishCreated("{11111111-2222-4333-8444-555555555555}"), "{11111111-2222-4333-8444-555555555555}"},
      {WideToCodePage(936, L"已成功创建项 {9a8b7c6d-1234-11ee-b00b-0800272f3c4d}。\r\n"),
       "{9a8b7c6d-1234-11ee-b00b-0800272f3c4d}"},
      {"The entry {aaaaaaaa-0000-4000-8000-000000000000} was copied to {bootmgr} {default}.\r\n",
       "{aaaaaaaa-0000-4000-8000-000000000000}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    FakeTools scenario;  // a journal of its own for each answer
    AddUsualAnswers(scenario, c.answer);
    const BootEntryResult result =
        CreatePeBootEntry(temp.Child(L"pe.wim"), temp.Child(L"boot.sdi"), FirmwareType::Bios, false);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.entryId, c.id);
    const std::vector<std::string> journal = Arguments(scenario);
    ASSERT_EQ(journal.size(), 19u);
    EXPECT_EQ(journal[8], "/set " + c.id + " path \\Windows\\System32\\boot\\winload.exe");
    EXPECT_EQ(journal[13], "/displayorder " + c.id + " /addlast");
    EXPECT_EQ(journal[14], "/bootsequence " + c.id);
    EXPECT_EQ(journal[15], "/default " + c.id);
  }
}

TEST_F(BootEntryFixture, AnswerWithoutBracesFailsAfterTheEntryWasCreated) {
  MakeBootFiles();
  fake.Add({.tool = "bcdedit", .match = kEnum, .output = kBootManager});
  fake.Add({.tool = "bcdedit", .match = "/create /d*", .output = "The operation completed successfully.\r\n"});
  const BootEntryResult result =
      CreatePeBootEntry(temp.Child(L"pe.wim"), temp.Child(L"boot.sdi"), FirmwareType::Bios, false);
  EXPECT_EQ(result, (BootEntryResult{false, "", "未能从 bcdedit /create 输出中解析出引导项 GUID", kUsualDefaults}));
  EXPECT_EQ(Arguments(fake), (std::vector<std::string>{kEnum, kCreate}));
  // The caller logs the error; here only the commands and the read were logged.
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kReadLog[0], kReadLog[1], "T [INFO] bcdedit " + kCreate}));
}

// A step failing after the creation deletes the entry again (its place in the menu and the boot sequence go with
// it); the last row's deletion fails too, and the entry is named as left behind.
TEST_F(BootEntryFixture, EachRequiredStepFailingEndsTheRunWithItsErrorAndDeletesTheEntry) {
  // Journal positions of the required commands (the creation, then the settings after the two option commands).
  const std::vector<size_t> positions = {1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  const std::vector<std::string> errors = {
      "bcdedit /create 失败",
      "设置 ramdisksdidevice 失败",
      "设置 ramdisksdipath 失败",
      "设置 device 失败",
      "设置 osdevice 失败",
      "设置 path 失败",
      "设置 systemroot 失败",
      "设置 winpe 失败",
      "设置 inherit {bootloadersettings} 失败",
      "设置 detecthal 失败",
      "设置 displayorder 失败",
      "设置 bootsequence 失败",
  };
  const std::string kDelete = "/delete " + std::string(kId);
  const std::string kToolError = "T [ERROR] bcdedit 执行失败, exitCode=2147942487, output=参数错误。";
  for (size_t i = 0; i < positions.size(); ++i) {
    const std::string failing = kBiosJournalOnD[positions[i]];
    const bool created = i > 0;
    const bool deleteFails = i + 1 == positions.size();
    SCOPED_TRACE(failing);
    UseLog(L"fail" + std::to_wstring(i) + L".log");
    FakeTools scenario;
    for (const std::string& match : {failing, deleteFails ? kDelete : std::string("none")}) {
      scenario.Add({.tool = "bcdedit", .match = match, .exitCode = 2147942487u,
                    .output = WideToCodePage(936, L"参数错误。")});
    }
    AddUsualAnswers(scenario, EnglishCreated(kId));

    const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Bios, false);
    EXPECT_EQ(result, (BootEntryResult{false, deleteFails ? kId : "", errors[i], kUsualDefaults}));
    std::vector<std::string> journal(kBiosJournalOnD.begin(), kBiosJournalOnD.begin() + static_cast<long>(positions[i]) + 1);
    if (created) journal.push_back(kDelete);
    EXPECT_EQ(Arguments(scenario), journal);

    std::vector<std::string> tail = {"T [INFO] bcdedit " + failing, kToolError};
    if (created) tail.push_back("T [INFO] bcdedit " + kDelete);
    if (created && !deleteFails) tail.push_back("T [INFO] 已删除没建完的 PE 引导项 " + std::string(kId));
    if (deleteFails) {
      tail.push_back(kToolError);
      tail.push_back("T [ERROR] 删除没建完的 PE 引导项 " + std::string(kId) + " 失败，它可能还留在开机菜单里");
    }
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
  }
}

TEST_F(BootEntryFixture, OptionalStepsFailingOnlyWarn) {
  AddUsualAnswers(fake, EnglishCreated(kId));
  fake.Add({.tool = "bcdedit", .match = "/default *", .exitCode = 1, .output = "denied"});
  fake.Add({.tool = "bcdedit", .match = "/set * bootmenupolicy Legacy", .exitCode = 2, .output = "unknown"});
  fake.Add({.tool = "bcdedit", .match = "/timeout 0", .exitCode = 3, .output = "busy"});
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Bios, false);
  EXPECT_EQ(result, (BootEntryResult{true, kId, "", kUsualDefaults}));
  EXPECT_EQ(Arguments(fake), kBiosJournalOnD);

  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 12u);
  const std::vector<std::string> tail(lines.end() - 12, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "T [INFO] bcdedit /default " + std::string(kId),
                      "T [ERROR] bcdedit 执行失败, exitCode=1, output=denied",
                      "T [WARN] 设置持久默认引导项失败（不阻断本次部署，只是断电重试的安全网没生效）",
                      "T [INFO] bcdedit /set " + std::string(kId) + " bootmenupolicy Legacy",
                      "T [ERROR] bcdedit 执行失败, exitCode=2, output=unknown",
                      "T [WARN] 设置 PE 引导项菜单风格失败，不影响本次 PE 启动",
                      "T [INFO] bcdedit /set {default} bootmenupolicy Legacy",
                      "T [ERROR] bcdedit 执行失败, exitCode=2, output=unknown",
                      "T [WARN] 设置默认系统引导项菜单风格失败，不影响本次 PE 启动",
                      "T [INFO] bcdedit /timeout 0",
                      "T [ERROR] bcdedit 执行失败, exitCode=3, output=busy",
                      "T [WARN] 设置引导菜单等待时间失败，不影响本次 PE 启动",
                  }));
}

TEST_F(BootEntryFixture, RamdiskOptionsStateIsLoggedAndNeverFailsTheRun) {
  MakeBootFiles();
  // A fresh store: the object is created; and it sat in the display order, so removing it succeeds. The boot
  // manager answers nothing: its defaults stay unknown, and the run goes on.
  fake.Add({.tool = "bcdedit", .match = "/create /d*", .output = EnglishCreated(kId)});
  BootEntryResult result =
      CreatePeBootEntry(temp.Child(L"pe.wim"), temp.Child(L"boot.sdi"), FirmwareType::Uefi, false);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.previous, BootDefaults{});
  std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1], "T [WARN] 未能完整读到引导管理器原来的默认项和等待时间（默认项: 未知，等待时间: 未知），"
                      "撤销 PE 引导项时只能恢复读到的部分; exitCode=0, output=");
  EXPECT_EQ(lines[3], "T [INFO] {ramdiskoptions} 对象原本不存在，已创建");
  EXPECT_EQ(lines[4],
            "T [WARN] {ramdiskoptions} 之前混进了开机菜单的 displayorder，已经移出（正常情况下不该发生，记一笔留意）");
  EXPECT_EQ(lines[5], "T [INFO] bcdedit /set {ramdiskoptions} ramdisksdidevice partition=" +
                          WideToUtf8(temp.path.substr(0, 2)));

  // The object exists (a Chinese answer) and is not in the menu: one line with the decoded answer, no warning.
  UseLog(L"existing.log");
  FakeTools scenario;
  scenario.Add({.tool = "bcdedit", .match = "/create /d*", .output = EnglishCreated(kId)});
  scenario.Add({.tool = "bcdedit", .match = kCreateOptions, .exitCode = 1,
                .output = WideToCodePage(936, L"已存在具有指定标识符的对象。")});
  scenario.Add({.tool = "bcdedit", .match = kRemoveOptions, .exitCode = 1});
  result = CreatePeBootEntry(temp.Child(L"pe.wim"), temp.Child(L"boot.sdi"), FirmwareType::Uefi, false);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(Arguments(scenario).size(), 18u);
  lines = LogLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[3], "T [INFO] {ramdiskoptions} 对象已存在（或创建失败，不影响后续，忽略）: 已存在具有指定标识符的对象。");
  EXPECT_EQ(lines[4].substr(0, 17), "T [INFO] bcdedit ");
}

// Only the read of the boot manager runs: it changes nothing.
TEST_F(BootEntryFixture, DryRunChecksNothingChangesNothingAndLogsEveryCommand) {
  AddUsualAnswers(fake, EnglishCreated(kId));
  elevationQueries = 0;
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Bios, true, CountedElevated);
  EXPECT_EQ(result, (BootEntryResult{true, kZeroId, "", kUsualDefaults}));
  EXPECT_EQ(elevationQueries, 0);
  EXPECT_EQ(Arguments(fake), std::vector<std::string>{kEnum});

  // No boot-file warning although boot.sdi is missing; the option commands give way to one line.
  std::vector<std::string> expected = {kReadLog[0], kReadLog[1], "T [INFO] bcdedit " + kCreate,
                                       "T [INFO] [dry-run] 跳过实际执行",
                                       "T [INFO] [dry-run] 跳过创建 {ramdiskoptions}（如果尚不存在）"};
  for (size_t i = 4; i < kBiosJournalOnD.size(); ++i) {
    expected.push_back("T [INFO] bcdedit " + ReplaceAll(kBiosJournalOnD[i], kId, kZeroId));
    expected.push_back("T [INFO] [dry-run] 跳过实际执行");
  }
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(BootEntryFixture, WithoutElevationNothingIsTouched) {
  const BootEntryResult result = CreatePeBootEntry(kPeOnD, kSdiOnD, FirmwareType::Bios, false, Denied);
  EXPECT_EQ(result, (BootEntryResult{false, "", "需要管理员权限才能修改引导配置（bcdedit），请以管理员身份重新运行"}));
  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_TRUE(LogLines().empty());  // not even the boot-file warning
  // The real check reads the token; every Wine token counts as elevated.
  EXPECT_TRUE(ProcessIsElevated());
}

}  // namespace
}  // namespace pl::boot
