#include "disks/bitlocker.h"

#include <gtest/gtest.h>

#include "base/system_paths.h"
#include "base/text.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::disks {
namespace {

using pl::test::FakeToolRule;

constexpr char kProtectionArguments[] =
    "-NoProfile -NonInteractive -Command \"(Get-BitLockerVolume -MountPoint 'D:' -ErrorAction "
    "SilentlyContinue).ProtectionStatus\"";
constexpr char kPercentageArguments[] =
    "-NoProfile -NonInteractive -Command \"(Get-BitLockerVolume -MountPoint 'E:' -ErrorAction "
    "SilentlyContinue).EncryptionPercentage\"";
constexpr char kDecryptionArguments[] =
    "-NoProfile -NonInteractive -Command \"$v = Get-BitLockerVolume -MountPoint 'F:' -ErrorAction "
    "SilentlyContinue; if (-not $v) { 'QUERY_FAILED' } elseif ($v.VolumeStatus -eq 'FullyDecrypted') { "
    "'ALREADY_OFF' } else { try { Disable-BitLocker -MountPoint 'F:' -ErrorAction Stop | Out-Null; 'STARTED' } "
    "catch { 'START_FAILED' } }\"";

struct BitLockerTest : pl::test::LoggedTest {
  FakeToolRule PowerShell(const std::string& output, uint32_t exitCode = 0) {
    return {.tool = "powershell", .exitCode = exitCode, .output = output, .times = 1};
  }
  pl::test::FakeTools fake;
};

TEST_F(BitLockerTest, ProtectionIsOnOnlyForTheExactAnswerOn) {
  fake.Add(PowerShell("On\r\n"));
  fake.Add(PowerShell(" \tOff\r\n"));
  fake.Add(PowerShell("on"));
  fake.Add(PowerShell("\r\n"));
  fake.Add(PowerShell("On", 1));
  EXPECT_TRUE(IsBitLockerProtected(L'D'));
  EXPECT_FALSE(IsBitLockerProtected(L'D'));
  EXPECT_FALSE(IsBitLockerProtected(L'D'));
  EXPECT_FALSE(IsBitLockerProtected(L'D'));
  EXPECT_FALSE(IsBitLockerProtected(L'D'));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] 查询 D: 的 BitLocker 状态: On",
                            "T [INFO] 查询 D: 的 BitLocker 状态: Off",
                            "T [INFO] 查询 D: 的 BitLocker 状态: on",
                            "T [INFO] 查询 D: 的 BitLocker 状态查不到（这个环境下可能有 WMI/驱动集成限制），按未加密处理",
                            "T [INFO] 查询 D: 的 BitLocker 状态失败, exitCode=1，按未加密处理",
                        }));
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].arguments, kProtectionArguments);
  EXPECT_EQ(calls[0].workingDirectory, base::WideToUtf8(base::SystemDirectoryPath()));
}

TEST_F(BitLockerTest, ProtectionQueryPastItsLimitCountsAsNotProtected) {
  fake.Add({.tool = "powershell", .output = "On\r\n", .delayMs = 20000});
  EXPECT_FALSE(IsBitLockerProtected(L'D', {.queryMs = 300}));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] 查询 D: 的 BitLocker 状态失败, exitCode=4294967295，按未加密处理"}));
}

TEST_F(BitLockerTest, PercentageIsTheLeadingWholeNumber) {
  fake.Add(PowerShell("57.3\r\n"));
  fake.Add(PowerShell("100"));
  fake.Add(PowerShell("n/a"));
  fake.Add(PowerShell("1234567890123456789012345678901234567890"));
  fake.Add(PowerShell(""));
  fake.Add(PowerShell("12", 5));
  fake.Add(PowerShell("2147483647"));
  fake.Add(PowerShell("2147483648"));
  int percentage = 99;
  EXPECT_TRUE(QueryEncryptionPercentage(L'E', &percentage));
  EXPECT_EQ(percentage, 57);
  EXPECT_TRUE(QueryEncryptionPercentage(L'E', &percentage));
  EXPECT_EQ(percentage, 100);
  for (int failing = 0; failing < 4; ++failing) {
    percentage = 99;
    EXPECT_FALSE(QueryEncryptionPercentage(L'E', &percentage)) << failing;
    EXPECT_EQ(percentage, -1) << failing;
  }
  EXPECT_TRUE(QueryEncryptionPercentage(L'E', &percentage));
  EXPECT_EQ(percentage, 2147483647);
  EXPECT_FALSE(QueryEncryptionPercentage(L'E', &percentage));
  EXPECT_EQ(fake.Calls().at(0).arguments, kPercentageArguments);
  EXPECT_EQ(LogBytes(), "");  // the percentage query logs nothing
}

TEST_F(BitLockerTest, DecryptionStartAnswers) {
  fake.Add(PowerShell("STARTED\r\n"));
  fake.Add(PowerShell("ALREADY_OFF\r\n", 1));  // the exit code is not looked at
  fake.Add(PowerShell("START_FAILED\r\n"));
  fake.Add(PowerShell("QUERY_FAILED\r\n"));
  fake.Add(PowerShell("  \r\n"));
  EXPECT_TRUE(StartBitLockerDecryption(L'F'));
  EXPECT_TRUE(StartBitLockerDecryption(L'F'));
  EXPECT_FALSE(StartBitLockerDecryption(L'F'));
  EXPECT_FALSE(StartBitLockerDecryption(L'F'));
  EXPECT_FALSE(StartBitLockerDecryption(L'F'));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [INFO] 已触发关闭 F: 的 BitLocker 保护（STARTED），实际解密在后台异步进行，需要轮询进度",
                "T [INFO] 已触发关闭 F: 的 BitLocker 保护（ALREADY_OFF），实际解密在后台异步进行，需要轮询进度",
                "T [WARN] 触发关闭 F: 的 BitLocker 保护失败（START_FAILED）",
                "T [WARN] 触发关闭 F: 的 BitLocker 保护失败（QUERY_FAILED）",
                "T [WARN] 触发关闭 F: 的 BitLocker 保护失败（未知原因）",
            }));
  EXPECT_EQ(fake.Calls().at(0).arguments, kDecryptionArguments);
}

TEST(BitLockerText, TrimAndLeadingInteger) {
  // PowerShell's answers are read without the whitespace around them.
  EXPECT_EQ(base::TrimWhitespace(" \t\r\nOn \r\n"), "On");
  EXPECT_EQ(base::TrimWhitespace("\r\n\t "), "");
  EXPECT_EQ(base::TrimWhitespace("a b"), "a b");
  int value = -5;
  EXPECT_TRUE(ParseLeadingInteger("0", &value));
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(ParseLeadingInteger("-3", &value));
  EXPECT_FALSE(ParseLeadingInteger(".5", &value));
  EXPECT_FALSE(ParseLeadingInteger("", &value));
  EXPECT_TRUE(ParseLeadingInteger("007%", &value));
  EXPECT_EQ(value, 7);
}

}  // namespace
}  // namespace pl::disks
