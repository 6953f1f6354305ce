#include "base/text.h"

#include <windows.h>

namespace pl::base {
namespace {

std::wstring ToWide(unsigned codePage, DWORD flags, std::string_view text) {
  if (text.empty()) return {};
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<size_t>(needed), L'\0');
  const int done = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), needed);
  if (done <= 0) return {};
  out.resize(static_cast<size_t>(done));
  return out;
}

// UTF-8 is converted strictly, so malformed text comes back empty instead of silently altered.
DWORD ToWideFlags(unsigned codePage) { return codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0; }
DWORD FromWideFlags(unsigned codePage) { return codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0; }

}  // namespace

std::wstring CodePageToWide(unsigned codePage, std::string_view text) {
  return ToWide(codePage, ToWideFlags(codePage), text);
}

std::string WideToCodePage(unsigned codePage, std::wstring_view text) {
  if (text.empty()) return {};
  const int needed = WideCharToMultiByte(codePage, FromWideFlags(codePage), text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  const int done = WideCharToMultiByte(codePage, FromWideFlags(codePage), text.data(), static_cast<int>(text.size()),
                                       out.data(), needed, nullptr, nullptr);
  if (done <= 0) return {};
  out.resize(static_cast<size_t>(done));
  return out;
}

std::wstring Utf8ToWide(std::string_view text) { return CodePageToWide(CP_UTF8, text); }
std::string WideToUtf8(std::wstring_view text) { return WideToCodePage(CP_UTF8, text); }
std::wstring Utf8ToWideReplacing(std::string_view text) { return ToWide(CP_UTF8, 0, text); }
std::string GbkToUtf8(std::string_view text) { return WideToUtf8(CodePageToWide(936, text)); }

std::string DriveLetterText(wchar_t letter) { return WideToUtf8(std::wstring(1, letter)); }
std::wstring DriveRoot(wchar_t letter) { return std::wstring(1, letter) + L":\\"; }

}  // namespace pl::base
