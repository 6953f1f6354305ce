// Whole jobs under Wine, from the host's run to the new system's first start: the host prepares the simulated
// machine, the machine "restarts" into the PE (other letters, the MiniNT key), the real pl_pe.exe deploys, restores,
// captures or installs from a stick, and the new system's SetupComplete.cmd runs the setup stage. Checked by what the
// tools were asked to do, the files left behind, the logs and what the stand-in heard.
#include <windows.h>
#include <knownfolders.h>

#include <gtest/gtest.h>

#include <optional>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/transfer_line.h"
#include "deploy/deployer_window.h"
#include "deploy_fixture.h"
#include "install_state.h"
#include "net/download.h"
#include "pipeline/backup_restore.h"
#include "pipeline/reinstall.h"
#include "tools/tool_runner.h"
#include "usb/usb_maker.h"

namespace pl::deploy::test {
namespace {

using base::WideToUtf8;
using Lines = std::vector<std::string>;
using pipeline::test::kEntryId;
using pipeline::test::kProductKey;

const std::string kEntry = kEntryId;
const std::wstring kScripts = L"Windows\\Setup\\Scripts";
const std::string kImageOwnHook = "@echo the image's own\r\n";

// Log lines as read back: "T [INFO] " before each, unless it names its own level ("[WARN] ...").
Lines Logged(std::initializer_list<std::string> lines) {
  Lines logged;
  for (const std::string& line : lines) logged.push_back(line.rfind("[WARN] ", 0) == 0 ? "T " + line : "T [INFO] " + line);
  return logged;
}

struct JourneyTest : DeployFixture {
  JourneyTest() {
    image = {.key = "win11_pro", .displayName = "Windows 11 专业版", .imageIndex = 6};
    const config::ResourceRef served = Serve("win11.wim", OsImage(6, 60000));
    image.url = served.url;
    image.md5 = served.md5;
  }
  std::wstring Target(const std::wstring& path) const { return systemFolder.Child(path); }
  std::wstring Setup(const std::wstring& name) const { return Target(kScripts + L"\\pl\\" + name); }
  std::string SetupText(const std::string& session, const std::string& key, const std::string& items) const {
    return "\xEF\xBB\xBF[deploy]\r\ntargetDisk=0\r\ntargetPartition=0\r\ntargetVolumeGuid=\r\nfirmware=\r\n"
           "imagePath=\r\nimageIndex=1\r\ntoolsPath=\r\nstagingDir=\r\npeBootId=\r\nsessionId=" + session +
           "\r\noemProductKey=" + key + "\r\ndriverBackupPath=\r\nosDisplayName=" + image.displayName +
           "\r\nmode=deploy\r\ncaptureDestPath=\r\nisRestore=0\r\n\r\n[install]\r\n" + items;
  }
  // The deployer's stage events of a route that went through, and its finish.
  static Lines Succeeded(std::initializer_list<const char*> stages) {
    Lines reports;
    for (const char* stage : stages) {
      reports.push_back(std::string("event ") + stage + " started");
      reports.push_back(std::string("event ") + stage + " success");
    }
    reports.push_back("finish success");
    return reports;
  }

