// Planning against a simulated machine: the plan, every log line in order, and the diskpart scripts as the
// fake diskpart received them.
#include "disks/planner.h"

#include <gtest/gtest.h>

#include <tuple>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/text.h"
#include "log_capture.h"
#include "printers.h"
#include "simulated_machine.h"
#include "test_support.h"

namespace pl::disks {
namespace {

using base::kGiB;
using Lines = std::vector<std::string>;

constexpr char kBootOnC[] = "T [INFO] 引导区直接使用系统盘: C:\\$PelloraData$Boot$";
constexpr char kNoOtherVolume[] =
    "T [INFO] 未找到其他可用的固定分区做数据区（可能只有一个分区，或者其它候选都被 BitLocker "
    "保护排除了），尝试未分配空间/压缩系统盘创建数据分区";
constexpr char kTwentyGbError[] =
    "系统盘剩余空间不足（需要保留至少 20GB），没有空间可以压缩出来做数据区，且磁盘上没有找到可用的未分配空间，"
    "请清理系统盘空间或用磁盘管理工具腾出空间后重试";
constexpr char kThreeGbError[] = "系统盘可压缩空间太小（不到 3GB），无法创建有效的数据区，请清理磁盘空间或扩容后重试";
constexpr char kShrinkScript12[] =
    "select volume=C\r\nshrink desired=12288 minimum=6144\r\ncreate partition primary\r\n"
    "format fs=ntfs quick label=\"PLSTAGE\"\r\nassign letter=\"Y\"\r\n";

// How the runner's "diskpart 脚本内容:\n" entry reads back when the log is split at "\r\n".
void AddScriptEntry(Lines* lines, const std::string& script, bool dryRun) {
  Lines parts = pl::test::SplitLines(script);
  lines->push_back("T [INFO] diskpart 脚本内容:\n" + parts[0]);
  lines->insert(lines->end(), parts.begin() + 1, parts.end());
  lines->push_back("");  // the script's own last line end
  lines->push_back(dryRun ? "T [INFO] [dry-run] 跳过实际执行 diskpart，仅记录脚本内容。" : "T [INFO] ");
}

struct PlannerTest : pl::test::LoggedTest {
  // One disk, C: only, a network drive on Z:.
  void SetUp() override {
    LoggedTest::SetUp();
    machine.volumes[L'C'] = {.disk = 0, .label = "System", .free = 50 * kGiB};
    machine.otherLetters = {L'Z'};
  }
  StagingPlan Plan(uint64_t needed, bool dryRun = false, wchar_t backup = 0, uint64_t beside = 0,
                   const std::wstring& keep = {}) {
    return PlanStagingArea(FirmwareType::Uefi, needed, dryRun, backup, beside, keep, machine.Bind());
  }
  std::vector<std::string> Scripts() const {
    std::vector<std::string> scripts;
    for (const auto& call : fake.Calls()) scripts.push_back(call.script);
    return scripts;
  }
  test::SimulatedMachine machine;
  pl::test::FakeTools fake;
};

void ExpectPlan(const StagingPlan& plan, const wchar_t* boot, const wchar_t* data, bool shrank, bool created) {
  EXPECT_EQ(plan, (StagingPlan{.ok = true,
                               .bootDir = boot,
                               .dataDir = data,
                               .shrankSystemVolume = shrank,
                               .createdStagePartition = created}));
}

TEST_F(PlannerTest, OneVolumeIsShrunkForTheWholeNeed) {
  const StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", true, false);
  Lines expected = {kBootOnC, kNoOtherVolume, "T [INFO] 尝试压缩系统盘 12GB 创建数据暂存分区（挂载到 Y 盘）"};
  AddScriptEntry(&expected, kShrinkScript12, false);
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(Scripts(), (std::vector<std::string>{kShrinkScript12}));
  EXPECT_EQ(machine.events, (Lines{"mkdir C:\\$PelloraData$Boot$", "partition Y", "mkdir Y:\\$PelloraData$"}));
  EXPECT_EQ(machine.firmwareAsked, (std::vector<FirmwareType>{FirmwareType::Uefi}));
}

TEST_F(PlannerTest, ShrinkGivesWhatItCanAboveTheTwentyGbReserve) {
  machine.volumes[L'C'].free = 24 * kGiB;
  StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", true, false);
  const std::string script =
      "select volume=C\r\nshrink desired=4096 minimum=3072\r\ncreate partition primary\r\n"
      "format fs=ntfs quick label=\"PLSTAGE\"\r\nassign letter=\"Y\"\r\n";
  Lines expected = {kBootOnC, kNoOtherVolume,
                    "T [WARN] 系统盘可压缩空间(约4GB)小于这次预计需要的空间(约12GB)，先压缩出能压缩到的最大空间，"
                    "如果最终还是不够用，后续下载/打包步骤会报错",
                    "T [INFO] 尝试压缩系统盘 4GB 创建数据暂存分区（挂载到 Y 盘）"};
  AddScriptEntry(&expected, script, false);
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(Scripts(), (std::vector<std::string>{script}));

  // Exactly 20 GiB: nothing to give. 22 GiB: 2 GiB is too little. Neither error is logged by the planner.
  for (const auto& [free, error] : {std::pair{20 * kGiB, kTwentyGbError}, std::pair{22 * kGiB, kThreeGbError}}) {
    machine.volumes.erase(L'Y');
    machine.volumes[L'C'].free = free;
    ClearLog();
    plan = Plan(12 * kGiB);
    EXPECT_FALSE(plan.ok);
    EXPECT_EQ(plan.error, error);
    EXPECT_EQ(plan.dataDir, L"");
    EXPECT_EQ(LogLines(), (Lines{kBootOnC, kNoOtherVolume}));
  }
  EXPECT_EQ(fake.Calls().size(), 1u);
}

TEST_F(PlannerTest, ShrinkStopsWithoutALetterOrWhenDiskpartFails) {
  for (wchar_t l = L'D'; l <= L'Y'; ++l) machine.otherLetters.insert(l);
  StagingPlan plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, "没有空闲盘符可用，无法创建数据暂存分区");
  EXPECT_TRUE(fake.Calls().empty());

