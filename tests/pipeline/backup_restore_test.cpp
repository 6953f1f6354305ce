#include "pipeline/backup_restore.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "base/constants.h"
#include "base/text.h"
#include "net/download.h"
#include "pe_marker.h"
#include "pipeline/reinstall.h"
#include "printers.h"
#include "run_fixture.h"
#include "sparse_file.h"

namespace pl::pipeline::test {
namespace {

using base::WideToUtf8;
using pl::test::FileExists;
using Lines = std::vector<std::string>;

const std::wstring kBackupPath = kData + L"\\backup\\pellora_backup_20250203_090507.wim";
const std::string kGuidLine = "targetVolumeGuid=\\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\\r\n";
const std::vector<config::InstallItem> kItems = {{"wx", "wx.exe", "/S", "http://d/wx.exe", "9e10", "微信"}};

std::vector<int> Slice(const std::vector<int>& values, size_t from, size_t count) {
  if (from + count > values.size()) return values;
  return std::vector<int>(values.begin() + from, values.begin() + from + count);
}

struct BackupRestoreTest : RunFixture {
  PipelineResult Backup(bool dryRun = false) {
    AnswerToolsAsUsual();
    return RunBackup(resources, "0.1.0", dryRun, Recorder(), machine);
  }
  PipelineResult Restore(const std::wstring& file, bool dryRun = false) {
    AnswerToolsAsUsual();
    return RunRestore(file, kItems, resources, "0.1.0", dryRun, Recorder(), machine);
  }
};

// Outside a PE a backup downloads the PE and its boot file only, and asks for a capture named by the local time.
TEST_F(BackupRestoreTest, BackupOutsideAPeAsksForACaptureNamedByTheClock) {
  const PipelineResult result = Backup();
  EXPECT_EQ(result, (PipelineResult{true, "", result.sessionId, kData + L"\\task.ini", kBackupPath}));
  EXPECT_EQ(Read(kData + L"\\task.ini"),
            "\xEF\xBB\xBF[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\n" + kGuidLine +
                "firmware=UEFI\r\nimagePath=\r\nimageIndex=1\r\ntoolsPath=\r\nstagingDir=D:\\$PelloraData$\r\n"
                "peBootId=" + kEntryId + "\r\nsessionId=" + result.sessionId +
                "\r\noemProductKey=\r\ndriverBackupPath=\r\nosDisplayName=\r\nmode=capture\r\n"
                "captureDestPath=D:\\$PelloraData$\\backup\\pellora_backup_20250203_090507.wim\r\nisRestore=0\r\n"
                "\r\n[install]\r\n");
  Lines files = Downloads();  // fetched in parallel: in no fixed order
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Lines{"/files/boot.sdi", "/files/pe.wim"}));
  EXPECT_EQ(pl::test::ListFiles(kData, L"*"), (std::vector<std::wstring>{L"backup", L"task.ini"}));
  EXPECT_EQ(BcdeditArguments(), BootEntryCommands(kEntryId));  // no key, no drivers: only the boot entry ran
  EXPECT_EQ(fake.Calls().size(), BootEntryCommands(kEntryId).size());
  EXPECT_EQ(Reports(), (Lines{"create backup", "event download started", "event download success",
                              "event pe_deploy started", "event pe_deploy success"}));
  EXPECT_TRUE(InOrder(LogLines(), {
                                      "T [INFO] 正在检测固件类型...",
                                      "T [INFO] 正在准备暂存空间...",
                                      "T [INFO] 正在并行下载 PE 环境与 boot.sdi...",
                                      "T [INFO] 正在部署 PE 启动环境...",
                                      "T [INFO] 正在写入备份任务文件...",
                                      "T [INFO] 待备份分区（当前系统盘 S:）卷 GUID: \\\\?\\Volume{5a0c1e2b-7d3f-"
                                      "4e61-9a4b-100000000000}\\",
                                      "T [INFO] 任务文件已写入: D:\\$PelloraData$\\task.ini",
                                  }));
  const std::vector<int> percents = Percents();
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(Slice(percents, 0, 3), (std::vector<int>{2, 3, 5}));
  EXPECT_EQ(Slice(percents, percents.size() - 3, 3), (std::vector<int>{60, 70, 97}));
}

