#include "disks/bitlocker.h"

#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::disks {
namespace {

// "(Get-BitLockerVolume -MountPoint 'D:' -ErrorAction SilentlyContinue).<property>"
std::wstring VolumeProperty(wchar_t letter, const wchar_t* property) {
  return std::wstring(L"(Get-BitLockerVolume -MountPoint '") + letter +
         L":' -ErrorAction SilentlyContinue)." + property;
}

}  // namespace

bool IsBitLockerProtected(wchar_t letter, const BitLockerTimeLimits& limits) {
  const std::string drive = base::DriveLetterText(letter);
  const tools::ToolRunResult run = tools::RunPowerShell(VolumeProperty(letter, L"ProtectionStatus"), limits.queryMs);
  if (!run.started) {
    log::LogInfo("查询 " + drive + ": 的 BitLocker 状态失败（PowerShell 启动不了），按未加密处理");
    return false;
  }
  if (run.exitCode != 0) {
    log::LogInfo("查询 " + drive + ": 的 BitLocker 状态失败, exitCode=" + std::to_string(run.exitCode) +
                 "，按未加密处理");
    return false;
  }
  const std::string answer = std::string(base::TrimWhitespace(run.output));
  if (answer.empty()) {
    log::LogInfo("查询 " + drive + ": 的 BitLocker 状态查不到（这个环境下可能有 WMI/驱动集成限制），按未加密处理");
    return false;
  }
  log::LogInfo("查询 " + drive + ": 的 BitLocker 状态: " + answer);
  return answer == "On";
}

bool QueryEncryptionPercentage(wchar_t letter, int* percentage, const BitLockerTimeLimits& limits) {
  *percentage = -1;
  const tools::ToolRunResult run =
      tools::RunPowerShell(VolumeProperty(letter, L"EncryptionPercentage"), limits.queryMs);
  if (!run.started || run.exitCode != 0) return false;
  int value = 0;
  if (!ParseLeadingInteger(base::TrimWhitespace(run.output), &value)) return false;
  *percentage = value;
  return true;
}

bool StartBitLockerDecryption(wchar_t letter, const BitLockerTimeLimits& limits) {
  const std::string drive = base::DriveLetterText(letter);
  const std::wstring mountPoint = std::wstring(1, letter) + L":";
  const std::wstring script =
      L"$v = Get-BitLockerVolume -MountPoint '" + mountPoint +
      L"' -ErrorAction SilentlyContinue; if (-not $v) { 'QUERY_FAILED' } elseif ($v.VolumeStatus -eq "
      L"'FullyDecrypted') { 'ALREADY_OFF' } else { try { Disable-BitLocker -MountPoint '" +
      mountPoint + L"' -ErrorAction Stop | Out-Null; 'STARTED' } catch { 'START_FAILED' } }";
  // The exit code says nothing here: the script's answer does.
  const tools::ToolRunResult run = tools::RunPowerShell(script, limits.startMs);
  if (!run.started) {
    log::LogWarn("触发关闭 " + drive + ": 的 BitLocker 保护失败（PowerShell 启动不了）");
    return false;
  }
  const std::string answer = std::string(base::TrimWhitespace(run.output));
  if (answer == "STARTED" || answer == "ALREADY_OFF") {
    log::LogInfo("已触发关闭 " + drive + ": 的 BitLocker 保护（" + answer + "），实际解密在后台异步进行，需要轮询进度");
    return true;
  }
  log::LogWarn("触发关闭 " + drive + ": 的 BitLocker 保护失败（" + (answer.empty() ? "未知原因" : answer) + "）");
  return false;
}

}  // namespace pl::disks
