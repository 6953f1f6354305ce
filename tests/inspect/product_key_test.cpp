// The three key sources on a running system: the fake PowerShell answers WMI, the registry sources read a
// private scratch root of the prefix.
#include "inspect/product_key.h"

#include <gtest/gtest.h>

#include <optional>

#include "log_capture.h"
#include "registry_scratch.h"
#include "test_support.h"

namespace pl::inspect {
namespace {

using pl::test::FakeToolRule;
using pl::test::ScratchRegistryKey;

constexpr char kWmiArguments[] =
    "-NoProfile -NonInteractive -Command \"(Get-CimInstance -Query 'SELECT OA3xOriginalProductKey FROM "
    "SoftwareLicensingService').OA3xOriginalProductKey\"";
constexpr char kFallback[] =
    "T [INFO] WMI 查不到 OEM 出厂密钥（虚拟机/数字权利激活/手动输入密钥的机器都会是这样），退化读取注册表 "
    "BackupProductKeyDefault";
constexpr char kBackupFound[] = "T [INFO] 通过 BackupProductKeyDefault 读到当前生效密钥";
constexpr char kBackupMissing[] = "T [INFO] 读取注册表 BackupProductKeyDefault 失败或不存在, LSTATUS=2";
constexpr char kToDigitalProductId[] = "T [INFO] BackupProductKeyDefault 也没有，退化解码 DigitalProductId 做最后尝试";

// A DigitalProductId blob of `size` bytes, 0xFF everywhere but the key bytes 52 to 66 (as far as it reaches).
std::string ProductIdBlob(size_t size, const std::string& keyBytes) {
  std::string blob(size, '\xFF');
  for (size_t i = 0; i < keyBytes.size() && 52 + i < size; ++i) blob[52 + i] = keyBytes[i];
  return blob;
}
const std::string kKeyBytes("\x62\x1f\x00\x4e\x9a\x33\x7c\x10\xd5\x08\xe1\x42\x09\x6b\x01", 15);
constexpr char kKeyOfBytes[] = "HTR9D-9T8H3-PFXTD-4JTP3-8MJ6D";

struct ProductKeyTest : pl::test::LoggedTest {
  FakeToolRule Wmi(const std::string& output, uint32_t exitCode = 0, int delayMs = 0) {
    return {.tool = "powershell", .exitCode = exitCode, .output = output, .times = 1, .delayMs = delayMs};
  }
};

TEST_F(ProductKeyTest, WmiAnswers) {
  struct Case {
    const char* name;
    FakeToolRule rule;
    int32_t limitMs;
    std::string key;
    std::vector<std::string> log;
  } cases[] = {
      {"key with line break", Wmi(" ABCDE-FGHIJ-KLMNO-PQRST-UVWXY\r\n"), 15000, "ABCDE-FGHIJ-KLMNO-PQRST-UVWXY", {}},
      {"blanks only", Wmi(" \t\r\n\r\n"), 15000, "", {}},
      {"non-zero exit", Wmi("ABCDE-FGHIJ-KLMNO-PQRST-UVWXY\r\n", 1), 15000, "",
       {"T [WARN] PowerShell 读取 OEM 密钥失败, exitCode=1"}},
      {"past the time limit", Wmi("ABCDE-FGHIJ-KLMNO-PQRST-UVWXY\r\n", 0, 20000), 300, "",
       {"T [WARN] PowerShell 读取 OEM 密钥失败, exitCode=4294967295"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    pl::test::FakeTools fake;
    fake.Add(c.rule);
    EXPECT_EQ(ReadOemKeyViaWmi(c.limitMs), c.key);
    EXPECT_EQ(LogLines(), c.log);
    const auto calls = fake.Calls();
    if (c.limitMs < 15000) continue;  // cut off, perhaps before it could write its journal
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments, kWmiArguments);
  }
}

// Each route with its own scratch root holding the values of the case, and one whole expected log.
TEST_F(ProductKeyTest, SourcesInOrderOnARunningSystem) {
  const std::wstring kPlatform = L"\\Microsoft\\Windows NT\\CurrentVersion\\SoftwareProtectionPlatform";
  const std::wstring kCurrentVersion = L"\\Microsoft\\Windows NT\\CurrentVersion";
  struct Case {
    const char* name;
    std::string wmi;
    std::optional<std::wstring> backup;
    size_t blobSize;        // 0: no DigitalProductId
    std::string key;
    std::vector<std::string> log;
  } cases[] = {
      {"WMI first, the registry untouched", "WMIKY-11111-22222-33333-44444\r\n", L"BACKU-P0000", 164,
       "WMIKY-11111-22222-33333-44444", {"T [INFO] 通过 WMI OA3xOriginalProductKey 读到 OEM 出厂密钥"}},
      {"backup key with trailing line breaks", "", L"BACKU-PKEY0-00000-00000-00000\r\n\r\n", 164,
       "BACKU-PKEY0-00000-00000-00000", {kFallback, kBackupFound}},
      {"backup key longer than its buffer", "", std::wstring(70, L'K'), 164, kKeyOfBytes,
       {kFallback, "T [INFO] 读取注册表 BackupProductKeyDefault 失败或不存在, LSTATUS=234", kToDigitalProductId,
        "T [INFO] 通过 DigitalProductId 读到当前生效密钥"}},
      {"product id of 164 bytes", "", std::nullopt, 164, kKeyOfBytes,
       {kFallback, kBackupMissing, kToDigitalProductId, "T [INFO] 通过 DigitalProductId 读到当前生效密钥"}},
      {"product id of 66 bytes", "", std::nullopt, 66, "",
       {kFallback, kBackupMissing, kToDigitalProductId, "T [WARN] DigitalProductId 数据长度不足，解码失败"}},
      {"nothing at all", "", std::nullopt, 0, "",
       {kFallback, kBackupMissing, kToDigitalProductId,
        "T [INFO] 读取注册表 DigitalProductId 失败或不存在, LSTATUS=2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    pl::test::FakeTools fake;
    fake.Add(Wmi(c.wmi));
    ScratchRegistryKey root;
    ASSERT_TRUE(root.created);
    if (c.backup) {
      ASSERT_TRUE(pl::test::SetRegistryString(HKEY_LOCAL_MACHINE, root.path + kPlatform, L"BackupProductKeyDefault",
                                              *c.backup));
    }
    if (c.blobSize) {
      ASSERT_TRUE(pl::test::SetRegistryValue(HKEY_LOCAL_MACHINE, root.path + kCurrentVersion, L"DigitalProductId",
                                             REG_BINARY, ProductIdBlob(c.blobSize, kKeyBytes)));
    }
    EXPECT_EQ(ReadProductKey(0, {.wmiTimeLimitMs = 15000, .registryRoot = root.path}), c.key);
    EXPECT_EQ(LogLines(), c.log);
  }
}

// Vectors worked out by hand from the algorithm: the 15 key bytes as a little-endian number, divided by 24
// twenty-five times, remainders indexing "BCDFGHJKMPQRTVWXY2346789" from the last letter backwards.
TEST(ProductKeyDecoding, KeyBytesOnly) {
  struct Case {
    std::string blob;
    std::string key;
  } cases[] = {
      {ProductIdBlob(67, std::string(15, '\0')), "BBBBB-BBBBB-BBBBB-BBBBB-BBBBB"},
      {ProductIdBlob(67, std::string("\x01", 1) + std::string(14, '\0')), "BBBBB-BBBBB-BBBBB-BBBBB-BBBBC"},
      {ProductIdBlob(67, std::string("\x18", 1) + std::string(14, '\0')), "BBBBB-BBBBB-BBBBB-BBBBB-BBBCB"},
      // 2^120 - 1 exceeds 24^25: what lies beyond the 25th division is dropped.
      {ProductIdBlob(67, std::string(15, '\xFF')), "TW7HQ-JY9P9-CFDMG-RH9H7-9BKDX"},
      {ProductIdBlob(164, kKeyBytes), kKeyOfBytes},
      {ProductIdBlob(1024, kKeyBytes), kKeyOfBytes},
      {ProductIdBlob(66, kKeyBytes), ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeProductKeyBytes(reinterpret_cast<const unsigned char*>(c.blob.data()), c.blob.size()), c.key)
        << c.blob.size();
  }
}

TEST(ProductKeyPrivileges, HeldOnesEnableAndUnknownOnesDoNot) {
  EXPECT_TRUE(EnablePrivilege(L"SeBackupPrivilege"));
  EXPECT_TRUE(EnablePrivilege(L"SeRestorePrivilege"));
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege"));
}

}  // namespace
}  // namespace pl::inspect
