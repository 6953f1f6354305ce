// The product key inside a PE: the MiniNT key set, the target system on a mapped drive whose SOFTWARE hive file
// is written from a scratch key with RegSaveKeyW. Under Wine, RegLoadKeyW mounts such a file under HKLM and
// refuses a name already mounted (ERROR_ALREADY_EXISTS); RegUnLoadKeyW removes the mount. These tests hold the
// prefix lock.
#include "inspect/product_key.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "base/file_tree.h"
#include "base/unique_handle.h"
#include "disks/inventory.h"
#include "drive_mapping.h"
#include "log_capture.h"
#include "pe_marker.h"
#include "registry_scratch.h"
#include "test_support.h"

namespace pl::inspect {
namespace {

constexpr wchar_t kPlatform[] = L"\\Microsoft\\Windows NT\\CurrentVersion\\SoftwareProtectionPlatform";
constexpr char kMountLine[] =
    "T [INFO] 当前运行在 WinPE 里，挂载目标系统盘 M: 的离线注册表读取密钥（不能直接读 HKEY_LOCAL_MACHINE，那是 PE "
    "自己的注册表）";
constexpr char kFallback[] =
    "T [INFO] WMI 查不到 OEM 出厂密钥（虚拟机/数字权利激活/手动输入密钥的机器都会是这样），退化读取注册表 "
    "BackupProductKeyDefault";

bool HiveMounted() {
  base::UniqueRegKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOfflineHiveName, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

struct OfflineKeyTest : pl::test::LoggedTest {
  void SetUp() override {
    LoggedTest::SetUp();
    ASSERT_TRUE(pe.created);
    target = drives.Child(L"target");
    ASSERT_TRUE(base::CreateDirectoryTree(target + L"\\Windows\\System32\\config"));
    pl::test::PutWindowsKernel(target);
    drive = std::make_unique<pl::test::ScopedDrive>(L'M', target, "OS");
    ASSERT_TRUE(drive->mapped);
    // What the pipeline passes inside a PE.
    ASSERT_EQ(disks::GetSystemDriveLetter(), L'M');
    ClearLog();
  }
  void TearDown() override {
    // A mount left behind would be saved into the prefix's registry for good.
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, kOfflineHiveName);
    drive.reset();
    LoggedTest::TearDown();
  }
  // The target's SOFTWARE hive holding a backup key and/or a product id blob.
  void WriteHive(const std::wstring& backupKey, const std::string& productId) {
    pl::test::ScratchRegistryKey hive;
    ASSERT_TRUE(hive.created);
    if (!backupKey.empty()) {
      ASSERT_TRUE(pl::test::SetRegistryString(HKEY_LOCAL_MACHINE, hive.path + kPlatform, L"BackupProductKeyDefault",
                                              backupKey));
    }
    if (!productId.empty()) {
      ASSERT_TRUE(pl::test::SetRegistryValue(HKEY_LOCAL_MACHINE, hive.path + L"\\Microsoft\\Windows NT\\CurrentVersion",
                                             L"DigitalProductId", REG_BINARY, productId));
    }
    base::UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, hive.path.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
    ASSERT_TRUE(EnablePrivilege(L"SeBackupPrivilege"));
    const std::wstring file = target + L"\\Windows\\System32\\config\\SOFTWARE";
    DeleteFileW(file.c_str());
    ASSERT_EQ(RegSaveKeyW(key.get(), file.c_str(), nullptr), ERROR_SUCCESS);
  }
  pl::test::ScopedPeMarker pe;
  pl::test::TempDirectory drives;
  std::wstring target;
  std::unique_ptr<pl::test::ScopedDrive> drive;
  pl::test::FakeTools fake;
};

TEST_F(OfflineKeyTest, WmiAnsweringMountsNothing) {
  WriteHive(L"HIVEK-EYHIV-EKEYH-IVEKE-YHIVE", "");
  fake.Add({.tool = "powershell", .output = "OEMKY-OEMKY-OEMKY-OEMKY-OEMKY\r\n"});
  EXPECT_EQ(ReadProductKey(L'M'), "OEMKY-OEMKY-OEMKY-OEMKY-OEMKY");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"T [INFO] 通过 WMI OA3xOriginalProductKey 读到 OEM 出厂密钥"}));
  EXPECT_FALSE(HiveMounted());
}

