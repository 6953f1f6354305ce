#include "net/part_map.h"

#include <algorithm>

namespace pl::net {
namespace {

constexpr std::string_view kRecordHeader = "pellora-parts 1";

// A decimal number without sign, within 64 bits; advances `text` past it.
bool TakeNumber(std::string_view* text, uint64_t* value) {
  size_t i = 0;
  uint64_t number = 0;
  while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9') {
    const uint64_t digit = static_cast<uint64_t>((*text)[i] - '0');
    if (number > (UINT64_MAX - digit) / 10) return false;
    number = number * 10 + digit;
    ++i;
  }
  if (i == 0) return false;
  *value = number;
  text->remove_prefix(i);
  return true;
}

bool TakePrefix(std::string_view* text, std::string_view prefix) {
  if (text->substr(0, prefix.size()) != prefix) return false;
  text->remove_prefix(prefix.size());
  return true;
}

}  // namespace

void AddExtent(std::vector<ByteExtent>* extents, ByteExtent extent) {
  if (extent.end <= extent.begin) return;
  // The first extent that ends at or after the new one begins: everything before it stays as it is.
  auto first = std::lower_bound(extents->begin(), extents->end(), extent.begin,
                                [](const ByteExtent& e, uint64_t at) { return e.end < at; });
  auto last = first;
  while (last != extents->end() && last->begin <= extent.end) {
    extent.begin = std::min(extent.begin, last->begin);
    extent.end = std::max(extent.end, last->end);
    ++last;
  }
  first = extents->erase(first, last);
  extents->insert(first, extent);
}

uint64_t CoveredBytes(const std::vector<ByteExtent>& extents) {
  uint64_t total = 0;
  for (const ByteExtent& e : extents) total += e.end - e.begin;
  return total;
}

uint64_t ContiguousPrefix(const std::vector<ByteExtent>& extents) {
  return !extents.empty() && extents.front().begin == 0 ? extents.front().end : 0;
}

std::deque<ByteExtent> MissingExtents(const PartRecord& record) {
  std::deque<ByteExtent> gaps;
  uint64_t at = 0;
  for (const ByteExtent& e : record.done) {
    if (std::min(e.begin, record.size) > at) gaps.push_back({at, std::min(e.begin, record.size)});
    at = std::max(at, e.end);
  }
  if (record.size > at) gaps.push_back({at, record.size});
  return gaps;
}

ByteExtent TakeFrontPiece(std::deque<ByteExtent>* gaps, uint64_t pieceSize) {
  ByteExtent& front = gaps->front();
  const ByteExtent piece{front.begin, front.begin + std::min(std::max<uint64_t>(pieceSize, 1), front.end - front.begin)};
  front.begin = piece.end;
  if (front.begin == front.end) gaps->pop_front();
  return piece;
}

size_t CountPieces(const std::deque<ByteExtent>& gaps, uint64_t pieceSize, size_t cap) {
  pieceSize = std::max<uint64_t>(pieceSize, 1);
  size_t count = 0;
  for (const ByteExtent& gap : gaps) {
    const uint64_t length = gap.end - gap.begin;
    const uint64_t pieces = length / pieceSize + (length % pieceSize != 0 ? 1 : 0);
    count += static_cast<size_t>(std::min<uint64_t>(pieces, cap - count));
    if (count == cap) break;
  }
  return count;
}

std::string RenderPartRecord(const PartRecord& record) {
  std::string text(kRecordHeader);
  text += "\nsize " + std::to_string(record.size) + "\n";
  for (const ByteExtent& e : record.done) {
    text += "done " + std::to_string(e.begin) + " " + std::to_string(e.end) + "\n";
  }
  return text;
}

bool ParsePartRecord(std::string_view text, PartRecord* record) {
  PartRecord parsed;
  if (!TakePrefix(&text, kRecordHeader) || !TakePrefix(&text, "\nsize ") || !TakeNumber(&text, &parsed.size) ||
      !TakePrefix(&text, "\n")) {
    return false;
  }
  uint64_t lastEnd = 0;
  while (!text.empty()) {
    ByteExtent e;
    if (!TakePrefix(&text, "done ") || !TakeNumber(&text, &e.begin) || !TakePrefix(&text, " ") ||
        !TakeNumber(&text, &e.end) || !TakePrefix(&text, "\n")) {
      return false;
    }
    const bool apart = parsed.done.empty() ? true : e.begin > lastEnd;
    if (!apart || e.end <= e.begin || e.end > parsed.size) return false;
    parsed.done.push_back(e);
    lastEnd = e.end;
  }
  *record = std::move(parsed);
  return true;
}

bool ParseContentRange(std::string_view text, uint64_t* first, uint64_t* last, uint64_t* total) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  uint64_t a = 0, b = 0, n = 0;
  if (!TakePrefix(&text, "bytes ") || !TakeNumber(&text, &a) || !TakePrefix(&text, "-") || !TakeNumber(&text, &b) ||
      !TakePrefix(&text, "/") || !TakeNumber(&text, &n) || !text.empty() || b < a || b >= n) {
    return false;
  }
  *first = a;
  *last = b;
  *total = n;
  return true;
}

}  // namespace pl::net
