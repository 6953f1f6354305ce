#include "pipeline/reinstall.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

#include "base/file_tree.h"
#include "base/text.h"
#include "inspect/system_info.h"
#include "net/download.h"
#include "pe_marker.h"
#include "printers.h"
#include "reporting/report_session.h"
#include "run_fixture.h"

namespace pl::pipeline::test {
namespace {

using base::WideToUtf8;
using pl::test::FileExists;
using Lines = std::vector<std::string>;

constexpr char kZeroId[] = "{00000000-0000-0000-0000-000000000000}";
constexpr char kEdition[] = "Windows 11 Pro 6（Professional，x64）";

struct ReinstallTest : RunFixture {
  ReinstallTest() {
    image = {.key = "win11_pro", .displayName = "Windows 11 专业版", .imageIndex = 6};
    const config::ResourceRef served = Serve("win11.wim", OsImage(6, 60000));
    image.url = served.url;
    image.md5 = served.md5;
  }
  PipelineResult Run(bool dryRun = false) {
    AnswerToolsAsUsual();
    return RunReinstall(image, items, resources, "0.1.0", dryRun, Recorder(), wishlist, machine, ByteRecorder());
  }
  bool Downloaded(const std::wstring& path, const config::ResourceRef& resource) const {
    return net::Md5Equal(net::FileMd5Hex(path), resource.md5);
  }
  // "task.ini" as a run on this machine writes it, with the session and the parts that vary.
  std::string Task(const std::string& sessionId, const std::string& peBootId, const std::string& productKey) const {
    return "\xEF\xBB\xBF[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\n"
           "targetVolumeGuid=\\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\\r\nfirmware=UEFI\r\n"
           "imagePath=D:\\$PelloraData$\\os_image.wim\r\nimageIndex=6\r\ntoolsPath=D:\\$PelloraData$\\tools\r\n"
           "stagingDir=D:\\$PelloraData$\r\npeBootId=" + peBootId + "\r\nsessionId=" + sessionId +
           "\r\noemProductKey=" + productKey +
           "\r\ndriverBackupPath=D:\\$PelloraData$\\backup\\drivers\r\nosDisplayName=Windows 11 专业版\r\n"
           "mode=deploy\r\ncaptureDestPath=\r\nisRestore=0\r\n\r\n[install]\r\nwx=wx.exe,/S,http://d/wx.exe,9e10,微信\r\n";
  }

