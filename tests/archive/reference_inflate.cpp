#include "reference_inflate.h"

#include <algorithm>

#include "deflate_tables.h"

namespace pl::archive::test {
namespace {

struct BitReader {
  std::span<const uint8_t> data;
  size_t byte = 0;
  int bit = 0;  // 0-7, least significant first

  bool Bit(uint32_t* value) {
    if (byte >= data.size()) return false;
    *value = (data[byte] >> bit) & 1u;
    if (++bit == 8) {
      bit = 0;
      ++byte;
    }
    return true;
  }
  bool Bits(int count, uint32_t* value) {
    *value = 0;
    for (int i = 0; i < count; ++i) {
      uint32_t b = 0;
      if (!Bit(&b)) return false;
      *value |= b << i;
    }
    return true;
  }
};

struct Huffman {
  std::vector<int> count;    // codes per length, 0 to the longest length present
  std::vector<int> symbols;  // by length, then by value
};

Huffman BuildHuffman(const std::vector<int>& lengths) {
  Huffman h;
  int longest = 0;
  for (int length : lengths) longest = std::max(longest, length);
  h.count.assign(static_cast<size_t>(longest) + 1, 0);
  for (int length : lengths) ++h.count[static_cast<size_t>(length)];
  h.count[0] = 0;
  for (int length = 1; length <= longest; ++length) {
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      if (lengths[symbol] == length) h.symbols.push_back(static_cast<int>(symbol));
    }
  }
  return h;
}

bool DecodeSymbol(BitReader* in, const Huffman& h, int* symbol) {
  int code = 0, first = 0, index = 0;
  for (size_t length = 1; length < h.count.size(); ++length) {
    uint32_t bit = 0;
    if (!in->Bit(&bit)) return false;
    code |= static_cast<int>(bit);
    const int count = h.count[length];
    if (code - first < count) {
      *symbol = h.symbols[static_cast<size_t>(index + code - first)];
      return true;
    }
    index += count;
    first += count;
    first <<= 1;
    code <<= 1;
  }
  return false;
}


InflateStatus Codes(BitReader* in, const Huffman& literals, const Huffman& distances, std::vector<uint8_t>* out,
                    size_t limit) {
  for (;;) {
    int symbol = 0;
    if (!DecodeSymbol(in, literals, &symbol)) return InflateStatus::BadData;
    if (symbol < 256) {
      if (out->size() == limit) return InflateStatus::OutputLimit;
      out->push_back(static_cast<uint8_t>(symbol));
      continue;
    }
    if (symbol == 256) return InflateStatus::Ok;
    if (symbol > 285) return InflateStatus::BadData;
    uint32_t extra = 0;
    if (!in->Bits(kLengthExtra[symbol - 257], &extra)) return InflateStatus::BadData;
    const size_t length = static_cast<size_t>(kLengthBase[symbol - 257]) + extra;
    int distanceSymbol = 0;
    if (!DecodeSymbol(in, distances, &distanceSymbol) || distanceSymbol > 29) return InflateStatus::BadData;
    if (!in->Bits(kDistanceExtra[distanceSymbol], &extra)) return InflateStatus::BadData;
    const size_t distance = static_cast<size_t>(kDistanceBase[distanceSymbol]) + extra;
    if (distance > out->size()) return InflateStatus::BadData;
    if (length > limit - out->size()) return InflateStatus::OutputLimit;
    for (size_t i = 0; i < length; ++i) out->push_back((*out)[out->size() - distance]);
  }
}

InflateStatus Dynamic(BitReader* in, std::vector<uint8_t>* out, size_t limit) {
  uint32_t hlit = 0, hdist = 0, hclen = 0;
  if (!in->Bits(5, &hlit) || !in->Bits(5, &hdist) || !in->Bits(4, &hclen)) return InflateStatus::BadData;
  const size_t literalCount = hlit + 257, distanceCount = hdist + 1;
  std::vector<int> codeLengthLengths(19, 0);
  for (uint32_t i = 0; i < hclen + 4; ++i) {
    uint32_t length = 0;
    if (!in->Bits(3, &length)) return InflateStatus::BadData;
    codeLengthLengths[static_cast<size_t>(kCodeLengthOrder[i])] = static_cast<int>(length);
  }
  const Huffman codeLengths = BuildHuffman(codeLengthLengths);
  std::vector<int> lengths;
  while (lengths.size() < literalCount + distanceCount) {
    int symbol = 0;
    if (!DecodeSymbol(in, codeLengths, &symbol)) return InflateStatus::BadData;
    if (symbol < 16) {
      lengths.push_back(symbol);
      continue;
    }
    uint32_t extra = 0;
    int value = 0;
    size_t run = 0;
    if (symbol == 16) {
      if (lengths.empty()) return InflateStatus::BadData;
      value = lengths.back();
      if (!in->Bits(2, &extra)) return InflateStatus::BadData;
      run = 3 + extra;
    } else if (symbol == 17) {
      if (!in->Bits(3, &extra)) return InflateStatus::BadData;
      run = 3 + extra;
    } else {
      if (!in->Bits(7, &extra)) return InflateStatus::BadData;
      run = 11 + extra;
    }
    if (lengths.size() + run > literalCount + distanceCount) return InflateStatus::BadData;
    lengths.insert(lengths.end(), run, value);
  }
  const Huffman literals = BuildHuffman(std::vector<int>(lengths.begin(), lengths.begin() + literalCount));
  const Huffman distances = BuildHuffman(std::vector<int>(lengths.begin() + literalCount, lengths.end()));
  return Codes(in, literals, distances, out, limit);
}

}  // namespace

InflateStatus ReferenceInflate(std::span<const uint8_t> input, std::vector<uint8_t>* output, size_t outputLimit) {
  output->clear();
  BitReader in{input};
  for (;;) {
    uint32_t final = 0, type = 0;
    if (!in.Bit(&final) || !in.Bits(2, &type)) return InflateStatus::BadData;
    InflateStatus status = InflateStatus::BadData;
    if (type == 0) {
      if (in.bit != 0) {
        in.bit = 0;
        ++in.byte;
      }
      if (input.size() - in.byte < 4) return InflateStatus::BadData;
      const size_t length = input[in.byte] | (static_cast<size_t>(input[in.byte + 1]) << 8);
      in.byte += 4;
      if (input.size() - in.byte < length) return InflateStatus::BadData;
      if (length > outputLimit - output->size()) return InflateStatus::OutputLimit;
      output->insert(output->end(), input.begin() + static_cast<std::ptrdiff_t>(in.byte),
                     input.begin() + static_cast<std::ptrdiff_t>(in.byte + length));
      in.byte += length;
      status = InflateStatus::Ok;
    } else if (type == 1) {
      std::vector<int> literalLengths(288, 8);
      for (int s = 144; s < 256; ++s) literalLengths[static_cast<size_t>(s)] = 9;
      for (int s = 256; s < 280; ++s) literalLengths[static_cast<size_t>(s)] = 7;
      status = Codes(&in, BuildHuffman(literalLengths), BuildHuffman(std::vector<int>(30, 5)), output, outputLimit);
    } else if (type == 2) {
      status = Dynamic(&in, output, outputLimit);
    }
    if (status != InflateStatus::Ok || final) return status;
  }
}

}  // namespace pl::archive::test
