// The main window's decisions over plain data: pages, progress steps, notices, the image filter, the refusal of a
// second run, the result texts and the keyboard's way through the controls.

#include <gtest/gtest.h>

#include <set>

#include "ui/main_window_rules.h"

namespace pl::ui {
namespace {

TEST(MainWindowRulesTest, ProgressClampsAndStepsTowardsTheTarget) {
  EXPECT_EQ(ClampPercent(150), 100);
  EXPECT_EQ(ClampPercent(-5), 0);
  EXPECT_EQ(ClampPercent(42), 42);
  // A jump from 0 to 100: a sixth of the distance per tick, at least one.
  std::vector<int> shown{0};
  while (shown.back() != 100) shown.push_back(StepTowards(shown.back(), 100));
  EXPECT_EQ(std::vector<int>(shown.begin(), shown.begin() + 5), (std::vector<int>{0, 16, 30, 41, 50}));
  EXPECT_EQ(shown[shown.size() - 2], 99);
  EXPECT_EQ(StepTowards(3, 0), 2);   // at least one down
  EXPECT_EQ(StepTowards(100, 40), 90);
  EXPECT_EQ(StepTowards(7, 7), 7);
}

disks::StagingFeasibility Route(const std::string& name) {
  disks::StagingFeasibility staging;
  if (name == "other") staging.otherVolumeAvailable = true;
  if (name == "room") staging.unallocatedAvailable = true;
  if (name == "shrink") staging.systemShrinkable = true;
  if (name == "bitlocker") staging.bitLockerBlockedLetter = L'D';
  return staging;
}

TEST(MainWindowRulesTest, EnvironmentNoticesPerRoute) {
  const std::wstring warning =
      L"警示：重装系统会清除系统盘（一般是 C 盘）上的所有数据，请务必提前备份好系统盘上的重要文件！";
  const std::wstring bitlockerHint = L"提示：系统盘已启用 BitLocker 加密，继续操作会清除该分区所有数据（含加密保护）";
  struct Case {
    std::string route;
    bool bitLockerOn;
    bool manual;
    std::vector<NoticeText> expected;
  };
  const Case cases[] = {
      {"other", false, false, {{NoticeTone::Alert, warning}}},
      {"room", false, false,
       {{NoticeTone::Alert, warning},
        {NoticeTone::Hint, L"提示：检测到磁盘上有未分配空间，后续操作将在未分配空间上新建分区做数据暂存区（不影响现有分区数据）"}}},
      {"shrink", true, false,
       {{NoticeTone::Alert, warning},
        {NoticeTone::Hint, bitlockerHint},
        {NoticeTone::Hint, L"提示：检测到只有一个可用分区，后续操作将自动压缩系统盘创建数据暂存区（不影响系统盘正常使用）"}}},
      {"bitlocker", false, false,
       {{NoticeTone::Alert, warning},
        {NoticeTone::Alert, L"磁盘空间不足，无法继续：检测到 D: 盘已启用 BitLocker 加密（其它条件都满足），"
                            L"可以点右下角\"关闭加密后使用\"按钮解决"}}},
      {"none", false, false,
       {{NoticeTone::Alert, warning},
        {NoticeTone::Alert, L"磁盘空间不足，无法继续：系统盘剩余空间不够压缩出暂存区，请清理磁盘空间后重试"}}},
      {"none", false, true,
       {{NoticeTone::Alert, warning},
        {NoticeTone::Hint, L"提示：未能自动识别出目标系统盘（该机器上没有找到可识别的已装系统），"
                           L"下一步需要手动选择要重装到哪个磁盘分区"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EnvironmentNotices(c.bitLockerOn, c.manual, Route(c.route)), c.expected) << c.route;
  }
}

TEST(MainWindowRulesTest, PagesShowTheirGroupsAndNext) {
  struct Case {
    const char* name;
    PageInputs in;
    PageLayout expected;
  };
  const auto ready = [](WindowMode mode, int page, const std::string& route = "other") {
    PageInputs in;
    in.mode = mode;
    in.page = page;
    in.environmentReady = true;
    in.staging = Route(route);
    return in;
  };
  PageInputs notReady = ready(WindowMode::Reinstall, reinstall_page::kEnvCheck);
  notReady.environmentReady = false;
  PageInputs manual = ready(WindowMode::Reinstall, reinstall_page::kEnvCheck, "none");
  manual.needsManualTarget = true;
  PageInputs backupLocked = ready(WindowMode::BackupRestore, backup_page::kChooseOperation);
  backupLocked.systemBitLockerOn = true;
  PageInputs restoreWithFile = backupLocked;
  restoreWithFile.restoreSelected = restoreWithFile.restorePathChosen = true;
  PageInputs restoreOk = ready(WindowMode::BackupRestore, backup_page::kResult);
  restoreOk.restoreSelected = restoreOk.runOk = true;
  PageInputs reinstallOk = ready(WindowMode::Reinstall, reinstall_page::kResult);
  reinstallOk.runOk = true;
  const Case cases[] = {
      {"checking", notReady, {0, false, true, false, L"下一步"}},
      {"room", ready(WindowMode::Reinstall, 0, "room"), {0, false, true, true, L"下一步"}},
      {"no room", ready(WindowMode::Reinstall, 0, "none"), {0, false, true, false, L"下一步", true, false}},
      {"bitlocker", ready(WindowMode::Reinstall, 0, "bitlocker"), {0, false, true, false, L"下一步", true, true}},
      {"manual", manual, {0, false, true, true, L"下一步"}},
      {"images", ready(WindowMode::Reinstall, 1), {kGroupList | kGroupFilter, false, true, true, L"下一步"}},
      {"software", ready(WindowMode::Reinstall, 2), {kGroupSoftware, true, true, true, L"开始重装"}},
      {"progress", ready(WindowMode::Reinstall, 3), {kGroupRun, false, false, true, L"下一步"}},
      {"failed", ready(WindowMode::Reinstall, 4), {kGroupResult, false, true, true, L"关闭"}},
      {"succeeded", reinstallOk, {kGroupResult, false, true, true, L"立即重启进入 PE 环境"}},
      {"target", ready(WindowMode::Reinstall, 5), {kGroupManual, false, true, true, L"下一步"}},
      {"backup", ready(WindowMode::BackupRestore, 0), {kGroupOperation, false, true, true, L"开始备份"}},
      {"backup locked", backupLocked, {kGroupOperation, false, true, false, L"开始备份"}},
      {"restore", restoreWithFile, {kGroupOperation | kGroupFile, false, true, true, L"开始还原"}},
      {"restore no room", [&] { auto in = restoreWithFile; in.staging = {}; return in; }(),
       {kGroupOperation | kGroupFile, false, true, false, L"开始还原"}},
      {"restored", restoreOk, {kGroupResult, false, true, true, L"立即重启开始还原"}},
      {"scanning", ready(WindowMode::UsbMaker, 0), {kGroupList, false, true, false, L"下一步"}},
      {"drives", [&] { auto in = ready(WindowMode::UsbMaker, 0); in.usbDrivesListed = true; return in; }(),
       {kGroupList, false, true, true, L"下一步"}},
      {"usb images", ready(WindowMode::UsbMaker, 1), {kGroupList | kGroupFilter, true, true, true, L"开始制作"}},
      {"usb result", ready(WindowMode::UsbMaker, 3), {kGroupResult, false, true, true, L"关闭"}},
      {"mark", ready(WindowMode::UsbMaker, 4), {kGroupManual, false, true, true, L"下一步"}},
  };
  for (const Case& c : cases) EXPECT_EQ(LayoutFor(c.in), c.expected) << c.name;
}

TEST(MainWindowRulesTest, ImageFilterAndDefaultRow) {
  std::vector<config::OsImageEntry> images(5);
  images[0].displayName = "Windows 10 专业版";
  images[1].displayName = "Windows 11 专业版";
  images[2].displayName = "Windows 10 and Windows 11 合集";
  images[3].displayName = "Server 2022";
  images[4].displayName = "windows 11 (lower case)";  // the phrase is matched exactly
  EXPECT_EQ(VisibleImages(images, 10), (std::vector<size_t>{0, 2, 3, 4}));
  EXPECT_EQ(VisibleImages(images, 11), (std::vector<size_t>{1, 2, 3, 4}));
  EXPECT_EQ(RowToSelect({1, 2, 3}, 2), 1);
  EXPECT_EQ(RowToSelect({1, 2, 3}, 0), 0);  // hidden default: the first row
  EXPECT_EQ(RowToSelect({}, 0), -1);
  images[0].version = "22H2";
  images[0].updateDate = "2024-05";
  images[0].sizeGb = 4.567;
  EXPECT_EQ(ImageCardDetail(images[0]), L"版本: 22H2    更新日期: 2024-05    大小: 4.57 GB");
  EXPECT_EQ(ImageCardDetail(images[1]), L"");
  images[1].sizeGb = 5;
  EXPECT_EQ(ImageCardDetail(images[1]), L"大小: 5.00 GB");
}

TEST(MainWindowRulesTest, RowTexts) {
  config::InstallItem item{.key = "k", .fileName = "f.exe"};
  EXPECT_EQ(InstallItemText(item), "f.exe");
  item.fileName.clear();
  EXPECT_EQ(InstallItemText(item), "k");
  EXPECT_EQ(DriveRowText("SanDisk Ultra", 28.64), L"SanDisk Ultra (28.6 GB)");
  disks::VolumeInfo volume{.letter = L'E', .totalBytes = 3ull * 1073741824 / 2, .diskNumber = -1};
  EXPECT_EQ(VolumeRowTexts(volume), (std::vector<std::wstring>{L"E:", L"(无卷标)", L"未知", L"1.5 GB", L"未知"}));
  volume = {.letter = L'D', .label = "数据", .fileSystem = "NTFS", .totalBytes = 0, .diskNumber = 1};
  EXPECT_EQ(VolumeRowTexts(volume), (std::vector<std::wstring>{L"D:", L"数据", L"NTFS", L"0.0 GB", L"磁盘 1"}));
  EXPECT_EQ(BackupDescription(false, true),
            L"将备份当前系统分区（C:）为一个镜像文件，备份过程中需要重启进入 PE 环境，完成后自动回到当前系统。\n\n"
            L"暂不支持备份：检测到系统盘已启用 BitLocker 加密，PE 环境下无法读取加密数据。请先在系统设置里关闭 BitLocker 后再重试。");
  EXPECT_EQ(BackupDescription(true, true),
            L"选择一个之前备份出来的镜像文件（.wim），还原到当前系统盘。此操作会清空当前系统盘所有内容。");
}

TEST(MainWindowRulesTest, ASecondRunOfAnotherModeIsRefused) {
  struct Case {
    WindowMode starting;
    BusyFlags busy;
    std::wstring expected;
  };
  const Case cases[] = {
      {WindowMode::Reinstall, {}, L""},
      {WindowMode::Reinstall, {.reinstall = true}, L""},  // the page itself stops a second run of one mode
      {WindowMode::UsbMaker, {.reinstall = true}, L"一键重装正在进行中，请等它结束后再开始新的任务。"},
      {WindowMode::Reinstall, {.backup = true}, L"备份/还原正在进行中，请等它结束后再开始新的任务。"},
      {WindowMode::BackupRestore, {.usb = true}, L"U 盘制作正在进行中，请等它结束后再开始新的任务。"},
  };
  for (const Case& c : cases) EXPECT_EQ(RunRefusal(c.starting, c.busy), c.expected);
}

TEST(MainWindowRulesTest, ResultTextsNameTheEditionAndTheRealLog) {
  const std::wstring log = L"C:\\temp\\PelloraLogs\\pl_host_gui.log";
  const std::wstring tail =
      L"\r\n\r\n点击下方按钮重启进入 PE 环境，系统会自动完成格式化、释放镜像、配置引导等剩余步骤，\r\n重启后请不要断电，耐心等待安装完成。";
  EXPECT_EQ(ReinstallResultText(true, "Windows 11 专业版", "", "", log),
            L"安装准备已完成！\r\n\r\n即将安装：Windows 11 专业版" + tail);
  EXPECT_EQ(ReinstallResultText(true, "Windows 11 专业版", "Professional", "", log),
            L"安装准备已完成！\r\n\r\n即将安装：Windows 11 专业版（镜像中的版本：Professional）" + tail);
  EXPECT_EQ(ReinstallResultText(false, "x", "y", "下载失败", log),
            L"很抱歉，准备安装时出现问题：\r\n\r\n下载失败\r\n\r\n详细日志见 C:\\temp\\PelloraLogs\\pl_host_gui.log。");
  EXPECT_EQ(BackupResultText(false, true, L"", "e", log),
            L"很抱歉，准备还原时出现问题：\r\n\r\ne\r\n\r\n详细日志见 " + log + L"。");
  EXPECT_TRUE(BackupResultText(true, false, L"D:\\b.wim", "", log).starts_with(L"备份准备已完成！"));
  EXPECT_TRUE(BackupResultText(true, false, L"D:\\b.wim", "", log).ends_with(L"备份文件将保存在：\r\nD:\\b.wim"));
  EXPECT_EQ(UsbResultText(false, "e", log), L"很抱歉，制作 U 盘时出现问题：\r\n\r\ne\r\n\r\n详细日志见 " + log + L"。");
  EXPECT_EQ(ThreadStartFailure(8), "无法启动后台任务（创建线程失败, GetLastError=8），请稍后重试。");
}

// The page a keyboard user is on decides what Tab reaches; Enter presses a button itself, anything else Next.
TEST(MainWindowRulesTest, TabArrowsAndEnterFollowTheReadingOrder) {
  // The software page's controls, and peers with the USB tab disabled.
  const std::set<int> page = {kIdTabReinstall, kIdTabUsb, kIdTabBackup, kIdMinimise, kIdClose, kIdItemList,
                              kIdInstalledList, kIdBack, kIdAutoRestart, kIdNext, kIdContact, kIdDiagnose};
  const std::set<int> peers = {kIdTabReinstall, kIdTabBackup, kIdFilter10, kIdFilter11, kIdBackupRadio,
                               kIdRestoreRadio};
  const auto on = [](const std::set<int>& shown) { return [&shown](int id) { return shown.contains(id); }; };
  const std::vector<std::pair<int, int>> forward = {  // from the window, round the whole page and the end
      {0, kIdTabReinstall}, {kIdTabBackup, kIdMinimise}, {kIdClose, kIdItemList}, {kIdBack, kIdAutoRestart},
      {kIdAutoRestart, kIdNext}, {kIdNext, kIdContact}, {kIdDiagnose, kIdTabReinstall}};
  for (const auto& [from, to] : forward) EXPECT_EQ(NextTabStop(from, false, on(page)), to) << from;
  EXPECT_EQ(NextTabStop(0, true, on(page)), kIdDiagnose);
  EXPECT_EQ(NextTabStop(kIdItemList, true, on(page)), kIdClose);  // backwards over the hidden ones
  EXPECT_EQ(NextTabStop(kIdNext, false, on({})), 0);
  EXPECT_EQ(std::set<int>(TabOrder().begin(), TabOrder().end()).size(), 21u);  // every control once

  EXPECT_EQ(ArrowPeer(kIdTabReinstall, 1, on(peers)), kIdTabBackup);
  EXPECT_EQ(ArrowPeer(kIdTabBackup, 1, on(peers)), kIdTabReinstall);
  EXPECT_EQ(ArrowPeer(kIdFilter11, -1, on(peers)), kIdFilter10);
  EXPECT_EQ(ArrowPeer(kIdBackupRadio, -1, on(peers)), kIdRestoreRadio);
  EXPECT_EQ(ArrowPeer(kIdList, 1, on(peers)), 0);  // a list moves its own selection

  for (const int id : {kIdTabUsb, kIdClose, kIdFilter10, kIdChooseFile, kIdBack, kIdNext, kIdDecrypt, kIdContact}) {
    EXPECT_TRUE(PressesItselfOnEnter(id)) << id;
  }
  for (const int id : std::vector<int>{0, kIdList, kIdItemList, kIdBackupRadio, kIdAutoRestart}) {
    EXPECT_FALSE(PressesItselfOnEnter(id)) << id;
  }
}

}  // namespace
}  // namespace pl::ui