  machine.otherLetters = {L'Z'};
  fake.Add({.tool = "diskpart", .exitCode = 5, .output = "There is not enough space"});
  ClearLog();
  plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, "压缩/创建数据暂存分区失败");
  EXPECT_EQ(plan.bootDir, L"C:\\$PelloraData$Boot$");  // the boot area stays chosen and created
  const Lines lines = LogLines();
  EXPECT_EQ(lines.back(), "T [ERROR] diskpart 执行失败, exitCode=5\nThere is not enough space");
  EXPECT_EQ(machine.events, (Lines{"mkdir C:\\$PelloraData$Boot$", "mkdir C:\\$PelloraData$Boot$"}));
}

TEST(StagingScripts, WholeMiBAndTheShrinkMinimum) {
  EXPECT_EQ(ShrinkPartitionScript(L'C', L'Y', 12 * kGiB), kShrinkScript12);
  // 6 GiB already takes half, which is the same 3072; below it the fixed 3072; above it half again.
  EXPECT_NE(ShrinkPartitionScript(L'C', L'X', 6 * kGiB).find("shrink desired=6144 minimum=3072\r\n"), std::string::npos);
  EXPECT_NE(ShrinkPartitionScript(L'C', L'X', 6 * kGiB - 1).find("shrink desired=6143 minimum=3072\r\n"),
            std::string::npos);
  EXPECT_NE(ShrinkPartitionScript(L'D', L'X', 7 * kGiB + 1048575).find("select volume=D\r\nshrink desired=7168 minimum=3584\r\n"),
            std::string::npos);
  EXPECT_EQ(UnallocatedPartitionScript(3, L'W', 5 * kGiB + 1048575),
            "select disk 3\r\ncreate partition primary size=5120\r\nformat fs=ntfs quick label=\"PLSTAGE\"\r\n"
            "assign letter=\"W\"\r\n");
}

TEST_F(PlannerTest, OwnStagePartitionIsEmptiedOfOldDataAndReused) {
  machine.volumes[L'D'] = {.disk = 0, .label = "PLSTAGE", .free = 11 * kGiB};
  machine.oldData[L"D:\\$PelloraData$"] = 2 * kGiB;
  const StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"D:\\$PelloraData$", false, false);
  EXPECT_EQ(LogLines(), (Lines{kBootOnC,
                               "T [INFO] 数据区候选分区 D: 剩余空间不够，但是本工具自己创建的分区(卷标PLSTAGE)，"
                               "里面有约2GB 上次装机残留的数据，清空后复用",
                               "T [INFO] 数据区使用现有分区: D:\\$PelloraData$"}));
  EXPECT_EQ(machine.events,
            (Lines{"mkdir C:\\$PelloraData$Boot$", "delete D:\\$PelloraData$", "mkdir D:\\$PelloraData$"}));
  EXPECT_FALSE(machine.keepRule(L"restore_image.wim"));

  // A restore whose backup file lies there under another name keeps it.
  machine.volumes[L'D'].free = 11 * kGiB;
  machine.oldData[L"D:\\$PelloraData$"] = 2 * kGiB;
  EXPECT_TRUE(Plan(12 * kGiB, false, L'D', 20 * kGiB, L"D:\\$PelloraData$\\restore_image.wim").ok);
  EXPECT_TRUE(machine.keepRule(L"restore_image.wim"));
}

