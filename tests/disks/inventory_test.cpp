// The inventory against the test prefix made into a small machine: drives mapped to folders, labels, a
// Windows kernel on some of them, the MiniNT key and the "SystemDrive" variable. The prefix's own C: holds
// Wine's Windows directory. These tests hold the prefix lock.
#include "disks/inventory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/text.h"
#include "base/winpe.h"
#include "drive_mapping.h"
#include "log_capture.h"
#include "pe_marker.h"
#include "test_support.h"

namespace pl::disks {
namespace {

using pl::test::ScopedDrive;
using pl::test::ScopedEnvironment;
using pl::test::ScopedPeMarker;
using pl::test::TempDirectory;

constexpr char kRefusal[] =
    "T [ERROR] 运行在 WinPE 里，启发式查找没找到目标系统盘（这台机器上没有任何固定分区含有 "
    "\\Windows\\System32\\ntoskrnl.exe——可能是目标机器本来就没有系统，比如全新的空盘），拒绝猜测，返回失败，"
    "调用方必须把这个当成硬错误处理，不能带着错误的盘符继续往下走";

struct MachineTest : pl::test::LoggedTest {
  // A folder for a drive; with `windows` it holds a Windows kernel.
  std::wstring Folder(const std::wstring& name, bool windows = false) {
    const std::wstring folder = drives.Child(name);
    CreateDirectoryW(folder.c_str(), nullptr);
    if (windows) pl::test::PutWindowsKernel(folder);
    return folder;
  }
  void Map(wchar_t letter, const std::wstring& folder, const std::string& label = "",
           unsigned type = DRIVE_FIXED) {
    mapped.push_back(std::make_unique<ScopedDrive>(letter, folder, label, type));
    ASSERT_TRUE(mapped.back()->mapped) << static_cast<char>(letter);
  }
  void TearDown() override {
    SetSystemDriveOverride(0);
    mapped.clear();
    LoggedTest::TearDown();
  }
  TempDirectory drives;
  std::vector<std::unique_ptr<ScopedDrive>> mapped;
};

// Outside a PE the target is the drive of the running Windows (C: here): "SystemDrive", which the user's environment
// sets, is only compared with it, and a differing one is warned about once.
TEST_F(MachineTest, TargetDriveOutsideAPeIsTheRunningWindowsDrive) {
  ASSERT_FALSE(base::IsWinPE());
  {
    ScopedEnvironment systemDrive(L"SystemDrive", L"D:");
    EXPECT_EQ(GetSystemDriveLetter(), L'C');
    EXPECT_EQ(GetSystemDriveLetter(), L'C');
  }
  {
    ScopedEnvironment systemDrive(L"SystemDrive", L"", true);
    EXPECT_EQ(GetSystemDriveLetter(), L'C');
  }
  SetSystemDriveOverride(L'M');
  EXPECT_EQ(GetSystemDriveLetter(), L'M');
  SetSystemDriveOverride(0);
  EXPECT_EQ(GetSystemDriveLetter(), L'C');
  EXPECT_EQ(RunningWindowsDriveLetter(), L'C');
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [WARN] 环境变量 SystemDrive 的值 (D:) 跟正在运行的 Windows 所在的盘 (C:) 不一致，已忽略，"
                            "目标系统盘按 C: 处理",
                            "T [INFO] 手动指定目标系统盘: M:（后续 GetSystemDriveLetter() 直接返回这个值）"}));
}

TEST_F(MachineTest, TargetDriveInAPeRefusesToGuessThenTakesTheChoice) {
  ScopedPeMarker pe;
  ASSERT_TRUE(pe.created);
  ASSERT_TRUE(base::IsWinPE());
  ScopedEnvironment systemDrive(L"SystemDrive", L"X:");
  // A blank machine: only the PE's own drive (C: here) holds a Windows, and a removable one holding a kernel.
  Map(L'M', Folder(L"data"), "DATA");
  Map(L'R', Folder(L"stick", true), "STICK", DRIVE_REMOVABLE);
  EXPECT_EQ(GetSystemDriveLetter(), 0);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{kRefusal}));

  // The user picks M: the override answers without a second refusal.
  SetSystemDriveOverride(L'M');
  EXPECT_EQ(GetSystemDriveLetter(), L'M');
  EXPECT_EQ(GetSystemDriveLetter(), L'M');
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            kRefusal, "T [INFO] 手动指定目标系统盘: M:（后续 GetSystemDriveLetter() 直接返回这个值）"}));
  SetSystemDriveOverride(0);

  // With a Windows on N: and P: the first one found is the target; the PE's C: is never taken.
  ClearLog();
  Map(L'P', Folder(L"win2", true), "WIN2");
  Map(L'N', Folder(L"win1", true), "WIN1");
  EXPECT_EQ(GetSystemDriveLetter(), L'N');
  EXPECT_EQ(RunningWindowsDriveLetter(), L'C');
  EXPECT_EQ(LogBytes(), "");
}

TEST_F(MachineTest, WindowsVolumeSearchSkipsListedAndNonFixedDrives) {
  Map(L'N', Folder(L"win1", true));
  Map(L'P', Folder(L"win2", true));
  Map(L'Q', Folder(L"empty"));
  Map(L'R', Folder(L"stick", true), "", DRIVE_REMOVABLE);
  EXPECT_EQ(FindWindowsVolume(L""), L'C');
  EXPECT_EQ(FindWindowsVolume(L"C"), L'N');
  EXPECT_EQ(FindWindowsVolume(L"cn"), L'P');  // letters in any case
  EXPECT_EQ(FindWindowsVolume(L"CNP"), 0);    // Q: has no kernel, R: is not fixed
}

