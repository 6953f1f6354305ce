#include "archive/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "deflate_tables.h"
#include "deflate_writer.h"
#include "reference_inflate.h"
#include "test_data.h"

namespace pl::archive {
namespace {

using test::BitWriter;
using test::kDistanceBase;
using test::kLengthBase;
using test::Bytes;
using test::Random;
using test::Token;

struct Decoded {
  InflateStatus status;
  std::string output;
};

Decoded Fast(std::span<const uint8_t> input, size_t limit = SIZE_MAX) {
  std::vector<uint8_t> out;
  const InflateStatus status = Inflate(input, &out, limit);
  return {status, test::Text(out)};
}

// InflateTo, its chunks gathered.
Decoded Streamed(std::span<const uint8_t> input, size_t limit = SIZE_MAX) {
  std::string out;
  const InflateStatus status = InflateTo(
      input,
      [&out](std::span<const uint8_t> chunk) {
        EXPECT_FALSE(chunk.empty());
        EXPECT_LE(chunk.size(), kInflateWindowBytes);
        out.append(chunk.begin(), chunk.end());
        return true;
      },
      limit);
  return {status, out};
}

Decoded Reference(std::span<const uint8_t> input, size_t limit = SIZE_MAX) {
  std::vector<uint8_t> out;
  const InflateStatus status = test::ReferenceInflate(input, &out, limit);
  return {status, test::Text(out)};
}

const char* Name(InflateStatus status) {
  switch (status) {
    case InflateStatus::Ok:
      return "Ok";
    case InflateStatus::BadData:
      return "BadData";
    case InflateStatus::OutputLimit:
      return "OutputLimit";
    case InflateStatus::Stopped:
      break;
  }
  return "Stopped";
}

// Both decoders, into a vector and streamed, give the same status and the same bytes, also the bytes produced
// before a failure. Returns the common result.
Decoded ExpectSameAsReference(std::span<const uint8_t> input, size_t limit, const std::string& label) {
  const Decoded fast = Fast(input, limit);
  const Decoded streamed = Streamed(input, limit);
  const Decoded reference = Reference(input, limit);
  EXPECT_EQ(Name(fast.status), std::string(Name(reference.status))) << label;
  EXPECT_EQ(Name(streamed.status), std::string(Name(reference.status))) << label << " (streamed)";
  EXPECT_TRUE(fast.output == reference.output)
      << label << ": " << fast.output.size() << " bytes against " << reference.output.size();
  EXPECT_TRUE(streamed.output == reference.output)
      << label << " (streamed): " << streamed.output.size() << " bytes against " << reference.output.size();
  return fast;
}

void ExpectDecodes(std::span<const uint8_t> stream, const std::string& expected, const std::string& label) {
  const Decoded d = ExpectSameAsReference(stream, SIZE_MAX, label);
  EXPECT_EQ(Name(d.status), std::string("Ok")) << label;
  EXPECT_TRUE(d.output == expected) << label << ": " << d.output.size() << " bytes, expected " << expected.size();
}

Decoded DecodeWritten(const BitWriter& w) { return ExpectSameAsReference(w.bytes, SIZE_MAX, "hand-made"); }

std::vector<std::string> ZlibInputs() {
  return {"",
          "a",
          test::TextLike(1, 200000),
          test::BinaryLike(2, 150000),
          test::RandomBytes(3, 70000),
          std::string(100000, 'z'),
          test::TextLike(4, 30000) + test::RandomBytes(5, 30000) + test::BinaryLike(6, 30000)};
}

TEST(Inflate, ZlibStreamsOfEveryLevelAndStrategyDecodeByteExact) {
  int fixedBlocks = 0, storedBlocks = 0;
  for (const std::string& input : ZlibInputs()) {
    const std::string size = std::to_string(input.size()) + " bytes";
    for (int level = 0; level <= 9; ++level) {
      const auto stream = test::ZlibDeflateRaw(input, level);
      ExpectDecodes(stream, input, size + " at level " + std::to_string(level));
      if (level == 0 && ((stream[0] >> 1) & 3) == 0) ++storedBlocks;
      std::vector<uint8_t> out;
      EXPECT_TRUE(InflateRaw(stream, &out));
    }
    for (int strategy : {Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED}) {
      for (int level : {1, 6, 9}) {
        const auto stream = test::ZlibDeflateRaw(input, level, strategy);
        ExpectDecodes(stream, input, size + " strategy " + std::to_string(strategy) + " level " + std::to_string(level));
        if (strategy == Z_FIXED && ((stream[0] >> 1) & 3) == 1) ++fixedBlocks;
      }
    }
    // A small window and little memory make short distances and many small blocks.
    ExpectDecodes(test::ZlibDeflateRaw(input, 9, Z_DEFAULT_STRATEGY, 9, 1), input, size + " window 9 memLevel 1");
  }
  EXPECT_GT(fixedBlocks, 0);  // the streams did use the block kinds they are meant to test
  EXPECT_GT(storedBlocks, 0);
}

TEST(Inflate, OverlappingMatchesRepeatTheirOwnOutput) {
  std::vector<Token> tokens = {Token::Literal('a'), Token::Literal('b'), Token::Match(10, 2), Token::Match(258, 1)};
  for (char c : std::string("0123456789")) tokens.push_back(Token::Literal(c));
  // Distances of eight and more that overlap the copy, then short ones.
  for (Token t : {Token::Match(30, 9), Token::Match(100, 8), Token::Match(3, 3), Token::Match(20, 7),
                  Token::Match(258, 300), Token::Match(17, 16)}) {
    tokens.push_back(t);
  }
  tokens.push_back(Token::Literal(256));
  const std::string expected = test::Expand(tokens);
  EXPECT_EQ(expected.substr(0, 14), "ababababababbb");
  EXPECT_EQ(expected.substr(270, 40), "0123456789123456789123456789123456789123");  // distance 9 repeats 1-9

  BitWriter fixed;
  test::WriteFixedBlock(&fixed, true, tokens);
  ExpectDecodes(fixed.bytes, expected, "fixed block");
  // The same matches at the very end of a buffer sized to the output (no room to copy in chunks).
  std::vector<uint8_t> out;
  out.reserve(expected.size());
  EXPECT_EQ(Inflate(fixed.bytes, &out, expected.size()), InflateStatus::Ok);
  EXPECT_EQ(test::Text(out), expected);
}

// Matches reaching the full 32 KiB back, and stored blocks of the largest size, while the window slides under them.
TEST(Inflate, StreamingKeepsTheWholeHistoryAcrossWindowSlides) {
  Random random(41);
  BitWriter w;
  std::vector<Token> all;
  std::string stored;
  for (int round = 0; round < 6; ++round) {
    std::vector<Token> tokens;
    const std::string literals = test::RandomBytes(random.Next(), (round == 0 ? 32768 : 0) + random.Below(40000));
    for (unsigned char c : literals) tokens.push_back(Token::Literal(c));
    for (int i = 0; i < 300 + static_cast<int>(random.Below(300)); ++i) {
      tokens.push_back(Token::Match(3 + static_cast<int>(random.Below(256)), 32768 - static_cast<int>(random.Below(3))));
    }
    tokens.push_back(Token::Literal(256));
    test::WriteFixedBlock(&w, false, tokens);
    tokens.pop_back();
    all.insert(all.end(), tokens.begin(), tokens.end());
    const std::string block = test::RandomBytes(random.Next(), round % 2 ? 65535 : random.Below(65536));
    test::WriteStoredBlock(&w, round == 5, block);
    for (unsigned char c : block) all.push_back(Token::Literal(c));
  }
  const std::string expected = test::Expand(all);
  ASSERT_GT(expected.size(), 3 * kInflateWindowBytes);
  ExpectDecodes(w.bytes, expected, "sliding");
  for (size_t limit : {expected.size() - 1, expected.size() / 2, kInflateWindowBytes + 1, kInflateWindowBytes}) {
    EXPECT_EQ(ExpectSameAsReference(w.bytes, limit, "limit " + std::to_string(limit)).status,
              InflateStatus::OutputLimit);
  }

  // A sink that refuses a chunk gets nothing more, and the decoding ends at once.
  int calls = 0;
  EXPECT_EQ(InflateTo(w.bytes, [&calls](std::span<const uint8_t>) { return ++calls < 2; }), InflateStatus::Stopped);
  EXPECT_EQ(calls, 2);
}

TEST(Inflate, MalformedStreamsFail) {
  {  // BTYPE 3
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(3, 2);
    w.Bits(0, 16);
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  {  // a dynamic block whose first code-length symbol is 16 has no length to repeat
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(0, 5);  // 257 literal/length codes
    w.Bits(0, 5);  // 1 distance code
    w.Bits(0, 4);  // 4 code-length code lengths, for 16, 17, 18 and 0
    for (int length : {1, 0, 0, 1}) w.Bits(static_cast<uint32_t>(length), 3);
    w.Code(1, 1);  // symbol 16 (symbol 0 has code 0)
    w.Bits(0, 2);
    w.Bits(0, 16);
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  {  // repeats running past HLIT + HDIST
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(0, 4);
    for (int length : {0, 0, 1, 1}) w.Bits(static_cast<uint32_t>(length), 3);
    for (int i = 0; i < 2; ++i) {
      w.Code(1, 1);  // symbol 18: 11 + 127 zeros, twice: 276 > 258
      w.Bits(127, 7);
    }
    w.Bits(0, 16);
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  {  // a distance beyond the output produced so far; what came before stays
    BitWriter w;
    test::WriteFixedBlock(&w, true, {Token::Literal('a'), Token::Match(3, 2), Token::Literal(256)});
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::BadData);
    EXPECT_EQ(d.output, "a");
  }
  for (int symbol : {286, 287}) {  // length symbols that have a fixed code but no meaning
    BitWriter w;
    test::WriteFixedBlock(&w, false, {Token::Literal('x')});
    w.Code(test::CanonicalCodes(test::FixedLiteralLengths())[static_cast<size_t>(symbol)], 8);
    w.Bits(0, 16);
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::BadData) << symbol;
    EXPECT_EQ(d.output, "x");
  }
  {  // fixed distance codes 30 and 31 do not exist
    BitWriter w;
    test::WriteFixedBlock(&w, true, {Token::Literal('x')});
    w.Code(test::CanonicalCodes(test::FixedLiteralLengths())[257], 7);
    w.Code(30, 5);
    w.Bits(0, 16);
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  {  // distance symbol 30 given a code in a dynamic block
    std::vector<int> literals(258, 0), distances(32, 0);
    literals['q'] = 2;
    literals[256] = 2;
    literals[257] = 1;
    distances[0] = 1;
    distances[30] = 1;
    BitWriter w;
    test::WriteDynamicHeader(&w, true, literals, distances);
    const auto codes = test::CanonicalCodes(literals);
    w.Code(codes['q'], 2);
    w.Code(codes[257], 1);
    w.Code(1, 1);  // distance symbol 30
    w.Bits(0, 16);
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::BadData);
    EXPECT_EQ(d.output, "q");
  }
  {  // a literal/length code without any codes
    BitWriter w;
    test::WriteDynamicHeader(&w, true, std::vector<int>(257, 0), std::vector<int>(1, 0));
    w.Bits(0, 32);
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  {  // no block marked final: the input ends first
    BitWriter w;
    test::WriteStoredBlock(&w, false, "not the end");
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::BadData);
    EXPECT_EQ(d.output, "not the end");
  }
  {  // a stored block whose LEN bytes are not all there
    BitWriter w;
    test::WriteStoredBlock(&w, true, "12345");
    w.bytes.pop_back();
    EXPECT_EQ(DecodeWritten(w).status, InflateStatus::BadData);
  }
  // Every strict prefix of a stream fails, leaving a prefix of the data.
  const std::string input = test::TextLike(11, 3000) + test::RandomBytes(12, 500);
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    const auto stream = test::ZlibDeflateRaw(input, 6, strategy);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      const Decoded d = ExpectSameAsReference(std::span(stream).first(cut), SIZE_MAX, "cut " + std::to_string(cut));
      EXPECT_EQ(d.status, InflateStatus::BadData) << cut;
      EXPECT_EQ(input.compare(0, d.output.size(), d.output), 0) << cut;
    }
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(InflateRaw({}, &out));
}

TEST(Inflate, AcceptsWhatTheFormatLeavesUnchecked) {
  {  // a stored block whose NLEN is not the complement of LEN, then bytes after the final block
    BitWriter w;
    test::WriteStoredBlock(&w, false, "first ", 0x1234);
    test::WriteFixedBlock(&w, false, {Token::Literal('x'), Token::Literal(256)});
    test::WriteStoredBlock(&w, true, "last", 0);
    w.Bits(0xdeadbeef, 32);
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::Ok);
    EXPECT_EQ(d.output, "first xlast");
  }
  {  // an incomplete code: only the patterns in use need a code
    std::vector<int> literals(257, 0);
    literals['A'] = 1;
    literals[256] = 2;
    BitWriter w;
    test::WriteDynamicBlock(&w, true, {Token::Literal('A'), Token::Literal('A'), Token::Literal(256)}, literals, {1});
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::Ok);
    EXPECT_EQ(d.output, "AA");
  }
  {  // an over-subscribed code: 'C' gets no bit pattern, the others decode
    std::vector<int> literals(257, 0);
    literals[256] = 1;
    literals['A'] = 2;
    literals['B'] = 2;
    literals['C'] = 2;
    BitWriter w;
    test::WriteDynamicBlock(&w, true, {Token::Literal('B'), Token::Literal('A'), Token::Literal(256)}, literals, {1});
    const Decoded d = DecodeWritten(w);
    EXPECT_EQ(d.status, InflateStatus::Ok);
    EXPECT_EQ(d.output, "BA");
  }
}

