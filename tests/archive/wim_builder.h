#pragma once
// Builds WIM files in memory for tests: a 208-byte header pointing at an XML image list, with the header's fields
// open to tampering.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pl::archive::test {

// Header field offsets.
inline constexpr size_t kWimMagicAt = 0;
inline constexpr size_t kWimHeaderSizeAt = 8;
inline constexpr size_t kWimVersionAt = 12;
inline constexpr size_t kWimFlagsAt = 16;
inline constexpr size_t kWimPartNumberAt = 40;
inline constexpr size_t kWimTotalPartsAt = 42;
inline constexpr size_t kWimImageCountAt = 44;
inline constexpr size_t kWimOffsetTableAt = 48;  // resource headers: 7-byte size, flags byte, offset, original size
inline constexpr size_t kWimXmlAt = 72;

void Put16(std::string* bytes, size_t at, uint16_t value);
void Put32(std::string* bytes, size_t at, uint32_t value);
void Put64(std::string* bytes, size_t at, uint64_t value);

// `text` as UTF-16LE bytes, with the byte-order mark FF FE in front when `bom` is set.
std::string Utf16Bytes(std::u16string_view text, bool bom = true);

// A header (version 0x10D00, part 1 of 1, `imageCount` images) followed by `xml`, the bytes of the image list.
std::string BuildWim(const std::string& xml, uint32_t imageCount);

}  // namespace pl::archive::test
