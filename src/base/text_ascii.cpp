// ASCII case, trimming and printable bytes: plain C++, so the parsers built on them also build natively (tests/fuzz).
#include "base/text.h"

namespace pl::base {
namespace {

template <typename Char>
std::basic_string<Char> Lowered(std::basic_string_view<Char> text) {
  std::basic_string<Char> out(text);
  for (Char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<Char>(c - 'A' + 'a');
  }
  return out;
}

template <typename Char>
std::basic_string_view<Char> Trimmed(std::basic_string_view<Char> text, std::basic_string_view<Char> blanks) {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::basic_string_view<Char>::npos) return {};
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string AsciiLower(std::string_view text) { return Lowered(text); }
std::wstring AsciiLower(std::wstring_view text) { return Lowered(text); }

std::string_view TrimBlanks(std::string_view text) { return Trimmed<char>(text, " \t"); }
std::wstring_view TrimBlanks(std::wstring_view text) { return Trimmed<wchar_t>(text, L" \t"); }
std::string_view TrimWhitespace(std::string_view text) { return Trimmed<char>(text, " \t\r\n"); }
std::wstring_view TrimWhitespace(std::wstring_view text) { return Trimmed<wchar_t>(text, L" \t\r\n"); }

std::string PrintableAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return out;
}

}  // namespace pl::base
