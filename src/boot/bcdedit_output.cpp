// The reading of bcdedit's answers: plain C++, so it also builds natively for fuzzing (tests/fuzz).
#include "boot/pe_boot_entry.h"

#include <string_view>

namespace pl::boot {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameWordIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lowerWord[i]) return false;
  }
  return true;
}

bool IsBracedWord(std::string_view value) {
  if (value.size() < 3 || value.front() != '{' || value.back() != '}') return false;
  for (char c : value.substr(1, value.size() - 2)) {
    if (IsBlank(c) || c == '{' || c == '}') return false;
  }
  return true;
}

// A whole number of one to nine digits (bcdedit prints the time-out in seconds); -1 otherwise.
int SmallNumber(std::string_view value) {
  if (value.empty() || value.size() > 9) return -1;
  int number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

}  // namespace

bool ParseEntryIdentifier(const std::string& bcdeditOutput, std::string* entryId) {
  const size_t open = bcdeditOutput.find('{');
  if (open == std::string::npos) return false;
  const size_t close = bcdeditOutput.find('}', open + 1);
  if (close == std::string::npos) return false;
  *entryId = bcdeditOutput.substr(open, close - open + 1);
  return true;
}

BootDefaults ParseBootManagerDefaults(const std::string& enumOutput) {
  BootDefaults defaults;
  bool defaultSeen = false;
  bool timeoutSeen = false;
  std::string_view rest = enumOutput;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t split = 0;
    while (split < line.size() && !IsBlank(line[split])) ++split;
    const std::string_view name = line.substr(0, split);
    const std::string_view value = Trim(line.substr(split));
    // Only the first line of each name counts: the answer describes one object.
    if (!defaultSeen && SameWordIgnoringCase(name, "default")) {
      defaultSeen = true;
      if (IsBracedWord(value)) defaults.defaultId = std::string(value);
    } else if (!timeoutSeen && SameWordIgnoringCase(name, "timeout")) {
      timeoutSeen = true;
      defaults.timeoutSeconds = SmallNumber(value);
    }
  }
  return defaults;
}

}  // namespace pl::boot
