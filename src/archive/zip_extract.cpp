#include "archive/zip_extract.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "archive/zip_reader.h"
#include "base/file_tree.h"
#include "base/secure_directory.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::archive {
namespace {

constexpr DWORD kIoChunk = 1u << 30;  // ReadFile and WriteFile take 32-bit sizes

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* bytes) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<uint64_t>(size.QuadPart) > bytes->max_size()) {
    return false;
  }
  bytes->resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < bytes->size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, kIoChunk));
    DWORD got = 0;
    // A read that fails or comes up short means no trustworthy archive: nothing is extracted from part of it.
    if (!ReadFile(file.get(), bytes->data() + done, chunk, &got, nullptr) || got == 0) return false;
    done += got;
  }
  return true;
}

WriteResult WriteEntryFile(const std::wstring& path, const EntryContent& content) {
  const size_t cut = path.rfind(L'\\');
  if (cut != std::wstring::npos && !base::CreateDirectoryTree(path.substr(0, cut))) {
    return WriteResult::DirectoryFailed;
  }
  // A link at the entry's name is refused, never written through.
  base::UniqueFileHandle file =
      base::CreateFileNoLink(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (!file) return WriteResult::OpenFailed;
  bool failed = false;
  content([&](std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kIoChunk));
      DWORD wrote = 0;
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
        failed = true;  // a full disk, most likely
        return false;
      }
      done += wrote;
    }
    return true;
  });
  if (!failed) return WriteResult::Written;
  file.reset();
  DeleteFileW(path.c_str());  // a skipped entry leaves no part of itself behind
  return WriteResult::WriteFailed;
}

}  // namespace

bool ExtractZip(const std::wstring& zipPath, const std::wstring& destination, std::string* error) {
  std::vector<uint8_t> archive;
  if (!ReadWholeFile(zipPath, &archive)) {
    if (error) *error = "无法打开 zip 文件";
    return false;
  }
  auto fullPath = [&destination](const std::string& relative) {
    return relative.empty() ? destination : destination + L"\\" + base::Utf8ToWide(relative);
  };
  ExtractTarget target;
  target.destination = base::WideToUtf8(destination);
  target.createDirectoryTree = [&](const std::string& relative) { base::CreateDirectoryTree(fullPath(relative)); };
  target.writeFile = [&](const std::string& relative, const EntryContent& content) {
    return WriteEntryFile(fullPath(relative), content);
  };
  target.logInfo = [](const std::string& message) { log::LogInfo(message); };
  target.logWarn = [](const std::string& message) { log::LogWarn(message); };
  return ExtractArchive(archive, target, error);
}

}  // namespace pl::archive
