#pragma once
// BitLocker questions asked through Windows PowerShell: is protection on, how much is still encrypted, and
// starting the decryption. A protected volume locks again after the restart into the PE, so nothing may be
// staged on it.

#include <cstdint>
#include <string>
#include <string_view>

namespace pl::disks {

// How long PowerShell may take. Tests shorten them; callers keep the defaults.
struct BitLockerTimeLimits {
  int32_t queryMs = 15000;
  int32_t startMs = 20000;
};

// True only when the volume reports protection "On"; any failure reads as not protected (and is logged).
bool IsBitLockerProtected(wchar_t letter, const BitLockerTimeLimits& limits = {});

// `percentage` is set to -1 first; true and the leading whole number of the answer when it could be read.
bool QueryEncryptionPercentage(wchar_t letter, int* percentage, const BitLockerTimeLimits& limits = {});

// True when decryption was started or the volume was already fully decrypted. The decryption itself runs on
// in the background; its progress is read with QueryEncryptionPercentage.
bool StartBitLockerDecryption(wchar_t letter, const BitLockerTimeLimits& limits = {});

// Pure piece, exposed for tests. The decimal integer the text begins with, when there is one that fits in 32 bits
// ("57.3" gives 57).
bool ParseLeadingInteger(std::string_view text, int* value);

}  // namespace pl::disks
