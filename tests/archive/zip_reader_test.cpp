#include "archive/zip_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "archive/inflate.h"

#include "test_data.h"
#include "zip_builder.h"

namespace pl::archive {
namespace {

using test::ZipBuilder;
using test::ZipBuilderEntry;

// The file system and log as extraction sees them, kept in memory.
struct MemoryTarget {
  std::map<std::string, std::string> files;
  std::vector<std::string> directories;
  std::vector<std::string> log;  // "INFO message" / "WARN message"
  std::map<std::string, WriteResult> failures;  // relative path -> what writing it gives
  size_t chunks = 0;        // handed to the writers, refused ones included
  size_t largestChunk = 0;

  ExtractTarget Target() {
    ExtractTarget t;
    t.destination = "D:\\dest";
    t.createDirectoryTree = [this](const std::string& relative) { directories.push_back(relative); };
    t.writeFile = [this](const std::string& relative, const EntryContent& content) {
      const auto failure = failures.find(relative);
      if (failure != failures.end() && failure->second != WriteResult::WriteFailed) return failure->second;
      const bool diskFull = failure != failures.end();
      std::string bytes;
      content([&](std::span<const uint8_t> chunk) {
        ++chunks;
        largestChunk = std::max(largestChunk, chunk.size());
        bytes.append(chunk.begin(), chunk.end());
        return !diskFull;
      });
      if (diskFull) return WriteResult::WriteFailed;
      files[relative] = bytes;
      return WriteResult::Written;
    };
    t.logInfo = [this](const std::string& m) { log.push_back("INFO " + m); };
    t.logWarn = [this](const std::string& m) { log.push_back("WARN " + m); };
    return t;
  }
};

struct Outcome {
  bool ok = false;
  std::string error;
  ExtractCounts counts;
};

Outcome Extract(const std::string& zip, MemoryTarget* target, std::optional<uint64_t> writeLimit = std::nullopt) {
  Outcome run;
  run.ok = ExtractArchive(test::Bytes(zip), target->Target(), &run.error, &run.counts, writeLimit);
  return run;
}

const char kSummaryOk[] = "INFO zip 解压完成，共 ";

TEST(ZipReader, EndRecordIsSearchedFromTheEndWithinTheCommentWindow) {
  ZipBuilder zip;
  zip.Add("a.txt", "alpha");
  zip.comment = std::string(100, 'c');
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(target.files["a.txt"], "alpha");
  EXPECT_EQ(target.log, std::vector<std::string>{std::string(kSummaryOk) + "1 个文件: D:\\dest"});

  // The record may end 65536 bytes before the end of the file (size - 65558), not one byte more.
  const std::string bare = [] {
    ZipBuilder z;
    z.Add("a.txt", "alpha");
    return z.Build();
  }();
  const size_t record = bare.size() - 22;
  EXPECT_EQ(FindEndRecord(test::Bytes(bare + std::string(65536, 'x'))), record);
  EXPECT_EQ(FindEndRecord(test::Bytes(bare + std::string(65537, 'x'))), std::nullopt);
  // A signature inside the comment is met first from the end and wins.
  std::string fake = bare + std::string("PK\x05\x06", 4) + std::string(30, '\0');
  EXPECT_EQ(FindEndRecord(test::Bytes(fake)), bare.size());
  EXPECT_EQ(FindEndRecord(test::Bytes(std::string("PK\x05\x06", 4) + std::string(18, '\0'))), 0u);
  EXPECT_EQ(FindEndRecord(test::Bytes(std::string("PK\x05\x06", 4) + std::string(17, '\0'))), std::nullopt);
}

TEST(ZipReader, ArchiveLevelDamageFailsWithItsMessageAndLogsNothing) {
  auto expectFailure = [](const std::string& zip, const std::string& message) {
    MemoryTarget target;
    Outcome run = Extract(zip, &target);
    EXPECT_FALSE(run.ok) << message;
    EXPECT_EQ(run.error, message);
    EXPECT_TRUE(target.log.empty()) << message;
    return target;
  };
  expectFailure("0123456789", "不是合法的 zip 文件（找不到 End Of Central Directory）");
  expectFailure(std::string(200, '\0'), "不是合法的 zip 文件（找不到 End Of Central Directory）");

  ZipBuilder beyond;
  beyond.Add("a.txt", "alpha");
  beyond.directorySize = 1000;
  MemoryTarget notTouched = expectFailure(beyond.Build(), "zip 文件已损坏（中央目录范围超出文件大小）");
  EXPECT_TRUE(notTouched.directories.empty());  // found before the destination is created

  // A record count larger than the data: the third record would start in the end record.
  ZipBuilder count;
  count.Add("a.txt", "alpha");
  count.Add("b.txt", "beta");
  count.entryCount = 3;
  MemoryTarget partial = expectFailure(count.Build(), "zip 中央目录已损坏（记录数超出实际数据）");
  EXPECT_EQ(partial.files.size(), 2u);  // written before the damage was met, and left there
  // With a long archive comment there are enough bytes, but no record.
  count.comment = std::string(60, 'x');
  expectFailure(count.Build(), "zip 中央目录已损坏（签名不匹配）");

  ZipBuilder signature;
  signature.Add("a.txt", "alpha");
  signature.Add("b.txt", "beta").centralSignature = 0x02014b51;
  partial = expectFailure(signature.Build(), "zip 中央目录已损坏（签名不匹配）");
  EXPECT_EQ(partial.files.size(), 1u);

  ZipBuilder name;
  name.Add("a.txt", "alpha").centralNameLength = 5000;
  expectFailure(name.Build(), "zip 中央目录已损坏（文件名超出数据范围）");
}

TEST(ZipReader, BadEntriesAreSkippedWithAWarningAndTheRestIsWritten) {
  const std::string text = test::TextLike(3, 5000);
  ZipBuilder zip;
  zip.Add("stored.txt", "plain bytes");
  zip.Add("deflated.txt", text, 8);
  zip.Add("secret.txt", "hidden").flags = 1;
  zip.Add("far.txt", "x").localHeaderOffset = 0x7fffff00;
  zip.Add("badlocal.txt", "x").localSignature = 0x04034b00;
  zip.Add("long.txt", "x").compressedSize = 100000;
  zip.Add("bzip2.txt", "BZh9...", 12);
  zip.Add("corrupt.txt", "never", 8).payload = std::string("\xff\xff\xff\xff", 4);  // BTYPE 3
  zip.Add("short.txt", text, 8).uncompressedSize = 6000;   // decodes to fewer bytes than recorded
  zip.Add("liar.txt", text, 8).uncompressedSize = 100;     // more than recorded: cut off at 100
  zip.Add("folder/", "");
  zip.Add("a/b/c/deep.txt", "deep");
  zip.Add("data/", "").method = 8;  // a folder entry is a folder whatever its method
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.counts.written, 3);
  EXPECT_EQ(run.counts.skipped, 8);
  EXPECT_EQ(target.files.size(), 3u);
  EXPECT_EQ(target.files["stored.txt"], "plain bytes");
  EXPECT_TRUE(target.files["deflated.txt"] == text);
  EXPECT_EQ(target.files["a\\b\\c\\deep.txt"], "deep");
  EXPECT_EQ(target.directories, (std::vector<std::string>{"", "folder\\", "data\\"}));
  EXPECT_EQ(target.log, (std::vector<std::string>{
                            "WARN zip 条目加密，跳过（不影响其它文件继续解压）: secret.txt",
                            "WARN zip 本地文件头超出数据范围，跳过: far.txt",
                            "WARN zip 本地文件头签名不匹配，跳过: badlocal.txt",
                            "WARN zip 条目数据超出文件范围，跳过: long.txt",
                            "WARN 不支持的压缩方式(method=12)，跳过: bzip2.txt",
                            "WARN 解压失败（deflate 数据损坏），跳过: corrupt.txt",
                            "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: short.txt",
                            "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: liar.txt",
                            "INFO zip 解压完成，共 3 个文件，跳过 8 个解压失败的文件（不影响其余部分）: D:\\dest",
                        }));
}

TEST(ZipReader, StoredEntriesTakeTheCompressedSizeAndLocalLengthsLocateTheData) {
  ZipBuilder zip;
  // The local header's own name and extra lengths decide where the data starts.
  ZipBuilderEntry& extra = zip.Add("extra.bin", "payload");
  extra.localExtra = std::string(9, 'e');
  extra.centralExtra = std::string(4, 'c');
  extra.comment = "an entry comment";
  zip.Add("empty.txt", "");
  zip.Add("empty-deflated.txt", "", 8);
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(target.files, (std::map<std::string, std::string>{{"extra.bin", "payload"},
                                                              {"empty.txt", ""},
                                                              {"empty-deflated.txt", ""}}));
  EXPECT_EQ(run.counts.skipped, 0);
}

TEST(ZipReader, FailedFolderCreationOpenOrWriteCountsAsSkipped) {
  ZipBuilder zip;
  zip.Add("ok.txt", "fine");
  zip.Add("blocked/inner.txt", "x");
  zip.Add("locked.txt", "x");
  zip.Add("full.bin", test::TextLike(8, 1u << 20), 8);
  MemoryTarget target;
  target.failures["blocked\\inner.txt"] = WriteResult::DirectoryFailed;
  target.failures["locked.txt"] = WriteResult::OpenFailed;
  target.failures["full.bin"] = WriteResult::WriteFailed;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.counts.written, 1);
  EXPECT_EQ(run.counts.skipped, 3);
  EXPECT_EQ(target.log, (std::vector<std::string>{
                            "WARN 创建目录失败，跳过: D:\\dest\\blocked\\inner.txt",
                            "WARN 写入文件失败，跳过: D:\\dest\\locked.txt",
                            "WARN 写入文件失败，跳过: D:\\dest\\full.bin",
                            "INFO zip 解压完成，共 1 个文件，跳过 3 个解压失败的文件（不影响其余部分）: D:\\dest",
                        }));
  EXPECT_EQ(target.chunks, 2u) << "one for ok.txt, and decoding full.bin stops at the first refused chunk";
}