// Inside a PE only the tools, unpacked, and the deployer started at once.
TEST_F(BackupRestoreTest, BackupInsideAPeFetchesOnlyTheToolsAndStartsTheDeployer) {
  resources.drv = Serve("tools.zip", ToolsZip(true));
  pl::test::ScopedEnvironment record(L"PL_PE_STUB_RECORD", temp.Child(L"record.txt"));
  pl::test::ScopedPeMarker pe;
  const PipelineResult result = Backup();
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(Downloads(), Lines{"/files/tools.zip"});
  EXPECT_EQ(BcdeditArguments(), Lines{});
  const std::string task = Read(kData + L"\\task.ini");
  EXPECT_NE(task.find("\r\npeBootId=\r\n"), std::string::npos);
  EXPECT_EQ(Read(temp.Child(L"record.txt")),
            "arguments=\r\ncwd=D:\\$PelloraData$\\tools\\bin\r\ntask=D:\\$PelloraData$\\task.ini\r\n" + task);
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 正在下载 pl_pe 执行组件...", "T [INFO] 正在解压...",
                                   "T [INFO] 正在写入备份任务文件...",
                                   "T [INFO] 正在执行备份（当前环境已经是 PE，无需重启）..."}));
  const std::vector<int> percents = Percents();
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(Slice(percents, percents.size() - 4, 4), (std::vector<int>{55, 55, 97, 98}));
}

// Where the backup file lies decides between a copy into the data area and applying it in place.
struct RestoreCase {
  const char* name;
  std::wstring file;       // created with 4 MiB unless `missing`
  bool inPe;               // spares the rows that are not about the boot entry its sixteen bcdedit runs
  std::wstring imagePath;  // in the task
  bool copied;
  std::string error;
  const char* failedStage = "download";
  bool copyFails = false;  // the file is there, the copy fails as on a full disk
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

struct RestoreTest : BackupRestoreTest, ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTest, CopiesOrReusesTheBackupFile) {
  const RestoreCase& c = GetParam();
  const std::string bytes = OsImage(1, 4 * base::kMiB);
  if (c.error.empty() || c.copyFails) {
    ASSERT_TRUE(pl::test::WriteFileBytes(c.file, bytes));
  }
  if (c.copyFails) {
    machine.copyFile = [](const std::wstring&, const std::wstring&, LPPROGRESS_ROUTINE, void*) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    };
  }
  if (c.inPe) resources.drv = Serve("tools.zip", ToolsZip(true));
  std::optional<pl::test::ScopedPeMarker> pe;
  if (c.inPe) pe.emplace();
  const PipelineResult result = Restore(c.file);
  EXPECT_EQ(result.error, c.error);
  if (!c.error.empty()) {
    const std::string stage = c.failedStage;
    EXPECT_EQ(FailureReports(), (Lines{"event " + stage + " failed " + c.error, "error " + stage + " " + c.error,
                                       "finish failed"}));
    EXPECT_FALSE(FileExists(kData + L"\\task.ini"));
    return;
  }
  EXPECT_EQ(FileExists(kData + L"\\restore_image.wim"), c.copied);
  EXPECT_EQ(Read(c.imagePath), bytes);
  const std::string task = Read(kData + L"\\task.ini");
  const std::string image = "imagePath=" + WideToUtf8(c.imagePath) + "\r\n";
  EXPECT_EQ(task, "\xEF\xBB\xBF[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\n" + kGuidLine + "firmware=UEFI\r\n" +
                      image + "imageIndex=1\r\ntoolsPath=D:\\$PelloraData$\\tools\r\nstagingDir=D:\\$PelloraData$\r\n"
                      "peBootId=" + (c.inPe ? "" : kEntryId) + "\r\nsessionId=" + result.sessionId +
                      "\r\noemProductKey=" + kProductKey +
                      "\r\ndriverBackupPath=D:\\$PelloraData$\\backup\\drivers\r\nosDisplayName=从备份还原\r\n"
                      "mode=deploy\r\ncaptureDestPath=\r\nisRestore=1\r\n\r\n[install]\r\n"
                      "wx=wx.exe,/S,http://d/wx.exe,9e10,微信\r\n");
  Lines files = Downloads();
  std::sort(files.begin(), files.end());
  const Lines expectedFiles =
      c.inPe ? Lines{"/files/tools.zip"} : Lines{"/files/boot.sdi", "/files/pe.wim", "/files/tools.zip"};
  EXPECT_EQ(files, expectedFiles);

  // The copy reports 2 to 15 as it goes, never logged; then 15, the downloads up to 40, 40, 42, 44 (and 60), 97.
  std::vector<int> copyPercents;
  Lines copyMessages;
  for (const ProgressEvent& event : progress) {
    if (event.message.rfind("正在复制备份文件: ", 0) != 0) continue;
    copyPercents.push_back(event.percent);
    copyMessages.push_back(event.message);
  }
  EXPECT_FALSE(InOrder(LogLines(), {"T [INFO] 正在复制备份文件: 100%"}));
  if (c.copied) {
    ASSERT_FALSE(copyPercents.empty());
    EXPECT_EQ(copyPercents.front(), 2);
    EXPECT_EQ(copyPercents.back(), 15);
    EXPECT_EQ(copyMessages.back(), "正在复制备份文件: 100%");
  } else {
    EXPECT_EQ(copyPercents, std::vector<int>{});
    EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 数据区跟备份文件同一分区，直接复用原路径，跳过复制: " +
                                     WideToUtf8(c.file)}));
  }
  const std::vector<int> percents = Percents();
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(Slice(percents, 0, 3), (std::vector<int>{1, 2, c.copied ? 2 : 15}));
  const std::vector<int> tail = c.inPe ? std::vector<int>{40, 40, 42, 44, 97, 98} : std::vector<int>{40, 40, 42, 44, 60, 97};
  EXPECT_EQ(Slice(percents, percents.size() - tail.size(), tail.size()), tail);
}

