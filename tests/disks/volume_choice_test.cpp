// The staging candidate test and the data-volume choice over plain data: Wine reports no disk numbers and
// gives every mapped drive the same free space, so disks and free bytes come from a table here.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "disks/inventory.h"
#include "log_capture.h"
#include "printers.h"

namespace pl::disks {
namespace {

struct Drive {
  bool fixed = true;
  int disk = 0;
  bool bitLocker = false;
  uint64_t free = 0;
};

struct VolumeChoiceTest : pl::test::LoggedTest {
  VolumeProbe Probe() {
    return {
        .logicalDrives =
            [this] {
              uint32_t bits = 0;
              for (const auto& [letter, drive] : drives) bits |= 1u << (letter - L'A');
              return bits;
            },
        .isFixedDrive = [this](wchar_t l) { return drives.at(l).fixed; },
        .diskNumberOfDrive = [this](wchar_t l) { return drives.at(l).disk; },
        .isBitLockerProtected =
            [this](wchar_t l) {
              asked += static_cast<char>(l);
              return drives.at(l).bitLocker;
            },
        .freeBytesForCaller = [this](wchar_t l) { return drives.at(l).free; },
        .runningWindowsDriveLetter = [] { return L'C'; },
    };
  }
  std::map<wchar_t, Drive> drives;
  std::string asked;  // letters whose BitLocker state was asked, in order
};

TEST_F(VolumeChoiceTest, MostFreeWinsAndTheEarlierLetterAmongEquals) {
  drives = {{L'C', {.free = 900}}, {L'D', {.free = 100}}, {L'E', {.free = 300}},
            {L'F', {.free = 300}}, {L'G', {.fixed = false, .free = 999}}, {L'H', {.free = 0}}};
  EXPECT_EQ(PickStagingDataVolume(0, -1, nullptr, Probe()), L'E');
  EXPECT_EQ(PickStagingDataVolume(L'E', -1, nullptr, Probe()), L'F');
  EXPECT_EQ(asked, "DEFHDFH");  // the running Windows drive and the removable drive are never asked about
  // A volume without free bytes is never chosen, even alone.
  drives = {{L'C', {.free = 900}}, {L'H', {.free = 0}}};
  EXPECT_EQ(PickStagingDataVolume(0, -1, nullptr, Probe()), 0);
  EXPECT_EQ(LogBytes(), "");
}

TEST_F(VolumeChoiceTest, OtherDisksAndBitLockerAreLoggedAndSkipped) {
  drives = {{L'C', {.disk = 0, .free = 900}},
            {L'D', {.disk = 1, .bitLocker = true, .free = 800}},
            {L'E', {.disk = 0, .bitLocker = true, .free = 700}},
            {L'F', {.disk = 0, .free = 10}},
            {L'G', {.disk = 2, .free = 600}},
            {L'H', {.disk = 0, .bitLocker = true, .free = 500}}};
  wchar_t blocked = 0;
  EXPECT_EQ(PickStagingDataVolume(L'F', 0, &blocked, Probe()), 0);
  EXPECT_EQ(blocked, L'E');  // the first one, not overwritten by H
  EXPECT_EQ(asked, "EH");    // drives on another disk are left out before BitLocker is asked
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] 候选分区排除: D: 不在目标物理磁盘编号 0 上",
                            "T [INFO] 暂存区候选分区排除: E: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）",
                            "T [INFO] 候选分区排除: G: 不在目标物理磁盘编号 0 上",
                            "T [INFO] 暂存区候选分区排除: H: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）",
                        }));
  // Any disk: D is protected too; an out-letter the caller already filled is kept.
  ClearLog();
  blocked = L'Q';
  EXPECT_EQ(PickStagingDataVolume(L'C', -1, &blocked, Probe()), L'G');
  EXPECT_EQ(blocked, L'Q');
  EXPECT_EQ(LogLines().size(), 3u);
  EXPECT_EQ(LogLines()[0], "T [INFO] 暂存区候选分区排除: D: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）");
  // A disk that does exist but holds only the excluded drive.
  ClearLog();
  EXPECT_EQ(PickStagingDataVolume(L'G', 2, nullptr, Probe()), 0);
  EXPECT_EQ(LogLines().size(), 4u);  // D, E, F, H on other disks
}

TEST_F(VolumeChoiceTest, StagingCandidate) {
  drives = {{L'C', {}}, {L'D', {}}, {L'E', {.bitLocker = true}}, {L'F', {.fixed = false}}};
  const VolumeProbe probe = Probe();
  EXPECT_TRUE(IsStagingCandidate(L'D', L'C', probe));
  EXPECT_FALSE(IsStagingCandidate(L'D', L'D', probe));  // excluded
  EXPECT_FALSE(IsStagingCandidate(L'C', 0, probe));     // running Windows
  EXPECT_FALSE(IsStagingCandidate(L'E', L'C', probe));  // BitLocker
  EXPECT_FALSE(IsStagingCandidate(L'F', L'C', probe));  // not fixed
  EXPECT_EQ(asked, "DE");
}

TEST(PeOwnDrive, WindowsDirectoryThenSystemDriveThenX) {
  EXPECT_EQ(PeOwnDriveLetter(L"X:\\Windows", L"X:"), L'X');
  EXPECT_EQ(PeOwnDriveLetter(L"y:\\windows", L"C:"), L'Y');
  EXPECT_EQ(PeOwnDriveLetter(L"", L"w:"), L'W');
  EXPECT_EQ(PeOwnDriveLetter(L"", L""), L'X');
}

TEST(RunningSystemDriveTest, TheWindowsDirectoryDecidesAndAnotherSystemDriveIsOnlyWarnedAbout) {
  const std::string warning =
      "环境变量 SystemDrive 的值 (D:) 跟正在运行的 Windows 所在的盘 (C:) 不一致，已忽略，目标系统盘按 C: 处理";
  EXPECT_EQ(RunningSystemDrive(L"C:\\Windows", L"D:"), (RunningSystemDriveChoice{L'C', warning}));
  EXPECT_EQ(RunningSystemDrive(L"c:\\windows", L"C:"), (RunningSystemDriveChoice{L'C', ""}));
  EXPECT_EQ(RunningSystemDrive(L"E:\\Windows", L"e:"), (RunningSystemDriveChoice{L'E', ""}));
  EXPECT_EQ(RunningSystemDrive(L"C:\\Windows", L""), (RunningSystemDriveChoice{L'C', ""}));
  // No Windows directory to go by: no target, whatever the variable says.
  EXPECT_EQ(RunningSystemDrive(L"", L"D:"), RunningSystemDriveChoice{});
  EXPECT_EQ(RunningSystemDrive(L"\\\\server\\windows", L"C:"), RunningSystemDriveChoice{});
}

}  // namespace
}  // namespace pl::disks
