// The identifier in bcdedit's answer to /create, over any output: the text from the first "{" through the first
// "}" after it, or nothing. And the boot manager's defaults read from the same bytes: a braced word or nothing, a
// number of at most nine digits or -1.
#include <string>

#include "boot/pe_boot_entry.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string output(reinterpret_cast<const char*>(data), size);
  std::string id = "untouched";
  const bool found = pl::boot::ParseEntryIdentifier(output, &id);
  const size_t open = output.find('{');
  const bool closed = open != std::string::npos && output.find('}', open + 1) != std::string::npos;
  const pl::boot::BootDefaults defaults = pl::boot::ParseBootManagerDefaults(output);
  const std::string& defaultId = defaults.defaultId;
  PL_FUZZ_CHECK(defaultId.empty() || (defaultId.size() >= 3 && defaultId.front() == '{' && defaultId.back() == '}' &&
                                      defaultId.find_first_of("{} \t\r\n", 1) == defaultId.size() - 1 &&
                                      output.find(defaultId) != std::string::npos));
  PL_FUZZ_CHECK(defaults.timeoutSeconds >= -1 && defaults.timeoutSeconds <= 999999999);
  PL_FUZZ_CHECK(found == closed);
  if (!found) {
    PL_FUZZ_CHECK(id == "untouched");
    return 0;
  }
  PL_FUZZ_CHECK(id.size() >= 2 && id.front() == '{' && id.back() == '}');
  PL_FUZZ_CHECK(id.find('}') == id.size() - 1);
  PL_FUZZ_CHECK(output.compare(open, id.size(), id) == 0);
  return 0;
}