// What emptying a data area leaves: the user's backups and the run's own source file, however its path is written.
TEST(PlannerBackups, TheRunsSourceFileIsKeptWhereverItLiesBelowTheDataArea) {
  const std::wstring data = L"D:\\$PelloraData$";
  const std::tuple<std::wstring, std::wstring, bool> cases[] = {
      {L"D:\\$PelloraData$\\restore_image.wim", L"restore_image.wim", true},
      {L"D:\\$PelloraData$\\restore_image.wim", L"RESTORE_IMAGE.WIM", true},
      {L"d:\\$pelloradata$\\Sub\\b.wim", L"sub\\B.wim", true},
      {L"\\\\?\\D:\\$PelloraData$\\b.wim", L"b.wim", true},
      {L"D:/$PelloraData$/sub/b.wim", L"sub\\b.wim", true},
      {L"D:\\$PelloraData$\\restore_image.wim", L"os_image.wim", false},
      {L"D:\\$PelloraData$\\restore_image.wim", L"backup\\pellora_backup_1.wim", true},  // backups always stay
      {L"E:\\$PelloraData$\\b.wim", L"b.wim", false},
      {L"D:\\$PelloraData$b.wim", L"b.wim", false},
      {L"D:\\b.wim", L"b.wim", false},
      {L"D:\\$PelloraData$\\", L"", false},
      {L"", L"restore_image.wim", false},
  };
  for (const auto& [file, relative, kept] : cases) {
    EXPECT_EQ(LeftoverKeepRule(data, file)(relative), kept) << base::WideToUtf8(file) << " " << base::WideToUtf8(relative);
  }
}

// A backup run's result on that partition is the user's: not counted as leftover and never deleted with it.
TEST(PlannerBackups, TheLiveCleanupKeepsTheUsersBackups) {
  for (const auto& [path, backup] : std::vector<std::pair<std::wstring, bool>>{
           {L"backup\\pellora_backup_20261208_101500.wim", true},
           {L"BACKUP\\Pellora_Backup_x.WIM", true},
           {L"backup\\pellora_backup_.wim", false},
           {L"backup\\drivers\\pellora_backup_1.wim", false},
           {L"pellora_backup_1.wim", false},
           {L"backup\\pellora_backup_1.wim.tmp", false},
           {L"restore_image.wim", false},
       }) {
    EXPECT_EQ(IsUserBackup(path), backup) << base::WideToUtf8(path);
  }

  pl::test::TempDirectory temp;
  const std::wstring data = temp.Child(L"$PelloraData$");
  const std::wstring backupDir = data + L"\\backup";
  const std::wstring kept = backupDir + L"\\pellora_backup_20261208_101500.wim";
  ASSERT_TRUE(base::CreateDirectoryTree(backupDir + L"\\drivers"));
  ASSERT_TRUE(pl::test::WriteFileBytes(kept, std::string(7000, 'b')));
  ASSERT_TRUE(pl::test::WriteFileBytes(backupDir + L"\\drivers\\net.inf", std::string(300, 'd')));
  ASSERT_TRUE(pl::test::WriteFileBytes(data + L"\\restore_image.wim", std::string(500, 'r')));
  ASSERT_TRUE(pl::test::WriteFileBytes(data + L"\\task.ini", "[task]"));
  const StagingMachine& live = LiveStagingMachine();
  // A restore from "restore_image.wim" keeps it as well.
  const base::KeepRule restoring = LeftoverKeepRule(data, data + L"\\restore_image.wim");
  EXPECT_EQ(live.leftoverSize(data, restoring), 306u);
  EXPECT_TRUE(live.clearLeftover(data, restoring));
  EXPECT_EQ(base::DirectorySize(data), 7500u);
  EXPECT_FALSE(pl::test::FileExists(backupDir + L"\\drivers"));

  const base::KeepRule backupsOnly = LeftoverKeepRule(data, L"");
  EXPECT_EQ(live.leftoverSize(data, backupsOnly), 500u);
  EXPECT_TRUE(live.clearLeftover(data, backupsOnly));
  EXPECT_EQ(base::DirectorySize(data), 7000u);
  EXPECT_TRUE(pl::test::FileExists(kept));
  EXPECT_FALSE(pl::test::FileExists(data + L"\\restore_image.wim"));
  EXPECT_EQ(live.leftoverSize(data, backupsOnly), 0u);

  // With no backup the whole folder goes, as before.
  ASSERT_TRUE(DeleteFileW(kept.c_str()));
  EXPECT_TRUE(live.clearLeftover(data, backupsOnly));
  EXPECT_FALSE(pl::test::FileExists(data));
}

