#include "archive/zip_reader.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <vector>

#include "archive/crc32.h"
#include "archive/inflate.h"

namespace pl::archive {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kCentralRecordSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kEndSearchSpan = 65558;  // the record plus the longest possible comment, and one byte

constexpr uint64_t kGiB = 1ull << 30;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A name as the log shows it: a NUL byte, which would end the line for many readers, as "\\0".
std::string Shown(std::string_view name) {
  std::string shown;
  for (char c : name) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

bool IsParentLike(std::string_view component) {
  int dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

enum class Step { Next, Stop };

class Extraction {
 public:
  Extraction(std::span<const uint8_t> archive, const ExtractTarget& target, uint64_t writeLimit)
      : archive_(archive), target_(target), writeLimit_(writeLimit) {}

  // One central record's entry: written, skipped with a warning, or (a folder) created. Stop when writing it
  // would pass the limit.
  Step Extract(const ZipEntry& entry) {
    if (IsUnsafeEntryName(entry.name)) {
      Skip("zip 条目路径不安全（可能写到目标文件夹之外），跳过: " + Shown(entry.name));
      return Step::Next;
    }
    std::string relative = entry.name;
    std::replace(relative.begin(), relative.end(), '/', '\\');
    if (!entry.name.empty() && entry.name.back() == '/') {
      target_.createDirectoryTree(relative);
      return Step::Next;
    }
    std::span<const uint8_t> stored;
    std::optional<std::span<const uint8_t>> whole;
    if (!LocateData(entry, &stored) || !Check(entry, stored, &whole)) return Step::Next;
    // Checked sizes are exact, so the limit is known to hold before anything is written.
    if (entry.uncompressedSize > writeLimit_ - total_) return Step::Stop;
    total_ += entry.uncompressedSize;

    EntryContent content;
    if (whole) {
      content = [whole](const ChunkWriter& write) { write(*whole); };
    } else {
      // The second decoding of the entry (Check was the first) gives the same bytes and goes straight out.
      content = [stored, &entry](const ChunkWriter& write) { InflateTo(stored, write, entry.uncompressedSize); };
    }
    const std::string outputPath = target_.destination + "\\" + relative;
    switch (target_.writeFile(relative, content)) {
      case WriteResult::Written:
        ++counts_.written;
        break;
      case WriteResult::DirectoryFailed:
        Skip("创建目录失败，跳过: " + outputPath);
        break;
      case WriteResult::OpenFailed:
      case WriteResult::WriteFailed:  // a partly written file is no extracted file
        Skip("写入文件失败，跳过: " + outputPath);
        break;
    }
    return Step::Next;
  }

  const ExtractCounts& counts() const { return counts_; }

 private:
  void Skip(const std::string& warning) {
    target_.logWarn(warning);
    ++counts_.skipped;
  }

  // Finds the entry's data in the archive (`*stored`, compressed-size bytes) and claims its range, from the local
  // header to the end of the data; false (skipped) when it cannot be read or overlaps a range claimed before.
  bool LocateData(const ZipEntry& entry, std::span<const uint8_t>* stored) {
    const uint64_t size = archive_.size();
    if (entry.flags & 1) {
      Skip("zip 条目加密，跳过（不影响其它文件继续解压）: " + entry.name);
      return false;
    }
    const uint64_t local = entry.localHeaderOffset;
    if (local + kLocalHeaderSize > size) {
      Skip("zip 本地文件头超出数据范围，跳过: " + entry.name);
      return false;
    }
    const uint8_t* header = archive_.data() + local;
    if (Read32(header) != kLocalSignature) {
      Skip("zip 本地文件头签名不匹配，跳过: " + entry.name);
      return false;
    }
    const uint64_t dataStart = local + kLocalHeaderSize + Read16(header + 26) + Read16(header + 28);
    const uint64_t dataEnd = dataStart + entry.compressedSize;
    if (dataEnd > size) {
      Skip("zip 条目数据超出文件范围，跳过: " + entry.name);
      return false;
    }
    // Entries sharing bytes let a small archive write without end: each byte of the archive is extracted once.
    if (Overlaps(local, dataEnd)) {
      Skip("zip 条目数据区与其它条目重叠，跳过: " + entry.name);
      return false;
    }
    claimed_.emplace(local, dataEnd);
    *stored = archive_.subspan(static_cast<size_t>(dataStart), entry.compressedSize);
    return true;
  }

  // Whether [start, end) shares a byte with a claimed range. Claimed ranges never overlap each other, so only the
  // nearest one starting at or before `start` and the first one after it can.
  bool Overlaps(uint64_t start, uint64_t end) const {
    auto after = claimed_.upper_bound(start);
    if (after != claimed_.end() && after->first < end) return true;
    return after != claimed_.begin() && std::prev(after)->second > start;
  }

  // Decodes the entry and compares size and CRC-32 with the central record; false (skipped) for an unsupported
  // method or any difference. `*whole` receives the entry's bytes when they are at hand: stored ones, and deflated
  // ones that fit one decoding window (most files of a tools package), which are then decoded only once.
  bool Check(const ZipEntry& entry, std::span<const uint8_t> stored, std::optional<std::span<const uint8_t>>* whole) {
    uint32_t crc = 0;
    uint64_t produced = 0;
    InflateStatus status = InflateStatus::Ok;
    if (entry.method == 0) {
      if (entry.compressedSize != entry.uncompressedSize) {
        Skip("解压后大小跟记录的不一致（数据可能损坏），跳过: " + entry.name);
        return false;
      }
      *whole = stored;
      crc = Crc32(stored);
    } else if (entry.method == 8 && entry.uncompressedSize <= kInflateWindowBytes) {
      small_.reserve(kInflateWindowBytes);  // once: the decoder keeps the capacity
      status = Inflate(stored, &small_, entry.uncompressedSize);
      *whole = small_;
      produced = small_.size();
      crc = Crc32(small_);
    } else if (entry.method == 8) {
      status = InflateTo(
          stored,
          [&](std::span<const uint8_t> chunk) {
            crc = Crc32(chunk, crc);
            produced += chunk.size();
            return true;
          },
          entry.uncompressedSize);
    } else {
      Skip("不支持的压缩方式(method=" + std::to_string(entry.method) + ")，跳过: " + entry.name);
      return false;
    }
    if (status == InflateStatus::BadData) {
      Skip("解压失败（deflate 数据损坏），跳过: " + entry.name);
      return false;
    }
    if (entry.method == 8 && (status != InflateStatus::Ok || produced != entry.uncompressedSize)) {
      Skip("解压后大小跟记录的不一致（数据可能损坏），跳过: " + entry.name);
      return false;
    }
    if (crc != entry.crc32) {
      Skip("CRC 校验失败（数据可能损坏），跳过: " + entry.name);
      return false;
    }
    return true;
  }

  std::span<const uint8_t> archive_;
  const ExtractTarget& target_;
  uint64_t writeLimit_;
  uint64_t total_ = 0;  // bytes handed to writeFile so far
  std::map<uint64_t, uint64_t> claimed_;  // start -> end of each entry's local header and data
  std::vector<uint8_t> small_;            // the last small deflated entry, decoded whole
  ExtractCounts counts_;
};

}  // namespace

std::optional<size_t> FindEndRecord(std::span<const uint8_t> archive) {
  if (archive.size() < kEndRecordSize) return std::nullopt;
  const size_t lowest = archive.size() > kEndSearchSpan ? archive.size() - kEndSearchSpan : 0;
  for (size_t at = archive.size() - kEndRecordSize;; --at) {
    if (Read32(archive.data() + at) == kEndSignature) return at;
    if (at == lowest) return std::nullopt;
  }
}

bool IsUnsafeEntryName(std::string_view name) {
  if (name.empty()) return false;
  if (name.front() == '/' || name.front() == '\\') return true;
  if (name.find_first_of(std::string_view(":\0", 2)) != std::string_view::npos) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("/\\", start);
    if (IsParentLike(name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start))) {
      return true;
    }
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

uint64_t ExtractionWriteLimit(uint64_t archiveSize) { return 64 * archiveSize + kGiB; }

bool ExtractArchive(std::span<const uint8_t> archive, const ExtractTarget& target, std::string* error,
                    ExtractCounts* counts, std::optional<uint64_t> writeLimit) {
  auto fail = [error](const char* message) {
    if (error) *error = message;
    return false;
  };
  const std::optional<size_t> end = FindEndRecord(archive);
  if (!end) return fail("不是合法的 zip 文件（找不到 End Of Central Directory）");
  const uint8_t* endRecord = archive.data() + *end;
  const uint16_t entryCount = Read16(endRecord + 10);
  const uint32_t directorySize = Read32(endRecord + 12);
  const uint32_t directoryOffset = Read32(endRecord + 16);
  const uint64_t size = archive.size();
  if (static_cast<uint64_t>(directoryOffset) + directorySize > size) {
    return fail("zip 文件已损坏（中央目录范围超出文件大小）");
  }

  target.createDirectoryTree("");
  Extraction extraction(archive, target, writeLimit.value_or(ExtractionWriteLimit(size)));
  uint64_t record = directoryOffset;
  for (uint32_t i = 0; i < entryCount; ++i) {
    if (record + kCentralRecordSize > size) return fail("zip 中央目录已损坏（记录数超出实际数据）");
    const uint8_t* p = archive.data() + record;
    if (Read32(p) != kCentralSignature) return fail("zip 中央目录已损坏（签名不匹配）");
    const uint16_t nameLength = Read16(p + 28);
    if (record + kCentralRecordSize + nameLength > size) return fail("zip 中央目录已损坏（文件名超出数据范围）");
    ZipEntry entry;
    entry.flags = Read16(p + 8);
    entry.method = Read16(p + 10);
    entry.crc32 = Read32(p + 16);
    entry.compressedSize = Read32(p + 20);
    entry.uncompressedSize = Read32(p + 24);
    entry.localHeaderOffset = Read32(p + 42);
    entry.name.assign(reinterpret_cast<const char*>(p + kCentralRecordSize), nameLength);
    const Step step = extraction.Extract(entry);
    if (counts) *counts = extraction.counts();
    if (step == Step::Stop) return fail("解压总量超过上限（压缩包大小的 64 倍 + 1 GiB），停止解压");
    record += kCentralRecordSize + nameLength + Read16(p + 30) + Read16(p + 32);
  }

  const ExtractCounts& done = extraction.counts();
  if (counts) *counts = done;
  std::string summary = "zip 解压完成，共 " + std::to_string(done.written) + " 个文件";
  if (done.skipped >= 1) summary += "，跳过 " + std::to_string(done.skipped) + " 个解压失败的文件（不影响其余部分）";
  target.logInfo(summary + ": " + target.destination);
  return true;
}

}  // namespace pl::archive
