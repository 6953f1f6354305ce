#pragma once
// Raw deflate decoding (RFC 1951, no zlib or gzip wrapper), table-driven.
// Plain C++ over byte ranges: no Windows headers, so it also builds natively for sanitizer and fuzz runs.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace pl::archive {

enum class InflateStatus {
  Ok,           // a block marked final was decoded completely
  BadData,      // malformed stream, or the input ended before the final block did
  OutputLimit,  // the stream holds more than the allowed output
  Stopped,      // the sink of InflateTo refused a chunk
};

// Decodes `input` into `output`, which is replaced (its capacity is kept and used as the first buffer size).
// The bytes produced before a failure stay in `output`. Never produces more than `outputLimit` bytes: a match
// or stored block that would pass the limit fails whole with OutputLimit. Input after the final block is ignored.
// Accepted as the format's decoders traditionally do: NLEN of stored blocks is not compared with LEN, and code
// sets are not checked for being complete or over-subscribed (a bit pattern without a code fails when met).
InflateStatus Inflate(std::span<const uint8_t> input, std::vector<uint8_t>* output, size_t outputLimit = SIZE_MAX);

// Receives decoded bytes in order; false stops the decoding.
using InflateSink = std::function<bool(std::span<const uint8_t> chunk)>;

// The history a match can reach back into, and the most InflateTo hands over in one chunk: it decodes into a
// window of this size, so its memory stays the same whatever the stream holds.
inline constexpr size_t kInflateHistoryBytes = 32768;
inline constexpr size_t kInflateWindowBytes = kInflateHistoryBytes + (128u << 10);

// Inflate that hands the output to `sink` in chunks of at most kInflateWindowBytes as it is decoded, instead of
// keeping all of it. Same checks, limit and statuses; every byte produced before a failure has been handed over
// when it returns (none after the sink refused a chunk: Stopped).
InflateStatus InflateTo(std::span<const uint8_t> input, const InflateSink& sink, size_t outputLimit = SIZE_MAX);

// True when a block marked final has been decoded completely.
bool InflateRaw(std::span<const uint8_t> input, std::vector<uint8_t>* output);

// How often this process has built the fixed-code tables: 0 before the first fixed block, 1 after. Tests read it
// to check that concurrent first uses build them once.
int FixedTableBuildCount();

}  // namespace pl::archive
