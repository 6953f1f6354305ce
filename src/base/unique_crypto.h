#pragma once
// Cryptography API: Next Generation handles in the one handle template; only the hashing code needs <bcrypt.h>.

#include <windows.h>
#include <bcrypt.h>

#include "base/unique_handle.h"

namespace pl::base {

struct BcryptAlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptHashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { BCryptDestroyHash(h); }
};
using UniqueBcryptAlgorithm = UniqueHandle<BcryptAlgorithmTraits>;
using UniqueBcryptHash = UniqueHandle<BcryptHashTraits>;

}  // namespace pl::base