  config::OsImageEntry image;
  std::vector<config::InstallItem> items = {{"wx", "wx.exe", "/S", "http://d/wx.exe", "9e10", "微信"}};
  std::vector<std::string> wishlist = {"7-Zip 23.01 (x64)", "Notepad++"};
};

TEST_F(ReinstallTest, FullRunOutsideAPeStagesEverythingAndLeavesTheSessionOpen) {
  ASSERT_TRUE(pl::test::WriteFileBytes(temp.Child(L"Kavrin.exe"), "MZ installed copy"));
  machine.programPath = [this] { return temp.Child(L"KAVRIN.EXE"); };
  const PipelineResult result = Run();
  EXPECT_EQ(result, (PipelineResult{true, "", result.sessionId, kData + L"\\task.ini", L"", kEdition}));
  ASSERT_FALSE(result.sessionId.empty());

  Lines expected = {
      "T [INFO] 上报 session: " + result.sessionId,
      "T [INFO] 正在检测固件类型...",
      "T [INFO] 当前固件类型: UEFI",
      "T [INFO] 正在准备暂存空间...",
      "T [INFO] 引导区直接使用系统盘: S:\\$PelloraData$Boot$",
      "T [INFO] 数据区使用现有分区: D:\\$PelloraData$",
      "T [INFO] 引导区: S:\\$PelloraData$Boot$  数据区: D:\\$PelloraData$",
      "T [INFO] 正在并行下载系统镜像/PE环境/工具包...",
      "T [INFO] 正在检查系统镜像: D:\\$PelloraData$\\os_image.wim",
      "T [INFO] 系统镜像检查通过，将部署第 6 号映像: Windows 11 Pro 6（Professional，x64）",
      "T [INFO] 正在解压工具包...",
      "T [INFO] 解压 D:\\$PelloraData$\\tools.zip -> D:\\$PelloraData$\\tools",
      "T [INFO] zip 解压完成，共 3 个文件: D:\\$PelloraData$\\tools",
      "T [INFO] 驱动包解压完成，找到 2 个 .inf 文件",
      "T [INFO] 正在备份设备密钥...",
      "T [INFO] 通过 WMI OA3xOriginalProductKey 读到 OEM 出厂密钥",
      "T [INFO] 已备份设备内置密钥",
      "T [INFO] 正在备份当前驱动...",
      "T [INFO] Dism /Online /Export-Driver /Destination:\"D:\\$PelloraData$\\backup\\drivers\"",
      "T [INFO] The operation completed successfully.",
      "T [INFO] 写启动项前再校验一次 MD5: S:\\$PelloraData$Boot$\\pe.wim",
      "T [INFO] 写启动项前再校验一次 MD5: S:\\$PelloraData$Boot$\\boot.sdi",
      "T [INFO] 正在部署 PE 启动环境...",
  };
  for (const std::string& line : BootEntryLog(kEntryId, false)) expected.push_back(line);
  for (const char* line : {
           "T [INFO] 已把 Kavrin.exe 复制进暂存区，供新系统 setup 阶段安装: D:\\$PelloraData$\\Kavrin.exe",
           "T [INFO] 正在写入部署任务文件...",
           "T [INFO] 目标分区（当前系统盘 S:）卷 GUID: \\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\",
           "T [INFO] 目标分区标记文件已写入（PE 里靠它认出要操作的分区）: S:\\$PelloraTarget$.ini",
           "T [INFO] 任务文件已写入: D:\\$PelloraData$\\task.ini",
           "T [INFO] 已记录 2 项本机已安装软件: D:\\$PelloraData$\\software_wishlist.ini",
       }) {
    expected.push_back(line);
  }
  EXPECT_EQ(LogLines(), expected);

  // The files: verified downloads, the unpacked tools, the copy of the program, both hand-over files.
  EXPECT_TRUE(Downloaded(kBoot + L"\\pe.wim", resources.pe));
  EXPECT_TRUE(Downloaded(kBoot + L"\\boot.sdi", resources.sdi));
  EXPECT_TRUE(Downloaded(kData + L"\\os_image.wim", {image.url, image.md5}));
  EXPECT_TRUE(Downloaded(kData + L"\\tools.zip", resources.drv));
  EXPECT_EQ(Read(kData + L"\\tools\\drivers\\net\\e1000.inf"), "[Version]\r\n");
  EXPECT_EQ(Read(kData + L"\\Kavrin.exe"), "MZ installed copy");
  EXPECT_EQ(Read(kData + L"\\task.ini"), Task(result.sessionId, kEntryId, kProductKey));
  EXPECT_EQ(Read(kData + L"\\software_wishlist.ini"),
            "\xEF\xBB\xBF[wishlist]\r\ncount=2\r\nitem1=7-Zip 23.01 (x64)\r\nitem2=Notepad++\r\n");
  EXPECT_TRUE(FileExists(kData + L"\\backup\\drivers"));

  // The tools: the key through WMI, the running system's drivers, then the boot entry.
  const std::vector<pl::test::FakeToolCall> calls = fake.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].tool, "powershell");
  EXPECT_EQ(calls[1].arguments, "/Online /Export-Driver /Destination:\"D:\\$PelloraData$\\backup\\drivers\"");
  EXPECT_EQ(BcdeditArguments(), BootEntryCommands(kEntryId));

