#pragma once
// MD5 through CNG (bcrypt), fed piece by piece, and the digest of a file's first bytes grown as they arrive.

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_crypto.h"
#include "net/download.h"

namespace pl::net {

// Declared so that the hash goes before its object buffer, and both before the provider.
struct Md5 {
  base::UniqueBcryptAlgorithm algorithm;
  std::vector<UCHAR> object;
  base::UniqueBcryptHash hash;
};

// Starts a new digest (dropping any running one). False when CNG has no MD5 for us.
bool Md5Start(Md5* md5);
bool Md5Add(Md5* md5, const void* data, size_t size);
// 32 upper-case hex digits; empty when hashing failed. The digest cannot be fed any more afterwards.
std::string Md5Finish(Md5* md5);

// The MD5 of bytes [0, hashed) of one file. `failed` once CNG refused something: the digest is then computed
// from the file at the end instead.
struct PrefixHash {
  Md5 md5;
  uint64_t hashed = 0;
  bool failed = false;
};

// Starts over from byte 0 (the file was rewritten or deleted).
void ResetPrefixHash(PrefixHash* prefix);
// Feeds bytes that continue the prefix exactly.
void AddToPrefixHash(PrefixHash* prefix, const void* data, size_t size);
// Reads the file from `prefix->hashed` up to `end` and feeds it; `onVerify` gets (hashed, total) after each chunk.
// False when the file cannot be read there (the prefix then stays where it got to).
bool HashFileUpTo(HANDLE file, uint64_t end, PrefixHash* prefix, const ByteProgress& onVerify, uint64_t total);

}  // namespace pl::net