TEST_F(OfflineKeyTest, UnmountableHiveGivesNothingWhateverThePeRegistryHolds) {
  // The PE's own registry (Wine's) holds a product id that decodes: it may not be read instead.
  ASSERT_FALSE(DecodeDigitalProductIdKey(L"SOFTWARE").empty());
  ClearLog();
  EXPECT_EQ(ReadProductKey(L'M'), "");  // no SOFTWARE file on M:
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                kMountLine,
                "T [WARN] 挂载离线注册表失败: M:\\Windows\\System32\\config\\SOFTWARE, LSTATUS=2",
                "T [WARN] 挂载离线注册表失败，本次跳过 BackupProductKeyDefault/DigitalProductId 这两条路径（不去读 PE "
                "自己的在线注册表兜底——那读出来的密钥是错的，比读不到还糟糕）"}));
  EXPECT_FALSE(HiveMounted());
}

TEST_F(OfflineKeyTest, HiveIsReadAndUnloadedWhateverItHolds) {
  std::string productId(164, '\0');  // key bytes all zero
  struct Case {
    const char* name;
    std::wstring backupKey;
    std::string productId;
    std::string key;
    std::vector<std::string> log;
  } cases[] = {
      {"backup key", L"HIVEK-EYHIV-EKEYH-IVEKE-YHIVE\r\n", productId, "HIVEK-EYHIV-EKEYH-IVEKE-YHIVE",
       {kMountLine, kFallback, "T [INFO] 通过 BackupProductKeyDefault 读到当前生效密钥"}},
      {"product id only", L"", productId, "BBBBB-BBBBB-BBBBB-BBBBB-BBBBB",
       {kMountLine, kFallback, "T [INFO] 读取注册表 BackupProductKeyDefault 失败或不存在, LSTATUS=2",
        "T [INFO] BackupProductKeyDefault 也没有，退化解码 DigitalProductId 做最后尝试",
        "T [INFO] 通过 DigitalProductId 读到当前生效密钥"}},
      {"neither", L"", "", "",
       {kMountLine, kFallback, "T [INFO] 读取注册表 BackupProductKeyDefault 失败或不存在, LSTATUS=2",
        "T [INFO] BackupProductKeyDefault 也没有，退化解码 DigitalProductId 做最后尝试",
        "T [INFO] 读取注册表 DigitalProductId 失败或不存在, LSTATUS=2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteHive(c.backupKey, c.productId);
    ClearLog();
    EXPECT_EQ(ReadProductKey(L'M'), c.key);
    EXPECT_EQ(LogLines(), c.log);
    EXPECT_FALSE(HiveMounted());
    // Mounting again works only because the read unloaded it (a mounted name is refused).
    EXPECT_TRUE(LoadOfflineSoftwareHive(L'M'));
    EXPECT_TRUE(HiveMounted());
    UnloadOfflineSoftwareHive();
  }
}

// A mount an earlier run left behind (it ended before its unload) is unloaded first; the read then goes on.
TEST_F(OfflineKeyTest, AStaleMountIsUnloadedFirstAndFailuresAreLogged) {
  WriteHive(L"HIVEK-EYHIV-EKEYH-IVEKE-YHIVE", "");
  ASSERT_TRUE(LoadOfflineSoftwareHive(L'M'));
  EXPECT_EQ(ReadProductKey(L'M'), "HIVEK-EYHIV-EKEYH-IVEKE-YHIVE");
  EXPECT_FALSE(HiveMounted());
  UnloadOfflineSoftwareHive();  // nothing left to unload
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "T [WARN] 上次挂载的离线注册表 HKLM\\PL_OfflineSoftwareHive 还在（上次运行没来得及卸载），先卸载再挂载");
  EXPECT_EQ(lines[4], "T [WARN] 卸载离线注册表挂载失败, LSTATUS=2（不影响已经读到的密钥，只是这个临时挂载点没清干净）");
}

}  // namespace
}  // namespace pl::inspect