  // The session: stage events in order and the device facts; no finish, the deployer reports into it.
  EXPECT_EQ(Reports(), (Lines{"create win11_pro", "event download started", "event download success",
                              "event key_backup started", "event key_backup success", "event driver_backup started",
                              "event driver_backup success", "device", "event pe_deploy started",
                              "event pe_deploy success"}));
  const pl::test::DevServerReport device = server.Reports("device").at(0);
  EXPECT_EQ(device.Text("deviceId"), reporting::ReadMachineGuid());
  EXPECT_EQ(device.Text("firmwareType"), "UEFI");
  EXPECT_EQ(device.Text("cpu"), inspect::ReadProcessorName());
  EXPECT_EQ(device.Member("diskSizeGb"), std::to_string(DiskSizeGiB(L'S')));
  EXPECT_EQ(server.Reports("create").at(0).Text("clientVersion"), "0.1.0");

  // Progress: 1, 2, 5, the download from 5 to 78, then 78, 80, 82, 90, 97; never down.
  const std::vector<int> percents = Percents();
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  ASSERT_GE(percents.size(), 9u);
  EXPECT_EQ(std::vector<int>(percents.begin(), percents.begin() + 3), (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(std::vector<int>(percents.end() - 6, percents.end()), (std::vector<int>{78, 78, 80, 82, 90, 97}));

  // The bytes of the four files, all received now, and the group's end.
  uint64_t size = 0;
  for (const std::wstring& file : {kBoot + L"\\pe.wim", kBoot + L"\\boot.sdi", kData + L"\\os_image.wim",
                                   kData + L"\\tools.zip"}) {
    size += net::FileSizeOf(file);
  }
  ASSERT_GE(transfers.size(), 3u);
  EXPECT_EQ(transfers.front().received, 0u);
  EXPECT_EQ(transfers.end()[-2], (TransferBytes{size, size, size}));
  EXPECT_EQ(transfers.back(), TransferBytes{});
}

TEST_F(ReinstallTest, DryRunChangesNothingAndLogsTheWholeRun) {
  const PipelineResult result = Run(true);
  EXPECT_EQ(result, (PipelineResult{true, "", "", kData + L"\\task.ini", L""}));
  Lines expected = {
      "T [INFO] 正在检测固件类型...",
      "T [INFO] 当前固件类型: UEFI",
      "T [INFO] 正在准备暂存空间...",
      "T [INFO] 引导区直接使用系统盘: S:\\$PelloraData$Boot$",
      "T [INFO] [dry-run] 跳过创建目录: S:\\$PelloraData$Boot$",
      "T [INFO] [dry-run] 跳过创建目录: D:\\$PelloraData$",
      "T [INFO] 数据区使用现有分区: D:\\$PelloraData$",
      "T [INFO] 引导区: S:\\$PelloraData$Boot$  数据区: D:\\$PelloraData$",
      "T [INFO] [dry-run] 跳过实际下载，假定文件已在以下路径就绪:",
      "T [INFO]   系统镜像: D:\\$PelloraData$\\os_image.wim",
      "T [INFO]   PE: S:\\$PelloraData$Boot$\\pe.wim",
      "T [INFO]   boot.sdi: S:\\$PelloraData$Boot$\\boot.sdi",
      "T [INFO]   工具包: D:\\$PelloraData$\\tools",
      "T [INFO] [dry-run] 跳过系统镜像检查: D:\\$PelloraData$\\os_image.wim",
      "T [INFO] [dry-run] 跳过密钥/驱动备份",
      "T [INFO] 正在部署 PE 启动环境...",
  };
  for (const std::string& line : BootEntryLog(kZeroId, true)) expected.push_back(line);
  expected.push_back("T [INFO] 正在写入部署任务文件...");
  expected.push_back("T [INFO] 目标分区（当前系统盘 S:）卷 GUID: \\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\");
  expected.push_back("T [INFO] [dry-run] 跳过写目标分区标记文件: S:\\$PelloraTarget$.ini");
  expected.push_back("T [INFO] [dry-run] 跳过写任务文件: D:\\$PelloraData$\\task.ini");
  // The task the run would have written stays beside its log, for the deployer's own dry run.
  const std::wstring dryRunTask = temp.Child(L"pl_dry_run_task.ini");
  expected.push_back("T [INFO] [dry-run] 任务内容留在日志目录，供 pl_pe.exe --dry-run 演练: " + WideToUtf8(dryRunTask));
  expected.push_back("T [INFO] [dry-run] 跳过写软件清单: D:\\$PelloraData$\\software_wishlist.ini");
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(Read(dryRunTask), Task("", kZeroId, ""));
  // No session, no download, no file, no tool but the read of the boot manager.
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(BcdeditArguments(), Lines{"/enum {bootmgr} /v"});
  EXPECT_EQ(fake.Calls().size(), 1u);
  EXPECT_EQ(pl::test::ListFiles(systemFolder.path, L"*"), std::vector<std::wstring>{});
  EXPECT_EQ(pl::test::ListFiles(dataFolder.path, L"*"), std::vector<std::wstring>{});
  EXPECT_EQ(Percents(), (std::vector<int>{1, 2, 90, 97}));
}

// Inside a PE: the image and the tools only, no boot entry, the offline system's drivers, and the deployer started
// at the end from the tools tree, or else from beside the program, in its own folder.
struct PeCase {
  const char* name;
  bool inTools;
  int exitCode;
  bool oldDeployer = false;  // an earlier package's "old\pl_pe.exe" in the tools folder, which is emptied first
};

void PrintTo(const PeCase& c, std::ostream* os) { *os << c.name; }

struct ReinstallInPeTest : ReinstallTest, ::testing::WithParamInterface<PeCase> {};

TEST_P(ReinstallInPeTest, StartsTheDeployerInsteadOfARestart) {
  const PeCase& c = GetParam();
  const std::wstring folder = c.inTools ? kData + L"\\tools\\bin" : temp.Child(L"bin");
  const std::string deployer = WideToUtf8(folder) + "\\pl_pe.exe";
  if (c.inTools) {
    resources.drv = Serve("tools.zip", ToolsZip(true));
  } else {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(base::Utf8ToWide(PL_PE_STUB).c_str(), (folder + L"\\pl_pe.exe").c_str(), TRUE));
  }
  if (c.oldDeployer) {
    ASSERT_TRUE(base::CreateDirectoryTree(kData + L"\\tools\\old"));
    ASSERT_TRUE(CopyFileW(base::Utf8ToWide(PL_PE_STUB).c_str(), (kData + L"\\tools\\old\\pl_pe.exe").c_str(), TRUE));
  }
  pl::test::ScopedEnvironment record(L"PL_PE_STUB_RECORD", temp.Child(L"record.txt"));
  pl::test::ScopedEnvironment exitCode(L"PL_PE_STUB_EXIT", std::to_wstring(c.exitCode));
  pl::test::ScopedPeMarker pe;
  const PipelineResult result = Run();

  // A failed deployer leaves no task behind.
  const bool ok = c.exitCode == 0;
  const std::string error = ok ? "" : "直接执行 pl_pe 失败: pl_pe.exe 执行失败, exitCode=3";
  EXPECT_EQ(result, (PipelineResult{ok, error, result.sessionId, ok ? kData + L"\\task.ini" : L"", L"", kEdition}));
  EXPECT_EQ(FileExists(kData + L"\\task.ini"), ok);
  EXPECT_EQ(FileExists(kData + L"\\software_wishlist.ini"), ok);
  const std::string task = Task(result.sessionId, "", kProductKey);
  EXPECT_EQ(Read(temp.Child(L"record.txt")),
            "arguments=\r\ncwd=" + WideToUtf8(folder) + "\r\ntask=D:\\$PelloraData$\\task.ini\r\n" + task);

  Lines files = Downloads();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Lines{"/files/tools.zip", "/files/win11.wim"}));
  EXPECT_EQ(pl::test::ListFiles(kBoot, L"*"), std::vector<std::wstring>{});
  EXPECT_EQ(BcdeditArguments(), Lines{});
  EXPECT_EQ(fake.Calls().at(1).arguments,
            "/Image:S:\\ /Export-Driver /Destination:\"D:\\$PelloraData$\\backup\\drivers\"");

