// The zip reader over any bytes: extraction into a target that keeps nothing, checking what it is handed.
#include <string>

#include "archive/inflate.h"
#include "archive/zip_reader.h"
#include "fuzz_check.h"

using namespace pl::archive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> archive(data, size);
  // Odd sizes also run with a small limit, so the stop is reached too.
  const std::optional<uint64_t> limit = size % 2 ? std::optional<uint64_t>(4 * size) : std::nullopt;
  uint64_t written = 0;
  ExtractTarget target;
  target.destination = "D:\\out";
  target.createDirectoryTree = [](const std::string& relative) { PL_FUZZ_CHECK(!IsUnsafeEntryName(relative)); };
  target.writeFile = [&](const std::string& relative, const EntryContent& content) {
    PL_FUZZ_CHECK(!IsUnsafeEntryName(relative));
    // The name decides whether this "disk" takes the bytes, so refused writes are reached too.
    const bool full = relative.size() % 7 == 3;
    content([&](std::span<const uint8_t> chunk) {
      PL_FUZZ_CHECK(chunk.size() <= kInflateWindowBytes);
      written += chunk.size();
      return !full;
    });
    return full ? WriteResult::WriteFailed : WriteResult::Written;
  };
  int warnings = 0;
  target.logInfo = [](const std::string&) {};
  target.logWarn = [&warnings](const std::string&) { ++warnings; };
  std::string error;
  ExtractCounts counts;
  const bool ok = ExtractArchive(archive, target, &error, &counts, limit);
  PL_FUZZ_CHECK(ok == error.empty());
  PL_FUZZ_CHECK(counts.skipped == warnings);
  PL_FUZZ_CHECK(written <= limit.value_or(ExtractionWriteLimit(size)));
  return 0;
}
