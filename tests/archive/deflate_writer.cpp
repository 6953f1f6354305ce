#include "deflate_writer.h"

#include "deflate_tables.h"

namespace pl::archive::test {
namespace {

// The symbol whose base is the largest not above `value` (length 258 is handled by the caller: symbol 285).
int SymbolFor(const int* base, int count, int value) {
  int symbol = count - 1;
  while (base[symbol] > value) --symbol;
  return symbol;
}

}  // namespace

void BitWriter::Bits(uint32_t value, int count) {
  for (int i = 0; i < count; ++i) {
    if (used == 8) {
      bytes.push_back(0);
      used = 0;
    }
    bytes.back() = static_cast<uint8_t>(bytes.back() | (((value >> i) & 1u) << used));
    ++used;
  }
}

void BitWriter::Code(uint32_t code, int length) {
  for (int i = length - 1; i >= 0; --i) Bits((code >> i) & 1u, 1);
}

std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  uint32_t next = 0;
  for (int length = 1; length <= 15; ++length) {
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      if (lengths[symbol] == length) codes[symbol] = next++;
    }
    next <<= 1;
  }
  return codes;
}

std::vector<int> FixedLiteralLengths() {
  std::vector<int> lengths(288, 8);
  for (int s = 144; s < 256; ++s) lengths[static_cast<size_t>(s)] = 9;
  for (int s = 256; s < 280; ++s) lengths[static_cast<size_t>(s)] = 7;
  return lengths;
}

std::vector<int> FixedDistanceLengths() { return std::vector<int>(30, 5); }

void WriteTokens(BitWriter* out, const std::vector<Token>& tokens, const std::vector<int>& literalLengths,
                 const std::vector<int>& distanceLengths) {
  const std::vector<uint32_t> literalCodes = CanonicalCodes(literalLengths);
  const std::vector<uint32_t> distanceCodes = CanonicalCodes(distanceLengths);
  auto symbol = [&](int s) { out->Code(literalCodes[static_cast<size_t>(s)], literalLengths[static_cast<size_t>(s)]); };
  for (const Token& t : tokens) {
    if (t.literal >= 0) {
      symbol(t.literal);
      continue;
    }
    const int l = t.length == 258 ? 28 : SymbolFor(kLengthBase, 28, t.length);
    symbol(257 + l);
    out->Bits(static_cast<uint32_t>(t.length - kLengthBase[l]), kLengthExtra[l]);
    const int d = SymbolFor(kDistanceBase, 30, t.distance);
    out->Code(distanceCodes[static_cast<size_t>(d)], distanceLengths[static_cast<size_t>(d)]);
    out->Bits(static_cast<uint32_t>(t.distance - kDistanceBase[d]), kDistanceExtra[d]);
  }
}

void WriteFixedBlock(BitWriter* out, bool final, const std::vector<Token>& tokens) {
  out->Bits(final ? 1 : 0, 1);
  out->Bits(1, 2);
  WriteTokens(out, tokens, FixedLiteralLengths(), FixedDistanceLengths());
}

void WriteDynamicHeader(BitWriter* out, bool final, const std::vector<int>& literalLengths,
                        const std::vector<int>& distanceLengths) {
  out->Bits(final ? 1 : 0, 1);
  out->Bits(2, 2);
  out->Bits(static_cast<uint32_t>(literalLengths.size() - 257), 5);
  out->Bits(static_cast<uint32_t>(distanceLengths.size() - 1), 5);
  out->Bits(19 - 4, 4);
  for (int symbol : kCodeLengthOrder) out->Bits(symbol < 16 ? 4 : 0, 3);
  // With every one of 0-15 at four bits, the canonical code of length value v is v itself.
  for (int length : literalLengths) out->Code(static_cast<uint32_t>(length), 4);
  for (int length : distanceLengths) out->Code(static_cast<uint32_t>(length), 4);
}

void WriteDynamicBlock(BitWriter* out, bool final, const std::vector<Token>& tokens,
                       const std::vector<int>& literalLengths, const std::vector<int>& distanceLengths) {
  WriteDynamicHeader(out, final, literalLengths, distanceLengths);
  WriteTokens(out, tokens, literalLengths, distanceLengths);
}

void WriteStoredBlock(BitWriter* out, bool final, const std::string& bytes, int nlen) {
  out->Bits(final ? 1 : 0, 1);
  out->Bits(0, 2);
  out->AlignToByte();
  const uint32_t length = static_cast<uint32_t>(bytes.size());
  out->Bits(length, 16);
  out->Bits(nlen < 0 ? (~length & 0xffff) : static_cast<uint32_t>(nlen), 16);
  for (unsigned char c : bytes) out->Bits(c, 8);
}

std::string Expand(const std::vector<Token>& tokens) {
  std::string text;
  for (const Token& t : tokens) {
    if (t.literal == 256) break;
    if (t.literal >= 0) {
      text.push_back(static_cast<char>(t.literal));
      continue;
    }
    for (int i = 0; i < t.length; ++i) text.push_back(text[text.size() - static_cast<size_t>(t.distance)]);
  }
  return text;
}

}  // namespace pl::archive::test
