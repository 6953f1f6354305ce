// The reading of PowerShell's percentage answer: plain C++, so it also builds natively for fuzzing (tests/fuzz).
#include "disks/bitlocker.h"

#include <limits>

namespace pl::disks {

bool ParseLeadingInteger(std::string_view text, int* value) {
  int64_t result = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    result = result * 10 + (c - '0');
    if (result > std::numeric_limits<int32_t>::max()) return false;
    ++digits;
  }
  if (digits == 0) return false;
  *value = static_cast<int>(result);
  return true;
}

}  // namespace pl::disks
