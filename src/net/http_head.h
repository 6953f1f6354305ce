#pragma once
// The requests our own connections send and the response head they read back, with the chunked framing of a body,
// as plain text handling apart from any socket, so that tests and the fuzzer can feed it bytes. Also the rule for
// when a URL may be fetched that way at all.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Sent by WinHTTP and by our own requests alike.
#define PL_NET_USER_AGENT "PelloraReinstall/1.0"

namespace pl::net {

// A longer head is refused: no server we fetch from sends one.
inline constexpr size_t kMaxResponseHead = 16 * 1024;

struct ResponseHead {
  int status = 0;
  bool hasLength = false;
  uint64_t length = 0;
  bool hasRange = false;  // a well-formed Content-Range
  uint64_t rangeFirst = 0;
  uint64_t rangeLast = 0;
  uint64_t rangeTotal = 0;
  std::string contentRange;  // as sent, for messages
  bool encoded = false;      // a Transfer-Encoding other than identity: the body is not the bytes themselves
  bool chunked = false;      // ... and that coding is chunked alone, which we decode
  bool acceptsRanges = false;  // "Accept-Ranges: bytes"
  bool keepAlive = false;    // the connection may carry the next request
};

// The length of the head up to and including its blank line once `data` holds all of it; 0 while it is still
// incomplete; kHeadTooLong when no blank line comes within kMaxResponseHead bytes.
inline constexpr size_t kHeadTooLong = static_cast<size_t>(-1);
size_t ResponseHeadLength(std::string_view data);

// False unless the head is a status line "HTTP/1.<digit> <3 digits>[ reason]" and header lines "name: value":
// folded lines, a malformed Content-Length, two that disagree or one beside a Transfer-Encoding are refused, since
// they make the body's end uncertain. A Content-Range that does not parse leaves `hasRange` false.
bool ParseResponseHead(std::string_view head, ResponseHead* out);

// "GET <path> HTTP/1.1" with Host, User-Agent, Range "bytes=<first>-<last>" and "Accept-Encoding: identity".
// `host` is the Host header's value (with ":port" when the port is not 80).
std::string RangeRequestText(std::string_view host, std::string_view path, uint64_t first, uint64_t last);
// The same for everything from `offset` on: Range "bytes=<offset>-", or no Range at all from 0.
std::string StreamRequestText(std::string_view host, std::string_view path, uint64_t offset);

// The chunked framing of a body: hex size lines (extensions ignored), data, and after the zero-size chunk the
// trailer lines up to a blank one. Size lines and the trailer are bounded; line ends are CR LF or LF.
struct ChunkedDecoder {
  enum class State { kSize, kSizeLine, kData, kDataEnd, kTrailer, kDone, kBad };
  State state = State::kSize;
  uint64_t left = 0;    // data bytes of the current chunk still to come
  size_t line = 0;      // bytes of the current size or trailer line so far
  size_t trailer = 0;   // bytes of the trailer so far
  bool sawCr = false;   // the last byte of a line end was CR
  bool digits = false;  // the size line has a digit
};
inline constexpr size_t kMaxChunkLine = 4096;
// Decodes from `in` into `out` (room for `outSize` bytes) until either runs out, the body ends (state kDone) or
// the framing is broken (kBad). Returns the bytes taken from `in`; `produced` gets the bytes written to `out`.
size_t DecodeChunked(ChunkedDecoder* decoder, std::string_view in, char* out, size_t outSize, size_t* produced);

// What the machine says about proxies for one URL, as WinHTTP's automatic proxy setting would take it.
enum class AutoProxyAnswer {
  kNotAsked,         // neither a configuration script nor detection is on
  kDirect,           // the script or detection says: no proxy for this URL
  kProxy,            // a proxy for this URL
  kDetectionFailed,  // detection is on and found no script (the usual case without a proxy)
  kError,            // anything else
};
struct ProxyFacts {
  bool defaultProxy = false;   // WinHTTP's own default configuration names a proxy
  bool userProxy = false;      // the user's settings name a fixed proxy
  bool userScript = false;     // the user's settings name a configuration script
  bool userDetect = false;     // the user's settings ask for detection
  AutoProxyAnswer answer = AutoProxyAnswer::kNotAsked;
};
// True only when the machine surely reaches the URL without a proxy; in doubt WinHTTP keeps the request.
bool GoesDirect(const ProxyFacts& facts);

}  // namespace pl::net
