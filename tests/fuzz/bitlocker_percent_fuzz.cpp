// PowerShell's percentage answer, trimmed as the query trims it, against std::from_chars on its leading digits.
#include <charconv>
#include <cstdint>
#include <string>

#include "base/text.h"
#include "disks/bitlocker.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer =
      pl::base::TrimWhitespace(std::string_view(reinterpret_cast<const char*>(data), size));
  int value = -1;
  const bool read = pl::disks::ParseLeadingInteger(answer, &value);

  int32_t expected = -1;
  const bool digit = !answer.empty() && answer.front() >= '0' && answer.front() <= '9';
  const auto [end, error] = std::from_chars(answer.data(), answer.data() + answer.size(), expected);
  (void)end;
  PL_FUZZ_CHECK(read == (digit && error == std::errc()));
  PL_FUZZ_CHECK(read ? value == expected && value >= 0 : value == -1);
  return 0;
}