TEST_F(PlannerTest, FailedCleanupJudgesByTheFreeSpaceBefore) {
  machine.volumes[L'C'].free = 15 * kGiB;
  machine.volumes[L'D'] = {.disk = 0, .label = "PLSTAGE", .free = 11 * kGiB};
  machine.oldData[L"D:\\$PelloraData$"] = 2 * kGiB;
  machine.deleteFails = true;
  const StagingPlan plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, kTwentyGbError);
  EXPECT_EQ(LogLines(), (Lines{kBootOnC,
                               "T [INFO] 数据区候选分区 D: 剩余空间不够，但是本工具自己创建的分区(卷标PLSTAGE)，"
                               "里面有约2GB 上次装机残留的数据，清空后复用",
                               "T [WARN] 清空 D:\\$PelloraData$ 失败，仍按清空前的剩余空间判断",
                               "T [WARN] 数据区候选分区 D: 剩余空间不够（需要约 12GB，实际约 11GB），改尝试未分配空间/压缩系统盘"}));
}

// Exactly the bytes needed is enough: the volume is taken as it is. One byte less sends the plan to the next route.
TEST_F(PlannerTest, ADataVolumeWithExactlyTheNeededBytesIsTakenAsItIs) {
  machine.volumes[L'D'] = {.disk = 0, .label = "Data", .free = 12 * kGiB};
  ExpectPlan(Plan(12 * kGiB), L"C:\\$PelloraData$Boot$", L"D:\\$PelloraData$", false, false);
  EXPECT_EQ(LogLines(), (Lines{kBootOnC, "T [INFO] 数据区使用现有分区: D:\\$PelloraData$"}));
  EXPECT_EQ(machine.events, (Lines{"mkdir C:\\$PelloraData$Boot$", "mkdir D:\\$PelloraData$"}));
  EXPECT_TRUE(fake.Calls().empty());

  machine.volumes[L'D'].free = 12 * kGiB - 1;
  ClearLog();
  const StagingPlan plan = Plan(12 * kGiB);
  EXPECT_NE(plan.dataDir, L"D:\\$PelloraData$");
  EXPECT_EQ(LogLines().at(1),
            "T [WARN] 数据区候选分区 D: 剩余空间不够（需要约 12GB，实际约 11GB），改尝试未分配空间/压缩系统盘");
}

TEST_F(PlannerTest, TooSmallVolumeOfAnotherLabelLeadsToTheNextRoutes) {
  machine.volumes[L'D'] = {.disk = 0, .label = "Data", .free = 11 * kGiB};
  machine.oldData[L"D:\\$PelloraData$"] = 2 * kGiB;
  machine.gaps[0] = 40 * kGiB;
  const StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", false, true);
  const std::string script =
      "select disk 0\r\ncreate partition primary size=12288\r\nformat fs=ntfs quick label=\"PLSTAGE\"\r\n"
      "assign letter=\"Y\"\r\n";
  Lines expected = {kBootOnC,
                    "T [WARN] 数据区候选分区 D: 剩余空间不够（需要约 12GB，实际约 11GB），改尝试未分配空间/压缩系统盘",
                    "T [INFO] 检测到系统盘所在磁盘后面有约 40GB 未分配空间，尝试在上面新建 12GB 数据暂存分区（挂载到 Y 盘）"};
  AddScriptEntry(&expected, script, false);
  expected.push_back("T [INFO] 数据区使用未分配空间新建的分区: Y:\\$PelloraData$");
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(Scripts(), (std::vector<std::string>{script}));
}