TEST(ZipReader, NamesThatCouldLeaveTheDestinationAreSkipped) {
  const std::vector<std::string> unsafe = {"../evil.txt", "a/../../evil.txt", "a/..", "..\\evil.txt",
                                           "a\\..\\..\\evil.txt", "/etc/evil", "\\Windows\\evil.dll",
                                           "C:evil.txt", "C:/Windows/evil.dll", "c:\\evil", "a/b:stream",
                                           ".. /evil", "a/.../evil", "a/. ./evil", "../", "/",
                                           std::string("nul\0.txt", 8), std::string("\0", 1)};
  for (const std::string& name : unsafe) EXPECT_TRUE(IsUnsafeEntryName(name)) << name;
  const std::vector<std::string> safe = {"a.txt", "a/b/c.txt", "..a/b", "a../b", "a/.b", "./a.txt", "a/./b",
                                         "a..b.txt", "dir/", "", "名字/文件.txt", ". /x"};
  for (const std::string& name : safe) EXPECT_FALSE(IsUnsafeEntryName(name)) << name;

  ZipBuilder zip;
  zip.Add("../escape.txt", "x");
  zip.Add("../outside/", "");
  zip.Add("C:/Windows/evil.dll", "x", 8);
  zip.Add("/abs.txt", "x");
  zip.Add(std::string("run.exe\0.txt", 12), "x");  // Windows would write run.exe
  zip.Add("inside/ok.txt", "fine");
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(target.files, (std::map<std::string, std::string>{{"inside\\ok.txt", "fine"}}));
  EXPECT_EQ(target.directories, std::vector<std::string>{""});
  EXPECT_EQ(target.log, (std::vector<std::string>{
                            "WARN zip 条目路径不安全（可能写到目标文件夹之外），跳过: ../escape.txt",
                            "WARN zip 条目路径不安全（可能写到目标文件夹之外），跳过: ../outside/",
                            "WARN zip 条目路径不安全（可能写到目标文件夹之外），跳过: C:/Windows/evil.dll",
                            "WARN zip 条目路径不安全（可能写到目标文件夹之外），跳过: /abs.txt",
                            "WARN zip 条目路径不安全（可能写到目标文件夹之外），跳过: run.exe\\0.txt",
                            "INFO zip 解压完成，共 1 个文件，跳过 5 个解压失败的文件（不影响其余部分）: D:\\dest",
                        }));
}