TEST(Inflate, NeverProducesMoreThanTheLimit) {
  const std::string data = test::TextLike(7, 1000);
  const auto stream = test::ZlibDeflateRaw(data, 6);
  for (size_t limit : {size_t{0}, size_t{1}, size_t{500}, size_t{999}}) {
    const Decoded d = ExpectSameAsReference(stream, limit, "limit " + std::to_string(limit));
    EXPECT_EQ(d.status, InflateStatus::OutputLimit) << limit;
    EXPECT_LE(d.output.size(), limit);
    EXPECT_EQ(data.compare(0, d.output.size(), d.output), 0);
  }
  EXPECT_EQ(ExpectSameAsReference(stream, 1000, "limit 1000").status, InflateStatus::Ok);

  // A stored block that does not fit is not taken in part.
  BitWriter w;
  test::WriteStoredBlock(&w, true, std::string(100, 's'));
  const Decoded stored = ExpectSameAsReference(w.bytes, 50, "stored");
  EXPECT_EQ(stored.status, InflateStatus::OutputLimit);
  EXPECT_EQ(stored.output, "");

  // 64 MiB of zeros in 64 KiB of input: the buffer stays within the limit instead of growing with the data.
  const auto bomb = test::ZlibDeflateRaw(std::string(64u << 20, '\0'), 9);
  ASSERT_LT(bomb.size(), 100000u);
  std::vector<uint8_t> out;
  EXPECT_EQ(Inflate(bomb, &out, 1u << 20), InflateStatus::OutputLimit);
  EXPECT_LE(out.size(), 1u << 20);
  EXPECT_LE(out.capacity(), 1u << 20);
}

