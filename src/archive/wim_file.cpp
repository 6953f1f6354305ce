#include "archive/wim_file.h"

#include <windows.h>

#include <algorithm>

#include "base/unique_handle.h"

namespace pl::archive {
namespace {

constexpr size_t kReadChunk = 1u << 20;  // ReadFile takes a 32-bit length; the XML is at most a few chunks

std::string WithCode(const char* what, DWORD code) {
  return std::string(what) + ", GetLastError=" + std::to_string(code);
}

bool ReadAt(HANDLE file, uint64_t offset, size_t length, uint8_t* buffer, std::string* error) {
  size_t done = 0;
  while (done < length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min(length - done, kReadChunk));
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, chunk, &got, &at)) {
      *error = WithCode("读取文件失败", GetLastError());
      return false;
    }
    if (got == 0) {  // the file shrank since its size was taken
      *error = WithCode("读取文件失败", ERROR_HANDLE_EOF);
      return false;
    }
    done += got;
  }
  return true;
}

}  // namespace

bool ReadWimFileImageList(const std::wstring& path, WimInfo* info, std::string* error) {
  *info = WimInfo{};
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = WithCode("无法打开文件", GetLastError());
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    *error = WithCode("无法获取文件大小", GetLastError());
    return false;
  }
  WimSource source;
  source.size = static_cast<uint64_t>(size.QuadPart);
  source.read = [handle = file.get()](uint64_t offset, size_t length, uint8_t* buffer, std::string* readError) {
    return ReadAt(handle, offset, length, buffer, readError);
  };
  return ReadWimImageList(source, info, error);
}

}  // namespace pl::archive
