#include "config/ini_document.h"

#include <windows.h>

#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::config {

bool LoadIniFile(const std::wstring& path, IniDocument* document) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string bytes;
  char block[16384];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), block, sizeof block, &got, nullptr)) return false;
    if (got == 0) break;
    bytes.append(block, got);
  }
  *document = ParseIniText(DecodeIniBytes(bytes));
  return true;
}

std::string DecodeIniBytes(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  return base::GbkToUtf8(bytes);
}

}  // namespace pl::config
