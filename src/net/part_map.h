#pragma once
// Which bytes of a file fetched in ranges are on disk, and the small record beside the file that keeps this across
// runs. Plain data and text only; the file and network side lives in ranged_download.cpp.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pl::net {

// Bytes [begin, end) of the file.
struct ByteExtent {
  uint64_t begin = 0;
  uint64_t end = 0;

  bool operator==(const ByteExtent&) const = default;
};

// The record kept in "<target>.plparts": the file's full size and the extents known to be on disk, sorted and
// apart (touching extents are merged).
struct PartRecord {
  uint64_t size = 0;
  std::vector<ByteExtent> done;

  bool operator==(const PartRecord&) const = default;
};

// Adds an extent, merging it with the ones it overlaps or touches. An empty extent changes nothing.
void AddExtent(std::vector<ByteExtent>* extents, ByteExtent extent);
uint64_t CoveredBytes(const std::vector<ByteExtent>& extents);
// Where the run of bytes from 0 on ends: 0 when byte 0 is missing.
uint64_t ContiguousPrefix(const std::vector<ByteExtent>& extents);
// The gaps of the record in file order: at most one more than its extents, whatever the size it claims.
std::deque<ByteExtent> MissingExtents(const PartRecord& record);
// Cuts the next piece of at most `pieceSize` bytes off the front of the first gap, which goes once used up. Pieces
// are cut only as they are fetched: a size that is no file's must never cost memory.
ByteExtent TakeFrontPiece(std::deque<ByteExtent>* gaps, uint64_t pieceSize);
// The pieces the gaps make, counted up to `cap`.
size_t CountPieces(const std::deque<ByteExtent>& gaps, uint64_t pieceSize, size_t cap);

// "pellora-parts 1", "size N", then one "done BEGIN END" line per extent; "\n" line ends.
std::string RenderPartRecord(const PartRecord& record);
// False for anything RenderPartRecord would not write: other lines, extents unsorted, touching, empty or past
// the size.
bool ParsePartRecord(std::string_view text, PartRecord* record);

// "bytes FIRST-LAST/TOTAL" of a 206 answer; false for any other form (also "*" for the total).
bool ParseContentRange(std::string_view text, uint64_t* first, uint64_t* last, uint64_t* total);

}  // namespace pl::net
