#include "archive/inflate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>

namespace pl::archive {
namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kLiteralLengthSymbols = 288;
constexpr int kDistanceSymbols = 32;
constexpr int kCodeLengthSymbols = 19;

// One lookup serves the next kRootBits input bits; longer codes (rare) are decoded bit by bit.
constexpr int kRootBits = 10;
constexpr uint32_t kRootMask = (1u << kRootBits) - 1;

// What the next input bits decode to.
struct Entry {
  uint16_t value;  // literal byte, base length, base distance or code-length symbol
  uint8_t bits;    // code length; 0: no code of kRootBits bits or fewer starts with these bits
  uint8_t tag;     // extra bits to read after the code (0-13), or one of the tags below
};
constexpr uint8_t kTagSymbol = 0x80;   // a literal or code-length symbol: `value` as is
constexpr uint8_t kTagEnd = 0x81;      // end of block
constexpr uint8_t kTagInvalid = 0x82;  // length symbols 286/287, distance symbols 30/31

enum class Alphabet { LiteralLength, Distance, CodeLength };

constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistanceBase = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                                    33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

Entry Classify(Alphabet alphabet, int symbol, int bits) {
  Entry e{0, static_cast<uint8_t>(bits), kTagSymbol};
  switch (alphabet) {
    case Alphabet::CodeLength:
      e.value = static_cast<uint16_t>(symbol);
      break;
    case Alphabet::LiteralLength:
      if (symbol < 256) {
        e.value = static_cast<uint16_t>(symbol);
      } else if (symbol == 256) {
        e.tag = kTagEnd;
      } else if (symbol <= 285) {
        e.value = kLengthBase[symbol - 257];
        e.tag = kLengthExtra[symbol - 257];
      } else {
        e.tag = kTagInvalid;
      }
      break;
    case Alphabet::Distance:
      if (symbol < 30) {
        e.value = kDistanceBase[symbol];
        e.tag = kDistanceExtra[symbol];
      } else {
        e.tag = kTagInvalid;
      }
      break;
  }
  return e;
}

// A canonical code: the counts and sorted symbols drive the bit-by-bit path, `root` the fast one.
struct HuffmanTable {
  Alphabet alphabet = Alphabet::CodeLength;
  std::array<uint16_t, kMaxCodeBits + 1> count{};
  int maxLength = 0;
  std::array<uint16_t, kLiteralLengthSymbols> symbols{};  // by code length, then by symbol value
  std::array<Entry, 1u << kRootBits> root{};
};

uint32_t ReverseBits(uint32_t code, int length) {
  uint32_t reversed = 0;
  for (int i = 0; i < length; ++i) {
    reversed = (reversed << 1) | (code & 1);
    code >>= 1;
  }
  return reversed;
}

// `lengths` are 0-15. Codes are handed out in canonical order; like the bit-by-bit decoder, an over-subscribed
// length simply runs out of bit patterns (codes past 2^length can never be decoded) and an incomplete code leaves
// patterns that decode to nothing.
void BuildTable(HuffmanTable* table, Alphabet alphabet, const uint8_t* lengths, int symbolCount) {
  table->alphabet = alphabet;
  table->count.fill(0);
  for (int i = 0; i < symbolCount; ++i) ++table->count[lengths[i]];
  table->count[0] = 0;
  table->maxLength = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    if (table->count[length] != 0) table->maxLength = length;
  }
  std::array<uint16_t, kMaxCodeBits + 2> offset{};
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    offset[length + 1] = static_cast<uint16_t>(offset[length] + table->count[length]);
  }
  for (int symbol = 0; symbol < symbolCount; ++symbol) {
    if (lengths[symbol] != 0) table->symbols[offset[lengths[symbol]]++] = static_cast<uint16_t>(symbol);
  }

  table->root.fill(Entry{0, 0, 0});
  uint32_t first = 0;  // first code of the current length
  int index = 0;       // its position in `symbols`
  const int rootLengths = std::min(table->maxLength, kRootBits);
  for (int length = 1; length <= rootLengths; ++length) {
    const uint32_t patterns = 1u << length;
    for (uint32_t i = 0; i < table->count[length] && first + i < patterns; ++i) {
      const Entry e = Classify(alphabet, table->symbols[index + i], length);
      // The stream holds codes most significant bit first, so the lookup index is the reversed code, with every
      // combination of the bits that follow it.
      for (uint32_t slot = ReverseBits(first + i, length); slot <= kRootMask; slot += patterns) table->root[slot] = e;
    }
    index += table->count[length];
    first = (first + table->count[length]) << 1;
  }
}