  config::OsImageEntry image;
};

// The host's reinstall with an item, the key, drivers, a wishlist and the installed copy; then the deployer, its
// window photographed while Dism works; then the new system's first start.
TEST_F(JourneyTest, ReinstallFromTheFirstClickToTheNewSystemsFirstStart) {
  std::string installer;
  ASSERT_TRUE(pl::test::ReadFileBytes(base::Utf8ToWide(PL_FAKE_TOOL), &installer));
  const config::ResourceRef wx = Serve("wx.exe", installer);
  const std::string item = "wx=wx.exe,/S," + wx.url + "," + wx.md5 + ",微信\r\n";
  ASSERT_TRUE(pl::test::WriteFileBytes(temp.Child(L"Kavrin.exe"), "MZ installed copy"));
  machine.programPath = [this] { return temp.Child(L"Kavrin.exe"); };
  AnswerToolsAsUsual();
  const pipeline::PipelineResult host =
      pipeline::RunReinstall(image, {{"wx", "wx.exe", "/S", wx.url, wx.md5, "微信"}}, resources, "0.1.0", false,
                             Recorder(), {"7-Zip 23.01 (x64)"}, machine);
  ASSERT_TRUE(host.ok) << host.error;
  const std::string session = host.sessionId;
  // What the exported drivers and the image would have put there.
  ASSERT_TRUE(pl::test::WriteFileBytes(dataFolder.Child(L"$PelloraData$\\backup\\drivers\\net.inf"), "[Version]"));
  ASSERT_TRUE(base::CreateDirectoryTree(Target(kScripts)));
  ASSERT_TRUE(pl::test::WriteFileBytes(Target(kScripts + L"\\SetupComplete.cmd"), kImageOwnHook));

  RestartIntoPe();
  // Dism holds on after its progress until the window has been photographed.
  const std::wstring release = temp.Child(L"release");
  fake.Add({.tool = "dism", .match = "/Apply-Image *", .output = kProgress, .delayMs = 240000,
            .releaseFile = WideToUtf8(release)});
  AnswerPeToolsAsUsual();
  StartDeployer();
  HWND window = pl::test::WaitForWindow(kDeployerWindowClass, deployer.processId, 120000);
  ASSERT_NE(window, nullptr);
  // Dism's 100% of the image, as the host's line under a download's bar reads.
  const std::wstring whole = base::SizeText(net::FileSizeOf(dataFolder.Child(L"$PelloraData$\\os_image.wim")));
  const std::wstring applied = L"已应用 " + whole + L" / " + whole;
  for (int waited = 0;
       waited < 240000 && !pl::test::ControlText(window, kDeployerDetailId).starts_with(applied);
       waited += 50) {
    Sleep(50);
  }
  EXPECT_EQ(pl::test::ControlText(window, kDeployerStepId), L"正在应用系统镜像...");
  Sleep(300);  // the last paint
  pl::test::SaveScreenshot(L"deployer-apply.png");
  ASSERT_TRUE(pl::test::WriteFileBytes(release, "go"));
  ASSERT_EQ(DeployerExit(), 0);

  EXPECT_EQ(PeCalls(), (Lines{
                           "bcdedit /enum {current} /v",
                           "format G: /FS:NTFS /Q /X /Y /V:Windows",
                           "dism /Apply-Image /ImageFile:\"H:\\$PelloraData$\\os_image.wim\" /Index:6 /ApplyDir:G:\\",
                           "bcdedit /enum {bootmgr}",
                           "bcdboot G:\\Windows /s G: /f UEFI",
                           "dism /Image:G:\\ /Add-Driver /Driver:\"H:\\$PelloraData$\\backup\\drivers\" /Recurse",
                           "bcdedit /delete " + kEntry,
                           "bcdedit /timeout 30",
                       }));
  EXPECT_EQ(PeLog(), Logged({
                         "pl_pe.exe 启动，模式: execute",
                         "正在查找任务文件...",
                         "找到任务文件: H:\\$PelloraData$\\task.ini（mode=deploy, peBootId=" + kEntry +
                             ", sessionId=" + session + "）",
                         "当前 PE 的启动项: " + kEntry,
                         "执行任务: H:\\$PelloraData$\\task.ini",
                         "宿主写任务时暂存区在 D:，这个 PE 里它是 H:，任务里的路径已经换到 H: 上",
                         "[WARN] 标记文件里记的原默认启动项 {current} 不是具体的启动项标识，在 PE 里它指的不是原来的系统，"
                         "不拿它恢复默认项",
                         "部署: Windows 11 专业版，镜像 H:\\$PelloraData$\\os_image.wim 第 6 号映像，固件 UEFI",
                         "正在检查系统镜像...",
                         "系统镜像检查通过，将部署第 6 号映像: Windows 11 Pro 6（Professional，x64）",
                         "正在确认目标分区...",
                         "目标分区: G:（认出方式: 标记文件）",
                         "正在格式化 G:...",
                         "format G: /FS:NTFS /Q /X /Y /V:Windows",
                         "Format complete.",
                         "正在应用系统镜像（第 6 号映像）...",
                         "Dism /Apply-Image /ImageFile:\"H:\\$PelloraData$\\os_image.wim\" /Index:6 /ApplyDir:G:\\",
                         "应用镜像进度: 100%",
                         "The operation completed successfully.",
                         "正在写入引导文件...",
                         "启动管理器所在的系统分区: G:，按任务的固件类型 UEFI 写引导文件",
                         "bcdboot G:\\Windows /s G: /f UEFI",
                         "正在注入驱动（1 个 .inf）...",
                         "Dism /Image:G:\\ /Add-Driver /Driver:\"H:\\$PelloraData$\\backup\\drivers\" /Recurse",
                         "正在准备新系统的首次启动设置...",
                         "新系统首次启动设置放进 G:\\Windows\\Setup\\Scripts\\pl: 1 个软件，有产品密钥，2 个随带文件",
                         "镜像里原有的 SetupComplete.cmd 先挪到 G:\\Windows\\Setup\\Scripts\\pl\\SetupComplete.original.cmd"
                         "，首次启动设置做完后放回原处并执行",
                         "已挂上 SetupComplete.cmd: G:\\Windows\\Setup\\Scripts\\SetupComplete.cmd",
                         "正在清理 PE 启动项...",
                         "bcdedit /delete " + kEntry,
                         "bcdedit /timeout 30",
                         "已删除: H:\\$PelloraData$\\task.ini",
                         "已删除: G:\\$PelloraTarget$.ini",
                         "部署完成",
                         "pl_pe.exe 结束，退出码 0",
                     }));
  Lines reports = Succeeded({"deploy_image_check", "deploy_target", "deploy_format", "deploy_apply",
                             "deploy_boot_files", "deploy_drivers", "deploy_setup_stage"});
  EXPECT_EQ(PeReports(), reports);
  // The host's reports came first, into the same session.
  EXPECT_EQ(Reports().front(), "create win11_pro");
  EXPECT_EQ(Read(Setup(L"setup.ini")), SetupText(session, kProductKey, item));
  EXPECT_EQ(Read(Setup(L"Kavrin.exe")), "MZ installed copy");
  EXPECT_EQ(Read(Setup(L"pl_pe.exe")), Read(base::Utf8ToWide(PL_PE_EXE)));
  EXPECT_EQ(Read(Setup(L"software_wishlist.ini")), "\xEF\xBB\xBF[wishlist]\r\ncount=1\r\nitem1=7-Zip 23.01 (x64)\r\n");
  EXPECT_EQ(Read(Setup(L"SetupComplete.original.cmd")), kImageOwnHook);
  EXPECT_EQ(Read(Target(kScripts + L"\\SetupComplete.cmd")),
            "@rem Pellora: the new system's setup stage, run once; it puts back what was here before.\r\n"
            "@\"%~dp0pl\\pl_pe.exe\" --setup & exit /b 0\r\n");
  EXPECT_FALSE(pl::test::FileExists(dataFolder.Child(L"$PelloraData$\\task.ini")));
  EXPECT_FALSE(pl::test::FileExists(systemFolder.Child(L"$PelloraTarget$.ini")));

  // The new system's first start: Windows runs the hook, as SYSTEM, before anyone logs on.
  pe.reset();
  const size_t before = fake.Calls().size();
  const tools::ToolRunResult hook = tools::RunToolCaptured(
      tools::SystemToolPath(L"cmd.exe"), L"/c \"G:\\Windows\\Setup\\Scripts\\SetupComplete.cmd\"", L"G:\\", 240000);
  EXPECT_EQ(hook.exitCode, 0u) << hook.output;
  const std::vector<pl::test::FakeToolCall> calls = fake.Calls();
  ASSERT_EQ(calls.size(), before + 2);
  const std::string system = WideToUtf8(base::SystemDirectoryPath());
  EXPECT_EQ(calls[before].arguments, "//nologo \"" + system + "\\slmgr.vbs\" /ipk " + kProductKey);
  EXPECT_EQ(calls[before + 1].tool + " " + calls[before + 1].arguments, "wx /S");
  EXPECT_EQ(calls[before + 1].workingDirectory, "G:\\Windows\\Setup\\Scripts\\pl\\downloads");
  const Lines hookLines = Logged({
      "SetupComplete.cmd 启动了新系统首次启动设置: pl_pe.exe --setup",
      "已把镜像原有的 SetupComplete.cmd 放回原处，现在执行它",
      "镜像原有的 SetupComplete.cmd 执行结束, exitCode=0，输出: the image's own",
      "新系统首次启动设置结束，退出码 0",
  });
  EXPECT_EQ(pl::test::LogLinesWithoutTime(Read(Setup(L"setupcomplete.log"))), hookLines);
  EXPECT_EQ(pl::test::LogLinesWithoutTime(Read(Setup(L"pl_setup.log"))),
            Logged({
                "SetupComplete.cmd 启动了新系统首次启动设置: pl_pe.exe --setup",
                "新系统: Windows 11 专业版，上报 session: " + session,
                "安装产品密钥（slmgr.vbs /ipk，密钥尾号 3V66T）",
                "产品密钥已安装",
                "下载 微信: " + wx.url,
                "安装 微信: \"G:\\Windows\\Setup\\Scripts\\pl\\downloads\\wx.exe\" /S",
                "微信 的安装程序结束, exitCode=0",
                "软件安装结束: 1 个装上，0 个没装上",
                "已复制到安装目录: C:\\ProgramData\\Pellora\\Kavrin.exe",
                "已安装 Kavrin.exe（桌面快捷方式和卸载项）",
                "已把 1 项软件清单放到公共桌面: C:\\users\\Public\\Desktop\\原系统软件清单.txt",
                hookLines[1].substr(9),
                hookLines[2].substr(9),
                "已清理下载的安装程序（还被占用的重启后删除）",
                hookLines[3].substr(9),
            }));
  EXPECT_EQ(Read(Target(kScripts + L"\\SetupComplete.cmd")), kImageOwnHook);
  EXPECT_FALSE(pl::test::FileExists(Setup(L"setup.ini")));
  const std::wstring wishlist = base::KnownFolderPath(FOLDERID_PublicDesktop) + L"\\原系统软件清单.txt";
  EXPECT_EQ(Read(wishlist), "\xEF\xBB\xBF下面这些软件是原来的系统里装过、这次没有自动装上的，需要的话请自行下载安装：\r\n"
                            "\r\n7-Zip 23.01 (x64)\r\n");
  DeleteFileW(wishlist.c_str());
  EXPECT_EQ(Read(L"C:\\ProgramData\\Pellora\\Kavrin.exe"), "MZ installed copy");
  EXPECT_TRUE(pl::test::RemoveInstallState());
  for (const char* stage : {"setup_product_key", "setup_software", "setup_self_install", "setup_wishlist"}) {
    reports.push_back(std::string("event ") + stage + " started");
    reports.push_back(std::string("event ") + stage + " success");
  }
  reports.push_back("event setup_finish success");
  EXPECT_EQ(PeReports(), reports);
}

// A restore: the backup applied at index 1, no drivers and no key, nothing for a setup stage.
TEST_F(JourneyTest, RestoreAppliesTheBackupWithoutDriversOrKey) {
  ASSERT_TRUE(pl::test::WriteFileBytes(temp.Child(L"backup.wim"), OsImage(1, 30000)));
  AnswerToolsAsUsual();
  const pipeline::PipelineResult host =
      pipeline::RunRestore(temp.Child(L"backup.wim"), {}, resources, "0.1.0", false, Recorder(), machine);
  ASSERT_TRUE(host.ok) << host.error;
  ASSERT_TRUE(pl::test::WriteFileBytes(dataFolder.Child(L"$PelloraData$\\backup\\drivers\\net.inf"), "[Version]"));
  RestartIntoPe();
  AnswerPeToolsAsUsual();
  StartDeployer();
  ASSERT_EQ(DeployerExit(), 0);

  EXPECT_EQ(PeCalls(),
            (Lines{"bcdedit /enum {current} /v", "format G: /FS:NTFS /Q /X /Y /V:Windows",
                   "dism /Apply-Image /ImageFile:\"H:\\$PelloraData$\\restore_image.wim\" /Index:1 /ApplyDir:G:\\",
                   "bcdedit /enum {bootmgr}", "bcdboot G:\\Windows /s G: /f UEFI", "bcdedit /delete " + kEntry,
                   "bcdedit /timeout 30"}));
  EXPECT_TRUE(InOrder(PeLog(), Logged({
                                   "还原: 从备份还原，镜像 H:\\$PelloraData$\\restore_image.wim 第 1 号映像，固件 UEFI",
                                   "备份文件检查通过，将部署第 1 号映像: Windows 11 Pro 1（Professional，x64）",
                                   "还原的是本工具做的备份，里面的系统自带驱动和密钥，不再注入",
                                   "新系统首次启动没有要做的事（没有密钥、软件、清单和 Kavrin.exe），不挂 "
                                   "SetupComplete.cmd",
                                   "还原完成",
                               })));
  EXPECT_EQ(PeReports(), Succeeded({"deploy_image_check", "deploy_target", "deploy_format", "deploy_apply",
                                    "deploy_boot_files", "deploy_setup_stage"}));
  EXPECT_FALSE(pl::test::FileExists(Target(kScripts)));
}

// A backup: the system volume captured into the file the host named, read back, the old system's boot restored.
TEST_F(JourneyTest, CaptureBacksTheSystemVolumeUpAndStartsTheOldSystemAgain) {
  AnswerToolsAsUsual();
  const pipeline::PipelineResult host = pipeline::RunBackup(resources, "0.1.0", false, Recorder(), machine);
  ASSERT_TRUE(host.ok) << host.error;
  const std::wstring captured = temp.Child(L"captured.wim");
  ASSERT_TRUE(pl::test::WriteFileBytes(captured, OsImage(1, 20000)));
  RestartIntoPe();
  fake.Add({.tool = "dism", .match = "/Capture-Image *", .output = kProgress, .copyFile = WideToUtf8(captured),
            .copyTo = "/ImageFile:"});
  AnswerPeToolsAsUsual();
  StartDeployer();
  ASSERT_EQ(DeployerExit(), 0);

  const std::wstring backup = kPeData + L"\\backup\\pellora_backup_20250203_090507.wim";
  EXPECT_EQ(PeCalls(), (Lines{"bcdedit /enum {current} /v",
                              "dism /Capture-Image /ImageFile:\"" + WideToUtf8(backup) +
                                  "\" /CaptureDir:G:\\ /Name:\"pellora_backup_20250203_090507\" "
                                  "/ConfigFile:\"H:\\$PelloraData$\\capture_exclusions.ini\"",
                              "bcdedit /delete " + kEntry, "bcdedit /timeout 30"}));
  EXPECT_EQ(Read(dataFolder.Child(L"$PelloraData$\\backup\\pellora_backup_20250203_090507.wim")), Read(captured));
  const std::string exclusions = Read(dataFolder.Child(L"$PelloraData$\\capture_exclusions.ini"));
  EXPECT_EQ(base::WideToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(exclusions.data()), exclusions.size() / 2)),
            "\xEF\xBB\xBF[ExclusionList]\r\n\\$PelloraData$\r\n\\$PelloraData$Boot$\r\n\\$PelloraTarget$.ini\r\n"
            "\\$ntfs.log\r\n\\hiberfil.sys\r\n\\pagefile.sys\r\n\\swapfile.sys\r\n\\System Volume Information\r\n"
            "\\RECYCLER\r\n\\$Recycle.Bin\r\n\\Windows\\CSC\r\n");
  EXPECT_TRUE(InOrder(PeLog(), Logged({"要备份的分区: G:（认出方式: 标记文件）",
                                       "备份文件检查通过: " + WideToUtf8(backup) +
                                           "（Windows 11 Pro 1（Professional，x64））",
                                       "备份完成"})));
  EXPECT_EQ(PeReports(), Succeeded({"capture_target", "capture", "capture_check"}));
  EXPECT_FALSE(pl::test::FileExists(dataFolder.Child(L"$PelloraData$\\task.ini")));
}

