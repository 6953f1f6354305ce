#pragma once
// Conversions between UTF-8 (the program's texts), UTF-16 (what Windows takes) and tool output code pages.

#include <string>
#include <string_view>

namespace pl::tools {

// Empty when the input is empty or the conversion fails; never an error.
std::wstring CodePageToWide(unsigned codePage, std::string_view text);
std::string WideToCodePage(unsigned codePage, std::wstring_view text);

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// Command-line tools are read as code page 936 whatever the console code page is.
std::string GbkToUtf8(std::string_view text);

}  // namespace pl::tools
