#include "net/http_head.h"

#include <algorithm>
#include <cstring>

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
  bool close = false, keepAlive = false, otherCoding = false;
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
      const std::string coding = base::AsciiLower(value);
      if (coding == "identity") continue;
      parsed.encoded = true;
      otherCoding = otherCoding || coding != "chunked";
      parsed.chunked = !otherCoding;
    } else if (name == "accept-ranges") {
      parsed.acceptsRanges = parsed.acceptsRanges || ListHas(value, "bytes");
    } else if (name == "connection") {
      close = close || ListHas(value, "close");
      keepAlive = keepAlive || ListHas(value, "keep-alive");
    }
  }
  // Two ways to tell where the body ends: a message that may be smuggling another.
  if (parsed.encoded && parsed.hasLength) return false;
  parsed.keepAlive = !close && (!http10 || keepAlive);
  *out = std::move(parsed);
  return true;
}

namespace {

std::string GetRequestText(std::string_view host, std::string_view path, const std::string& range) {
  std::string text = "GET ";
  text.append(path);
  text += " HTTP/1.1\r\nHost: ";
  text.append(host);
  text += "\r\nUser-Agent: " PL_NET_USER_AGENT "\r\n";
  if (!range.empty()) text += "Range: " + range + "\r\n";
  text += "Accept-Encoding: identity\r\n\r\n";
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string RangeRequestText(std::string_view host, std::string_view path, uint64_t first, uint64_t last) {
  return GetRequestText(host, path, "bytes=" + std::to_string(first) + "-" + std::to_string(last));
}

std::string StreamRequestText(std::string_view host, std::string_view path, uint64_t offset) {
  return GetRequestText(host, path, offset > 0 ? "bytes=" + std::to_string(offset) + "-" : std::string());
}

size_t DecodeChunked(ChunkedDecoder* d, std::string_view in, char* out, size_t outSize, size_t* produced) {
  using State = ChunkedDecoder::State;
  size_t at = 0;
  size_t made = 0;
  while (at < in.size() && d->state != State::kDone && d->state != State::kBad) {
    if (d->state == State::kData) {
      if (made == outSize) break;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(d->left, std::min(in.size() - at, outSize - made)));
      std::memcpy(out + made, in.data() + at, n);
      at += n;
      made += n;
      d->left -= n;
      if (d->left == 0) d->state = State::kDataEnd;
      continue;
    }
    const char c = in[at];
    // A CR belongs to a line end only: an LF must follow it.
    if (d->sawCr && c != '\n') {
      d->state = State::kBad;
      break;
    }
    ++at;
    switch (d->state) {
      case State::kSize:
        if (const int digit = HexValue(c); digit >= 0) {
          if (d->left > (UINT64_MAX >> 4)) {
            d->state = State::kBad;
            break;
          }
          d->left = d->left * 16 + static_cast<uint64_t>(digit);
          d->digits = true;
          if (++d->line > kMaxChunkLine) d->state = State::kBad;
          break;
        }
        if (!d->digits) {
          d->state = State::kBad;
          break;
        }
        d->state = State::kSizeLine;
        --at;  // the rest of the line (an extension, or its end) is read as such
        break;
      case State::kSizeLine:
        if (c == '\r') {
          d->sawCr = true;
        } else if (c == '\n') {
          d->state = d->left == 0 ? State::kTrailer : State::kData;
          d->line = 0;
          d->sawCr = false;
        } else if (++d->line > kMaxChunkLine) {
          d->state = State::kBad;
        }
        break;
      case State::kDataEnd:
        if (c == '\r') {
          d->sawCr = true;
        } else if (c == '\n') {
          d->state = State::kSize;
          d->digits = false;
          d->sawCr = false;
        } else {
          d->state = State::kBad;
        }
        break;
      case State::kTrailer:
        if (++d->trailer > kMaxResponseHead) {
          d->state = State::kBad;
        } else if (c == '\r') {
          d->sawCr = true;
        } else if (c == '\n') {
          d->state = d->line == 0 ? State::kDone : State::kTrailer;
          d->line = 0;
          d->sawCr = false;
        } else {
          ++d->line;
        }
        break;
      default:
        break;
    }
  }
  *produced = made;
  return at;
}

bool GoesDirect(const ProxyFacts& facts) {
  if (facts.defaultProxy || facts.userProxy) return false;
  if (!facts.userScript && !facts.userDetect) return true;
  if (facts.answer == AutoProxyAnswer::kDirect) return true;
  // Detection that finds nothing leaves WinHTTP going direct too; a script that cannot be had does not.
  return facts.answer == AutoProxyAnswer::kDetectionFailed && !facts.userScript;
}

}  // namespace pl::net
