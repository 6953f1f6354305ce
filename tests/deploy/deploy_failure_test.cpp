// The failure routes of the deployer, each on a machine staged as the host leaves it (task, marker, image): what it
// asked of the tools, what the session heard, its exit code and the message its window shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "base/file_tree.h"
#include "base/text.h"
#include "deploy/deployer_window.h"
#include "deploy_fixture.h"
#include "pipeline/target_marker.h"
#include "pipeline/task_file.h"
#include "reporting/report_session.h"

namespace pl::deploy::test {
namespace {

using Lines = std::vector<std::string>;
using pipeline::test::kEntryId;

const std::string kEntry = kEntryId;
constexpr char kEarlierDefault[] = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
constexpr char kApplyError[] = "Error: 5\r\n\r\nAccess is denied.\r\n";

struct FailureFixture;

struct FailureCase {
  const char* name;
  std::function<void(FailureFixture&)> spoil;
  long exitCode;
  Lines calls;        // since the restart, after "bcdedit /enum {current} /v"
  Lines failures;     // failed stage events, errors and the finish
  std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

struct FailureFixture : DeployFixture {
  // What a host's reinstall leaves: the task and the image on D:, the marker on S:.
  void Stage() {
    session = reporting::CreateReportSession("win11_pro", "0.1.0");
    ASSERT_FALSE(session.empty());
    pipeline::DeployTask task;
    task.targetVolumeGuid = base::WideToUtf8(pipeline::test::kSystemGuid);
    task.firmware = "UEFI";
    task.imagePath = "D:\\$PelloraData$\\os_image.wim";
    task.imageIndex = 6;
    task.stagingDir = "D:\\$PelloraData$";
    task.peBootId = kEntry;
    task.sessionId = session;
    task.driverBackupPath = "D:\\$PelloraData$\\backup\\drivers";
    task.osDisplayName = "Windows 11 专业版";
    ASSERT_TRUE(base::CreateDirectoryTree(Data(L"")));
    ASSERT_TRUE(pipeline::WriteTaskFile(Data(L"task.ini"), task, {}));
    ASSERT_TRUE(pl::test::WriteFileBytes(Data(L"os_image.wim"), OsImage(6, 60000)));
    ASSERT_TRUE(pipeline::WriteHandOverFile(Marker(), pipeline::TargetMarkerText({kEntry, session, kEarlierDefault, 30})));
  }
  std::wstring Data(const std::wstring& name) const { return dataFolder.Child(L"$PelloraData$\\" + name); }
  std::wstring Marker() const { return systemFolder.Child(L"$PelloraTarget$.ini"); }

