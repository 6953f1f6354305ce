#pragma once
// Deterministic test inputs for the decoder and the zip reader, and zlib's raw deflate as the reference encoder.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pl::archive::test {

// A small deterministic generator (xorshift), so every run sees the same "random" data.
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
};

std::string TextLike(uint64_t seed, size_t size);    // words, lines, some Chinese UTF-8
std::string BinaryLike(uint64_t seed, size_t size);  // records of small numbers and repeated opcodes
std::string RandomBytes(uint64_t seed, size_t size);  // incompressible

// Raw deflate (no wrapper) from zlib. `strategy` is a zlib strategy constant (Z_DEFAULT_STRATEGY = 0).
std::vector<uint8_t> ZlibDeflateRaw(const std::string& data, int level, int strategy = 0, int windowBits = 15,
                                    int memLevel = 8);

inline std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
inline std::string Text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

}  // namespace pl::archive::test
