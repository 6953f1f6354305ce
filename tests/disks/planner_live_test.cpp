// One real plan against the test prefix: C: is Wine's system drive (no disk numbers, no boot disk), M: a
// second fixed drive with room. The host's root on Z: is kept out by answering BitLocker "On" for it.
#include <windows.h>

#include <gtest/gtest.h>

#include "disks/planner.h"
#include "drive_mapping.h"
#include "folder_security.h"
#include "host_link.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::disks {
namespace {

using PlannerLiveTest = pl::test::LoggedTest;

TEST_F(PlannerLiveTest, RealPlanCreatesTheTwoDirectoriesAndNothingElse) {
  pl::test::TempDirectory folder;
  pl::test::FakeTools fake;
  fake.Add({.tool = "powershell", .match = "*'Z:'*", .output = "On\r\n"});
  fake.Add({.tool = "powershell", .output = "Off\r\n"});
  pl::test::ScopedDrive drive(L'M', folder.path);
  ASSERT_TRUE(drive.mapped);
  const std::wstring bootDir = L"C:\\$PelloraData$Boot$";
  ASSERT_FALSE(pl::test::FileExists(bootDir));
  struct RemoveBootDir {
    std::wstring path;
    ~RemoveBootDir() { RemoveDirectoryW(path.c_str()); }
  } cleanup{bootDir};

  const StagingPlan plan = PlanStagingArea(FirmwareType::Unknown, 1048576, false, 0, 0);
  EXPECT_TRUE(plan.ok) << plan.error;
  EXPECT_EQ(plan.bootDir, bootDir);
  EXPECT_EQ(plan.dataDir, L"M:\\$PelloraData$");
  EXPECT_FALSE(plan.shrankSystemVolume);
  EXPECT_FALSE(plan.createdStagePartition);
  EXPECT_TRUE(pl::test::FileExists(bootDir));
  EXPECT_EQ(pl::test::ListFiles(folder.path, L"*"), (std::vector<std::wstring>{L"$PelloraData$"}));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [WARN] 未能定位引导管理器所在的物理磁盘（ESP/活动分区查找失败），按系统盘所在磁盘处理",
                            "T [INFO] 引导区直接使用系统盘: C:\\$PelloraData$Boot$",
                            "T [INFO] 查询 M: 的 BitLocker 状态: Off",
                            "T [INFO] 查询 Z: 的 BitLocker 状态: On",
                            "T [INFO] 暂存区候选分区排除: Z: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）",
                            "T [INFO] 数据区使用现有分区: M:\\$PelloraData$",
                        }));
  for (const auto& call : fake.Calls()) EXPECT_EQ(call.tool, "powershell");  // diskpart never ran

  // Only administrators may change them (as far as Wine keeps it: others may no longer write).
  EXPECT_FALSE(pl::test::OthersMayWrite(bootDir) || pl::test::OthersMayWrite(plan.dataDir));

  // Planned again: both directories exist already, which is fine.
  EXPECT_TRUE(PlanStagingArea(FirmwareType::Unknown, 1048576, false, 0, 0).ok);
  EXPECT_TRUE(CheckStagingFeasibility().otherVolumeAvailable);
}

// A junction where a staging directory belongs (a host link, which Wine lists as one) is refused: nothing lands
// where it leads.
TEST_F(PlannerLiveTest, AJunctionInPlaceOfAStagingDirectoryIsRefused) {
  pl::test::TempDirectory folder;
  pl::test::TempDirectory elsewhere;
  pl::test::ScopedDrive drive(L'M', folder.path);
  ASSERT_TRUE(drive.mapped);
  pl::test::ScopedHostLink link(L"M:\\$PelloraData$", elsewhere.path);
  ASSERT_TRUE(link.made);
  std::string error;
  EXPECT_FALSE(CreateStagingDirectory(L"M:\\$PelloraData$", false, &error));
  EXPECT_EQ(error, "暂存目录是一个链接（junction 或符号链接），不往那里放文件: M:\\$PelloraData$");
  EXPECT_TRUE(pl::test::ListFiles(elsewhere.path, L"*").empty());
}

}  // namespace
}  // namespace pl::disks
