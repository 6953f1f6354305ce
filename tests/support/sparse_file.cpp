#include "sparse_file.h"

#include <windows.h>

#include "base/unique_handle.h"

namespace pl::test {
namespace {

bool MoveTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

bool MakeFileOfSize(const std::wstring& path, uint64_t size) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return file && MoveTo(file.get(), size) && SetEndOfFile(file.get());
}

std::string ReadFileRange(const std::wstring& path, uint64_t offset, uint32_t count) {
  base::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes(count, '\0');
  DWORD got = 0;
  if (!file || !MoveTo(file.get(), offset) || !ReadFile(file.get(), bytes.data(), count, &got, nullptr)) return {};
  bytes.resize(got);
  return bytes;
}

}  // namespace pl::test
