#include "pipeline/backup_restore.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "net/download.h"
#include "host_link.h"
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
  std::wstring restoreSource = kUserBackup;  // the fault matrix's
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
  ASSERT_TRUE(pl::test::WriteFileBytes(L"S:\\b.wim", OsImage(1, 1000)));
  const PipelineResult backup = Backup(true);
  EXPECT_EQ(backup, (PipelineResult{true, "", "", kData + L"\\task.ini", kBackupPath}));
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] [dry-run] 跳过实际下载，假定 PE 环境已就绪: S:\\$PelloraData$Boot$\\pe.wim",
                                   "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini"}));
  UseLog(L"restore.log");
  const PipelineResult restore = Restore(L"S:\\b.wim", true);
  EXPECT_EQ(restore, (PipelineResult{true, "", "", kData + L"\\task.ini", L"", "Windows 11 Pro 1（Professional，x64）"}));
  // The backup file is read (it changes nothing), as in a real restore.
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 备份文件检查通过，将部署第 1 号映像: Windows 11 Pro 1（Professional，x64）",
                                   "T [INFO] [dry-run] 跳过实际复制/下载，假定文件已就绪",
                                   "T [INFO] [dry-run] 跳过密钥/驱动备份",
                                   "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini"}));
  EXPECT_EQ(Restore(L"S:\\missing.wim", true).error,
            "备份文件检查失败（S:\\missing.wim）: 无法打开文件, GetLastError=2");
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(BcdeditArguments(), (Lines{"/enum {bootmgr} /v", "/enum {bootmgr} /v"}));  // only the boot manager's reads
  EXPECT_EQ(fake.Calls().size(), 2u);
  EXPECT_EQ(pl::test::ListFiles(systemFolder.path, L"*"), std::vector<std::wstring>{L"b.wim"});
  EXPECT_EQ(pl::test::ListFiles(dataFolder.path, L"*"), std::vector<std::wstring>{});
}

// Inside a PE a dry run starts no deployer either: each run logs its skips and asks nothing of tools, backend or
// files, and the deployer found beside the program is never started.
TEST_F(BackupRestoreTest, DryRunsInsideAPeStartNoDeployerAndChangeNothing) {
  ASSERT_TRUE(CreateDirectoryW(temp.Child(L"bin").c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(base::Utf8ToWide(PL_PE_STUB).c_str(), temp.Child(L"bin\\pl_pe.exe").c_str(), TRUE));
  pl::test::ScopedEnvironment record(L"PL_PE_STUB_RECORD", temp.Child(L"record.txt"));
  pl::test::ScopedPeMarker pe;
  ASSERT_TRUE(pl::test::WriteFileBytes(L"S:\\b.wim", OsImage(1, 0)));
  const config::OsImageEntry image{.key = "win11_pro", .displayName = "Windows 11 专业版", .url = "http://d/w.wim",
                                   .imageIndex = 6};
  const struct {
    const wchar_t* log;
    std::function<PipelineResult()> run;
    std::string skip;  // the run's own skip
  } cases[] = {
      {L"reinstall.log",
       [&] { return RunReinstall(image, kItems, resources, "0.1.0", true, Recorder(), {}, machine); },
       "T [INFO] [dry-run] 跳过密钥/驱动备份"},
      {L"backup.log", [&] { return Backup(true); },
       "T [INFO] [dry-run] 跳过实际下载，假定 PE 环境已就绪: S:\\$PelloraData$Boot$\\pe.wim"},
      {L"restore.log", [&] { return Restore(L"S:\\b.wim", true); }, "T [INFO] [dry-run] 跳过实际复制/下载，假定文件已就绪"},
  };
  const std::string taskSkip = "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini";
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.log));
    UseLog(c.log);
    const PipelineResult result = c.run();
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 当前运行在 WinPE 里，跳过下载 PE 环境/建临时引导项这一套，改成部署完直接拉起 pl_pe.exe",
                                     "T [INFO] [dry-run] 跳过创建目录: D:\\$PelloraData$", c.skip, taskSkip}));
    // Nothing after the run's last skip: the task left beside the log for the deployer's own dry run.
    EXPECT_TRUE(LogLines().back().starts_with("T [INFO] [dry-run] 任务内容留在日志目录，供 pl_pe.exe --dry-run 演练: "));
  }
  EXPECT_FALSE(FileExists(temp.Child(L"record.txt")));
  EXPECT_EQ(fake.Calls().size(), 0u);
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(pl::test::ListFiles(dataFolder.path, L"*"), std::vector<std::wstring>{});
}

