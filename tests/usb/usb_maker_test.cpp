#include "usb/usb_maker.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "printers.h"
#include "run_fixture.h"
#include "usb/usb_format.h"
#include "usb_expectations.h"

namespace pl::usb::test {
namespace {

using base::WideToUtf8;
using Lines = std::vector<std::string>;

const std::wstring kStickBoot = L"U:\\$PelloraData$";
const std::wstring kStickData = L"V:\\$PelloraData$";

// The run machine of the reinstall tests, plus a stick on disk 3 (disk 0 holds the system). Its two partitions
// appear as mapped drives U: ("PELLORA_PE") and V: ("PELLORA_DATA") only once the label search has paused
// `bootAfter` and `dataAfter` times (counted over both searches; 0 = never), as freshly formatted partitions
// mount some time after diskpart returns. Other drives lie on no known disk unless `disksOfDrives` says so.
struct UsbRunTest : pipeline::test::RunFixture {
  UsbRunTest() {
    image = {.key = "win10_ltsc", .displayName = "Windows 10 企业版 LTSC", .imageIndex = 2};
    const config::ResourceRef served = Serve("win10.esd", OsImage(2, 50000));
    image.url = served.url;
    image.md5 = served.md5;
    usb = LiveUsbMachine();
    usb.describeDisk = [this](int32_t number) { return number == 3 ? stick : DiskDescriptor{}; };
    usb.systemDiskNumber = [this] { return systemDisk; };
    usb.labelPause = [this](uint32_t ms) {
      labelPauses.push_back(ms);
      if (labelPauses.size() == bootAfter) bootDrive.emplace(L'U', bootStick.path, "PELLORA_PE");
      if (labelPauses.size() == dataAfter) dataDrive.emplace(L'V', dataStick.path, "PELLORA_DATA");
    };
    usb.diskOfDrive = [this](wchar_t letter) {
      const auto found = disksOfDrives.find(letter);
      return found == disksOfDrives.end() ? -1 : found->second;
    };
    usb.firmwareType = [] { return disks::FirmwareType::Uefi; };
    usb.retryPause = [this](uint32_t ms) { pauses.push_back(ms); };
    fake.Add({.tool = "diskpart", .output = "DiskPart done."});
  }
  UsbMakeResult Run(bool dryRun = false) {
    return MakeUsbBootDisk(listed, image, items, resources, "0.1.0", dryRun, Recorder(), usb);
  }
  Lines Journal(const char* tool) const {
    Lines calls;
    for (const pl::test::FakeToolCall& call : fake.Calls()) {
      if (call.tool == tool) calls.push_back(call.tool == std::string("diskpart") ? call.script : call.arguments);
    }
    return calls;
  }

