// The deployer's decisions over plain data: the task read back, the task this start serves, the paths moved onto
// the PE's letters, the target volume, the volumes a USB task may overwrite, the tools' progress and the arguments.
#include "deploy/deploy_task.h"

#include <gtest/gtest.h>

#include "deploy/deployer_entry.h"
#include "deploy/deploy_machine.h"
#include "deploy/deploy_tools.h"
#include "deploy/target_choice.h"
#include "printers.h"
#include "test_support.h"

namespace pl::deploy {
namespace {

using pipeline::DeployTask;
using Items = std::vector<config::InstallItem>;

constexpr char kEntry[] = "{8d3e5f20-1c2b-11ef-9a4b-0800200c9a66}";
constexpr char kGuid[] = "\\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\";

DeployTask Reinstall() {
  DeployTask task;
  task.targetVolumeGuid = kGuid;
  task.firmware = "UEFI";
  task.imagePath = "D:\\$PelloraData$\\os_image.esd";
  task.imageIndex = 6;
  task.toolsPath = "D:\\$PelloraData$\\tools";
  task.stagingDir = "D:\\$PelloraData$";
  task.peBootId = kEntry;
  task.sessionId = "s-1-9f3a";
  task.oemProductKey = "VK7JG-NPHTM-C97JM-9MPGT-3V66T";
  task.driverBackupPath = "d:\\$PelloraData$\\backup\\drivers";
  task.osDisplayName = " Windows 11 专业版=x ";  // blanks and '=' kept
  return task;
}

TEST(TaskTextTest, WhatTheHostWritesReadsBackAsItWas) {
  DeployTask capture;
  capture.mode = "capture";
  capture.imageIndex = -3;
  capture.captureDestPath = "D:\\$PelloraData$\\backup\\pellora_backup_20250203_090507.wim";
  DeployTask restore = Reinstall();
  restore.isRestore = true;
  const std::pair<DeployTask, Items> cases[] = {
      {Reinstall(),
       {{"wx", "wx.exe", "/S /D=x", "http://d/wx.exe?a=1", "9e10", "微信, 国际版"}, {"2", "a.msi", "", "u", "", ""}}},
      {capture, {}},
      {DeployTask{}, {}},
      {restore, {{"7z", "7z.exe", "/S", "http://d/7z.exe", "ab", "7-Zip"}}},
  };
  test::TempDirectory temp;
  for (const auto& [task, items] : cases) {
    ASSERT_TRUE(pipeline::WriteTaskFile(temp.Child(L"task.ini"), task, items));
    std::string bytes, error;
    ASSERT_TRUE(test::ReadFileBytes(temp.Child(L"task.ini"), &bytes));
    DeployTask read;
    Items readItems;
    ASSERT_TRUE(ParseTaskText(bytes, &read, &readItems, &error)) << error;
    EXPECT_EQ(read, task);
    EXPECT_EQ(readItems, items);
  }
}

TEST(TaskTextTest, ATaskThatCannotBeTrustedIsRefusedWithItsReason) {
  const std::string head = "[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\ntargetVolumeGuid=\r\nfirmware=UEFI\r\n";
  const std::string tail = "toolsPath=\r\nstagingDir=\r\npeBootId=\r\nsessionId=\r\noemProductKey=\r\n"
                           "driverBackupPath=\r\nosDisplayName=\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "任务文件缺少 targetDisk"},
      {head + "imageIndex=1\r\n" + tail + "mode=deploy\r\ncaptureDestPath=\r\nisRestore=0\r\n",
       "任务文件缺少 imagePath"},
      {head + "imagePath=x\r\nimageIndex=one\r\n" + tail + "mode=deploy\r\ncaptureDestPath=\r\nisRestore=0\r\n",
       "任务文件里的数字看不懂（targetDisk/targetPartition/imageIndex/isRestore）"},
      {head + "imagePath=x\r\nimageIndex=1\r\n" + tail + "mode=deploy\r\ncaptureDestPath=\r\nisRestore=yes\r\n",
       "任务文件里的数字看不懂（targetDisk/targetPartition/imageIndex/isRestore）"},
      {head + "imagePath=x\r\nimageIndex=1\r\n" + tail + "mode=wipe\r\ncaptureDestPath=\r\nisRestore=0\r\n",
       "任务文件的 mode 既不是 deploy 也不是 capture: wipe"},
  };
  for (const auto& [text, reason] : cases) {
    DeployTask task;
    Items items;
    std::string error;
    EXPECT_FALSE(ParseTaskText(text, &task, &items, &error));
    EXPECT_EQ(error, reason);
  }
}

FoundTask Found(wchar_t letter, const std::string& entry) {
  FoundTask found{.path = std::wstring(1, letter) + L":\\$PelloraData$\\task.ini", .letter = letter};
  found.task.peBootId = entry;
  return found;
}

TEST(ChooseTaskTest, TheTaskMadeForThisStartOrElseTheOnlyOneLeft) {
  const std::string other = "{00000000-0000-0000-0000-0000000000ff}";
  const struct {
    std::vector<FoundTask> tasks;
    std::string current;
    TaskChoice choice;
  } cases[] = {
      {{Found(L'D', other), Found(L'E', kEntry)}, kEntry, {.index = 1}},
      {{Found(L'D', "{8D3E5F20-1C2B-11EF-9A4B-0800200C9A66}")}, kEntry, {.index = 0}},
      // A stick's task beside an old task whose entry started another PE.
      {{Found(L'D', other), Found(L'V', "")}, kEntry, {.index = 1}},
      {{Found(L'D', kEntry), Found(L'V', "")}, kEntry, {.index = 0}},
      {{Found(L'D', other)}, "", {.index = 0}},
      {{Found(L'V', "")}, kEntry, {.index = 0}},
      {{}, kEntry, {.error = "没有找到任务文件（各分区根目录下的 $PelloraData$\\task.ini），不知道要做什么，什么都没有改动"}},
      {{Found(L'D', other)},
       kEntry,
       {.error = "找到的任务文件都不是为这次启动准备的（它们记的启动项跟当前启动项 " + std::string(kEntry) +
                 " 不同）: D:\\$PelloraData$\\task.ini，为了安全什么都没有改动"}},
      {{Found(L'D', other), Found(L'E', kEntry)},
       "",
       {.error = "找到 2 个任务文件，当前启动项 （读不出来） 跟哪一个都对不上，无法确定要执行哪一个: "
                 "D:\\$PelloraData$\\task.ini、E:\\$PelloraData$\\task.ini，为了安全什么都没有改动"}},
      {{Found(L'D', ""), Found(L'V', ""), Found(L'W', other)},
       kEntry,
       {.error = "找到 2 个任务文件，当前启动项 " + std::string(kEntry) +
                 " 跟哪一个都对不上，无法确定要执行哪一个: D:\\$PelloraData$\\task.ini、V:\\$PelloraData$\\task.ini，"
                 "为了安全什么都没有改动"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseTask(c.tasks, c.current), c.choice);
}

TEST(RebaseTest, PathsOnTheStagingDriveMoveToTheLetterTheTaskWasFoundOn) {
  EXPECT_EQ(RebasePath("D:\\$PelloraData$\\os_image.wim", 'D', L'H'), "H:\\$PelloraData$\\os_image.wim");
  EXPECT_EQ(RebasePath("d:\\x", 'D', L'H'), "H:\\x");
  EXPECT_EQ(RebasePath("E:\\x", 'D', L'H'), "E:\\x");
  EXPECT_EQ(RebasePath("D:x", 'D', L'H'), "D:x");
  EXPECT_EQ(RebasePath("\\\\server\\share\\x.wim", 'D', L'H'), "\\\\server\\share\\x.wim");
  EXPECT_EQ(RebasePath("", 'D', L'H'), "");

  DeployTask task = Reinstall();
  task.imagePath = "E:\\backups\\pellora_backup_1.wim";
  task.captureDestPath = "";
  EXPECT_EQ(RebaseTask(&task, L'H'), std::vector<std::string>{"imagePath=E:\\backups\\pellora_backup_1.wim"});
  DeployTask expected = Reinstall();
  expected.stagingDir = "H:\\$PelloraData$";
  expected.imagePath = "E:\\backups\\pellora_backup_1.wim";
  expected.toolsPath = "H:\\$PelloraData$\\tools";
  expected.driverBackupPath = "H:\\$PelloraData$\\backup\\drivers";
  EXPECT_EQ(task, expected);
  // A stick's task has no staging folder to move from.
  DeployTask usb;
  EXPECT_TRUE(RebaseTask(&usb, L'V').empty());
  EXPECT_TRUE(IsUsbTask(usb));
  EXPECT_FALSE(IsUsbTask(Reinstall()));
}

VolumeFacts Volume(wchar_t letter, const std::string& guid = "", bool marked = false) {
  VolumeFacts volume{.letter = letter, .guidPath = guid, .fixed = true, .totalBytes = 100ull << 30};
  volume.hasMarker = marked;
  volume.marker = {.peBootId = kEntry, .sessionId = "s-1-9f3a"};
  return volume;
}

TEST(IdentifyTargetTest, ExactlyOneVolumeNamedPositivelyAndNoneThatHoldsTheJob) {
  VolumeFacts removable = Volume(L'E', "", true);
  removable.fixed = false;
  removable.removable = true;
  VolumeFacts network = Volume(L'N', kGuid);
  network.fixed = false;
  VolumeFacts stale = Volume(L'F', "", true);
  stale.marker.sessionId = "s-0-old";
  const std::string none = "，为了安全什么都没有改动";
  const struct {
    std::vector<VolumeFacts> volumes;
    KeptVolumes kept;
    TargetRole role;
    TargetChoice choice;
  } cases[] = {
      {{Volume(L'C'), Volume(L'G', "\\\\?\\VOLUME{5A0C1E2B-7D3F-4E61-9A4B-100000000000}\\")},
       {L'H', L'H'}, TargetRole::Deploy, {.letter = L'G', .how = "卷 GUID"}},
      {{Volume(L'C', kGuid, true)}, {L'H', L'H'}, TargetRole::Deploy, {.letter = L'C', .how = "卷 GUID"}},
      {{Volume(L'C'), stale, Volume(L'G', "", true)}, {L'H', L'H'}, TargetRole::Capture, {.letter = L'G', .how = "标记文件"}},
      {{Volume(L'C'), stale}, {}, TargetRole::Deploy,
       {.error = "找不到要部署的目标分区：没有分区的卷 GUID 是 " + std::string(kGuid) +
                 "，也没有分区根目录下有本次任务的标记文件 $PelloraTarget$.ini" + none}},
      {{Volume(L'C', kGuid), Volume(L'G', "", true)}, {}, TargetRole::Deploy,
       {.error = "要部署的目标分区对不上：卷 GUID 指向 C:，本次任务的标记文件却在 G: 上" + none}},
      {{Volume(L'C', kGuid), Volume(L'G', kGuid)}, {}, TargetRole::Capture,
       {.error = "有 2 个分区（C:、G:）的卷 GUID 都是 " + std::string(kGuid) + "，无法确定要备份的分区" + none}},
      {{Volume(L'C', "", true), Volume(L'G', "", true)}, {}, TargetRole::Deploy,
       {.error = "有 2 个分区（C:、G:）都带着本次任务的标记文件，无法确定要部署的目标分区" + none}},
      {{removable}, {}, TargetRole::Deploy,
       {.error = "要部署的目标分区 E: 在可移动介质上（U 盘、存储卡），不会在上面安装系统" + none}},
      {{network}, {}, TargetRole::Capture, {.error = "要备份的分区 N: 不是本机固定磁盘上的分区" + none}},
      {{Volume(L'G', kGuid)}, {L'g', 0}, TargetRole::Deploy,
       {.error = "要部署的目标分区 G: 上放着任务文件和暂存数据，不能覆盖它" + none}},
      {{Volume(L'G', kGuid)}, {L'H', L'G'}, TargetRole::Deploy,
       {.error = "要部署的目标分区 G: 上放着要部署的系统镜像" + none}},
      {{Volume(L'G', kGuid)}, {L'H', L'G'}, TargetRole::Capture,
       {.error = "要备份的分区 G: 就是备份文件要写入的分区" + none}},
  };
  const DeployTask task = Reinstall();
  for (const auto& c : cases) EXPECT_EQ(IdentifyTarget(task, c.volumes, c.kept, c.role), c.choice);
  DeployTask hostInPe = Reinstall();
  hostInPe.targetVolumeGuid.clear();
  EXPECT_EQ(IdentifyTarget(hostInPe, {Volume(L'C', "", true)}, {}, TargetRole::Deploy).letter, L'C');
}

TEST(UsbTargetTest, OnlyFixedVolumesOutsideTheStickThePeAndTheJob) {
  VolumeFacts system = Volume(L'C');
  system.label = "系统";
  system.windows = "Windows 10 Pro";
  VolumeFacts removable = Volume(L'E');
  removable.removable = true;
  VolumeFacts stickBoot = Volume(L'U');
  stickBoot.label = "PELLORA_PE";
  VolumeFacts stickData = Volume(L'W');
  stickData.label = "PELLORA_DATA";
  const std::vector<VolumeFacts> candidates =
      UsbTargetCandidates({system, Volume(L'D'), removable, stickBoot, Volume(L'V'), stickData, Volume(L'X')},
                          {.task = L'V', .image = L'V'}, L'X');
  ASSERT_EQ(candidates, (std::vector<VolumeFacts>{system, Volume(L'D')}));
  EXPECT_EQ(VolumeText(candidates[0]), "C:  标签 系统  100 GB  Windows 10 Pro");
  EXPECT_EQ(VolumeText(candidates[1]), "D:  无卷标  100 GB  没有 Windows");
}

TEST(DeployToolsTest, ProgressBoundaryDevicesAndArguments) {
  const std::pair<const char*, int> percents[] = {
      {"[==========                 18.0%                ]\r", 18}, {"[===  5.3%  ]\r[=====  45.7%   ]", 45},
      {"100.0%", 100},    {"no progress", -1}, {"100%%", 100},      {"1234.5%", -1},
      {"%", -1},          {"7%", 7},           {"x.5%", -1},        {"[ 99.9% ] then 250%", 99},
  };
  for (const auto& [text, percent] : percents) EXPECT_EQ(LastPercent(text), percent) << text;

  EXPECT_EQ(BootManagerDevice("Windows Boot Manager\r\n--------------------\r\nidentifier              {bootmgr}\r\n"
                              "device                  partition=\\Device\\HarddiskVolume1\r\npath   \\EFI\\x"),
            "\\Device\\HarddiskVolume1");
  EXPECT_EQ(BootManagerDevice("device  partition=S:  \n"), "S:");
  EXPECT_EQ(BootManagerDevice("device  unknown"), "");
  const auto devices = [](wchar_t letter) {
    return letter == L'Q' ? std::wstring(L"\\Device\\HarddiskVolume1") : std::wstring(L"\\Device\\HarddiskVolume9");
  };
  EXPECT_EQ(DriveLetterOfDevice("s:", devices), L'S');
  EXPECT_EQ(DriveLetterOfDevice("\\device\\harddiskvolume1", devices), L'Q');
  EXPECT_EQ(DriveLetterOfDevice("\\Device\\HarddiskVolume2", devices), 0);
  EXPECT_EQ(DriveLetterOfDevice("", devices), 0);

  EXPECT_EQ(BcdbootArguments(L'G', "UEFI", L'S'), L"G:\\Windows /s S: /f UEFI");
  EXPECT_EQ(BcdbootArguments(L'G', "BIOS", L'G'), L"G:\\Windows /s G: /f BIOS");
  EXPECT_EQ(BcdbootArguments(L'G', "UNKNOWN", L'S'), L"G:\\Windows /s S: /f ALL");
  EXPECT_EQ(BcdbootArguments(L'G', "UEFI", 0), L"G:\\Windows");
}

TEST(PeArgumentsTest, FlagsTheTaskOfADryRunAndAnythingElseIsAnError) {
  const struct {
    std::vector<const wchar_t*> arguments;
    PeArguments parsed;
  } cases[] = {
      {{L"pl_pe.exe"}, {}},
      {{L"pl_pe.exe", L"--dry-run", L"--task", L"C:\\t.ini"}, {.dryRun = true, .taskPath = L"C:\\t.ini"}},
      {{L"pl_pe.exe", L"--setup"}, {.setup = true}},
      {{L"pl_pe.exe", L"--Setup"}, {.error = "看不懂的参数: --Setup"}},
      {{L"pl_pe.exe", L"--dry-run", L"--task"}, {.dryRun = true, .error = "看不懂的参数: --task"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParsePeArguments(c.arguments.data(), static_cast<int>(c.arguments.size())), c.parsed);
  }
  EXPECT_EQ(ParsePeArguments(nullptr, 3), PeArguments{});
}

TEST(TargetMarkerTest, TheHostsMarkerReadsBackAndAnythingElseIsNoMarker) {
  const pipeline::TargetMarker marker{kEntry, "s-1-9f3a", "{current}", 30};
  const std::string text = pipeline::TargetMarkerText(marker);
  EXPECT_EQ(text, "[target]\r\npeBootId=" + std::string(kEntry) +
                      "\r\nsessionId=s-1-9f3a\r\npreviousDefault={current}\r\npreviousTimeout=30\r\n");
  pipeline::TargetMarker read;
  EXPECT_TRUE(pipeline::ParseTargetMarker("\xEF\xBB\xBF" + text, &read));
  EXPECT_EQ(read, marker);
  for (const std::string& bad : {std::string("[target]\r\npeBootId=x\r\n"), text.substr(0, text.size() - 4) + "x\r\n",
                                std::string("[deploy]\r\n") + text.substr(10)}) {
    EXPECT_FALSE(pipeline::ParseTargetMarker(bad, &read)) << bad;
  }
}

}  // namespace
}  // namespace pl::deploy