// A restore of an earlier restore's copy, in a nearly full "PLSTAGE" data area: the planner empties the area of the
// earlier run's image but keeps the chosen file, which is then applied in place.
TEST_F(BackupRestoreTest, RestoreOfAFileInAFullStageAreaKeepsIt) {
  const std::wstring source = kData + L"\\restore_image.wim";
  const std::string bytes = OsImage(1, 4 * base::kMiB);
  ASSERT_TRUE(base::CreateDirectoryTree(kData));
  ASSERT_TRUE(pl::test::WriteFileBytes(source, bytes));
  ASSERT_TRUE(pl::test::MakeFileOfSize(kData + L"\\os_image.wim", 2 * base::kGiB));
  sim.volumes[L'D'] = {.disk = 0, .label = "PLSTAGE", .free = base::kGiB};
  const disks::StagingMachine& live = disks::LiveStagingMachine();
  machine.staging.leftoverSize = live.leftoverSize;
  machine.staging.clearLeftover = [this, &live](const std::wstring& directory, const base::KeepRule& keep) {
    sim.volumes[L'D'].free += 2 * base::kGiB;  // what the earlier image took
    return live.clearLeftover(directory, keep);
  };
  resources.drv = Serve("tools.zip", ToolsZip(true));
  pl::test::ScopedPeMarker pe;
  const PipelineResult result = Restore(source);
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(Read(source), bytes);
  EXPECT_FALSE(FileExists(kData + L"\\os_image.wim"));
  EXPECT_NE(Read(kData + L"\\task.ini").find("\r\nimagePath=" + WideToUtf8(source) + "\r\n"), std::string::npos);
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 数据区候选分区 D: 剩余空间不够，但是本工具自己创建的分区(卷标PLSTAGE)，里面有约2GB "
                                   "上次装机残留的数据，清空后复用",
                                   "T [INFO] 数据区跟备份文件同一分区，直接复用原路径，跳过复制: " + WideToUtf8(source)}));
}

// Writing a task disarms every other: the earlier task and wishlist on E: go, and so does a wishlist an earlier
// reinstall left beside the new task; a "$PelloraData$" that is a link (on F:) is left alone. A dry run only logs.
TEST_F(BackupRestoreTest, TheNewTaskIsTheOnlyOneArmed) {
  PutEarlierFiles();
  ASSERT_TRUE(pl::test::WriteFileBytes(kData + L"\\software_wishlist.ini", "old"));
  pl::test::TempDirectory linkedFolder, linkTarget;
  ASSERT_TRUE(pl::test::WriteFileBytes(linkTarget.Child(L"task.ini"), "not ours"));
  pl::test::ScopedHostLink link(linkedFolder.Child(L"$PelloraData$"), linkTarget.path);
  ASSERT_TRUE(link.made);
  pl::test::ScopedDrive linked(L'F', linkedFolder.path);
  sim.volumes[L'F'] = {.disk = 0, .free = base::kGiB};
  resources.drv = Serve("tools.zip", ToolsZip(true));
  pl::test::ScopedPeMarker pe;
  const Lines removals = {"删除先前留下的软件清单: D:\\$PelloraData$\\software_wishlist.ini",
                          "删除其它分区上先前的任务文件: E:\\$PelloraData$\\task.ini",
                          "删除其它分区上先前的软件清单: E:\\$PelloraData$\\software_wishlist.ini"};
  const std::string linkWarning = "T [WARN] 跳过 F:\\$PelloraData$：它是链接，不是本工具建的目录，不在里面删除任务文件";
  for (const bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun);
    UseLog(dryRun ? L"dry.log" : L"real.log");
    EXPECT_TRUE(Backup(dryRun).ok);
    Lines wanted = {dryRun ? "T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini"
                           : "T [INFO] 任务文件已写入: D:\\$PelloraData$\\task.ini"};
    for (const std::string& removal : removals) wanted.push_back(dryRun ? "T [INFO] [dry-run] 跳过" + removal
                                                                        : "T [INFO] 已" + removal);
    wanted.push_back(linkWarning);
    EXPECT_TRUE(InOrder(LogLines(), wanted));
    EXPECT_EQ(EarlierTaskIntact(), dryRun);
    EXPECT_EQ(EarlierTaskRemoved(), !dryRun);
    EXPECT_EQ(FileExists(kData + L"\\software_wishlist.ini"), dryRun);
  }
  EXPECT_EQ(Read(linkTarget.Child(L"task.ini")), "not ours");
  EXPECT_TRUE(UserBackupIntact());
}

// What each run asks the planner to make room for, seen in the shrink a machine without a second drive needs:
// reinstall 12 GiB, backup the system drive's used bytes (30 GiB) + 2 GiB, restore the file's size + 2 GiB.
TEST_F(BackupRestoreTest, EachRunAsksThePlannerForItsOwnSize) {
  sim.volumes.erase(L'D');
  ASSERT_TRUE(pl::test::MakeFileOfSize(L"S:\\big.wim", 5 * base::kGiB));
  {  // a whole WIM at its start, which the dry run reads
    const std::string wim = OsImage(1, 0);
    base::UniqueFileHandle file(CreateFileW(L"S:\\big.wim", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), wim.data(), static_cast<DWORD>(wim.size()), &written, nullptr));
  }
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

// The steps both runs share going wrong, for the fault matrices below (README: "The fault matrix").
using Step = FaultStep<BackupRestoreTest>;
const std::string kNotFound = ": HTTP 状态码异常: 404";
const std::string kNoDeployer =
    "直接执行 pl_pe 失败: 找不到 pl_pe.exe（工具包里没有，跟 pl_host.exe 同目录下也没有）";