TEST(ZipReader, ALyingSizeNeverLetsTheDecoderRunOn) {
  // 16 MiB of zeros recorded as 1000 bytes: decoding stops at 1000 and the entry is skipped.
  ZipBuilder zip;
  zip.Add("bomb.bin", std::string(16u << 20, '\0'), 8).uncompressedSize = 1000;
  // Recorded as 4 GiB - 1 with a few bytes of data: the first buffer is sized by what the data can hold.
  zip.Add("huge.bin", "tiny", 8).uncompressedSize = 0xffffffffu;
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_TRUE(target.files.empty());
  EXPECT_EQ(run.counts.skipped, 2);
  EXPECT_EQ(target.log[0], "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: bomb.bin");
  EXPECT_EQ(target.log[1], "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: huge.bin");
}

TEST(ZipReader, EntriesWhoseSizeCrcOrRangeDisagreeAreSkippedWhole) {
  const std::string text = test::TextLike(9, 20000);
  ZipBuilder inner;
  inner.Add("inner.txt", "inner data");
  const std::string innerRecord = inner.Build().substr(0, 30 + 9 + 10);
  ZipBuilder zip;
  zip.Add("outer.bin", innerRecord);  // at offset 0, its data at 30 + 9: a whole local record
  zip.Add("inner.txt", "inner data").localHeaderOffset = 30 + 9;
  zip.Add("good.txt", text, 8);
  zip.Add("crc-stored.txt", "plain bytes").crc = 0x12345678;
  zip.Add("crc-deflated.txt", text, 8).crc = 0x87654321;
  zip.Add("crc-large.txt", test::TextLike(10, 300000), 8).crc = 1;  // larger than one decoding window
  zip.Add("stored-long.bin", "0123456789").uncompressedSize = 3;  // a stored entry's sizes are the same bytes
  zip.Add("stored-short.bin", "0123").uncompressedSize = 10;
  // A second record for the first entry's bytes: thousands of them would make a small archive write gigabytes.
  zip.Add("twin.txt", text, 8).localHeaderOffset = 0;
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(target.files.size(), 2u);
  EXPECT_EQ(target.files["outer.bin"], innerRecord);
  EXPECT_TRUE(target.files["good.txt"] == text);
  EXPECT_EQ(target.log, (std::vector<std::string>{
                            "WARN zip 条目数据区与其它条目重叠，跳过: inner.txt",
                            "WARN CRC 校验失败（数据可能损坏），跳过: crc-stored.txt",
                            "WARN CRC 校验失败（数据可能损坏），跳过: crc-deflated.txt",
                            "WARN CRC 校验失败（数据可能损坏），跳过: crc-large.txt",
                            "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: stored-long.bin",
                            "WARN 解压后大小跟记录的不一致（数据可能损坏），跳过: stored-short.bin",
                            "WARN zip 条目数据区与其它条目重叠，跳过: twin.txt",
                            "INFO zip 解压完成，共 2 个文件，跳过 7 个解压失败的文件（不影响其余部分）: D:\\dest",
                        }));
}

