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

// The fields of one central directory record that extraction uses. Sizes, method and CRC come from here only.
struct ZipEntry {
  std::string name;  // raw bytes, taken as UTF-8 whatever the flags say
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc32 = 0;
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
// holding two dots or more, since Windows drops trailing dots and blanks from names. Also for a NUL byte: Windows
// would end the name there, so the file written is not the one named.
bool IsUnsafeEntryName(std::string_view name);

// The most one extraction writes in all: 64 times the archive's size plus 1 GiB. More than that from one archive
// means a hostile or broken package (real tools packages shrink to a half or a third).
uint64_t ExtractionWriteLimit(uint64_t archiveSize);

enum class WriteResult {
  Written,
  DirectoryFailed,  // the parent folders could not be created
  OpenFailed,
  WriteFailed,      // opened, but not every byte was written
};

// Takes the next bytes of the file being written; false when they could not be written, and then it is handed
// nothing more.
using ChunkWriter = std::function<bool(std::span<const uint8_t> chunk)>;
// Hands an entry's bytes to `write` in order, a bounded chunk at a time (at most kInflateWindowBytes when
// decoded), so no entry is ever held whole in memory. Only checked entries are written: what it hands over is
// the entry exactly as its size and CRC say.
using EntryContent = std::function<void(const ChunkWriter& write)>;

// What extraction asks of the file system and the log. `relative` is the entry name with every '/' turned into
// a backslash; "" stands for the destination itself.
struct ExtractTarget {
  std::string destination;  // UTF-8, as messages show it
  // Creates the folder and every level above it; the result is not needed.
  std::function<void(const std::string& relative)> createDirectoryTree;
  // Creates the parent folders and the file, replacing an existing one, then runs `content` to write its bytes.
  std::function<WriteResult(const std::string& relative, const EntryContent& content)> writeFile;
  std::function<void(const std::string& message)> logInfo;
  std::function<void(const std::string& message)> logWarn;
};

struct ExtractCounts {
  int written = 0;
  int skipped = 0;
};

// Walks the central directory and writes every entry it can, logging each skipped one as a warning and a closing
// summary line. An entry is checked whole before anything of it is written (data range, size, CRC-32), so a bad
// one leaves no file behind. True when the directory was walked to its end; false for a damaged archive, or when
// the next entry would take the total written past `writeLimit` (default ExtractionWriteLimit of the archive's
// size), with the message in `*error` (when given) and nothing logged; entries written before that stay written.
// `counts` (optional) receives the final counters.
bool ExtractArchive(std::span<const uint8_t> archive, const ExtractTarget& target, std::string* error,
                    ExtractCounts* counts = nullptr, std::optional<uint64_t> writeLimit = std::nullopt);

}  // namespace pl::archive
