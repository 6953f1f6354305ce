#include "drive_mapping.h"

#include <winioctl.h>

#include <cstring>
#include <vector>

#include "base/file_tree.h"
#include "base/unique_handle.h"
#include "host_link.h"
#include "test_support.h"

namespace pl::test {
namespace {

// Wine's private request to its mount manager, the one its configuration tool uses to add or drop a drive.
constexpr DWORD kDefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct UnixDriveRequest {
  ULONG size;
  ULONG type;  // DRIVE_NO_ROOT_DIR removes the letter
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDevice;
  WCHAR letter;
  USHORT mountPointOffset;  // UTF-8 host path after the record
  USHORT deviceOffset;
  USHORT labelOffset;
};

bool DefineDrive(wchar_t letter, const std::string& hostPath, unsigned type) {
  std::vector<char> request(sizeof(UnixDriveRequest) + hostPath.size() + 1, 0);
  UnixDriveRequest head = {};
  head.size = static_cast<ULONG>(request.size());
  head.type = type;
  head.letter = letter;
  head.mountPointOffset = hostPath.empty() ? 0 : sizeof(UnixDriveRequest);
  std::memcpy(request.data(), &head, sizeof head);
  std::memcpy(request.data() + sizeof head, hostPath.c_str(), hostPath.size());
  base::UniqueFileHandle manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!manager) return false;
  DWORD returned = 0;
  return DeviceIoControl(manager.get(), kDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()), nullptr,
                         0, &returned, nullptr) != FALSE;
}

}  // namespace

ScopedDrive::ScopedDrive(wchar_t l, const std::wstring& folder, const std::string& label, unsigned driveType)
    : letter(l) {
  if (!label.empty()) WriteFileBytes(folder + L"\\.windows-label", label);
  const std::string host = HostPath(folder);
  mapped = !host.empty() && DefineDrive(letter, host, driveType);
}

ScopedDrive::~ScopedDrive() { Unmap(); }

void ScopedDrive::Unmap() {
  if (mapped) DefineDrive(letter, "", DRIVE_NO_ROOT_DIR);
  mapped = false;
}

void PutWindowsKernel(const std::wstring& folder) {
  base::CreateDirectoryTree(folder + L"\\Windows\\System32");
  WriteFileBytes(folder + L"\\Windows\\System32\\ntoskrnl.exe", "MZ");
}

}  // namespace pl::test
