// The WIM image-list reader over any file contents: a success gives images 1 to imageCount, each once.
#include <string>

#include "archive/wim_reader.h"
#include "fuzz_check.h"

using namespace pl::archive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WimInfo info;
  std::string error;
  const bool ok = ReadWimImageList(MemoryWimSource({data, size}), &info, &error);
  PL_FUZZ_CHECK(ok == error.empty());
  if (!ok) {
    PL_FUZZ_CHECK(info.images.empty());
    return 0;
  }
  PL_FUZZ_CHECK(info.images.size() == info.imageCount);
  for (size_t i = 0; i < info.images.size(); ++i) {
    PL_FUZZ_CHECK(info.images[i].index == static_cast<int>(i + 1));
    PL_FUZZ_CHECK(FindWimImage(info, info.images[i].index) == &info.images[i]);
  }
  WimImageIndexes(info);
  return 0;
}