// A complete code over `used` random symbols of `alphabet`, with `required` among them; deep codes are likely.
std::vector<int> RandomCompleteLengths(Random* random, int alphabet, int used, const std::vector<int>& required) {
  used = std::max(used, static_cast<int>(required.size()));
  std::vector<int> depths = {0};
  while (static_cast<int>(depths.size()) < used) {
    // Splitting the newest leaf half of the time grows long chains, up to 15 bits.
    size_t pick = random->Below(2) ? depths.size() - 1 : random->Below(static_cast<uint32_t>(depths.size()));
    if (depths[pick] >= 15) pick = random->Below(static_cast<uint32_t>(depths.size()));
    if (depths[pick] >= 15) continue;
    const int deeper = ++depths[pick];
    depths.push_back(deeper);
  }
  if (used == 1) depths[0] = 1;
  std::vector<int> symbols = required;
  while (static_cast<int>(symbols.size()) < used) {
    const int s = static_cast<int>(random->Below(static_cast<uint32_t>(alphabet)));
    if (std::find(symbols.begin(), symbols.end(), s) == symbols.end()) symbols.push_back(s);
  }
  std::vector<int> lengths(static_cast<size_t>(alphabet), 0);
  for (size_t i = 0; i < symbols.size(); ++i) lengths[static_cast<size_t>(symbols[i])] = depths[i];
  return lengths;
}

