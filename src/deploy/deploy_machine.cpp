#include "deploy/deploy_machine.h"

#include <windows.h>

#include <cctype>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "base/winpe.h"
#include "boot/pe_boot_entry.h"
#include "disks/inventory.h"
#include "tools/tool_runner.h"

namespace pl::deploy {
namespace {

using base::WideToUtf8;

// A marker is a few lines; anything larger is not ours.
constexpr DWORD kMarkerLimit = 4096;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The product name in the offline SOFTWARE hive, opened privately (nothing is mounted for others to see).
std::string WindowsOn(const std::wstring& root) {
  if (!Exists(root + L"Windows\\System32\\ntoskrnl.exe")) return {};
  base::UniqueRegKey hive;
  const std::wstring file = root + L"Windows\\System32\\config\\SOFTWARE";
  if (RegLoadAppKeyW(file.c_str(), hive.put(), KEY_READ, 0, 0) == ERROR_SUCCESS) {
    wchar_t name[256] = {};
    DWORD size = sizeof name;
    if (RegGetValueW(hive.get(), L"Microsoft\\Windows NT\\CurrentVersion", L"ProductName", RRF_RT_REG_SZ, nullptr,
                     name, &size) == ERROR_SUCCESS &&
        name[0] != L'\0') {
      return WideToUtf8(name);
    }
  }
  return "Windows";
}

bool ReadMarker(const std::wstring& root, pipeline::TargetMarker* marker) {
  base::UniqueFileHandle file(CreateFileW((root + pipeline::kTargetMarkerName).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  std::string bytes(kMarkerLimit, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), kMarkerLimit, &got, nullptr)) return false;
  bytes.resize(got);
  return got < kMarkerLimit && pipeline::ParseTargetMarker(bytes, marker);
}

tools::ToolRunResult RunBcdeditQuery(const wchar_t* arguments) {
  return tools::RunSystemTool(L"bcdedit.exe", arguments, 60000);
}

std::string CurrentBootEntry() {
  // /v: the entry's own identifier instead of the alias "{current}".
  const tools::ToolRunResult run = RunBcdeditQuery(L"/enum {current} /v");
  std::string entry;
  if (!run.started || run.exitCode != 0 || !boot::ParseEntryIdentifier(run.output, &entry)) return {};
  return entry;
}

wchar_t BootManagerLetter() {
  const tools::ToolRunResult run = RunBcdeditQuery(L"/enum {bootmgr}");
  if (!run.started || run.exitCode != 0) return 0;
  return DriveLetterOfDevice(BootManagerDevice(run.output), [](wchar_t letter) {
    wchar_t target[MAX_PATH] = {};
    const wchar_t name[] = {letter, L':', L'\0'};
    return QueryDosDeviceW(name, target, MAX_PATH) != 0 ? std::wstring(target) : std::wstring();
  });
}

}  // namespace

const DeployMachine& LiveDeployMachine() {
  static const DeployMachine machine = {
      .volumes = ReadVolumes,
      .currentBootEntry = CurrentBootEntry,
      .bootManagerLetter = BootManagerLetter,
      .isWinPE = base::IsWinPE,
      .peLetter =
          [] {
            return disks::PeOwnDriveLetter(base::WindowsDirectoryPath(),
                                           base::ReadEnvironmentVariable(L"SystemDrive"));
          },
      .programPath = base::ModuleFilePath,
  };
  return machine;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got > 0) bytes->append(block, got);
  return true;
}

std::vector<VolumeFacts> ReadVolumes() {
  std::vector<VolumeFacts> volumes;
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (((drives >> (letter - L'A')) & 1u) == 0) continue;
    const std::wstring root = base::DriveRoot(letter);
    const UINT type = GetDriveTypeW(root.c_str());
    if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR) continue;
    VolumeFacts volume;
    volume.letter = letter;
    volume.fixed = type == DRIVE_FIXED;
    volume.removable = type == DRIVE_REMOVABLE;
    volume.guidPath = WideToUtf8(disks::VolumeGuidPathOfDrive(letter));
    volume.label = disks::VolumeLabelOfDrive(letter);
    ULARGE_INTEGER total{};
    if (GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr)) volume.totalBytes = total.QuadPart;
    volume.windows = WindowsOn(root);
    volume.hasMarker = ReadMarker(root, &volume.marker);
    volumes.push_back(volume);
  }
  return volumes;
}

std::string BootManagerDevice(std::string_view bcdeditOutput) {
  constexpr std::string_view kPartition = "partition=";
  const size_t at = bcdeditOutput.find(kPartition);
  if (at == std::string_view::npos) return {};
  std::string_view device = bcdeditOutput.substr(at + kPartition.size());
  device = device.substr(0, device.find_first_of("\r\n"));
  return std::string(base::TrimBlanks(device));
}

wchar_t DriveLetterOfDevice(const std::string& device, const std::function<std::wstring(wchar_t)>& deviceOfLetter) {
  if (device.size() == 2 && device[1] == ':' && std::isalpha(static_cast<unsigned char>(device[0]))) {
    return static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(device[0])));
  }
  if (device.empty()) return 0;
  const std::wstring wanted = base::AsciiLower(base::Utf8ToWide(device));
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring behind = deviceOfLetter(letter);
    if (!behind.empty() && base::AsciiLower(behind) == wanted) return letter;
  }
  return 0;
}

}  // namespace pl::deploy
