#pragma once
// CRC-32 as zip and zlib compute it (reflected polynomial 0xEDB88320, initial and final value inverted).
// Plain C++, slice-by-8: eight table lookups per eight input bytes.

#include <cstdint>
#include <span>

namespace pl::archive {

// The CRC of `bytes` continued from `crc`, the CRC of everything before them (0 for none), so a stream can be
// checked chunk by chunk: Crc32(b, Crc32(a)) == Crc32(a followed by b).
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

}  // namespace pl::archive
