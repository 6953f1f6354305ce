#include "archive/zip_reader.h"

#include <algorithm>
#include <vector>

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

// Deflate turns one input byte into at most 1032 output bytes (two 1-bit codes per 258-byte match).
constexpr uint64_t kMaxDeflateRatio = 1032;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
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

enum class EntryData { Ready, Skipped };

class Extraction {
 public:
  Extraction(std::span<const uint8_t> archive, const ExtractTarget& target) : archive_(archive), target_(target) {}

  // One central record's entry: written, skipped with a warning, or (a folder) created.
  void Extract(const ZipEntry& entry) {
    if (IsUnsafeEntryName(entry.name)) {
      return Skip("zip 条目路径不安全（可能写到目标文件夹之外），跳过: " + entry.name);
    }
    std::string relative = entry.name;
    std::replace(relative.begin(), relative.end(), '/', '\\');
    if (!entry.name.empty() && entry.name.back() == '/') {
      target_.createDirectoryTree(relative);
      return;
    }
    std::span<const uint8_t> bytes;
    std::vector<uint8_t> inflated;
    if (ReadEntry(entry, &bytes, &inflated) == EntryData::Skipped) return;

    const std::string outputPath = target_.destination + "\\" + relative;
    switch (target_.writeFile(relative, bytes)) {
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
  }

  const ExtractCounts& counts() const { return counts_; }

 private:
  void Skip(const std::string& warning) {
    target_.logWarn(warning);
    ++counts_.skipped;
  }

  // Locates the entry's data and decodes it into `*bytes` (pointing into the archive or into `*inflated`).
  EntryData ReadEntry(const ZipEntry& entry, std::span<const uint8_t>* bytes, std::vector<uint8_t>* inflated) {
    const uint64_t size = archive_.size();
    if (entry.flags & 1) {
      Skip("zip 条目加密，跳过（不影响其它文件继续解压）: " + entry.name);
      return EntryData::Skipped;
    }
    const uint64_t local = entry.localHeaderOffset;
    if (local + kLocalHeaderSize > size) {
      Skip("zip 本地文件头超出数据范围，跳过: " + entry.name);
      return EntryData::Skipped;
    }
    const uint8_t* header = archive_.data() + local;
    if (Read32(header) != kLocalSignature) {
      Skip("zip 本地文件头签名不匹配，跳过: " + entry.name);
      return EntryData::Skipped;
    }
    const uint64_t dataStart = local + kLocalHeaderSize + Read16(header + 26) + Read16(header + 28);
    if (dataStart + entry.compressedSize > size) {
      Skip("zip 条目数据超出文件范围，跳过: " + entry.name);
      return EntryData::Skipped;
    }
    const auto stored = archive_.subspan(static_cast<size_t>(dataStart), entry.compressedSize);
    if (entry.method == 0) {
      *bytes = stored;
      return EntryData::Ready;
    }
    if (entry.method != 8) {
      Skip("不支持的压缩方式(method=" + std::to_string(entry.method) + ")，跳过: " + entry.name);
      return EntryData::Skipped;
    }
    // The recorded size is both the first buffer size and the ceiling: a header that lies about it can neither
    // make the reservation huge (deflate cannot expand past its ratio) nor let the decoder run on.
    inflated->reserve(static_cast<size_t>(
        std::min<uint64_t>(entry.uncompressedSize, entry.compressedSize * kMaxDeflateRatio + 258)));
    const InflateStatus status = Inflate(stored, inflated, entry.uncompressedSize);
    if (status == InflateStatus::BadData) {
      Skip("解压失败（deflate 数据损坏），跳过: " + entry.name);
      return EntryData::Skipped;
    }
    if (status == InflateStatus::OutputLimit || inflated->size() != entry.uncompressedSize) {
      Skip("解压后大小跟记录的不一致（数据可能损坏），跳过: " + entry.name);
      return EntryData::Skipped;
    }
    *bytes = *inflated;
    return EntryData::Ready;
  }

  std::span<const uint8_t> archive_;
  const ExtractTarget& target_;
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
  if (name.find(':') != std::string_view::npos) return true;
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

bool ExtractArchive(std::span<const uint8_t> archive, const ExtractTarget& target, std::string* error,
                    ExtractCounts* counts) {
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
  Extraction extraction(archive, target);
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
    entry.compressedSize = Read32(p + 20);
    entry.uncompressedSize = Read32(p + 24);
    entry.localHeaderOffset = Read32(p + 42);
    entry.name.assign(reinterpret_cast<const char*>(p + kCentralRecordSize), nameLength);
    extraction.Extract(entry);
    if (counts) *counts = extraction.counts();
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