  Lines wanted = {
      "T [INFO] 当前运行在 WinPE 里，跳过下载 PE 环境/建临时引导项这一套，改成部署完直接拉起 pl_pe.exe",
      "T [INFO] 正在并行下载系统镜像/工具包...",
      c.oldDeployer ? "T [INFO] 已清空旧的工具目录: D:\\$PelloraData$\\tools" : "T [INFO] 正在解压工具包...",
      "T [INFO] 任务文件已写入: D:\\$PelloraData$\\task.ini",
      "T [INFO] 正在执行部署（当前环境已经是 PE，无需重启）...",
      c.inTools ? "T [INFO] 在工具包里找到 pl_pe.exe: " + deployer
                : "T [INFO] 工具包里没找到 pl_pe.exe，退回用跟 pl_host.exe 同目录下的这份: " + deployer,
      "T [INFO] 当前运行在 WinPE 里，直接拉起 pl_pe.exe 执行部署，不重启进另一个 PE: " + deployer,
  };
  if (!ok) {
    wanted.push_back("T [ERROR] " + error);
    wanted.push_back("T [INFO] 已删除本次写下的任务文件: D:\\$PelloraData$\\task.ini");
    wanted.push_back("T [INFO] 已删除本次写下的软件清单: D:\\$PelloraData$\\software_wishlist.ini");
  }
  EXPECT_TRUE(InOrder(LogLines(), wanted));
  EXPECT_EQ(LogLines().back(), wanted.back());
  EXPECT_FALSE(InOrder(LogLines(), {"T [INFO] 正在部署 PE 启动环境..."}));

