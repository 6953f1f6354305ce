// The table-driven decoder, into a vector and streamed, against the bit-by-bit reference decoder of the tests:
// any difference in status or output aborts. The last byte picks the output limit (the decoder ignores what
// follows the final block, so it rarely changes the stream itself).
#include <string>

#include "archive/inflate.h"
#include "fuzz_check.h"
#include "reference_inflate.h"

using namespace pl::archive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  const uint8_t knob = size ? data[size - 1] : 0;
  const size_t limit = knob < 0xC0 ? SIZE_MAX : static_cast<size_t>(knob & 0x3f) * 6000;

  std::vector<uint8_t> fast;
  const InflateStatus fastStatus = Inflate(input, &fast, limit);
  std::vector<uint8_t> streamed;
  const InflateStatus streamedStatus = InflateTo(
      input,
      [&streamed](std::span<const uint8_t> chunk) {
        PL_FUZZ_CHECK(!chunk.empty() && chunk.size() <= kInflateWindowBytes);
        streamed.insert(streamed.end(), chunk.begin(), chunk.end());
        return true;
      },
      limit);
  std::vector<uint8_t> reference;
  const InflateStatus referenceStatus = test::ReferenceInflate(input, &reference, limit);

  PL_FUZZ_CHECK(fastStatus == referenceStatus);
  PL_FUZZ_CHECK(streamedStatus == referenceStatus);
  PL_FUZZ_CHECK(fast == reference);
  PL_FUZZ_CHECK(streamed == reference);
  PL_FUZZ_CHECK(fast.size() <= limit);
  return 0;
}