TEST_F(MachineTest, FixedVolumesLeaveOutTheRunningWindowsDrive) {
  Map(L'N', Folder(L"n"), "PLSTAGE");
  Map(L'M', Folder(L"m"), "Data");
  Map(L'R', Folder(L"r"), "STICK", DRIVE_REMOVABLE);
  const std::vector<VolumeInfo> volumes = ListFixedVolumes();
  std::wstring letters;
  for (const VolumeInfo& v : volumes) letters += v.letter;
  EXPECT_EQ(letters.find(L'C'), std::wstring::npos);
  EXPECT_EQ(letters.find(L'R'), std::wstring::npos);
  ASSERT_EQ(letters.substr(0, 2), L"MN");
  EXPECT_EQ(volumes[0].label, "Data");
  EXPECT_EQ(volumes[1].label, "PLSTAGE");
  EXPECT_EQ(volumes[1].fileSystem, "NTFS");
  EXPECT_GT(volumes[1].totalBytes, 0u);
  EXPECT_GT(volumes[1].freeBytes, 0u);
  EXPECT_LE(volumes[1].freeBytes, volumes[1].totalBytes);
  EXPECT_EQ(volumes[1].diskNumber, -1);  // Wine reports no extents
  EXPECT_EQ(VolumeLabelOfDrive(L'N'), "PLSTAGE");
  EXPECT_EQ(VolumeLabelOfDrive(L'K'), "");
}

TEST_F(MachineTest, SpaceAndVolumePathsOfMappedDrives) {
  Map(L'M', Folder(L"m"));
  EXPECT_GT(FreeBytesForCaller(L'M'), 0u);
  EXPECT_GT(UsedBytes(L'M'), 0u);
  EXPECT_EQ(FreeBytesForCaller(L'K'), 0u);
  EXPECT_EQ(UsedBytes(L'K'), 0u);
  const std::wstring guidPath = VolumeGuidPathOfDrive(L'M');
  EXPECT_EQ(guidPath.rfind(L"\\\\?\\Volume{", 0), 0u) << base::WideToUtf8(guidPath);
  EXPECT_EQ(guidPath.back(), L'\\');
  EXPECT_EQ(VolumeGuidPathOfDrive(L'K'), L"");
  // What Wine cannot answer degrades to the neutral results.
  EXPECT_EQ(DiskNumberOfDrive(L'M'), -1);
  EXPECT_EQ(DiskNumberOfDrive(L'K'), -1);
  uint64_t gap = 77;
  EXPECT_FALSE(LargestUnallocatedGap(L'M', &gap));
  EXPECT_EQ(gap, 77u);
  EXPECT_EQ(FindBootDisk(FirmwareType::Uefi), -1);
  EXPECT_EQ(FindBootDisk(FirmwareType::Unknown), -1);
  EXPECT_EQ(GetFirmwareType(), FirmwareType::Unknown);  // no GetFirmwareType export, no abort
  EXPECT_TRUE(ListUnmountedVolumes(0, "").empty());
  EXPECT_TRUE(ListUnmountedVolumes(0, "PLSTAGE").empty());
}

TEST_F(MachineTest, HighestFreeLetterFromZDownToD) {
  const bool zTaken = (GetLogicalDrives() >> 25) & 1u;
  EXPECT_EQ(HighestFreeDriveLetter(), zTaken ? L'Y' : L'Z');
  for (wchar_t letter = L'D'; letter <= L'Y'; ++letter) Map(letter, Folder(std::wstring(1, letter)));
  if (!zTaken) Map(L'Z', Folder(L"z"));
  EXPECT_EQ(HighestFreeDriveLetter(), 0);  // A, B and C are never offered
  mapped.erase(mapped.begin() + (L'K' - L'D'));
  EXPECT_EQ(HighestFreeDriveLetter(), L'K');
}

struct MachinePickTest : MachineTest {
  pl::test::FakeTools fake;
};

TEST_F(MachinePickTest, DataVolumeLeavesOutBitLockerDrivesAndTheRunningWindows) {
  fake.Add({.tool = "powershell", .match = "*'M:'*ProtectionStatus*", .output = "On\r\n"});
  fake.Add({.tool = "powershell", .match = "*ProtectionStatus*", .output = "Off\r\n"});
  Map(L'M', Folder(L"m"), "LOCKED");
  Map(L'N', Folder(L"n"), "OPEN");
  wchar_t blocked = 0;
  // Z: (the host's root) is excluded so that the free space of one host file system decides nothing.
  EXPECT_EQ(PickStagingDataVolume(L'Z', -1, &blocked), L'N');
  EXPECT_EQ(blocked, L'M');
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] 查询 M: 的 BitLocker 状态: On",
                            "T [INFO] 暂存区候选分区排除: M: 已启用 BitLocker（重启进 PE 后会变回锁定状态，读不到暂存区文件）",
                            "T [INFO] 查询 N: 的 BitLocker 状态: Off",
                        }));
  EXPECT_TRUE(IsStagingCandidate(L'N', L'Z'));
  EXPECT_FALSE(IsStagingCandidate(L'M', L'Z'));
  EXPECT_FALSE(IsStagingCandidate(L'N', L'N'));
  EXPECT_FALSE(IsStagingCandidate(L'C', 0));   // the running Windows drive
  EXPECT_FALSE(IsStagingCandidate(L'K', 0));   // absent
  // Both protected: nothing chosen, the out-letter keeps the first.
  pl::test::FakeTools bothLocked;
  bothLocked.Add({.tool = "powershell", .output = "On\r\n"});
  blocked = 0;
  EXPECT_EQ(PickStagingDataVolume(L'Z', -1, &blocked), 0);
  EXPECT_EQ(blocked, L'M');
}

}  // namespace
}  // namespace pl::disks
