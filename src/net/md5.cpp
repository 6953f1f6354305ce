#include "net/md5.h"

#include <algorithm>

namespace pl::net {
namespace {

constexpr DWORD kHashChunk = 1024 * 1024;

}  // namespace

bool Md5Start(Md5* md5) {
  md5->hash.reset();
  if (!md5->algorithm &&
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(md5->algorithm.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    return false;
  }
  DWORD objectLength = 0;
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(md5->algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength, &got, 0))) {
    return false;
  }
  md5->object.assign(objectLength, 0);
  return BCRYPT_SUCCESS(
      BCryptCreateHash(md5->algorithm.get(), md5->hash.put(), md5->object.data(), objectLength, nullptr, 0, 0));
}

bool Md5Add(Md5* md5, const void* data, size_t size) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, kHashChunk));
    if (!md5->hash || !BCRYPT_SUCCESS(BCryptHashData(md5->hash.get(), const_cast<PUCHAR>(bytes), piece, 0))) {
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

std::string Md5Finish(Md5* md5) {
  DWORD digestLength = 0;
  ULONG got = 0;
  if (!md5->hash || !BCRYPT_SUCCESS(BCryptGetProperty(md5->algorithm.get(), BCRYPT_HASH_LENGTH,
                                                      reinterpret_cast<PUCHAR>(&digestLength), sizeof digestLength,
                                                      &got, 0))) {
    return {};
  }
  std::vector<UCHAR> digest(digestLength);
  const bool finished = BCRYPT_SUCCESS(BCryptFinishHash(md5->hash.get(), digest.data(), digestLength, 0));
  md5->hash.reset();
  if (!finished) return {};
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (UCHAR byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

void ResetPrefixHash(PrefixHash* prefix) {
  prefix->hashed = 0;
  prefix->failed = !Md5Start(&prefix->md5);
}

void AddToPrefixHash(PrefixHash* prefix, const void* data, size_t size) {
  if (!prefix->failed && !Md5Add(&prefix->md5, data, size)) prefix->failed = true;
  prefix->hashed += size;
}

bool HashFileUpTo(HANDLE file, uint64_t end, PrefixHash* prefix, const ByteProgress& onVerify, uint64_t total) {
  if (prefix->hashed >= end) return true;
  std::vector<char> chunk(static_cast<size_t>(std::min<uint64_t>(kHashChunk, end - prefix->hashed)));
  while (prefix->hashed < end) {
    // Chunks end on whole MiB from the start of the file, whatever the prefix began at.
    const uint64_t toBoundary = kHashChunk - prefix->hashed % kHashChunk;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>({toBoundary, end - prefix->hashed, chunk.size()}));
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(prefix->hashed);
    at.OffsetHigh = static_cast<DWORD>(prefix->hashed >> 32);
    DWORD read = 0;
    if (!ReadFile(file, chunk.data(), want, &read, &at) || read == 0) return false;
    AddToPrefixHash(prefix, chunk.data(), read);
    if (onVerify) onVerify(prefix->hashed, total);
  }
  return true;
}

}  // namespace pl::net