  std::string session;
};

struct FailureTest : FailureFixture, ::testing::WithParamInterface<FailureCase> {};

const Lines kRestoreBoot = {"bcdedit /delete " + kEntry, "bcdedit /default " + std::string(kEarlierDefault),
                            "bcdedit /timeout 30"};

TEST_P(FailureTest, StopsSafelyAndSaysWhy) {
  const FailureCase& c = GetParam();
  Stage();
  RestartIntoPe();
  c.spoil(*this);
  AnswerPeToolsAsUsual();
  StartDeployer();
  HWND window = FailureWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(pl::test::ControlText(window, kDeployerMessageId), base::Utf8ToWide(c.message));
  EXPECT_EQ(pl::test::ControlText(window, kDeployerLogId),
            L"详细日志见 " + kPeData + L"\\pl_pe.log");
  pl::test::SaveScreenshot(L"deployer-failure-" + base::Utf8ToWide(c.name) + L".png");
  EXPECT_TRUE(pl::test::PressButton(window, kDeployerCloseId));
  EXPECT_EQ(DeployerExit(), c.exitCode);

  Lines calls = {"bcdedit /enum {current} /v"};
  calls.insert(calls.end(), c.calls.begin(), c.calls.end());
  EXPECT_EQ(PeCalls(), calls);
  Lines failures;
  for (const std::string& report : PeReports()) {
    if (report.find(" failed") != std::string::npos || report.rfind("error ", 0) == 0 ||
        report.rfind("finish ", 0) == 0) {
      failures.push_back(report);
    }
  }
  EXPECT_EQ(failures, c.failures);
  // No failure retires the task: the retry needs it, and the others changed nothing.
  EXPECT_TRUE(pl::test::FileExists(Data(L"task.ini")));
}

const std::string kMissing = "系统镜像检查失败（H:\\$PelloraData$\\os_image.wim）: 无法打开文件, GetLastError=2";
const std::string kDamaged = "系统镜像检查失败（H:\\$PelloraData$\\os_image.wim）: 不是 WIM/ESD 镜像文件";
const std::string kUnknown =
    "找不到要部署的目标分区：没有分区的卷 GUID 是 \\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\，也没有分区根目录下"
    "有本次任务的标记文件 $PelloraTarget$.ini，为了安全什么都没有改动";

INSTANTIATE_TEST_SUITE_P(
    Routes, FailureTest,
    ::testing::Values(
        FailureCase{"missing_image", [](FailureFixture& t) { DeleteFileW(t.Data(L"os_image.wim").c_str()); }, 1,
                    kRestoreBoot,
                    {"event deploy_image_check failed " + kMissing, "error deploy_image_check " + kMissing,
                     "finish failed"},
                    kMissing},
        FailureCase{"damaged_image",
                    [](FailureFixture& t) { pl::test::WriteFileBytes(t.Data(L"os_image.wim"), std::string(300, 'x')); },
                    1, kRestoreBoot,
                    {"event deploy_image_check failed " + kDamaged, "error deploy_image_check " + kDamaged,
                     "finish failed"},
                    kDamaged},
        // Without its marker nothing names the volume (the PE does not know the host's volume GUID): nothing is
        // formatted, and without the marker the earlier default is unknown too.
        FailureCase{"unidentified_target", [](FailureFixture& t) { DeleteFileW(t.Marker().c_str()); }, 1,
                    {"bcdedit /delete " + kEntry},
                    {"event deploy_target failed " + kUnknown, "error deploy_target " + kUnknown, "finish failed"},
                    kUnknown},
        FailureCase{"apply_fails",
                    [](FailureFixture& t) {
                      t.fake.Add({.tool = "dism", .match = "/Apply-Image *", .exitCode = 5, .output = kApplyError});
                    },
                    2,
                    {"format G: /FS:NTFS /Q /X /Y /V:Windows",
                     "dism /Apply-Image /ImageFile:\"H:\\$PelloraData$\\os_image.wim\" /Index:6 /ApplyDir:G:\\"},
                    {"event deploy_apply failed 应用系统镜像失败", "error deploy_apply 应用系统镜像失败"},
                    "应用系统镜像失败"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// The excerpt a failed tool leaves in the report: its last lines.
TEST_F(FailureFixture, AFailedApplyReportsTheToolsOwnWords) {
  Stage();
  RestartIntoPe();
  fake.Add({.tool = "dism", .match = "/Apply-Image *", .exitCode = 5, .output = kApplyError});
  AnswerPeToolsAsUsual();
  StartDeployer();
  HWND window = FailureWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(pl::test::ControlText(window, kDeployerStepId), L"部署失败，下次开机会自动重试");
  EXPECT_TRUE(pl::test::PressButton(window, kDeployerCloseId));
  EXPECT_EQ(DeployerExit(), 2);
  std::string excerpt;
  for (const pl::test::DevServerReport& report : server.Reports()) {
    if (report.kind == "error") excerpt = report.Text("rawLogExcerpt");
  }
  EXPECT_EQ(excerpt, "Error: 5\nAccess is denied.\n");
  // The marker is back on the formatted volume, so the next start finds it again.
  std::string marker;
  ASSERT_TRUE(pl::test::ReadFileBytes(Marker(), &marker));
  EXPECT_EQ(marker, "\xEF\xBB\xBF" + pipeline::TargetMarkerText({kEntry, session, kEarlierDefault, 30}));
}

}  // namespace
}  // namespace pl::deploy::test