// Tokens that a code can express: literals it has, and matches whose length and distance symbols it has.
std::vector<Token> RandomTokens(Random* random, const std::vector<int>& literals, const std::vector<int>& distances,
                                size_t produced, int count) {
  std::vector<int> bytes, lengthSymbols, distanceSymbols;
  for (int s = 0; s < 256; ++s) {
    if (literals[static_cast<size_t>(s)]) bytes.push_back(s);
  }
  for (int s = 257; s <= 285; ++s) {
    if (literals[static_cast<size_t>(s)]) lengthSymbols.push_back(s - 257);
  }
  for (int s = 0; s < 30; ++s) {
    if (distances[static_cast<size_t>(s)]) distanceSymbols.push_back(s);
  }
  std::vector<Token> tokens;
  for (int i = 0; i < count; ++i) {
    if (!lengthSymbols.empty() && !distanceSymbols.empty() && random->Below(3) != 0) {
      const int l = lengthSymbols[random->Below(static_cast<uint32_t>(lengthSymbols.size()))];
      const int d = distanceSymbols[random->Below(static_cast<uint32_t>(distanceSymbols.size()))];
      const int lengthSpan = l == 28 ? 1 : kLengthBase[l + 1] - kLengthBase[l];
      const int distanceSpan = d == 29 ? 8192 : kDistanceBase[d + 1] - kDistanceBase[d];
      const int distance = kDistanceBase[d] + static_cast<int>(random->Below(static_cast<uint32_t>(distanceSpan)));
      if (static_cast<size_t>(distance) <= produced) {
        const int length = kLengthBase[l] + static_cast<int>(random->Below(static_cast<uint32_t>(lengthSpan)));
        tokens.push_back(Token::Match(length, distance));
        produced += static_cast<size_t>(length);
        continue;
      }
    }
    if (bytes.empty()) break;
    tokens.push_back(Token::Literal(bytes[random->Below(static_cast<uint32_t>(bytes.size()))]));
    ++produced;
  }
  tokens.push_back(Token::Literal(256));
  return tokens;
}