TEST_F(PlannerTest, BootAreaOnTheBootManagersDiskOrNothingIsTouched) {
  machine.bootDisk = 1;
  machine.volumes[L'D'] = {.disk = 0, .label = "Data", .free = 100 * kGiB};
  machine.volumes[L'E'] = {.disk = 1, .label = "Boot", .free = 2 * kGiB};
  StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"E:\\$PelloraData$Boot$", L"D:\\$PelloraData$", false, false);
  EXPECT_EQ(LogLines(),
            (Lines{"T [INFO] 引导管理器所在物理磁盘(1)跟系统盘所在磁盘(0)不是同一块，需要单独找同盘位置存放引导文件",
                   "T [INFO] 候选分区排除: D: 不在目标物理磁盘编号 1 上",
                   "T [INFO] 引导区使用同盘分区: E:\\$PelloraData$Boot$",
                   "T [INFO] 数据区使用现有分区: D:\\$PelloraData$"}));

  // One byte short of 2 GiB on disk 1: the plan fails and nothing is created, shrunk or started.
  machine.volumes[L'E'].free = 2 * kGiB - 1;
  machine.events.clear();
  ClearLog();
  plan = Plan(12 * kGiB);
  const std::string error =
      "引导管理器所在的物理磁盘(1)上没有找到可用分区存放引导文件（pe.wim/boot.sdi 不能跟系统盘不同盘，"
      "也没法靠压缩系统盘解决——压缩系统盘只能在系统盘自己所在的磁盘上腾空间）";
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, error);
  EXPECT_EQ(plan.bootDir, L"");
  EXPECT_EQ(LogLines(),
            (Lines{"T [INFO] 引导管理器所在物理磁盘(1)跟系统盘所在磁盘(0)不是同一块，需要单独找同盘位置存放引导文件",
                   "T [INFO] 候选分区排除: D: 不在目标物理磁盘编号 1 上", "T [ERROR] " + error}));
  EXPECT_TRUE(machine.events.empty());
  EXPECT_TRUE(fake.Calls().empty());

  // No disk holds the boot manager: the system disk stands in for it. An unknown system disk prints as -1.
  machine.bootDisk = -1;
  ClearLog();
  plan = Plan(12 * kGiB);
  EXPECT_EQ(plan.bootDir, L"C:\\$PelloraData$Boot$");
  EXPECT_EQ(LogLines().at(0),
            "T [WARN] 未能定位引导管理器所在的物理磁盘（ESP/活动分区查找失败），按系统盘所在磁盘处理");
  EXPECT_EQ(LogLines().at(1), kBootOnC);
  machine.bootDisk = 1;
  machine.volumes[L'C'].disk = -1;
  ClearLog();
  Plan(12 * kGiB);
  EXPECT_EQ(LogLines().at(0),
            "T [INFO] 引导管理器所在物理磁盘(1)跟系统盘所在磁盘(-1)不是同一块，需要单独找同盘位置存放引导文件");
}

TEST_F(PlannerTest, RestoreBesideTheBackupWhenItsVolumeQualifies) {
  machine.volumes[L'D'] = {.disk = 0, .label = "Backup", .free = 3 * kGiB};
  StagingPlan plan = Plan(40 * kGiB, false, L'D', 2 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"D:\\$PelloraData$", false, false);
  EXPECT_EQ(LogLines(), (Lines{kBootOnC, "T [INFO] 数据区复用备份文件所在分区: D:\\$PelloraData$（不用再复制一份）"}));
  EXPECT_EQ(Plan(40 * kGiB, false, L'd', 2 * kGiB).dataDir, L"D:\\$PelloraData$");  // a path typed in lower case

  // 1 GiB free: the normal route, which finds D: too small and shrinks C:.
  machine.volumes[L'D'].free = 1 * kGiB;
  machine.volumes[L'C'].free = 80 * kGiB;
  ClearLog();
  plan = Plan(40 * kGiB, false, L'D', 2 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", true, false);
  Lines lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1],
            "T [INFO] 备份文件所在分区 D: 剩余空间不够放 PE 环境/驱动包（需要约 2GB），改走正常逻辑另选数据区并复制备份文件");
  EXPECT_EQ(lines[2], "T [WARN] 数据区候选分区 D: 剩余空间不够（需要约 40GB，实际约 1GB），改尝试未分配空间/压缩系统盘");
  EXPECT_EQ(lines[3], "T [INFO] 尝试压缩系统盘 40GB 创建数据暂存分区（挂载到 Y 盘）");

  // BitLocker on D:, and a backup on the system drive, are not candidates.
  const std::string notCandidate =
      ": 不适合直接做数据区（是系统盘 / 不是固定磁盘 / 启用了 BitLocker 之一），改走正常逻辑另选数据区并复制备份文件";
  machine.volumes.erase(L'Y');
  machine.volumes[L'D'] = {.disk = 0, .label = "Backup", .free = 300 * kGiB, .bitLocker = true};
  ClearLog();
  plan = Plan(40 * kGiB, false, L'D', 2 * kGiB);
  lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "T [INFO] 备份文件所在分区 D" + notCandidate);
  EXPECT_EQ(lines[2], "T [INFO] 暂存区候选分区排除: D: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）");
  EXPECT_EQ(lines[3], kNoOtherVolume);
  EXPECT_EQ(plan.dataDir, L"Y:\\$PelloraData$");
  machine.volumes.erase(L'Y');
  for (const wchar_t system : {L'C', L'c'}) {
    ClearLog();
    Plan(40 * kGiB, false, system, 2 * kGiB);
    EXPECT_EQ(LogLines().at(1), "T [INFO] 备份文件所在分区 C" + notCandidate);
    machine.volumes.erase(L'Y');
  }
}