  config::OsImageEntry image;
  std::vector<config::InstallItem> items = {{"wx", "wx.exe", "/S", "http://d/wx.exe", "9e10", "微信"}};
  UsbDriveInfo listed = {3, "Kingston DataTraveler 3.0", 14.5};
  DiskDescriptor stick = {DiskAnswer::Described, kBusTypeUsb, "Kingston ", "DataTraveler 3.0",
                          14 * base::kGiB + base::kGiB / 2};
  int32_t systemDisk = 0;
  UsbMachine usb;
  std::map<wchar_t, int32_t> disksOfDrives = {{L'U', 3}, {L'V', 3}};
  size_t bootAfter = 1;
  size_t dataAfter = 1;
  std::vector<uint32_t> labelPauses;
  pl::test::TempDirectory bootStick;
  pl::test::TempDirectory dataStick;
  std::optional<pl::test::ScopedDrive> bootDrive;
  std::optional<pl::test::ScopedDrive> dataDrive;
};

// The wipe alone: the script diskpart received, the letters found by polling real drives, the pauses asked for.
struct FormatCase {
  const char* name;
  size_t bootAfter;
  size_t dataAfter;
  UsbFormatResult result;
  size_t pauses;
  bool olderStick;      // an older stick of ours on disk 5 as Q: and R:, present all along
  const char* warning;  // the one warning logged; null for none
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

struct UsbFormatTest : UsbRunTest, ::testing::WithParamInterface<FormatCase> {};

TEST_P(UsbFormatTest, WipesThenFindsThePartitionsByLabel) {
  const FormatCase& c = GetParam();
  bootAfter = c.bootAfter;
  dataAfter = c.dataAfter;
  pl::test::TempDirectory oldBoot, oldData;
  std::optional<pl::test::ScopedDrive> oldBootDrive, oldDataDrive;
  if (c.olderStick) {
    oldBootDrive.emplace(L'Q', oldBoot.path, "PELLORA_PE");
    oldDataDrive.emplace(L'R', oldData.path, "PELLORA_DATA");
    disksOfDrives[L'Q'] = 5;
    disksOfDrives[L'R'] = 5;
  }
  EXPECT_EQ(FormatUsbDisk(listed, false, usb), c.result);
  EXPECT_EQ(labelPauses, std::vector<uint32_t>(c.pauses, 500));
  Lines warnings;
  for (const std::string& line : LogLines()) {
    if (line.rfind("T [WARN]", 0) == 0) warnings.push_back(line);
  }
  EXPECT_EQ(warnings, c.warning ? Lines{c.warning} : Lines{});
  EXPECT_EQ(Journal("diskpart"), Lines{kDisk3Script});
}

INSTANTIATE_TEST_SUITE_P(
    Letters, UsbFormatTest,
    ::testing::Values(
        FormatCase{"PartitionsMountLate", 3, 5, {true, L'U', L'V', ""}, 5, false, nullptr},
        FormatCase{"BootPartitionNeverMounts", 0, 1,
                   {false, 0, 0, "格式化后未能定位到 U 盘引导分区的盘符"}, 10, false, nullptr},
        FormatCase{"DataPartitionNeverMounts", 2, 0,
                   {false, 0, 0, "格式化后未能定位到 U 盘数据分区的盘符"}, 12, false, nullptr},
        FormatCase{"AnOlderStickWithTheSameLabelsIsPassedOver", 2, 2, {true, L'U', L'V', ""}, 3, true,
                   "T [WARN] 跳过同样卷标的 Q: 盘（在磁盘 5 上），它不是刚格式化的 U 盘"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbRunTest, FullRunMakesTheStickAndLeavesTheSessionOpen) {
  bootAfter = 2;
  dataAfter = 3;
  const UsbMakeResult result = Run();
  EXPECT_EQ(result, (UsbMakeResult{true, "", result.sessionId}));
  ASSERT_FALSE(result.sessionId.empty());

  const std::string bcdboot = "bcdboot " + WideToUtf8(base::WindowsDirectoryPath()) + " /s U: /f ALL";
  Lines expected = {
      "上报 session: " + result.sessionId,
      "正在格式化 U 盘...",
      "格式化前复核 U 盘: 磁盘 3（Kingston DataTraveler 3.0，14 GB）仍是所选的 U 盘",
      "diskpart 脚本(格式化U盘，两个分区):\n" + std::string(kDisk3Script),
      "diskpart 脚本内容:\n" + std::string(kDisk3Script),
      "DiskPart done.",
      "U 盘已格式化，引导分区盘符: U  数据分区盘符: V",
      "正在并行下载系统镜像/PE环境/工具包到 U 盘...",
      "正在检查系统镜像: V:\\$PelloraData$\\os_image.esd",
      "系统镜像检查通过，将部署第 2 号映像: Windows 11 Pro 2（Professional，x64）",
      "正在解压工具包...",
      "解压 V:\\$PelloraData$\\tools.zip -> V:\\$PelloraData$\\tools",
      "zip 解压完成，共 3 个文件: V:\\$PelloraData$\\tools",
      "驱动包解压完成，找到 2 个 .inf 文件",
      "正在写入 U 盘引导文件...",
      bcdboot,
  };
  for (const std::string& command : BothStores('U')) expected.push_back("bcdedit " + command);
  expected.push_back("正在写入部署任务文件...");
  expected.push_back("任务文件已写入: V:\\$PelloraData$\\task.ini");
  std::string text;
  for (const std::string& line : expected) text += "T [INFO] " + line + "\r\n";
  EXPECT_EQ(LogText(), text);

  // The files on the two partitions; the task names only what the deployer cannot find on the stick itself.
  const auto downloaded = [](const std::wstring& path, const config::ResourceRef& resource) {
    return net::Md5Equal(net::FileMd5Hex(path), resource.md5);
  };
  EXPECT_TRUE(downloaded(kStickBoot + L"\\pe.wim", resources.pe));
  EXPECT_TRUE(downloaded(kStickBoot + L"\\boot.sdi", resources.sdi));
  EXPECT_TRUE(downloaded(kStickData + L"\\os_image.esd", {image.url, image.md5}));
  EXPECT_TRUE(downloaded(kStickData + L"\\tools.zip", resources.drv));
  EXPECT_EQ(Read(kStickData + L"\\tools\\drivers\\net\\e1000.inf"), "[Version]\r\n");
  EXPECT_EQ(Read(kStickData + L"\\task.ini"),
            "\xEF\xBB\xBF[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\ntargetVolumeGuid=\r\nfirmware=UEFI\r\n"
            "imagePath=\r\nimageIndex=2\r\ntoolsPath=\r\nstagingDir=\r\npeBootId=\r\nsessionId=" +
                result.sessionId +
                "\r\noemProductKey=\r\ndriverBackupPath=\r\nosDisplayName=Windows 10 企业版 LTSC\r\nmode=deploy\r\n"
                "captureDestPath=\r\nisRestore=0\r\n\r\n[install]\r\nwx=wx.exe,/S,http://d/wx.exe,9e10,微信\r\n");
  EXPECT_EQ(pl::test::ListFiles(kStickBoot, L"*").size(), 2u);

  EXPECT_EQ(Journal("diskpart"), Lines{kDisk3Script});
  EXPECT_EQ(Journal("bcdboot"), Lines{bcdboot.substr(8)});
  EXPECT_EQ(Journal("bcdedit"), BothStores('U'));
  EXPECT_EQ(Reports(), (Lines{"create win10_ltsc", "event usb_format started", "event usb_format success",
                              "event download started", "event download success", "event usb_boot started",
                              "event usb_boot success"}));
  EXPECT_EQ(server.Reports("create").at(0).Text("clientVersion"), "0.1.0");

  // Progress: 2, 8, the download from 8 to 78, then 78, 80, 97; never down.
  const std::vector<int> percents = Percents();
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(percents.at(1), 8);
  EXPECT_EQ(std::vector<int>(percents.end() - 4, percents.end()), (std::vector<int>{78, 78, 80, 97}));
}

TEST_F(UsbRunTest, DryRunWipesCreatesAndDownloadsNothing) {
  const UsbMakeResult result = Run(true);
  EXPECT_EQ(result, (UsbMakeResult{true, "", ""}));
  EXPECT_TRUE(InOrder(LogLines(), {"T [INFO] [dry-run] 跳过实际执行 diskpart，仅记录脚本内容。",
                                   "T [INFO] U 盘已格式化，引导分区盘符: Y  数据分区盘符: Z",
                                   "T [INFO] [dry-run] 跳过实际下载，假定文件已在 U 盘就绪: Y:\\$PelloraData$ / "
                                   "Z:\\$PelloraData$",
                                   "T [INFO] [dry-run] 跳过系统镜像检查: Z:\\$PelloraData$\\os_image.esd",
                                   "T [INFO] [dry-run] 跳过实际写引导",
                                   "T [INFO] [dry-run] 跳过写任务文件: Z:\\$PelloraData$\\task.ini"}));
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(fake.Calls().size(), 0u);
  EXPECT_EQ(labelPauses.size(), 0u);
  EXPECT_EQ(Percents(), (std::vector<int>{2, 80, 97}));
}

// Each failure: its message, its reports (only a failed or refused wipe finishes the session), and whether the
// disk was wiped at all. The extraction and the task file fail as in the reinstall, through the same steps.
struct RunFailureCase {
  const char* name;
  std::function<void(UsbRunTest&)> arrange;
  std::string error;
  Lines failureReports;
  bool wiped = true;
};

void PrintTo(const RunFailureCase& c, std::ostream* os) { *os << c.name; }

struct UsbRunFailureTest : UsbRunTest, ::testing::WithParamInterface<RunFailureCase> {};

TEST_P(UsbRunFailureTest, StopsWithItsMessageAndReports) {
  const RunFailureCase& c = GetParam();
  c.arrange(*this);
  const UsbMakeResult result = Run();
  EXPECT_EQ(result, (UsbMakeResult{false, c.error, result.sessionId}));
  EXPECT_FALSE(result.sessionId.empty());
  EXPECT_EQ(FailureReports(), c.failureReports);
  EXPECT_EQ(Journal("diskpart").size(), c.wiped ? 1u : 0u);
  if (!c.wiped) {
    EXPECT_EQ(fake.Calls().size(), 0u);
  }
  EXPECT_FALSE(pl::test::FileExists(kStickData + L"\\task.ini"));
  EXPECT_EQ(Journal("bcdedit"), Lines{});
}

const std::string kChanged = kDiskChangedMessage;
const Lines kRefused = {"event usb_format failed " + kChanged, "error usb_format " + kChanged, "finish failed"};
const std::string kIndexError =
    "系统镜像检查失败（V:\\$PelloraData$\\os_image.esd）: 没有第 3 号映像（镜像里的映像序号: 1, 2）";
const std::string kDownloadError = "下载PE 环境失败: HTTP 状态码异常: 404";

INSTANTIATE_TEST_SUITE_P(
    Steps, UsbRunFailureTest,
    ::testing::Values(
        // The check right before the wipe: another disk under the listed number is never wiped.
        RunFailureCase{"StickNoLongerOnUsb", [](UsbRunTest& t) { t.stick.busType = 11; }, kChanged, kRefused, false},
        RunFailureCase{"StickOfAnotherSize", [](UsbRunTest& t) { t.stick.lengthBytes = 64 * base::kGiB; }, kChanged,
                       kRefused, false},
        RunFailureCase{"DiskNowHoldsTheSystem", [](UsbRunTest& t) { t.systemDisk = 3; }, kChanged, kRefused, false},
        RunFailureCase{"Format",
                       [](UsbRunTest& t) {
                         t.fake.rules.clear();
                         t.fake.Add({.tool = "diskpart", .exitCode = 1});
                       },
                       "格式化 U 盘失败: diskpart 格式化 U 盘失败",
                       {"event usb_format failed diskpart 格式化 U 盘失败",
                        "error usb_format 格式化 U 盘失败: diskpart 格式化 U 盘失败", "finish failed"}},
        RunFailureCase{"Download",
                       [](UsbRunTest& t) { t.server.AddRule({.path = "/files/pe.wim", .status = 404}); },
                       kDownloadError, {"event download failed " + kDownloadError, "error download " + kDownloadError}},
        // The image is checked before the stick is made bootable.
        RunFailureCase{"ImageIndexMissing", [](UsbRunTest& t) { t.image.imageIndex = 3; }, kIndexError,
                       {"event download failed " + kIndexError, "error download " + kIndexError}},
        RunFailureCase{"BootFiles", [](UsbRunTest& t) { t.fake.Add({.tool = "bcdboot", .exitCode = 1}); },
                       "写入 U 盘引导文件失败",
                       {"event usb_boot failed 写入 U 盘引导文件失败", "error usb_boot 写入 U 盘引导文件失败"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every step of the stick going wrong in turn (README: "The fault matrix"). The machine's own boot configuration
// and an earlier task on its fixed volumes are never touched; after the wipe a failure leaves the session open.
TEST(UsbFaultMatrix, NoStepLeavesTheMachineArmedOrTheUsersFilesTouched) {
  using Step = pipeline::test::FaultStep<UsbRunTest>;
  const auto missing = [](const char* file) {
    return [file](UsbRunTest& t) { t.server.AddRule({.path = std::string("/files/") + file, .status = 404}); };
  };
  const std::string notFound = ": HTTP 状态码异常: 404";
  const std::vector<Step> steps = {
      {"NothingFails", [](UsbRunTest&) {}, ""},
      {"Session", [](UsbRunTest& t) { t.server.AddRule({.path = "/reset/api/v1/sessions", .status = 500}); }, ""},
      {"Firmware", [](UsbRunTest& t) { t.usb.firmwareType = [] { return disks::FirmwareType::Unknown; }; }, ""},
      {"WipeRefused", [](UsbRunTest& t) { t.stick.busType = 11; }, kChanged, "usb_format"},
      {"Format",
       [](UsbRunTest& t) {
         t.fake.rules.clear();
         t.fake.Add({.tool = "diskpart", .exitCode = 1});
       },
       "格式化 U 盘失败: diskpart 格式化 U 盘失败", "usb_format"},
      {"ImageDownload", missing("win10.esd"), "下载系统镜像失败" + notFound, "download", false, "", false, false},
      {"PeDownload", missing("pe.wim"), kDownloadError, "download", false, "", false, false},
      {"BootFileDownload", missing("boot.sdi"), "下载boot.sdi失败" + notFound, "download", false, "", false, false},
      {"ToolsDownload", missing("tools.zip"), "下载工具包失败" + notFound, "download", false, "", false, false},
      {"Extraction", [](UsbRunTest& t) { t.resources.drv = t.Serve("tools.zip", "not a zip at all"); },
       "解压工具包失败", "download", false, "解压驱动包失败", false, false},
      {"ImageCheck", [](UsbRunTest& t) { t.image.imageIndex = 3; }, kIndexError, "download", false, "", false, false},
      {"BootFiles", [](UsbRunTest& t) { t.fake.Add({.tool = "bcdboot", .exitCode = 1}); }, "写入 U 盘引导文件失败",
       "usb_boot", false, "", false, false},
      {"TaskFile",
       [](UsbRunTest& t) { pipeline::test::BlockTaskFile(t.dataStick.Child(L"$PelloraData$")); },
       "写任务文件失败", "staging", false, "", false, false},
  };
  pipeline::test::RunFaultMatrix(steps, [](UsbRunTest& t) {
    const UsbMakeResult result = t.Run();
    return pipeline::test::FaultOutcome{result.ok, result.error, kStickData + L"\\task.ini", false};
  });
}

}  // namespace
}  // namespace pl::usb::test
