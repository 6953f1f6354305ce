#include "archive/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "test_data.h"

namespace pl::archive {
namespace {

uint32_t Zlib(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

TEST(Crc32, MatchesZlibAtEveryLengthAlignmentAndSplit) {
  EXPECT_EQ(Crc32(test::Bytes("123456789")), 0xCBF43926u);  // the check value of this CRC
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Crc32({}, 0x12345678u), 0x12345678u);

  const std::string data = test::RandomBytes(1, 5000) + std::string(300, '\0') + std::string(300, '\xff');
  const auto all = test::Bytes(data);
  // Every start within two words, with lengths around each slice boundary and some long ones.
  for (size_t start = 0; start < 16; ++start) {
    for (size_t length = 0; length < 80; ++length) {
      EXPECT_EQ(Crc32(all.subspan(start, length)), Zlib(all.subspan(start, length))) << start << "+" << length;
    }
    for (size_t length : {size_t{255}, size_t{1024}, size_t{4093}, all.size() - start}) {
      EXPECT_EQ(Crc32(all.subspan(start, length)), Zlib(all.subspan(start, length))) << start << "+" << length;
    }
  }
  // Continued chunk by chunk, in chunks of every size, it gives the CRC of the whole.
  test::Random random(2);
  for (int round = 0; round < 200; ++round) {
    uint32_t crc = 0;
    for (size_t at = 0; at < all.size();) {
      const size_t length = std::min<size_t>(all.size() - at, random.Below(round < 100 ? 20 : 3000));
      crc = Crc32(all.subspan(at, length), crc);
      at += length;
    }
    EXPECT_EQ(crc, Zlib(all)) << round;
  }
}

}  // namespace
}  // namespace pl::archive
