#include "inspect/product_key.h"

#include <windows.h>

#include "base/text.h"
#include "base/unique_handle.h"
#include "inspect/powershell_query.h"
#include "log/log.h"

namespace pl::inspect {
namespace {

constexpr wchar_t kCurrentVersion[] = L"\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kKeyAlphabet[] = "BCDFGHJKMPQRTVWXY2346789";
constexpr size_t kKeyOffset = 52;
constexpr size_t kKeyBytes = 15;

std::wstring OfflineHivePath(wchar_t letter) {
  return std::wstring(1, letter) + L":\\Windows\\System32\\config\\SOFTWARE";
}

}  // namespace

std::string ReadProductKey(wchar_t offlineLetter, const ProductKeySources& sources) {
  std::string key = ReadOemKeyViaWmi(sources.wmiTimeLimitMs);
  if (!key.empty()) {
    log::LogInfo("通过 WMI OA3xOriginalProductKey 读到 OEM 出厂密钥");
    return key;
  }
  std::wstring root = sources.registryRoot;
  if (offlineLetter != 0) {
    log::LogInfo("当前运行在 WinPE 里，挂载目标系统盘 " + base::DriveLetterText(offlineLetter) +
                 ": 的离线注册表读取密钥（不能直接读 HKEY_LOCAL_MACHINE，那是 PE 自己的注册表）");
    if (!LoadOfflineSoftwareHive(offlineLetter)) {
      log::LogWarn(
          "挂载离线注册表失败，本次跳过 BackupProductKeyDefault/DigitalProductId 这两条路径（不去读 PE "
          "自己的在线注册表兜底——那读出来的密钥是错的，比读不到还糟糕）");
      return {};
    }
    root = kOfflineHiveName;
  }
  // Unloaded on every way out: a mount left behind is kept in the registry for good.
  base::ScopeGuard unloadMount([mounted = offlineLetter != 0] {
    if (mounted) UnloadOfflineSoftwareHive();
  });
  log::LogInfo(
      "WMI 查不到 OEM 出厂密钥（虚拟机/数字权利激活/手动输入密钥的机器都会是这样），退化读取注册表 "
      "BackupProductKeyDefault");
  key = ReadBackupProductKey(root);
  if (!key.empty()) {
    log::LogInfo("通过 BackupProductKeyDefault 读到当前生效密钥");
  } else {
    log::LogInfo("BackupProductKeyDefault 也没有，退化解码 DigitalProductId 做最后尝试");
    key = DecodeDigitalProductIdKey(root);
    if (!key.empty()) log::LogInfo("通过 DigitalProductId 读到当前生效密钥");
  }
  return key;
}

std::string ReadOemKeyViaWmi(int32_t timeLimitMs) {
  return QueryPowerShell(
      L"(Get-CimInstance -Query 'SELECT OA3xOriginalProductKey FROM SoftwareLicensingService').OA3xOriginalProductKey",
      timeLimitMs, "启动 PowerShell 读取 OEM 密钥失败", "PowerShell 读取 OEM 密钥失败, exitCode=");
}

std::string ReadBackupProductKey(const std::wstring& root) {
  const std::wstring subkey = root + kCurrentVersion + L"\\SoftwareProtectionPlatform";
  wchar_t buffer[64] = {};
  DWORD size = sizeof buffer;
  const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), L"BackupProductKeyDefault",
                                      RRF_RT_REG_SZ, nullptr, buffer, &size);
  if (status != ERROR_SUCCESS) {
    log::LogInfo("读取注册表 BackupProductKeyDefault 失败或不存在, LSTATUS=" + std::to_string(status));
    return {};
  }
  const std::wstring text(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
  return std::string(base::TrimWhitespace(base::WideToUtf8(text)));
}

std::string DecodeDigitalProductIdKey(const std::wstring& root) {
  const std::wstring subkey = root + kCurrentVersion;
  unsigned char blob[1024];
  DWORD size = sizeof blob;
  const LSTATUS status =
      RegGetValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), L"DigitalProductId", RRF_RT_REG_BINARY, nullptr, blob, &size);
  if (status != ERROR_SUCCESS) {
    log::LogInfo("读取注册表 DigitalProductId 失败或不存在, LSTATUS=" + std::to_string(status));
    return {};
  }
  std::string key = DecodeProductKeyBytes(blob, size);
  if (key.empty()) log::LogWarn("DigitalProductId 数据长度不足，解码失败");
  return key;
}

std::string DecodeProductKeyBytes(const unsigned char* bytes, size_t size) {
  if (bytes == nullptr || size < kKeyOffset + kKeyBytes) return {};
  // A 120-bit little-endian number divided by 24 in place, 25 times; each remainder is one letter, last first.
  unsigned char number[kKeyBytes];
  for (size_t i = 0; i < kKeyBytes; ++i) number[i] = bytes[kKeyOffset + i];
  char letters[25];
  for (int position = 24; position >= 0; --position) {
    unsigned remainder = 0;
    for (int i = static_cast<int>(kKeyBytes) - 1; i >= 0; --i) {
      const unsigned value = remainder * 256 + number[i];
      number[i] = static_cast<unsigned char>(value / 24);
      remainder = value % 24;
    }
    letters[position] = kKeyAlphabet[remainder];
  }
  std::string key;
  for (int i = 0; i < 25; ++i) {
    if (i > 0 && i % 5 == 0) key += '-';
    key += letters[i];
  }
  return key;
}

bool LoadOfflineSoftwareHive(wchar_t letter) {
  // The load needs both privileges on Windows; it is attempted whatever they answer.
  EnablePrivilege(L"SeBackupPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");
  const std::wstring hive = OfflineHivePath(letter);
  base::UniqueRegKey stale;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOfflineHiveName, 0, KEY_READ, stale.put()) == ERROR_SUCCESS) {
    stale.reset();
    log::LogWarn("上次挂载的离线注册表 HKLM\\PL_OfflineSoftwareHive 还在（上次运行没来得及卸载），先卸载再挂载");
    UnloadOfflineSoftwareHive();
  }
  const LSTATUS status = RegLoadKeyW(HKEY_LOCAL_MACHINE, kOfflineHiveName, hive.c_str());
  if (status != ERROR_SUCCESS) {
    log::LogWarn("挂载离线注册表失败: " + base::WideToUtf8(hive) + ", LSTATUS=" + std::to_string(status));
    return false;
  }
  return true;
}

void UnloadOfflineSoftwareHive() {
  const LSTATUS status = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, kOfflineHiveName);
  if (status != ERROR_SUCCESS) {
    log::LogWarn("卸载离线注册表挂载失败, LSTATUS=" + std::to_string(status) +
                 "（不影响已经读到的密钥，只是这个临时挂载点没清干净）");
  }
}

bool EnablePrivilege(const wchar_t* name) {
  base::UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return false;
  TOKEN_PRIVILEGES privileges = {};
  if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return false;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Success with ERROR_NOT_ALL_ASSIGNED means the token does not hold it.
  if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr)) return false;
  return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

}  // namespace pl::inspect