TEST_F(PlannerTest, LeftoverStagePartitionsOfTheSystemDisk) {
  auto leftover = [](const wchar_t* id, uint64_t free, int disk = 0, const char* label = "PLSTAGE") {
    return test::SimLeftover{
        .volume = {.volumePath = std::wstring(L"\\\\?\\Volume{") + id + L"}\\", .label = label, .freeBytes = free,
                   .totalBytes = 20 * kGiB},
        .disk = disk};
  };
  machine.leftovers = {leftover(L"small", 3 * kGiB - 1), leftover(L"other-disk", 50 * kGiB, 1),
                       leftover(L"data", 50 * kGiB, 0, "Data"), leftover(L"stuck", 9 * kGiB),
                       leftover(L"good", 8 * kGiB)};
  machine.leftovers[3].mountFails = true;
  machine.gaps[0] = 100 * kGiB;  // not reached
  const StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", false, true);
  EXPECT_EQ(LogLines(), (Lines{kBootOnC, kNoOtherVolume, "T [WARN] 给孤儿分区分配盘符 Y: 失败，尝试下一个候选",
                               "T [INFO] 复用了之前残留的孤儿分区(卷标PLSTAGE)作为数据区: Y:\\$PelloraData$，剩余约8GB"}));
  EXPECT_EQ(machine.events, (Lines{"mkdir C:\\$PelloraData$Boot$", "mount \\\\?\\Volume{stuck}\\ at Y",
                                   "mount \\\\?\\Volume{good}\\ at Y", "mkdir Y:\\$PelloraData$"}));
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(PlannerTest, NoFreeLetterStopsTheLetterRoutes) {
  for (wchar_t l = L'D'; l <= L'Y'; ++l) machine.otherLetters.insert(l);
  machine.leftovers = {{.volume = {.volumePath = L"\\\\?\\Volume{a}\\", .label = "PLSTAGE", .freeBytes = 9 * kGiB}}};
  machine.gaps[0] = 30 * kGiB;
  const StagingPlan plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, "没有空闲盘符可用，无法创建数据暂存分区");
  EXPECT_EQ(LogLines(), (Lines{kBootOnC, kNoOtherVolume,
                               "T [WARN] 没有空闲盘符可用，无法在未分配空间上新建暂存分区，改尝试压缩系统盘"}));
  EXPECT_EQ(machine.events, (Lines{"mkdir C:\\$PelloraData$Boot$"}));
}

TEST_F(PlannerTest, UnallocatedSpaceFailureFallsThroughToTheShrink) {
  machine.gaps[0] = 5 * kGiB;
  fake.Add({.tool = "diskpart", .match = "*", .exitCode = 1, .output = "Virtual Disk Service error", .times = 1});
  const StagingPlan plan = Plan(12 * kGiB);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", true, false);
  const std::string create =
      "select disk 0\r\ncreate partition primary size=5120\r\nformat fs=ntfs quick label=\"PLSTAGE\"\r\n"
      "assign letter=\"Y\"\r\n";
  Lines expected = {kBootOnC, kNoOtherVolume,
                    "T [INFO] 检测到系统盘所在磁盘后面有约 5GB 未分配空间，尝试在上面新建 5GB 数据暂存分区（挂载到 Y 盘）"};
  AddScriptEntry(&expected, create, false);
  expected.pop_back();  // no output line: it failed
  expected.push_back("T [ERROR] diskpart 执行失败, exitCode=1\nVirtual Disk Service error");
  expected.push_back("T [WARN] 在未分配空间上新建分区失败，改尝试压缩系统盘");
  expected.push_back("T [INFO] 尝试压缩系统盘 12GB 创建数据暂存分区（挂载到 Y 盘）");
  AddScriptEntry(&expected, kShrinkScript12, false);
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(Scripts(), (std::vector<std::string>{create, kShrinkScript12}));

  // A gap one byte short of 3 GiB is not tried.
  machine.volumes.erase(L'Y');
  machine.volumes[L'C'].free = 50 * kGiB;
  machine.gaps[0] = 3 * kGiB - 1;
  ClearLog();
  Plan(12 * kGiB);
  EXPECT_EQ(LogLines().at(2), "T [INFO] 尝试压缩系统盘 12GB 创建数据暂存分区（挂载到 Y 盘）");
}