  const std::vector<int> percents = Percents();
  EXPECT_EQ(std::vector<int>(percents.end() - 5, percents.end()), (std::vector<int>{78, 80, 82, 97, 98}));
  Lines failures;
  if (c.exitCode != 0) failures = {"error pe_deploy " + error, "finish failed"};
  EXPECT_EQ(FailureReports(), failures);
}

INSTANTIATE_TEST_SUITE_P(Deployer, ReinstallInPeTest,
                         ::testing::Values(PeCase{"FromTheToolsTree", true, 0},
                                           PeCase{"BesideTheProgramFailing", false, 3},
                                           PeCase{"NeverAnOldPackagesDeployer", false, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each fatal step fails the run with its message, its reports and exactly one "failed" finish, and leaves no
// task.ini; a failed driver export only warns. Rows past the downloads run inside a PE, which spares them the boot
// entry's sixteen bcdedit runs.
struct FailureCase {
  const char* name;
  bool inPe;
  std::function<void(ReinstallTest&)> arrange;
  std::string error;  // empty: the run ends well
  Lines failureReports;
  bool errorLogged = true;
  std::function<void(ReinstallTest&)> verify = [](ReinstallTest&) {};
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

struct ReinstallFailureTest : ReinstallTest, ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReinstallFailureTest, StopsWithItsMessageAndReports) {
  const FailureCase& c = GetParam();
  c.arrange(*this);
  std::optional<pl::test::ScopedPeMarker> pe;
  if (c.inPe) pe.emplace();
  const PipelineResult result = Run();
  EXPECT_EQ(result.ok, c.error.empty());
  EXPECT_EQ(result.error, c.error);
  EXPECT_FALSE(result.sessionId.empty());
  EXPECT_EQ(FailureReports(), c.failureReports);
  EXPECT_EQ(FileExists(kData + L"\\task.ini"), c.error.empty());
  if (!c.error.empty()) {
    EXPECT_EQ(InOrder(LogLines(), {"T [ERROR] " + c.error}), c.errorLogged);
  }
  c.verify(*this);
}

const std::string kDownloadError = "下载工具包失败: HTTP 状态码异常: 404";
const std::string kIndexError =
    "系统镜像检查失败（D:\\$PelloraData$\\os_image.wim）: 没有第 9 号映像（镜像里的映像序号: 1, 2, 3, 4, 5, 6）";
const std::string kGuidError = "无法获取系统盘的卷 GUID，无法安全定位目标分区";

INSTANTIATE_TEST_SUITE_P(
    Steps, ReinstallFailureTest,
    ::testing::Values(
        FailureCase{"Staging", false, [](ReinstallTest& t) { t.sim.unwritableDirectories.insert(kData); },
                    "准备暂存区失败: 无法创建目录: D:\\$PelloraData$",
                    {"error staging 无法创建目录: D:\\$PelloraData$", "finish failed"}},
        // The second job fails after five attempts; the first job's file stays.
        FailureCase{"SecondDownload", false,
                    [](ReinstallTest& t) { t.server.AddRule({.path = "/files/tools.zip", .status = 404}); },
                    kDownloadError,
                    {"event download failed " + kDownloadError, "error download " + kDownloadError, "finish failed"},
                    true,
                    [](ReinstallTest& t) {
                      EXPECT_EQ(t.pauses, (std::vector<uint32_t>{2000, 4000, 8000, 16000}));
                      EXPECT_TRUE(FileExists(kData + L"\\os_image.wim"));
                    }},
        FailureCase{"Extraction", false,
                    [](ReinstallTest& t) { t.resources.drv = t.Serve("tools.zip", "not a zip at all"); },
                    "解压工具包失败", {"event download failed 解压工具包失败", "finish failed"}, false},
        // The image lacks the catalog's edition: nothing is prepared for the restart.
        FailureCase{"ImageIndexMissing", false, [](ReinstallTest& t) { t.image.imageIndex = 9; }, kIndexError,
                    {"event download failed " + kIndexError, "error download " + kIndexError, "finish failed"}, true,
                    [](ReinstallTest& t) { EXPECT_EQ(t.BcdeditArguments(), Lines{}); }},
        FailureCase{"BootEntry", false,
                    [](ReinstallTest& t) { t.fake.Add({.tool = "bcdedit", .match = "/create /d*", .exitCode = 1}); },
                    "部署 PE 引导失败: bcdedit /create 失败",
                    {"event pe_deploy failed bcdedit /create 失败", "error pe_deploy bcdedit /create 失败",
                     "finish failed"}},
        FailureCase{"VolumeGuid", true,
                    [](ReinstallTest& t) { t.machine.volumeGuidPathOfDrive = [](wchar_t) { return std::wstring(); }; },
                    kGuidError, {"error staging " + kGuidError, "finish failed"}},
        FailureCase{"TaskFile", true,
                    [](ReinstallTest&) { BlockTaskFile(kData); },
                    "写任务文件失败", {"error staging 写任务文件失败", "finish failed"}},
        FailureCase{"DriverExportOnlyWarns", true,
                    [](ReinstallTest& t) {
                      t.fake.Add({.tool = "dism", .exitCode = 5});
                      t.resources.drv = t.Serve("tools.zip", RunFixture::ToolsZip(true));
                    },
                    "", {"event driver_backup failed", "error driver_backup Dism /Export-Driver 失败"}, true,
                    [](ReinstallTest& t) {
                      EXPECT_TRUE(RunFixture::InOrder(t.LogLines(), {"T [WARN] 导出当前驱动失败，跳过（不影响重装本身，"
                                                         "新系统还有工具包里的通用驱动工具兜底）",
                                                         "T [INFO] 任务文件已写入: D:\\$PelloraData$\\task.ini"}));
                      EXPECT_NE(t.Read(kData + L"\\task.ini").find("\r\ndriverBackupPath=D:\\$PelloraData$\\backup"
                                                                   "\\drivers\r\n"),
                                std::string::npos);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kMayRemain =
    "。PE 引导项没能撤销：开机菜单可能仍显示“Pellora PE”并默认进入它，请在“系统配置”（msconfig）的“引导”页删除该项，"
    "并把原来的系统设为默认";

// Every step of the reinstall going wrong in turn (README: "The fault matrix").
TEST(ReinstallFaultMatrix, NoStepLeavesTheMachineArmedOrTheUsersFilesTouched) {
  using Step = FaultStep<ReinstallTest>;
  const auto failing = [](std::vector<std::string> matches) {
    return [matches](ReinstallTest& t) {
      for (const std::string& match : matches) t.fake.Add({.tool = match.substr(0, match.find(' ')),
                                                          .match = match.substr(match.find(' ') + 1), .exitCode = 1});
    };
  };
  const auto missing = [](const char* file) {
    return [file](ReinstallTest& t) { t.server.AddRule({.path = std::string("/files/") + file, .status = 404}); };
  };
  const auto noGuid = [](ReinstallTest& t) { t.machine.volumeGuidPathOfDrive = [](wchar_t) { return std::wstring(); }; };
  const std::string notFound = ": HTTP 状态码异常: 404";
  const std::vector<Step> steps = {
      {"NothingFails", [](ReinstallTest&) {}, ""},
      {"Session", [](ReinstallTest& t) { t.server.AddRule({.path = "/reset/api/v1/sessions", .status = 500}); }, "",
       nullptr, true},
      {"Firmware", [](ReinstallTest& t) { t.machine.firmwareType = [] { return disks::FirmwareType::Unknown; }; }, "",
       nullptr, true},
      {"Planner", [](ReinstallTest& t) { t.sim.unwritableDirectories.insert(kData); },
       "准备暂存区失败: 无法创建目录: D:\\$PelloraData$", "staging"},
      {"ImageDownload", missing("win11.wim"), "下载系统镜像失败" + notFound, "download"},
      {"ToolsDownload", missing("tools.zip"), "下载工具包失败" + notFound, "download"},
      {"PeDownload", missing("pe.wim"), "下载PE 环境失败" + notFound, "download"},
      {"BootFileDownload", missing("boot.sdi"), "下载boot.sdi失败" + notFound, "download"},
      {"Extraction", [](ReinstallTest& t) { t.resources.drv = t.Serve("tools.zip", "not a zip at all"); },
       "解压工具包失败", "download", false, "解压驱动包失败"},
      {"ImageCheck", [](ReinstallTest& t) { t.image.imageIndex = 9; }, kIndexError, "download"},
      {"Key", failing({"powershell *"}), ""},
      {"Drivers", failing({"dism *"}), "", nullptr, true},
      {"BootEntry", failing({"bcdedit /create /d*"}), "部署 PE 引导失败: bcdedit /create 失败", "pe_deploy"},
      {"BootEntryHalfMadeAndNotDeleted", failing({"bcdedit /set * winpe yes", "bcdedit /delete *"}),
       "部署 PE 引导失败: 设置 winpe 失败" + kMayRemain, "pe_deploy", false, "设置 winpe 失败"},
      {"TargetVolume", noGuid, kGuidError, "staging"},
      {"TargetVolumeAndItsUndo",
       [&](ReinstallTest& t) {
         noGuid(t);
         failing({"bcdedit /delete *"})(t);
       },
       kGuidError + kMayRemain, "staging", false, kGuidError},
      {"TaskFile",
       [](ReinstallTest&) { BlockTaskFile(kData); },
       "写任务文件失败", "staging"},
      {"DeployerStart", [](ReinstallTest& t) { t.resources.drv = t.Serve("tools.zip", RunFixture::ToolsZip(false)); },
       "直接执行 pl_pe 失败: 找不到 pl_pe.exe（工具包里没有，跟 pl_host.exe 同目录下也没有）", "pe_deploy", true, "",
       true},
  };
  RunFaultMatrix(steps, [](ReinstallTest& t) {
    const PipelineResult result = t.Run();
    return FaultOutcome{result.ok, result.error, kData + L"\\task.ini"};
  });
}

// A run cut off during the download leaves the partial image behind; the next run asks only for the rest. Inside a
// PE, which spares both runs the boot entry.
TEST_F(ReinstallTest, TheNextRunResumesAnInterruptedDownload) {
  resources.drv = Serve("tools.zip", ToolsZip(true));
  server.AddRule({.path = "/files/win11.wim", .cutAfter = 1000});
  pl::test::ScopedPeMarker pe;
  const PipelineResult first = Run();
  EXPECT_EQ(first.error, "下载系统镜像失败: 下载中断: 已收到 5000 字节，应为 60000 字节");
  EXPECT_EQ(pauses, (std::vector<uint32_t>{2000, 4000, 8000, 16000}));
  EXPECT_EQ(net::FileSizeOf(kData + L"\\os_image.wim"), 5000u);
  EXPECT_FALSE(FileExists(kData + L"\\task.ini"));

  server.ClearRules();
  const size_t before = server.Requests().size();
  const PipelineResult second = Run();
  EXPECT_TRUE(second.ok) << second.error;
  EXPECT_EQ(Downloads(before), Lines{"/files/win11.wim bytes=5000-"});  // the tools were complete already
  EXPECT_TRUE(Downloaded(kData + L"\\os_image.wim", {image.url, image.md5}));
}

// "pe.wim" changed after its download was verified (while the drivers were exported, held here): no boot entry
// names it.
TEST_F(ReinstallTest, APeChangedAfterItsCheckStopsTheRunBeforeTheBootEntry) {
  const std::wstring release = temp.Child(L"release");
  fake.Add({.tool = "dism", .delayMs = 60000, .releaseFile = WideToUtf8(release)});
  PipelineResult result;
  std::thread run([&] { result = Run(); });
  bool held = false;  // the run is waiting in Dism
  for (const ULONGLONG until = GetTickCount64() + 120000; !held && GetTickCount64() < until; Sleep(20)) {
    const auto calls = fake.Calls();
    held = std::any_of(calls.begin(), calls.end(), [](const auto& call) { return call.tool == "dism"; });
  }
  EXPECT_TRUE(pl::test::WriteFileBytes(kBoot + L"\\pe.wim", "swapped"));
  EXPECT_TRUE(pl::test::WriteFileBytes(release, ""));
  run.join();
  ASSERT_TRUE(held);
  const std::string error = "写启动项前复查发现 S:\\$PelloraData$Boot$\\pe.wim 跟下载时校验过的不一样了（MD5 不符），"
                            "可能被别的程序改动过，不写启动项";
  EXPECT_EQ(result.error, error);
  EXPECT_EQ(BcdeditArguments(), Lines{});
  EXPECT_EQ(FailureReports(), (Lines{"error pe_deploy " + error, "finish failed"}));
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] 写启动项前再校验一次 MD5: S:\\$PelloraData$Boot$\\pe.wim",
                                   "T [ERROR] " + error}));
  EXPECT_FALSE(FileExists(kData + L"\\task.ini"));
}

TEST(OsImagePathTest, EsdWhenTheUrlHoldsItAnywhereInLowerCase) {
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"http://h/files/win11.esd", L"D:\\d\\os_image.esd"},
      {"http://h/get?name=win11.esd&part=1", L"D:\\d\\os_image.esd"},
      {"http://h/a.esd/win11.wim", L"D:\\d\\os_image.esd"},
      {".esd", L"D:\\d\\os_image.esd"},
      {"http://h/files/WIN11.ESD", L"D:\\d\\os_image.wim"},
      {"http://h/files/win11.wim", L"D:\\d\\os_image.wim"},
      {".es", L"D:\\d\\os_image.wim"},
      {"", L"D:\\d\\os_image.wim"},
  };
  for (const auto& [url, path] : cases) EXPECT_EQ(OsImagePath(L"D:\\d", url), path) << url;
}

}  // namespace
}  // namespace pl::pipeline::test
