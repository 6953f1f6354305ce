#include "net/http_head.h"

#include "base/text.h"
#include "net/part_map.h"

namespace pl::net {
namespace {

bool IsTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool ParseDecimal(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

// Whether the comma-separated list holds `token`, compared without case.
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view item = base::TrimBlanks(list.substr(0, comma));
    if (base::AsciiLower(item) == token) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// The next line without its line break (LF, or CR LF); false at the end of the text.
bool NextLine(std::string_view* text, std::string_view* line) {
  if (text->empty()) return false;
  const size_t lf = text->find('\n');
  *line = text->substr(0, lf);
  text->remove_prefix(lf == std::string_view::npos ? text->size() : lf + 1);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  return true;
}

}  // namespace

size_t ResponseHeadLength(std::string_view data) {
  const std::string_view window = data.substr(0, kMaxResponseHead);
  for (size_t lf = window.find('\n'); lf != std::string_view::npos; lf = window.find('\n', lf + 1)) {
    // A blank line: LF LF or LF CR LF.
    if (lf + 1 < window.size() && window[lf + 1] == '\n') return lf + 2;
    if (lf + 2 < window.size() && window[lf + 1] == '\r' && window[lf + 2] == '\n') return lf + 3;
  }
  return data.size() >= kMaxResponseHead ? kHeadTooLong : 0;
}

bool ParseResponseHead(std::string_view head, ResponseHead* out) {
  ResponseHead parsed;
  std::string_view line;
  if (!NextLine(&head, &line) || line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[7] < '0' ||
      line[7] > '9' || line[8] != ' ' || (line.size() > 12 && line[12] != ' ')) {
    return false;
  }
  uint64_t status = 0;
  if (!ParseDecimal(line.substr(9, 3), &status) || status < 100) return false;
  parsed.status = static_cast<int>(status);
  const bool http10 = line[7] == '0';
  bool close = false, keepAlive = false;
  while (NextLine(&head, &line)) {
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    for (char c : line.substr(0, colon)) {
      if (!IsTokenChar(c)) return false;  // also a folded line, which starts with a blank
    }
    const std::string name = base::AsciiLower(line.substr(0, colon));
    const std::string_view value = base::TrimBlanks(line.substr(colon + 1));
    if (name == "content-length") {
      uint64_t length = 0;
      if (!ParseDecimal(value, &length) || (parsed.hasLength && length != parsed.length)) return false;
      parsed.hasLength = true;
      parsed.length = length;
    } else if (name == "content-range") {
      parsed.contentRange = std::string(value);
      parsed.hasRange = ParseContentRange(value, &parsed.rangeFirst, &parsed.rangeLast, &parsed.rangeTotal);
    } else if (name == "transfer-encoding") {
      if (base::AsciiLower(value) != "identity") parsed.encoded = true;
    } else if (name == "connection") {
      close = close || ListHas(value, "close");
      keepAlive = keepAlive || ListHas(value, "keep-alive");
    }
  }
  parsed.keepAlive = !close && (!http10 || keepAlive);
  *out = std::move(parsed);
  return true;
}

std::string RangeRequestText(std::string_view host, std::string_view path, uint64_t first, uint64_t last) {
  std::string text = "GET ";
  text.append(path);
  text += " HTTP/1.1\r\nHost: ";
  text.append(host);
  text += "\r\nUser-Agent: " PL_NET_USER_AGENT "\r\nRange: bytes=" + std::to_string(first) + "-" +
          std::to_string(last) + "\r\nAccept-Encoding: identity\r\n\r\n";
  return text;
}

bool GoesDirect(const ProxyFacts& facts) {
  if (facts.defaultProxy || facts.userProxy) return false;
  if (!facts.userScript && !facts.userDetect) return true;
  if (facts.answer == AutoProxyAnswer::kDirect) return true;
  // Detection that finds nothing leaves WinHTTP going direct too; a script that cannot be had does not.
  return facts.answer == AutoProxyAnswer::kDetectionFailed && !facts.userScript;
}

}  // namespace pl::net
