#pragma once
// The small INI reader behind the local catalog file: sections in file order, pairs in section order.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pl::config {

using IniPair = std::pair<std::string, std::string>;  // key, value (UTF-8)

struct IniSection {
  std::string name;  // may be empty (pairs before the first header); names may repeat
  std::vector<IniPair> pairs;

  bool operator==(const IniSection&) const = default;
};

struct IniDocument {
  std::vector<IniSection> sections;

  bool operator==(const IniDocument&) const = default;
};

// False only when the file cannot be opened or read; parsing itself never fails.
bool LoadIniFile(const std::wstring& path, IniDocument* document);

// File bytes to UTF-8: a UTF-8 byte order mark is dropped, anything else is code page 936.
std::string DecodeIniBytes(std::string_view bytes);
// Parses UTF-8 text: lines split at LF with every CR dropped, "[name]" opens a section, "key = value" adds a pair
// (trimmed; an empty key drops the line); lines starting with ';' or '#' and lines without '=' are skipped.
IniDocument ParseIniText(std::string_view text);

// The first pair with that key in any section of that name (exact, case-sensitive); empty when none.
std::string GetIniValue(const IniDocument& document, std::string_view section, std::string_view key);
// The pairs of the first section with that name only; empty when there is none.
std::vector<IniPair> GetIniPairs(const IniDocument& document, std::string_view section);

}  // namespace pl::config
