#include "archive/crc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace pl::archive {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// tables[0] is the classic byte table; tables[k][b] is the CRC of byte b followed by k zero bytes, which lets one
// step fold eight bytes at once. Built at compile time, so no first-use race.
constexpr Tables MakeTables() {
  Tables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    tables[0][b] = crc;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (size_t k = 1; k < 8; ++k) {
      const uint32_t previous = tables[k - 1][b];
      tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xff];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();

uint32_t Load32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::big) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
  }
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  const uint8_t* p = bytes.data();
  size_t size = bytes.size();
  crc = ~crc;
  while (size >= 8) {
    const uint32_t low = Load32(p) ^ crc;
    const uint32_t high = Load32(p + 4);
    crc = kTables[7][low & 0xff] ^ kTables[6][(low >> 8) & 0xff] ^ kTables[5][(low >> 16) & 0xff] ^
          kTables[4][low >> 24] ^ kTables[3][high & 0xff] ^ kTables[2][(high >> 8) & 0xff] ^
          kTables[1][(high >> 16) & 0xff] ^ kTables[0][high >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- != 0) crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xff];
  return ~crc;
}

}  // namespace pl::archive
