// The INI text parser and lookups: plain C++, so they also build natively for fuzzing (tests/fuzz).
#include "config/ini_document.h"

#include "base/text.h"

namespace pl::config {

IniDocument ParseIniText(std::string_view text) {
  IniDocument document;
  std::string current;  // the section name pairs go to; empty before the first header
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line;
    for (char c : text.substr(start, end - start)) {
      if (c != '\r') line += c;
    }
    start = end + 1;

    const std::string_view trimmed = base::TrimWhitespace(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') continue;
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      current = std::string(trimmed.substr(1, trimmed.size() - 2));
      document.sections.push_back({current, {}});
      continue;
    }
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = base::TrimWhitespace(trimmed.substr(0, equals));
    if (key.empty()) continue;
    if (document.sections.empty() || document.sections.back().name != current) {
      document.sections.push_back({current, {}});
    }
    document.sections.back().pairs.emplace_back(std::string(key),
                                                std::string(base::TrimWhitespace(trimmed.substr(equals + 1))));
  }
  return document;
}

std::string GetIniValue(const IniDocument& document, std::string_view section, std::string_view key) {
  for (const IniSection& s : document.sections) {
    if (s.name != section) continue;
    for (const IniPair& pair : s.pairs) {
      if (pair.first == key) return pair.second;
    }
  }
  return {};
}

std::vector<IniPair> GetIniPairs(const IniDocument& document, std::string_view section) {
  for (const IniSection& s : document.sections) {
    if (s.name == section) return s.pairs;
  }
  return {};
}

}  // namespace pl::config
