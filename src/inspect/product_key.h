#pragma once
// Keeping the machine's Windows product key for the new system. Three sources, most trustworthy first: the OEM
// key the firmware carries (asked through WMI), the key Windows keeps in its licensing registry, and the key
// encoded in the registry's product identifier. Inside a PE the target system's SOFTWARE hive is mounted for
// the two registry sources; the PE's own registry would give a wrong key.

#include <cstddef>
#include <cstdint>
#include <string>

namespace pl::inspect {

// Where the offline SOFTWARE hive is mounted under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kOfflineHiveName[] = L"PL_OfflineSoftwareHive";

struct ProductKeySources {
  int32_t wmiTimeLimitMs = 15000;
  // The running system's registry root under HKEY_LOCAL_MACHINE; tests point it at a scratch key.
  std::wstring registryRoot = L"SOFTWARE";
};

// The key, or empty when no source yields one. `offlineLetter` is the target system's drive inside a PE (its
// SOFTWARE hive is mounted and read, never the running registry), 0 on a running Windows. Logs each source.
std::string ReadProductKey(wchar_t offlineLetter, const ProductKeySources& sources = {});

// The firmware's OEM key as PowerShell printed it, trimmed; empty on any failure (logged).
std::string ReadOemKeyViaWmi(int32_t timeLimitMs = 15000);

// `root`: a key under HKEY_LOCAL_MACHINE holding "Microsoft\Windows NT\CurrentVersion".
std::string ReadBackupProductKey(const std::wstring& root);
std::string DecodeDigitalProductIdKey(const std::wstring& root);

// "XXXXX-XXXXX-XXXXX-XXXXX-XXXXX" from bytes 52 to 66 of a DigitalProductId blob, in the form used before
// Windows 8; empty when the blob holds fewer than 67 bytes.
std::string DecodeProductKeyBytes(const unsigned char* bytes, size_t size);

// Mounts letter:\Windows\System32\config\SOFTWARE as HKLM\PL_OfflineSoftwareHive; logs a failure.
bool LoadOfflineSoftwareHive(wchar_t letter);
// Logs a failure; a key already read stays good.
void UnloadOfflineSoftwareHive();

// Enables one privilege ("SeBackupPrivilege") in the process token; false when it is not held.
bool EnablePrivilege(const wchar_t* name);

}  // namespace pl::inspect
