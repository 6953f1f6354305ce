// The reading of bcdedit's answer to /create: plain C++, so it also builds natively for fuzzing (tests/fuzz).
#include "boot/pe_boot_entry.h"

namespace pl::boot {

bool ParseEntryIdentifier(const std::string& bcdeditOutput, std::string* entryId) {
  const size_t open = bcdeditOutput.find('{');
  if (open == std::string::npos) return false;
  const size_t close = bcdeditOutput.find('}', open + 1);
  if (close == std::string::npos) return false;
  *entryId = bcdeditOutput.substr(open, close - open + 1);
  return true;
}

}  // namespace pl::boot
