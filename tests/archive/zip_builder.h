#pragma once
// Builds zip archives byte by byte for tests, with every field that the reader checks open to tampering.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pl::archive::test {

struct ZipBuilderEntry {
  std::string name;
  std::string data;      // the entry's content; deflated with zlib when method is 8
  uint16_t method = 0;   // 0 stored, 8 deflated; anything else stores `data` under that method number
  uint16_t flags = 0;
  std::optional<std::string> payload;  // the bytes after the local header, instead of `data` encoded
  std::optional<uint32_t> compressedSize;    // recorded in both headers; default: the payload's size
  std::optional<uint32_t> uncompressedSize;  // default: data's size
  std::optional<uint32_t> crc;               // recorded in both headers; default: zlib's CRC-32 of data
  std::optional<uint32_t> localHeaderOffset; // recorded in the central record; default: where it was written
  uint32_t localSignature = 0x04034b50;
  uint32_t centralSignature = 0x02014b50;
  std::optional<uint16_t> centralNameLength;  // default: name's size
  std::string localExtra;
  std::string centralExtra;
  std::string comment;  // the entry's comment in its central record
};

struct ZipBuilder {
  std::vector<ZipBuilderEntry> entries;
  std::string comment;                       // the archive comment after the end record
  std::optional<uint16_t> entryCount;        // default: entries' count
  std::optional<uint32_t> directoryOffset;   // default: where the directory starts
  std::optional<uint32_t> directorySize;     // default: its real size

  ZipBuilderEntry& Add(const std::string& name, const std::string& data, uint16_t method = 0) {
    entries.push_back(ZipBuilderEntry{});
    entries.back().name = name;
    entries.back().data = data;
    entries.back().method = method;
    return entries.back();
  }
  std::string Build() const;
};

}  // namespace pl::archive::test