struct FixedTables {
  HuffmanTable literalLength;
  HuffmanTable distance;
};

std::atomic<int> g_fixedTableBuilds{0};

const FixedTables& GetFixedTables() {
  // Thread-safe one-time construction: every later fixed block reuses these.
  static const FixedTables tables = [] {
    FixedTables t;
    std::array<uint8_t, kLiteralLengthSymbols> lengths{};
    std::fill(lengths.begin(), lengths.begin() + 144, 8);
    std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
    std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
    std::fill(lengths.begin() + 280, lengths.end(), 8);
    BuildTable(&t.literalLength, Alphabet::LiteralLength, lengths.data(), kLiteralLengthSymbols);
    std::array<uint8_t, 30> distanceLengths;
    distanceLengths.fill(5);
    BuildTable(&t.distance, Alphabet::Distance, distanceLengths.data(), 30);
    g_fixedTableBuilds.fetch_add(1);
    return t;
  }();
  return tables;
}

uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof(value));
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) swapped |= static_cast<uint64_t>(p[i]) << (8 * i);
    value = swapped;
  }
  return value;
}

// Decodes into one linear buffer: either the caller's vector, grown as needed, or (with a sink) a window that is
// handed to the sink and slid back to its last 32 KiB whenever it fills up.
class Decoder {
 public:
  Decoder(std::span<const uint8_t> input, std::vector<uint8_t>* output, size_t limit)
      : in_(input.data()), size_(input.size()), out_(output), positionLimit_(limit) {
    out_->clear();
    cap_ = std::min(out_->capacity(), positionLimit_);
    out_->resize(cap_);
    base_ = out_->data();
  }

  Decoder(std::span<const uint8_t> input, const InflateSink& sink, size_t limit)
      : in_(input.data()), size_(input.size()), sink_(&sink), positionLimit_(limit) {
    // A stream limited to less than the window never slides, so a small one needs no more than its limit.
    cap_ = std::min(kInflateWindowBytes, positionLimit_);
    window_.reset(new uint8_t[cap_]);  // left uninitialised: only bytes already written are ever read
    base_ = window_.get();
  }

  InflateStatus Run() {
    InflateStatus status = InflateStatus::Ok;
    bool final = false;
    while (status == InflateStatus::Ok && !final) {
      Refill();
      if (bitCount_ < 3) {
        status = InflateStatus::BadData;
        break;
      }
      final = (bits_ & 1) != 0;
      const int type = static_cast<int>((bits_ >> 1) & 3);
      Consume(3);
      switch (type) {
        case 0:
          status = StoredBlock();
          break;
        case 1:
          status = HuffmanBlock(GetFixedTables().literalLength, GetFixedTables().distance);
          break;
        case 2:
          status = DynamicBlock();
          break;
        default:
          status = InflateStatus::BadData;
          break;
      }
    }
    if (out_) {
      out_->resize(outPos_);
    } else if (status != InflateStatus::Stopped && !Flush()) {
      status = InflateStatus::Stopped;
    }
    return status;
  }

 private:
  // Keeps at least 56 bits buffered while the input lasts; near its end `bitCount_` is exactly what is left.
  // Bits above `bitCount_` are either the following input bits or zero, never anything else.
  void Refill() {
    if (size_ - pos_ >= 8) {
      bits_ |= LoadLittleEndian64(in_ + pos_) << bitCount_;
      pos_ += (63 - bitCount_) >> 3;
      bitCount_ |= 56;
      return;
    }
    while (bitCount_ <= 56 && pos_ < size_) {
      bits_ |= static_cast<uint64_t>(in_[pos_++]) << bitCount_;
      bitCount_ += 8;
    }
  }

  void Consume(int count) {
    bits_ >>= count;
    bitCount_ -= count;
  }

  // Reads `count` (0-13) extra bits; false when the input has ended.
  bool TakeBits(int count, uint32_t* value) {
    if (count > bitCount_) return false;
    *value = static_cast<uint32_t>(bits_ & ((1u << count) - 1));
    Consume(count);
    return true;
  }

  // Decodes one symbol of `table` and consumes its code; false at the end of the input or on a bit pattern that
  // is no code. The caller has refilled.
  bool DecodeSymbol(const HuffmanTable& table, Entry* entry) {
    Entry e = table.root[bits_ & kRootMask];
    if (e.bits == 0) {
      if (!DecodeLongCode(table, &e)) return false;
    } else if (e.bits > bitCount_) {
      return false;
    }
    Consume(e.bits);
    *entry = e;
    return true;
  }