const std::string kMissingError = "备份文件检查失败（D:\\missing.wim）: 无法打开文件, GetLastError=2";

INSTANTIATE_TEST_SUITE_P(
    BackupFile, RestoreTest,
    ::testing::Values(
        RestoreCase{"CopiedFromTheSystemDrive", L"S:\\b.wim", false, kData + L"\\restore_image.wim", true, ""},
        // The planner put the data area on the file's own volume; a drive letter is the same in either case.
        RestoreCase{"ReusedOnTheDataDrive", L"D:\\b.wim", true, L"D:\\b.wim", false, ""},
        RestoreCase{"ReusedWhateverTheLetterCase", L"d:\\b.wim", true, L"d:\\b.wim", false, ""},
        RestoreCase{"CopiedWithoutADriveLetter", L"\\\\?\\D:\\b.wim", true, kData + L"\\restore_image.wim",
                    true, ""},
        // The file is checked before the planner makes room for its copy.
        RestoreCase{"MissingFileFailsTheCheck", L"D:\\missing.wim", true, L"", false, kMissingError, "staging"},
        RestoreCase{"FailedCopy", L"S:\\b.wim", true, L"", false, "复制备份文件失败, GetLastError=112", "download",
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// Dry-run: no session, no download, no copy, no tool, no file; the result names what would have been written.
TEST_F(BackupRestoreTest, DryRunsChangeNothing) {
  ASSERT_TRUE(pl::test::WriteFileBytes(L"S:\\b.wim", "backup"));
  const PipelineResult backup = Backup(true);
  EXPECT_EQ(backup, (PipelineResult{true, "", "", kData + L"\\task.ini", kBackupPath}));
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] [dry-run] 跳过实际下载，假定 PE 环境已就绪: S:\\$PelloraData$Boot$\\pe.wim",
                                   "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini"}));
  UseLog(L"restore.log");
  const PipelineResult restore = Restore(L"S:\\b.wim", true);
  EXPECT_EQ(restore, (PipelineResult{true, "", "", kData + L"\\task.ini", L""}));
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] [dry-run] 跳过实际复制/下载，假定文件已就绪",
                                   "T [INFO] [dry-run] 跳过密钥/驱动备份",
                                   "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini"}));
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(BcdeditArguments(), (Lines{"/enum {bootmgr}", "/enum {bootmgr}"}));  // only the boot manager's reads
  EXPECT_EQ(fake.Calls().size(), 2u);
  EXPECT_EQ(pl::test::ListFiles(systemFolder.path, L"*"), std::vector<std::wstring>{L"b.wim"});
  EXPECT_EQ(pl::test::ListFiles(dataFolder.path, L"*"), std::vector<std::wstring>{});
}

// What each run asks the planner to make room for, seen in the shrink a machine without a second drive needs:
// reinstall 12 GiB, backup the system drive's used bytes (30 GiB) + 2 GiB, restore the file's size + 2 GiB.
TEST_F(BackupRestoreTest, EachRunAsksThePlannerForItsOwnSize) {
  sim.volumes.erase(L'D');
  ASSERT_TRUE(pl::test::MakeFileOfSize(L"S:\\big.wim", 5 * base::kGiB));
  config::OsImageEntry image;
  const std::pair<const char*, std::function<PipelineResult()>> runs[] = {
      {"12GB", [&] { return RunReinstall(image, {}, resources, "0.1.0", true, {}, {}, machine); }},
      {"32GB", [&] { return Backup(true); }},
      {"7GB", [&] { return Restore(L"S:\\big.wim", true); }},
  };
  for (const auto& [size, run] : runs) {
    UseLog(base::Utf8ToWide(size) + L".log");
    EXPECT_TRUE(run().ok);
    EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 尝试压缩系统盘 " + std::string(size) +
                                     " 创建数据暂存分区（挂载到 Z 盘）"}));
  }
}

}  // namespace
}  // namespace pl::pipeline::test