std::function<void(BackupRestoreTest&)> Missing(const char* file) {
  return [file](BackupRestoreTest& t) { t.server.AddRule({.path = std::string("/files/") + file, .status = 404}); };
}

std::vector<Step> SharedSteps(const std::string& guidError) {
  return {
      {"NothingFails", [](BackupRestoreTest&) {}, ""},
      {"Session", [](BackupRestoreTest& t) { t.server.AddRule({.path = "/reset/api/v1/sessions", .status = 500}); },
       "", nullptr, true},
      {"Firmware", [](BackupRestoreTest& t) { t.machine.firmwareType = [] { return disks::FirmwareType::Unknown; }; },
       "", nullptr, true},
      {"Planner", [](BackupRestoreTest& t) { t.sim.unwritableDirectories.insert(kData); },
       "准备暂存区失败: 无法创建目录: D:\\$PelloraData$", "staging"},
      {"PeDownload", Missing("pe.wim"), "下载PE 环境失败" + kNotFound, "download"},
      {"BootFileDownload", Missing("boot.sdi"), "下载boot.sdi失败" + kNotFound, "download"},
      {"ToolsDownload", Missing("tools.zip"), "下载工具包失败" + kNotFound, "download", true},
      {"Extraction", [](BackupRestoreTest& t) { t.resources.drv = t.Serve("tools.zip", "not a zip at all"); },
       "解压工具包失败", "download", true, "解压驱动包失败"},
      {"BootEntry", [](BackupRestoreTest& t) { t.fake.Add({.tool = "bcdedit", .match = "/create /d*", .exitCode = 1}); },
       "部署 PE 引导失败: bcdedit /create 失败", "pe_deploy"},
      {"TargetVolume",
       [](BackupRestoreTest& t) { t.machine.volumeGuidPathOfDrive = [](wchar_t) { return std::wstring(); }; },
       guidError, "staging"},
      {"TaskFile",
       [](BackupRestoreTest&) { BlockTaskFile(kData); },
       "写任务文件失败", "staging"},
      {"DeployerStart",
       [](BackupRestoreTest& t) { t.resources.drv = t.Serve("tools.zip", RunFixture::ToolsZip(false)); },
       kNoDeployer, "pe_deploy", true, "", true},
  };
}

TEST(BackupFaultMatrix, NoStepLeavesTheMachineArmedOrTheUsersFilesTouched) {
  RunFaultMatrix(SharedSteps("无法获取系统盘的卷 GUID，无法安全定位要备份的分区"), [](BackupRestoreTest& t) {
    const PipelineResult result = t.Backup();
    return FaultOutcome{result.ok, result.error, kData + L"\\task.ini"};
  });
}

// The restore applies the user's backup in place, or a copy of "S:\\b.wim".
TEST(RestoreFaultMatrix, NoStepLeavesTheMachineArmedOrTheUsersFilesTouched) {
  const auto fromSystemDrive = [](BackupRestoreTest& t) {
    t.restoreSource = L"S:\\b.wim";
    ASSERT_TRUE(pl::test::WriteFileBytes(t.restoreSource, RunFixture::OsImage(1, 2000)));
  };
  std::vector<Step> steps = SharedSteps("无法获取系统盘的卷 GUID，无法安全定位目标分区");
  const std::vector<Step> own = {
      {"BackupCheck", [](BackupRestoreTest& t) { t.restoreSource = L"S:\\missing.wim"; },
       "备份文件检查失败（S:\\missing.wim）: 无法打开文件, GetLastError=2", "staging"},
      {"BackupLostInPlanning",
       [=](BackupRestoreTest& t) {
         fromSystemDrive(t);
         const auto createDirectory = t.machine.staging.createDirectory;
         t.machine.staging.createDirectory = [createDirectory](const std::wstring& path) {
           DeleteFileW(L"S:\\b.wim");
           return createDirectory(path);
         };
       },
       "备份文件检查失败（S:\\b.wim）: 准备暂存区之后找不到这个文件了", "staging"},
      {"Copy",
       [=](BackupRestoreTest& t) {
         fromSystemDrive(t);
         t.machine.copyFile = [](const std::wstring&, const std::wstring&, LPPROGRESS_ROUTINE, void*) {
           SetLastError(ERROR_DISK_FULL);
           return false;
         };
       },
       "复制备份文件失败, GetLastError=112", "download", true},
      // Inside a PE the key comes from the offline system's hive, which S: lacks.
      {"Key", [](BackupRestoreTest&) {}, "", nullptr, true},
      {"Drivers", [](BackupRestoreTest& t) { t.fake.Add({.tool = "dism", .exitCode = 1}); }, "", nullptr, true},
  };
  steps.insert(steps.end(), own.begin(), own.end());
  RunFaultMatrix(steps, [](BackupRestoreTest& t) {
    const PipelineResult result = t.Restore(t.restoreSource);
    return FaultOutcome{result.ok, result.error, kData + L"\\task.ini"};
  });
}

}  // namespace
}  // namespace pl::pipeline::test
