// The head of an answer to our own requests, over any bytes: where it ends and what it says; and the same bytes as
// a chunked body, decoded whole and piece by piece.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "net/http_head.h"

namespace {

// Decodes `bytes` feeding at most `step` bytes a call into an output of `room` bytes. Returns the body; `used` gets
// the bytes taken up to the end (or the fault).
std::string Decode(std::string_view bytes, size_t step, size_t room, pl::net::ChunkedDecoder* decoder, size_t* used) {
  using State = pl::net::ChunkedDecoder::State;
  std::string body;
  std::string out(room, '\0');
  size_t at = 0;
  while (at < bytes.size() && decoder->state != State::kDone && decoder->state != State::kBad) {
    size_t produced = 0;
    const std::string_view in = bytes.substr(at, step);
    const size_t taken = pl::net::DecodeChunked(decoder, in, out.data(), room, &produced);
    PL_FUZZ_CHECK(taken <= in.size() && produced <= room && produced <= taken);
    if (taken == 0 && produced == 0) {
      PL_FUZZ_CHECK(decoder->state == State::kDone || decoder->state == State::kBad);
      break;
    }
    body.append(out.data(), produced);
    at += taken;
  }
  *used = at;
  return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t length = pl::net::ResponseHeadLength(bytes);
  if (length == pl::net::kHeadTooLong) {
    PL_FUZZ_CHECK(size >= pl::net::kMaxResponseHead);
  } else if (length > 0) {
    PL_FUZZ_CHECK(length <= size && length <= pl::net::kMaxResponseHead && bytes[length - 1] == '\n');
  }
  pl::net::ResponseHead head;
  if (pl::net::ParseResponseHead(bytes, &head)) {
    PL_FUZZ_CHECK(head.status >= 100 && head.status <= 999);
    PL_FUZZ_CHECK(bytes.substr(0, 7) == "HTTP/1.");
    if (head.hasRange) PL_FUZZ_CHECK(head.rangeFirst <= head.rangeLast && head.rangeLast < head.rangeTotal);
    if (!head.hasLength) PL_FUZZ_CHECK(head.length == 0);
    PL_FUZZ_CHECK(!(head.encoded && head.hasLength));
    if (head.chunked) PL_FUZZ_CHECK(head.encoded);
  }

  // The body after a head (or all of it): the same decoded bytes and end however it arrives.
  const std::string_view body = length > 0 && length != pl::net::kHeadTooLong ? bytes.substr(length) : bytes;
  const size_t step = size > 0 ? data[0] % 17 + 1 : 1;
  const size_t room = size > 1 ? data[1] % 65 + 1 : 1;
  pl::net::ChunkedDecoder whole, pieces;
  size_t wholeUsed = 0, piecesUsed = 0;
  const std::string wholeBody = Decode(body, body.size() + 1, body.size() + 1, &whole, &wholeUsed);
  const std::string piecesBody = Decode(body, step, room, &pieces, &piecesUsed);
  PL_FUZZ_CHECK(whole.state == pieces.state);
  PL_FUZZ_CHECK(wholeBody == piecesBody);
  PL_FUZZ_CHECK(wholeBody.size() <= body.size());
  if (whole.state == pl::net::ChunkedDecoder::State::kDone) PL_FUZZ_CHECK(wholeUsed == piecesUsed);
  return 0;
}
