#pragma once
// The image list of a WIM or ESD file: its 208-byte header and the UTF-16LE XML document it points at, nothing
// else, so checking a 6 GiB image costs a few reads. Plain C++ with no Windows headers: the file is reached through
// WimSource, which the Windows layer (wim_file.h) or a test fills.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace pl::archive {

inline constexpr size_t kWimHeaderSize = 208;
// The XML of an install image with a dozen editions is about 30 KB; anything this large is no image list.
inline constexpr uint64_t kMaxWimXmlBytes = 16ull << 20;

struct WimSource {
  uint64_t size = 0;  // of the whole file
  // Fills `buffer` with exactly `length` bytes from `offset` (always within `size`); false with the reason in
  // `*error` (UTF-8, with any system error code).
  std::function<bool(uint64_t offset, size_t length, uint8_t* buffer, std::string* error)> read;
};

// One image of the XML list. Texts are UTF-8; a missing element gives an empty text.
struct WimImage {
  int index = 0;             // the IMAGE element's INDEX attribute, 1-based
  std::string name;          // NAME, or DISPLAYNAME when the image has no NAME
  std::string editionId;     // WINDOWS/EDITIONID, or FLAGS when there is none (Microsoft's tools set both)
  std::string architecture;  // WINDOWS/ARCH: "x86", "x64", "arm", "arm64", or the number as written
  std::string build;         // WINDOWS/VERSION/BUILD, with "." + SPBUILD when present: "19045.3803"
};

struct WimInfo {
  uint32_t version = 0;     // 0x10D00, or 0xE00 for a solid file (ESD)
  uint32_t flags = 0;       // header flags
  bool solid = false;       // version 0xE00: resources compressed together, as in an ESD
  std::string compression;  // "XPRESS", "LZX", "LZMS" or "" for none, from the header flags
  uint16_t partNumber = 0;
  uint16_t totalParts = 0;
  uint32_t imageCount = 0;       // as the header says
  std::vector<WimImage> images;  // ordered by index: 1 to imageCount, each once
};

// Reads and checks the header and the image list. False with a short Chinese reason in `*error` (the caller names
// the file): not a WIM/ESD, cut short, unsupported header, a part of a split WIM, an encrypted ESD, an unreadable
// or damaged image list, or the source's own read error. On failure `*info` keeps the header fields when the header was read, and
// no images.
bool ReadWimImageList(const WimSource& source, WimInfo* info, std::string* error);

// A source over bytes in memory (tests, fuzzing); `bytes` must outlive it.
WimSource MemoryWimSource(std::span<const uint8_t> bytes);

// The image with that index, or null.
const WimImage* FindWimImage(const WimInfo& info, int index);

// The indexes that exist, for a message about one that does not: "1, 2, 3".
std::string WimImageIndexes(const WimInfo& info);

}  // namespace pl::archive
