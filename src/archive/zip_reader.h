#pragma once
// Zip reading and the extraction walk over an archive held in memory. Plain C++ with no Windows headers: the file
// system and the log are reached through ExtractTarget, which the Windows layer (zip_extract.h) or a test fills.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pl::archive {

// The fields of one central directory record that extraction uses. Sizes and method come from here only.
struct ZipEntry {
  std::string name;  // raw bytes, taken as UTF-8 whatever the flags say
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint32_t localHeaderOffset = 0;
};

// Offset of the end-of-central-directory record: its signature is looked for at every offset from size - 22
// down to max(0, size - 65558), and the first hit from the end wins. Empty when the archive is shorter than 22
// bytes or holds no signature in that window.
std::optional<size_t> FindEndRecord(std::span<const uint8_t> archive);

// True for names that could lead outside the destination folder: a leading slash or backslash, a colon (drive
// prefix or stream name), or a component Windows reads as the parent folder: "..", or any run of dots and blanks
// holding two dots or more, since Windows drops trailing dots and blanks from names.
bool IsUnsafeEntryName(std::string_view name);

enum class WriteResult {
  Written,
  DirectoryFailed,  // the parent folders could not be created
  OpenFailed,
  WriteFailed,      // opened, but not every byte was written
};

// What extraction asks of the file system and the log. `relative` is the entry name with every '/' turned into
// a backslash; "" stands for the destination itself.
struct ExtractTarget {
  std::string destination;  // UTF-8, as messages show it
  // Creates the folder and every level above it; the result is not needed.
  std::function<void(const std::string& relative)> createDirectoryTree;
  // Creates the parent folders, then writes `bytes` to the file, replacing an existing one.
  std::function<WriteResult(const std::string& relative, std::span<const uint8_t> bytes)> writeFile;
  std::function<void(const std::string& message)> logInfo;
  std::function<void(const std::string& message)> logWarn;
};

struct ExtractCounts {
  int written = 0;
  int skipped = 0;
};

// Walks the central directory and writes every entry it can, logging each skipped one as a warning and a closing
// summary line. True when the directory was walked to its end; false for a damaged archive, with the message in
// `*error` (when given) and nothing logged; entries written before that stay written. `counts` (optional) receives
// the final counters.
bool ExtractArchive(std::span<const uint8_t> archive, const ExtractTarget& target, std::string* error,
                    ExtractCounts* counts = nullptr);

}  // namespace pl::archive