  // Canonical decoding one bit at a time, for codes longer than the lookup covers.
  bool DecodeLongCode(const HuffmanTable& table, Entry* entry) const {
    uint64_t bits = bits_;
    uint32_t code = 0;
    uint32_t first = 0;
    uint32_t index = 0;
    for (int length = 1; length <= table.maxLength; ++length) {
      if (length > bitCount_) return false;
      code |= static_cast<uint32_t>(bits & 1);
      bits >>= 1;
      const uint32_t count = table.count[length];
      if (code - first < count) {  // code >= first holds whenever no shorter code matched
        *entry = Classify(table.alphabet, table.symbols[index + code - first], length);
        return true;
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return false;
  }

  // Makes room for `count` (at most 65535) more bytes; the caller has checked the limit. False when the sink
  // refused the window's bytes.
  bool Reserve(size_t count) {
    if (cap_ - outPos_ >= count) return true;
    if (sink_) return Slide();
    size_t wanted = std::max({cap_ * 2, outPos_ + count, size_t{1} << 16});
    wanted = std::min(wanted, positionLimit_);
    out_->reserve(wanted);  // exactly `wanted`, so a limit keeps memory bounded
    out_->resize(wanted);
    base_ = out_->data();
    cap_ = wanted;
    return true;
  }

  // Hands what the sink has not seen yet to it.
  bool Flush() {
    if (outPos_ != flushed_ && !(*sink_)(std::span<const uint8_t>(base_ + flushed_, outPos_ - flushed_))) {
      return false;
    }
    flushed_ = outPos_;
    return true;
  }

  // Only reached with a full-size window (a smaller one is never short of room within the limit): more than
  // 96 KiB are in use, so after keeping the history at least 128 KiB are free, enough for a stored block.
  bool Slide() {
    if (!Flush()) return false;
    const size_t dropped = outPos_ - kInflateHistoryBytes;
    std::memmove(base_, base_ + dropped, kInflateHistoryBytes);
    outPos_ = flushed_ = kInflateHistoryBytes;
    positionLimit_ -= dropped;
    return true;
  }

  InflateStatus StoredBlock() {
    // Back to the byte boundary: whole bytes still buffered are returned to the input.
    Consume(bitCount_ & 7);
    pos_ -= static_cast<size_t>(bitCount_ >> 3);
    bits_ = 0;
    bitCount_ = 0;
    if (size_ - pos_ < 4) return InflateStatus::BadData;
    const size_t length = static_cast<size_t>(in_[pos_]) | (static_cast<size_t>(in_[pos_ + 1]) << 8);
    pos_ += 4;  // NLEN is skipped, not checked
    if (size_ - pos_ < length) return InflateStatus::BadData;
    if (length > positionLimit_ - outPos_) return InflateStatus::OutputLimit;
    if (!Reserve(length)) return InflateStatus::Stopped;
    if (length != 0) std::memcpy(base_ + outPos_, in_ + pos_, length);
    outPos_ += length;
    pos_ += length;
    return InflateStatus::Ok;
  }

  InflateStatus DynamicBlock() {
    Refill();
    uint32_t header = 0;
    if (!TakeBits(14, &header)) return InflateStatus::BadData;
    const int literalCount = static_cast<int>(header & 31) + 257;
    const int distanceCount = static_cast<int>((header >> 5) & 31) + 1;
    const int codeLengthCount = static_cast<int>(header >> 10) + 4;

    std::array<uint8_t, kCodeLengthSymbols> codeLengthLengths{};
    for (int i = 0; i < codeLengthCount; ++i) {
      Refill();
      uint32_t length = 0;
      if (!TakeBits(3, &length)) return InflateStatus::BadData;
      codeLengthLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(length);
    }
    BuildTable(&codeLengthTable_, Alphabet::CodeLength, codeLengthLengths.data(), kCodeLengthSymbols);

    std::array<uint8_t, kLiteralLengthSymbols + kDistanceSymbols> lengths{};
    const int total = literalCount + distanceCount;
    int filled = 0;
    while (filled < total) {
      Refill();
      Entry e;
      if (!DecodeSymbol(codeLengthTable_, &e)) return InflateStatus::BadData;
      if (e.value < 16) {
        lengths[filled++] = static_cast<uint8_t>(e.value);
        continue;
      }
      uint8_t repeated = 0;
      uint32_t extra = 0;
      int run = 0;
      if (e.value == 16) {
        if (filled == 0) return InflateStatus::BadData;  // nothing to repeat
        repeated = lengths[filled - 1];
        if (!TakeBits(2, &extra)) return InflateStatus::BadData;
        run = 3 + static_cast<int>(extra);
      } else if (e.value == 17) {
        if (!TakeBits(3, &extra)) return InflateStatus::BadData;
        run = 3 + static_cast<int>(extra);
      } else {
        if (!TakeBits(7, &extra)) return InflateStatus::BadData;
        run = 11 + static_cast<int>(extra);
      }
      if (filled + run > total) return InflateStatus::BadData;
      std::fill_n(lengths.begin() + filled, run, repeated);
      filled += run;
    }
    BuildTable(&literalLengthTable_, Alphabet::LiteralLength, lengths.data(), literalCount);
    BuildTable(&distanceTable_, Alphabet::Distance, lengths.data() + literalCount, distanceCount);
    return HuffmanBlock(literalLengthTable_, distanceTable_);
  }

  InflateStatus HuffmanBlock(const HuffmanTable& literals, const HuffmanTable& distances) {
    for (;;) {
      // One refill covers a whole match: 15 + 5 + 15 + 13 bits at most.
      Refill();
      Entry e;
      if (!DecodeSymbol(literals, &e)) return InflateStatus::BadData;
      if (e.tag == kTagSymbol) {
        if (outPos_ == positionLimit_) return InflateStatus::OutputLimit;
        if (!Reserve(1)) return InflateStatus::Stopped;
        base_[outPos_++] = static_cast<uint8_t>(e.value);
        continue;
      }
      if (e.tag == kTagEnd) return InflateStatus::Ok;
      if (e.tag == kTagInvalid) return InflateStatus::BadData;
      uint32_t extra = 0;
      if (!TakeBits(e.tag, &extra)) return InflateStatus::BadData;
      const size_t length = e.value + extra;

      Entry d;
      if (!DecodeSymbol(distances, &d) || d.tag == kTagInvalid) return InflateStatus::BadData;
      if (!TakeBits(d.tag, &extra)) return InflateStatus::BadData;
      const size_t distance = d.value + extra;
      // Once the window has slid it holds the whole history (32 KiB, the farthest a distance reaches), so the
      // position is the bytes produced or more than any distance.
      if (distance > outPos_) return InflateStatus::BadData;
      if (length > positionLimit_ - outPos_) return InflateStatus::OutputLimit;
      if (!Reserve(length)) return InflateStatus::Stopped;
      CopyMatch(distance, length);
    }
  }

  void CopyMatch(size_t distance, size_t length) {
    uint8_t* to = base_ + outPos_;
    const uint8_t* from = to - distance;
    if (distance >= 8 && cap_ - outPos_ >= length + 8) {
      // Eight bytes at a time; each chunk reads only bytes that are already final, and the few written past the
      // end of the match are overwritten later (or cut off at the end).
      size_t done = 0;
      do {
        uint64_t chunk;
        std::memcpy(&chunk, from + done, 8);
        std::memcpy(to + done, &chunk, 8);
        done += 8;
      } while (done < length);
    } else if (distance == 1) {
      std::memset(to, *from, length);
    } else {
      for (size_t i = 0; i < length; ++i) to[i] = from[i];  // overlapping copies repeat the data
    }
    outPos_ += length;
  }

  const uint8_t* in_;
  size_t size_;
  size_t pos_ = 0;
  uint64_t bits_ = 0;
  int bitCount_ = 0;

  std::vector<uint8_t>* out_ = nullptr;
  const InflateSink* sink_ = nullptr;
  std::unique_ptr<uint8_t[]> window_;
  size_t flushed_ = 0;  // window bytes handed to the sink
  // The output limit as a position in the buffer: it moves down as the window slides.
  size_t positionLimit_;
  uint8_t* base_ = nullptr;
  size_t cap_ = 0;
  size_t outPos_ = 0;

  HuffmanTable codeLengthTable_;
  HuffmanTable literalLengthTable_;
  HuffmanTable distanceTable_;
};

}  // namespace

InflateStatus Inflate(std::span<const uint8_t> input, std::vector<uint8_t>* output, size_t outputLimit) {
  Decoder decoder(input, output, outputLimit);
  return decoder.Run();
}

InflateStatus InflateTo(std::span<const uint8_t> input, const InflateSink& sink, size_t outputLimit) {
  Decoder decoder(input, sink, outputLimit);
  return decoder.Run();
}

bool InflateRaw(std::span<const uint8_t> input, std::vector<uint8_t>* output) {
  return Inflate(input, output) == InflateStatus::Ok;
}

int FixedTableBuildCount() { return g_fixedTableBuilds.load(); }

}  // namespace pl::archive
