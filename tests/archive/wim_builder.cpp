#include "wim_builder.h"

namespace pl::archive::test {

void Put16(std::string* bytes, size_t at, uint16_t value) {
  (*bytes)[at] = static_cast<char>(value & 0xFF);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}
void Put32(std::string* bytes, size_t at, uint32_t value) {
  Put16(bytes, at, static_cast<uint16_t>(value));
  Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}
void Put64(std::string* bytes, size_t at, uint64_t value) {
  Put32(bytes, at, static_cast<uint32_t>(value));
  Put32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}

std::string Utf16Bytes(std::u16string_view text, bool bom) {
  std::string bytes = bom ? std::string("\xFF\xFE", 2) : std::string();
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string BuildWim(const std::string& xml, uint32_t imageCount) {
  std::string wim(208, '\0');
  wim.replace(kWimMagicAt, 8, std::string("MSWIM\0\0\0", 8));
  Put32(&wim, kWimHeaderSizeAt, 208);
  Put32(&wim, kWimVersionAt, 0x10D00);
  Put16(&wim, kWimPartNumberAt, 1);
  Put16(&wim, kWimTotalPartsAt, 1);
  Put32(&wim, kWimImageCountAt, imageCount);
  Put64(&wim, kWimXmlAt, xml.size() | (uint64_t{0x02} << 56));  // flags byte: metadata, as written by wimtools
  Put64(&wim, kWimXmlAt + 8, wim.size());
  Put64(&wim, kWimXmlAt + 16, xml.size());
  return wim + xml;
}

}  // namespace pl::archive::test