// A stick made by the host: its task names no target; the user picks the volume in the window and confirms the
// wipe of exactly that volume.
TEST_F(JourneyTest, UsbStickTaskInstallsOnTheVolumePickedInTheWindow) {
  const config::ResourceRef served = Serve("win10.esd", OsImage(2, 50000));
  image = {.key = "win10_ltsc", .displayName = "Windows 10 企业版 LTSC", .imageIndex = 2};
  image.url = served.url;
  image.md5 = served.md5;
  pl::test::TempDirectory bootStick, dataStick;
  std::optional<pl::test::ScopedDrive> bootDrive, dataDrive;
  usb::UsbMachine stick = usb::LiveUsbMachine();
  stick.describeDisk = [](int32_t number) {
    return number == 3 ? usb::DiskDescriptor{usb::DiskAnswer::Described, usb::kBusTypeUsb, "Kingston ",
                                             "DataTraveler 3.0", 14 * base::kGiB + base::kGiB / 2}
                       : usb::DiskDescriptor{};
  };
  stick.systemDiskNumber = [] { return 0; };
  stick.labelPause = [&](uint32_t) {
    if (!bootDrive) bootDrive.emplace(L'U', bootStick.path, "PELLORA_PE");
    if (!dataDrive) dataDrive.emplace(L'V', dataStick.path, "PELLORA_DATA");
  };
  stick.diskOfDrive = [](wchar_t letter) { return letter == L'U' || letter == L'V' ? 3 : -1; };
  stick.firmwareType = [] { return disks::FirmwareType::Uefi; };
  fake.Add({.tool = "diskpart", .output = "DiskPart done."});
  const usb::UsbMakeResult host = usb::MakeUsbBootDisk({3, "Kingston DataTraveler 3.0", 14.5}, image, {}, resources,
                                                       "0.1.0", false, Recorder(), stick);
  ASSERT_TRUE(host.ok) << host.error;
  pl::test::PutWindowsKernel(systemFolder.path);

  RestartIntoPe();
  AnswerPeToolsAsUsual();
  StartDeployer();
  HWND window = pl::test::WaitForWindow(kDeployerWindowClass, deployer.processId, 120000);
  ASSERT_NE(window, nullptr);
  for (int waited = 0; waited < 240000 && !pl::test::ControlVisible(window, kDeployerVolumesId); waited += 50) {
    Sleep(50);
  }
  // Nothing is picked for the user; the first row is G: (the stick, the PE's own drive and the task's volume are
  // not offered).
  EXPECT_FALSE(pl::test::ControlEnabled(window, kDeployerStartId));
  HWND list = GetDlgItem(window, kDeployerVolumesId);
  ASSERT_GE(SendMessageW(list, LB_GETCOUNT, 0, 0), 2);
  RECT row{};
  SendMessageW(list, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
  POINT click{(row.left + row.right) / 2, (row.top + row.bottom) / 2};
  MapWindowPoints(list, window, &click, 1);
  ASSERT_TRUE(pl::test::ClickAt(window, click));
  for (int waited = 0; waited < 60000 && !pl::test::ControlEnabled(window, kDeployerStartId); waited += 50) Sleep(50);
  EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 0);
  Sleep(300);  // the last paint
  pl::test::SaveScreenshot(L"deployer-usb-pick.png");
  ASSERT_TRUE(pl::test::PressButton(window, kDeployerStartId));
  HWND box = pl::test::WaitForMessageBox(kWipeQuestionCaption, deployer.processId, 60000);
  ASSERT_NE(box, nullptr);
  ULARGE_INTEGER total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"G:\\", nullptr, &total, nullptr));
  const std::string volume = "G:  无卷标  " + std::to_string(total.QuadPart >> 30) + " GB  Windows";
  EXPECT_EQ(WideToUtf8(pl::test::MessageBoxText(box)),
            "将清除分区 " + volume + " 上的全部数据，并在上面安装 Windows 10 企业版 LTSC。\r\n\r\n清除后无法恢复，确定继续吗？");
  pl::test::SaveScreenshot(L"deployer-usb-question.png");
  ASSERT_TRUE(pl::test::PressButton(box, IDYES));
  ASSERT_EQ(DeployerExit(), 0);

  EXPECT_EQ(PeCalls(),
            (Lines{"bcdedit /enum {current} /v", "format G: /FS:NTFS /Q /X /Y /V:Windows",
                   "dism /Apply-Image /ImageFile:\"V:\\$PelloraData$\\os_image.esd\" /Index:2 /ApplyDir:G:\\",
                   "bcdedit /enum {bootmgr}", "bcdboot G:\\Windows /s G: /f UEFI"}));
  EXPECT_TRUE(InOrder(PeLog(dataStick.path),
                      Logged({"U 盘任务：镜像和工具包就在任务文件旁边（V:\\$PelloraData$），目标分区由用户在窗口里选",
                                       "用户选择并确认清除: " + volume,
                                       "任务没有 PE 启动项（U 盘任务，或宿主在 PE 里直接调起），不用清理启动项",
                                       "部署完成"})));
  EXPECT_EQ(PeReports(), Succeeded({"deploy_image_check", "deploy_target", "deploy_format", "deploy_apply",
                                    "deploy_boot_files", "deploy_setup_stage"}));
}

}  // namespace
}  // namespace pl::deploy::test