TEST_F(PlannerTest, DryRunLogsTheWholePathAndChangesNothing) {
  // Shrink.
  StagingPlan plan = Plan(12 * kGiB, true);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", true, false);
  Lines expected = {"T [INFO] 引导区直接使用系统盘: C:\\$PelloraData$Boot$",
                    "T [INFO] [dry-run] 跳过创建目录: C:\\$PelloraData$Boot$", kNoOtherVolume,
                    "T [INFO] 尝试压缩系统盘 12GB 创建数据暂存分区（挂载到 Y 盘）"};
  AddScriptEntry(&expected, kShrinkScript12, true);
  expected.push_back("T [INFO] [dry-run] 跳过创建目录: Y:\\$PelloraData$");
  EXPECT_EQ(LogLines(), expected);

  // Unallocated space.
  machine.gaps[0] = 20 * kGiB;
  ClearLog();
  plan = Plan(12 * kGiB, true);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", false, true);
  EXPECT_EQ(LogLines().back(), "T [INFO] 数据区使用未分配空间新建的分区: Y:\\$PelloraData$");
  EXPECT_NE(LogText().find("[dry-run] 跳过实际执行 diskpart"), std::string::npos);

  // A leftover partition: the mount is assumed.
  machine.leftovers = {{.volume = {.volumePath = L"\\\\?\\Volume{a}\\", .label = "PLSTAGE", .freeBytes = 4 * kGiB},
                        .mountFails = true}};
  ClearLog();
  plan = Plan(12 * kGiB, true);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"Y:\\$PelloraData$", false, true);
  EXPECT_EQ(LogLines(), (Lines{"T [INFO] 引导区直接使用系统盘: C:\\$PelloraData$Boot$",
                               "T [INFO] [dry-run] 跳过创建目录: C:\\$PelloraData$Boot$", kNoOtherVolume,
                               "T [INFO] [dry-run] 跳过实际分配盘符，假定给孤儿分区分配 Y: 成功",
                               "T [INFO] [dry-run] 跳过创建目录: Y:\\$PelloraData$",
                               "T [INFO] 复用了之前残留的孤儿分区(卷标PLSTAGE)作为数据区: Y:\\$PelloraData$，剩余约4GB"}));

  // Old data on our own partition: the cleanup is skipped and the volume used.
  machine.volumes[L'D'] = {.disk = 0, .label = "PLSTAGE", .free = 11 * kGiB};
  machine.oldData[L"D:\\$PelloraData$"] = 2 * kGiB;
  ClearLog();
  plan = Plan(12 * kGiB, true);
  ExpectPlan(plan, L"C:\\$PelloraData$Boot$", L"D:\\$PelloraData$", false, false);
  EXPECT_EQ(LogLines().at(3), "T [INFO] [dry-run] 跳过实际清空目录: D:\\$PelloraData$");

  EXPECT_TRUE(fake.Calls().empty());
  EXPECT_TRUE(machine.events.empty());
  EXPECT_EQ(machine.oldData.size(), 1u);
  EXPECT_EQ(machine.leftovers.size(), 1u);
}

TEST_F(PlannerTest, NoTargetOrNoDirectoryEndsThePlan) {
  machine.systemDrive = 0;
  StagingPlan plan = Plan(12 * kGiB);
  const std::string error =
      "无法定位目标系统盘，不能安全地准备暂存区——如果是在 PE 环境下、目标机器本来就没有可识别的系统（比如全新的空盘，"
      "或者系统已经损坏找不到 ntoskrnl.exe），需要先手动指定目标盘";
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, error);
  EXPECT_EQ(LogLines(), (Lines{"T [ERROR] " + error}));
  EXPECT_TRUE(machine.firmwareAsked.empty());

  machine.systemDrive = L'C';
  machine.unwritableDirectories = {L"C:\\$PelloraData$Boot$"};
  ClearLog();
  plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, "无法创建目录: C:\\$PelloraData$Boot$");
  EXPECT_EQ(LogLines(), (Lines{kBootOnC}));  // returned, not logged

  // A data directory that cannot be made after the partition was created: the partition stays.
  machine.unwritableDirectories = {L"Y:\\$PelloraData$"};
  plan = Plan(12 * kGiB);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.error, "无法创建目录: Y:\\$PelloraData$");
  EXPECT_FALSE(plan.shrankSystemVolume);
  EXPECT_EQ(machine.volumes.count(L'Y'), 1u);
}