// A stream of one to four blocks: dynamic ones with random complete codes (often longer than ten bits), fixed
// ones and stored ones. `expected` receives what it decodes to.
std::vector<uint8_t> RandomStream(Random* random, std::string* expected) {
  BitWriter w;
  std::vector<Token> all;  // every block's tokens, end-of-block markers left out
  const int blocks = 1 + static_cast<int>(random->Below(4));
  for (int b = 0; b < blocks; ++b) {
    const bool final = b == blocks - 1;
    const size_t produced = test::Expand(all).size();
    const uint32_t kind = random->Below(6);
    std::vector<Token> tokens;
    if (kind == 0) {
      const std::string bytes = test::RandomBytes(random->Next(), random->Below(300));
      test::WriteStoredBlock(&w, final, bytes);
      for (unsigned char c : bytes) tokens.push_back(Token::Literal(c));
    } else if (kind == 1) {
      tokens = RandomTokens(random, test::FixedLiteralLengths(), test::FixedDistanceLengths(), produced, 200);
      test::WriteFixedBlock(&w, final, tokens);
      tokens.pop_back();
    } else {
      const int literalCount = 258 + static_cast<int>(random->Below(31));
      const int distanceCount = 1 + static_cast<int>(random->Below(30));
      const auto literals = RandomCompleteLengths(random, literalCount, 2 + static_cast<int>(random->Below(
                                                                                 static_cast<uint32_t>(literalCount - 1))),
                                                  {256, 'a', 257});
      const auto distances = RandomCompleteLengths(random, distanceCount,
                                                   1 + static_cast<int>(random->Below(static_cast<uint32_t>(distanceCount))), {});
      std::vector<int> usable = literals;
      usable.resize(288, 0);
      usable[286] = usable[287] = 0;  // present in the code, never written
      std::vector<int> usableDistances = distances;
      usableDistances.resize(30, 0);
      tokens = RandomTokens(random, usable, usableDistances, produced, 1 + static_cast<int>(random->Below(400)));
      test::WriteDynamicBlock(&w, final, tokens, literals, distances);
      tokens.pop_back();
    }
    all.insert(all.end(), tokens.begin(), tokens.end());
  }
  *expected = test::Expand(all);
  return w.bytes;
}

TEST(Inflate, LongAndUnusualCodesDecodeLikeTheReference) {
  Random random(2024);
  for (int i = 0; i < 300; ++i) {
    std::string expected;
    const auto stream = RandomStream(&random, &expected);
    ExpectDecodes(stream, expected, "generated stream " + std::to_string(i));
    if (HasFailure()) return;
  }
}

