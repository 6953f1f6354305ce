// The INI reader over any text, and its lookups on what it read.
#include <string>

#include "config/ini_document.h"
#include "fuzz_check.h"

using namespace pl::config;

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool Trimmed(const std::string& s) { return s.empty() || (!Blank(s.front()) && !Blank(s.back())); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const IniDocument document = ParseIniText(text);
  for (const IniSection& section : document.sections) {
    PL_FUZZ_CHECK(section.name.find_first_of("\r\n") == std::string::npos);
    for (const auto& [key, value] : section.pairs) {
      PL_FUZZ_CHECK(!key.empty() && Trimmed(key) && Trimmed(value));
      PL_FUZZ_CHECK(key.find('=') == std::string::npos);
      PL_FUZZ_CHECK(key.find_first_of("\r\n") == std::string::npos && value.find_first_of("\r\n") == std::string::npos);
    }
  }
  // Lookups on the first sections (all of them would cost quadratic time on inputs of many tiny sections): the
  // first section of a name gives the pairs, and its first pair is the value of that key.
  for (size_t i = 0; i < document.sections.size() && i < 32; ++i) {
    const IniSection& section = document.sections[i];
    bool first = true;
    for (size_t j = 0; j < i; ++j) first = first && document.sections[j].name != section.name;
    if (!first) continue;
    PL_FUZZ_CHECK(GetIniPairs(document, section.name) == section.pairs);
    if (!section.pairs.empty()) {
      PL_FUZZ_CHECK(GetIniValue(document, section.name, section.pairs[0].first) == section.pairs[0].second);
    }
  }
  return 0;
}
