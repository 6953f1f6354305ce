#pragma once
// Text helpers: conversions between UTF-8 (the program's texts), UTF-16 (what Windows takes) and tool output
// code pages; ASCII case and trimming; drive letters as text.

#include <string>
#include <string_view>

namespace pl::base {

// Empty when the input is empty or the conversion fails; never an error.
std::wstring CodePageToWide(unsigned codePage, std::string_view text);
std::string WideToCodePage(unsigned codePage, std::wstring_view text);

// Strict: malformed UTF-8 or a lone surrogate gives empty, never silently altered text.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// For text that is shown whatever it holds (the console): malformed sequences become U+FFFD.
std::wstring Utf8ToWideReplacing(std::string_view text);
// Command-line tools are read as code page 936 whatever the console code page is.
std::string GbkToUtf8(std::string_view text);

// 'A' to 'Z' lowered; every other unit, non-ASCII ones included, unchanged.
std::string AsciiLower(std::string_view text);
std::wstring AsciiLower(std::wstring_view text);

// Without the blanks at both ends: TrimBlanks takes spaces and tabs, TrimWhitespace also CR and LF.
std::string_view TrimBlanks(std::string_view text);
std::wstring_view TrimBlanks(std::wstring_view text);
std::string_view TrimWhitespace(std::string_view text);
std::wstring_view TrimWhitespace(std::wstring_view text);

// Printable ASCII (0x20 to 0x7E) kept, every other byte "?": for texts a device reports as raw bytes.
std::string PrintableAscii(std::string_view text);

// L'C' -> "C", for messages.
std::string DriveLetterText(wchar_t letter);
// L'C' -> L"C:\", the root path of the drive.
std::wstring DriveRoot(wchar_t letter);

}  // namespace pl::base