// Bit flips, byte changes, cuts, insertions and deletions, more of them near the start where the headers are.
std::vector<uint8_t> Mutate(Random* random, std::vector<uint8_t> stream) {
  if (stream.empty()) stream.push_back(0);
  const int changes = 1 + static_cast<int>(random->Below(4));
  for (int c = 0; c < changes && !stream.empty(); ++c) {
    const size_t span = random->Below(2) ? std::min<size_t>(stream.size(), 64) : stream.size();
    const size_t at = random->Below(static_cast<uint32_t>(span));
    switch (random->Below(6)) {
      case 0:
      case 1:
        stream[at] ^= static_cast<uint8_t>(1u << random->Below(8));
        break;
      case 2:
        stream[at] = static_cast<uint8_t>(random->Next());
        break;
      case 3:
        stream.resize(at);
        break;
      case 4:
        stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(random->Next()));
        break;
      default:
        stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(at),
                     stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + 1 + random->Below(16))));
        break;
    }
  }
  return stream;
}

TEST(Inflate, MutatedStreamsDecodeLikeTheReference) {
  Random random(77);
  std::vector<std::vector<uint8_t>> bases;
  std::vector<size_t> sizes;
  const std::string inputs[] = {test::TextLike(21, 6000), test::BinaryLike(22, 5000),
                                test::TextLike(23, 1500) + test::RandomBytes(24, 300)};
  for (const std::string& input : inputs) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
      for (int level : {0, 1, 9}) {
        bases.push_back(test::ZlibDeflateRaw(input, level, strategy));
        sizes.push_back(input.size());
      }
    }
  }
  for (int i = 0; i < 40; ++i) {
    std::string expected;
    bases.push_back(RandomStream(&random, &expected));
    sizes.push_back(expected.size());
  }
  int ok = 0, bad = 0, limited = 0;
  for (int i = 0; i < 4000; ++i) {
    const size_t base = random.Below(static_cast<uint32_t>(bases.size()));
    const auto mutant = Mutate(&random, bases[base]);
    const uint32_t pick = random.Below(4);
    const size_t limit = pick == 0 ? SIZE_MAX : pick == 1 ? sizes[base] : random.Below(static_cast<uint32_t>(sizes[base] + 2));
    const Decoded d = ExpectSameAsReference(mutant, limit, "mutant " + std::to_string(i));
    if (HasFailure()) return;
    (d.status == InflateStatus::Ok ? ok : d.status == InflateStatus::BadData ? bad : limited)++;
  }
  // The corpus reaches every outcome.
  EXPECT_GT(ok, 100);
  EXPECT_GT(bad, 100);
  EXPECT_GT(limited, 100);
}

TEST(Inflate, RandomCodesAndBitsDecodeLikeTheReference) {
  Random random(5);
  for (int i = 0; i < 3000; ++i) {
    BitWriter w;
    if (i % 3 == 0) {
      // Arbitrary code lengths: incomplete and over-subscribed codes, symbols 286/287 and distances 30/31.
      std::vector<int> literals(257 + random.Below(32)), distances(1 + random.Below(32));
      for (int& l : literals) l = random.Below(3) ? 0 : static_cast<int>(random.Below(16));
      for (int& l : distances) l = static_cast<int>(random.Below(16));
      test::WriteDynamicHeader(&w, random.Below(2) != 0, literals, distances);
    } else {
      w.Bits(random.Below(2), 1);  // a dynamic or fixed block over random bits
      w.Bits(1 + (i % 3 == 1), 2);
    }
    const std::string tail = test::RandomBytes(random.Next(), random.Below(2000));
    for (unsigned char c : tail) w.Bits(c, 8);
    ExpectSameAsReference(w.bytes, random.Below(2) ? SIZE_MAX : random.Below(3000), "random " + std::to_string(i));
    if (HasFailure()) return;
  }
}

TEST(Inflate, FixedTablesAreBuiltOnceWhenEightThreadsStartTogether) {
  const int before = FixedTableBuildCount();
  EXPECT_LE(before, 1);  // 0 in a process of its own (as under CTest): the threads race for the first build
  const std::string data = test::TextLike(31, 50000);
  const auto stream = test::ZlibDeflateRaw(data, 6, Z_FIXED);
  std::atomic<int> ready{0};
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < 8) std::this_thread::yield();
      for (int round = 0; round < 5; ++round) {
        std::vector<uint8_t> out;
        if (InflateRaw(stream, &out) && test::Text(out) == data) correct.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(correct.load(), 40);
  EXPECT_EQ(FixedTableBuildCount(), 1);
}

}  // namespace
}  // namespace pl::archive
