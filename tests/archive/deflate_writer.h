#pragma once
// A small deflate writer for tests: hand-made blocks (fixed, dynamic with any code lengths, stored with any NLEN)
// and raw bit writes, so that streams zlib never makes (long or incomplete codes, bad symbols) can be built.

#include <cstdint>
#include <string>
#include <vector>

namespace pl::archive::test {

struct BitWriter {
  std::vector<uint8_t> bytes;
  int used = 8;  // bits used in the last byte

  void Bits(uint32_t value, int count);  // least significant bit first, as deflate packs values
  void Code(uint32_t code, int length);  // most significant bit first, as deflate packs Huffman codes
  void AlignToByte() { used = 8; }
};

// A literal (`literal` >= 0), an end of block (`literal` == 256), or a match.
struct Token {
  int literal = -1;
  int length = 0;
  int distance = 0;
  static Token Literal(int byte) { return Token{byte, 0, 0}; }
  static Token Match(int length, int distance) { return Token{-1, length, distance}; }
};

// Canonical codes for code lengths (0 = no code), handed out in order of length and then symbol.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths);

// The fixed code's lengths for the 288 literal/length symbols and the 30 distance symbols.
std::vector<int> FixedLiteralLengths();
std::vector<int> FixedDistanceLengths();

// Writes a symbol of a code (length/distance symbols and extra bits are derived from the token).
void WriteTokens(BitWriter* out, const std::vector<Token>& tokens, const std::vector<int>& literalLengths,
                 const std::vector<int>& distanceLengths);

void WriteFixedBlock(BitWriter* out, bool final, const std::vector<Token>& tokens);
// The code lengths are sent with a code-length code that gives symbols 0-15 four bits each (no repeats), so any
// lengths, also incomplete or over-subscribed ones, can be sent. 257-288 literal and 1-32 distance lengths.
void WriteDynamicHeader(BitWriter* out, bool final, const std::vector<int>& literalLengths,
                        const std::vector<int>& distanceLengths);
void WriteDynamicBlock(BitWriter* out, bool final, const std::vector<Token>& tokens,
                       const std::vector<int>& literalLengths, const std::vector<int>& distanceLengths);
void WriteStoredBlock(BitWriter* out, bool final, const std::string& bytes, int nlen = -1);  // -1: ~LEN

// What the tokens decode to.
std::string Expand(const std::vector<Token>& tokens);

}  // namespace pl::archive::test