// A directory that exists is made ours as a whole; a link in or at it, or an entry that cannot be protected, stops
// the plan with its own message.
TEST(StagingDirectoryTest, AnExistingDirectoryIsProtectedOrRefused) {
  const std::wstring path = L"C:\\$PelloraData$Boot$";
  const std::pair<base::FolderProtection, std::string> cases[] = {
      {{}, ""},
      {{base::kErrorLinkRefused, path}, "暂存目录是一个链接（junction 或符号链接），不往那里放文件: C:\\$PelloraData$Boot$"},
      {{base::kErrorLinkRefused, path + L"\\tools"},
       "暂存目录里有链接（junction、符号链接或硬链接），不往那里放文件: C:\\$PelloraData$Boot$\\tools"},
      {{ERROR_ACCESS_DENIED, path + L"\\pe.wim"}, "设置暂存目录权限失败: C:\\$PelloraData$Boot$\\pe.wim, error=5"},
  };
  for (const auto& [protection, message] : cases) {
    StagingMachine machine;
    std::vector<std::wstring> asked;
    machine.createDirectory = [](const std::wstring&) { return uint32_t{ERROR_ALREADY_EXISTS}; };
    machine.protectDirectory = [&](const std::wstring& p) {
      asked.push_back(p);
      return protection;
    };
    std::string error;
    EXPECT_EQ(CreateStagingDirectory(path, false, &error, machine), message.empty()) << message;
    EXPECT_EQ(error, message);
    EXPECT_EQ(asked, std::vector<std::wstring>{path});
  }
}

TEST_F(PlannerTest, FeasibilityOfEachRouteAlone) {
  auto check = [this] { return CheckStagingFeasibility(machine.Bind()); };
  machine.volumes[L'C'].free = 23 * kGiB;  // not more than 23 GiB
  machine.volumes[L'D'] = {.disk = 0, .free = 500 * kGiB, .bitLocker = true};
  machine.volumes[L'E'] = {.disk = 0, .free = 500 * kGiB, .bitLocker = true};
  StagingFeasibility f = check();
  EXPECT_FALSE(f.otherVolumeAvailable);
  EXPECT_FALSE(f.unallocatedAvailable);
  EXPECT_FALSE(f.systemShrinkable);
  EXPECT_EQ(f.bitLockerBlockedLetter, L'D');

  machine.volumes[L'C'].free = 23 * kGiB + 1;
  f = check();
  EXPECT_TRUE(f.systemShrinkable);
  EXPECT_FALSE(f.otherVolumeAvailable || f.unallocatedAvailable);
  EXPECT_EQ(f.bitLockerBlockedLetter, 0);

  machine.volumes[L'C'].free = 10 * kGiB;
  machine.gaps[0] = 3 * kGiB;
  f = check();
  EXPECT_TRUE(f.unallocatedAvailable);
  EXPECT_FALSE(f.otherVolumeAvailable || f.systemShrinkable);
  EXPECT_EQ(f.bitLockerBlockedLetter, 0);
  machine.gaps[0] = 3 * kGiB - 1;
  EXPECT_FALSE(check().unallocatedAvailable);

  machine.gaps.clear();
  machine.leftovers = {{.volume = {.label = "PLSTAGE", .freeBytes = 3 * kGiB}, .disk = 1}};
  EXPECT_FALSE(check().otherVolumeAvailable);  // another disk
  machine.leftovers[0].disk = 0;
  f = check();
  EXPECT_TRUE(f.otherVolumeAvailable);
  EXPECT_EQ(f.bitLockerBlockedLetter, 0);
  machine.leftovers[0].volume.freeBytes = 3 * kGiB - 1;
  EXPECT_FALSE(check().otherVolumeAvailable);
  machine.volumes[L'C'].disk = -1;  // unknown system disk: leftovers are not looked for
  machine.leftovers[0].disk = -1;
  machine.leftovers[0].volume.freeBytes = 9 * kGiB;
  EXPECT_FALSE(check().otherVolumeAvailable);

  machine.volumes[L'E'].bitLocker = false;
  f = check();
  EXPECT_TRUE(f.otherVolumeAvailable);
  EXPECT_EQ(f.bitLockerBlockedLetter, 0);

  machine.systemDrive = 0;
  f = check();
  EXPECT_FALSE(f.otherVolumeAvailable || f.unallocatedAvailable || f.systemShrinkable);
  EXPECT_EQ(f.bitLockerBlockedLetter, 0);
}

}  // namespace
}  // namespace pl::disks