TEST(ZipReader, ExtractionStopsBeforeTheTotalWouldPassTheLimit) {
  EXPECT_EQ(ExtractionWriteLimit(11000), 64u * 11000 + (1u << 30));
  ZipBuilder zip;
  zip.Add("a.bin", std::string(10, 'a'));
  zip.Add("bad.bin", std::string(10, 'b')).crc = 0;  // skipped entries write nothing and count nothing
  zip.Add("b.bin", std::string(10, 'b'), 8);
  zip.Add("c.bin", std::string(1, 'c'));
  zip.Add("d.bin", "");
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target, 20);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error, "解压总量超过上限（压缩包大小的 64 倍 + 1 GiB），停止解压");
  EXPECT_EQ(target.files, (std::map<std::string, std::string>{{"a.bin", std::string(10, 'a')},
                                                              {"b.bin", std::string(10, 'b')}}));
  EXPECT_EQ(run.counts.written, 2);
  EXPECT_EQ(run.counts.skipped, 1);
  EXPECT_EQ(target.log, std::vector<std::string>{"WARN CRC 校验失败（数据可能损坏），跳过: bad.bin"});
}

TEST(ZipReader, DeflatedEntriesReachTheFileInBoundedChunks) {
  const std::string big = test::TextLike(10, 1u << 20) + std::string(3u << 20, '\0');
  ZipBuilder zip;
  zip.Add("big.bin", big, 8);
  MemoryTarget target;
  Outcome run = Extract(zip.Build(), &target);
  EXPECT_TRUE(run.ok);
  EXPECT_TRUE(target.files["big.bin"] == big);
  EXPECT_LE(target.largestChunk, kInflateWindowBytes);
  EXPECT_GE(target.chunks, big.size() / kInflateWindowBytes);
}

}  // namespace
}  // namespace pl::archive
