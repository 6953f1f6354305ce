// The head of an answer to our own range requests, over any bytes: where it ends and what it says.
#include <string_view>

#include "fuzz_check.h"
#include "net/http_head.h"

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
  }
  return 0;
}
