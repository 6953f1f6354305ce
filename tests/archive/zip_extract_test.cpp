#include "archive/zip_extract.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/text.h"
#include "base/unique_handle.h"
#include "log_capture.h"
#include "test_data.h"
#include "test_support.h"
#include "zip_builder.h"

namespace pl::archive {
namespace {

using pl::test::ReadFileBytes;
using pl::test::TempDirectory;
using pl::test::WriteFileBytes;
using test::ZipBuilder;
using ZipExtract = pl::test::LoggedTest;

// Build-tree paths handed over by CMake as host paths below the Z: drive.
std::wstring HostPath(const char* path) {
  std::wstring wide = base::Utf8ToWide(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

// Every file and folder below `root`: relative path -> content, or "<dir>" for a folder.
void ListTree(const std::wstring& root, const std::wstring& prefix, std::map<std::string, std::string>* tree) {
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((root + L"\\*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[base::WideToUtf8(relative)] = "<dir>";
      ListTree(root + L"\\" + name, relative, tree);
    } else {
      ReadFileBytes(root + L"\\" + name, &(*tree)[base::WideToUtf8(relative)]);
    }
  } while (FindNextFileW(find.get(), &data));
}

std::map<std::string, std::string> Tree(const std::wstring& root) {
  std::map<std::string, std::string> tree;
  ListTree(root, L"", &tree);
  return tree;
}

std::wstring WriteZip(const TempDirectory& temp, const std::wstring& name, const ZipBuilder& zip) {
  const std::wstring path = temp.Child(name);
  EXPECT_TRUE(WriteFileBytes(path, zip.Build()));
  return path;
}

std::string Utf8(const std::wstring& text) { return base::WideToUtf8(text); }

TEST_F(ZipExtract, InfoZipArchiveGivesWhatUnzipGives) {
  const std::wstring out = temp.Child(L"out");
  std::string error;
  ASSERT_TRUE(ExtractZip(HostPath(PL_ARCHIVE_FIXTURES "/infozip.zip"), out, &error)) << error;
  const auto tree = Tree(out);
  EXPECT_EQ(tree, Tree(HostPath(PL_ARCHIVE_UNZIPPED "/infozip")));  // unzip left out only the encrypted entry
  EXPECT_EQ(tree.at("docs\\empty"), "<dir>");
  EXPECT_EQ(tree.at("bin\\tool.dat").size(), 1500u);
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [WARN] zip 条目加密，跳过（不影响其它文件继续解压）: secret.txt",
                "T [INFO] zip 解压完成，共 3 个文件，跳过 1 个解压失败的文件（不影响其余部分）: " + Utf8(out),
            }));
}

TEST_F(ZipExtract, PythonArchiveGivesWhatUnzipGives) {
  const std::wstring out = temp.Child(L"out");
  std::string error;
  ASSERT_TRUE(ExtractZip(HostPath(PL_ARCHIVE_FIXTURES "/python.zip"), out, &error)) << error;
  const auto tree = Tree(out);
  EXPECT_EQ(tree, Tree(HostPath(PL_ARCHIVE_UNZIPPED "/python")));  // unzip left out only the bzip2 entry
  EXPECT_EQ(tree.at("a\\b\\c\\deep.txt").size(), 600u);
  EXPECT_EQ(tree.at("levels\\level9.txt"), tree.at("levels\\level0.txt"));
  EXPECT_EQ(tree.at("empty"), "<dir>");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [WARN] 不支持的压缩方式(method=12)，跳过: compressed/bzip2.txt",
                "T [INFO] zip 解压完成，共 12 个文件，跳过 1 个解压失败的文件（不影响其余部分）: " + Utf8(out),
            }));
}

TEST_F(ZipExtract, UnreadableOrInvalidArchivesFailWithoutLogging) {
  std::string error;
  EXPECT_FALSE(ExtractZip(temp.Child(L"missing.zip"), temp.Child(L"out"), &error));
  EXPECT_EQ(error, "无法打开 zip 文件");
  error.clear();
  EXPECT_FALSE(ExtractZip(temp.path, temp.Child(L"out"), &error));  // a folder
  EXPECT_EQ(error, "无法打开 zip 文件");
  ASSERT_TRUE(WriteFileBytes(temp.Child(L"ten.zip"), "0123456789"));
  EXPECT_FALSE(ExtractZip(temp.Child(L"ten.zip"), temp.Child(L"out"), &error));
  EXPECT_EQ(error, "不是合法的 zip 文件（找不到 End Of Central Directory）");
  EXPECT_FALSE(ExtractZip(temp.Child(L"ten.zip"), temp.Child(L"out")));  // no error text wanted
  EXPECT_FALSE(pl::test::FileExists(temp.Child(L"out")));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ZipExtract, FilesystemFailuresSkipTheEntryAndExistingFilesAreReplaced) {
  const std::wstring out = temp.Child(L"out");
  ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(out + L"\\blocker", "a file where a folder should be"));
  ASSERT_TRUE(CreateDirectoryW((out + L"\\taken").c_str(), nullptr));  // a folder where a file should be
  ASSERT_TRUE(WriteFileBytes(out + L"\\over.txt", "a much longer old content"));
  ZipBuilder zip;
  zip.Add("blocker/deeper/inner.txt", "x");
  zip.Add("blocker/inner.txt", "x");  // the folder "exists" (as a file): the open fails
  zip.Add("taken", "x");
  zip.Add("over.txt", "new", 8);
  zip.Add("中文/名字.txt", "unicode");
  const std::string big = test::TextLike(5, 3u << 20);  // written in many chunks
  zip.Add("big.txt", big, 8);
  std::string error;
  ASSERT_TRUE(ExtractZip(WriteZip(temp, L"a.zip", zip), out, &error)) << error;
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(out + L"\\over.txt", &bytes));
  EXPECT_EQ(bytes, "new");
  EXPECT_TRUE(ReadFileBytes(out + L"\\中文\\名字.txt", &bytes));
  EXPECT_EQ(bytes, "unicode");
  EXPECT_TRUE(ReadFileBytes(out + L"\\big.txt", &bytes));
  EXPECT_TRUE(bytes == big);
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [WARN] 创建目录失败，跳过: " + Utf8(out) + "\\blocker\\deeper\\inner.txt",
                "T [WARN] 写入文件失败，跳过: " + Utf8(out) + "\\blocker\\inner.txt",
                "T [WARN] 写入文件失败，跳过: " + Utf8(out) + "\\taken",
                "T [INFO] zip 解压完成，共 3 个文件，跳过 3 个解压失败的文件（不影响其余部分）: " + Utf8(out),
            }));
}

// The build tree holds a folder whose "full" is a link to the host's /dev/full: opening it works, writing to it
// fails as on a full disk.
TEST_F(ZipExtract, AWriteThatFailsAfterTheFileOpenedCountsAsSkipped) {
  const std::wstring devices = HostPath(PL_ARCHIVE_DEVFULL);
  {  // the premise: the file opens for writing, the write itself fails
    base::UniqueFileHandle file(CreateFileW((devices + L"\\full").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    DWORD wrote = 0;
    EXPECT_FALSE(WriteFile(file.get(), "x", 1, &wrote, nullptr));
  }
  ZipBuilder zip;
  zip.Add("full", std::string(4096, 'f'));
  std::string error;
  ASSERT_TRUE(ExtractZip(WriteZip(temp, L"a.zip", zip), devices, &error)) << error;
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [WARN] 写入文件失败，跳过: " + Utf8(devices) + "\\full",
                "T [INFO] zip 解压完成，共 0 个文件，跳过 1 个解压失败的文件（不影响其余部分）: " + Utf8(devices),
            }));
}

// Entries are checked whole before anything is written: a bad one leaves an existing file and the folders as they
// were.
TEST_F(ZipExtract, AnEntryFailingItsChecksTouchesNothing) {
  const std::wstring out = temp.Child(L"out");
  ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(out + L"\\keep.txt", "old content"));
  ZipBuilder zip;
  zip.Add("keep.txt", test::TextLike(6, 500000), 8).crc = 1;
  zip.Add("new/bad.txt", "short").uncompressedSize = 6;
  std::string error;
  ASSERT_TRUE(ExtractZip(WriteZip(temp, L"a.zip", zip), out, &error)) << error;
  EXPECT_EQ(Tree(out), (std::map<std::string, std::string>{{"keep.txt", "old content"}}));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "T [WARN] CRC 校验失败（数据可能损坏），跳过: keep.txt",
                "T [WARN] 解压后大小跟记录的不一致（数据可能损坏），跳过: new/bad.txt",
                "T [INFO] zip 解压完成，共 0 个文件，跳过 2 个解压失败的文件（不影响其余部分）: " + Utf8(out),
            }));
}

TEST_F(ZipExtract, NothingIsWrittenOutsideTheDestination) {
  const std::wstring out = temp.Child(L"inner");
  ZipBuilder zip;
  zip.Add("../escape1.txt", "x");
  zip.Add("..\\escape2.txt", "x");
  zip.Add("sub/../../escape3.txt", "x");
  zip.Add("../escaped-folder/", "");
  zip.Add(".. /escape4.txt", "x");
  zip.Add(Utf8(temp.Child(L"escape5.txt")), "x");  // a full path with its drive
  zip.Add("ok.txt", "fine");
  std::string error;
  ASSERT_TRUE(ExtractZip(WriteZip(temp, L"a.zip", zip), out, &error)) << error;
  const auto tree = Tree(temp.path);
  EXPECT_EQ(tree.size(), 4u) << "a.zip, test.log, inner and inner\\ok.txt, nothing else";
  EXPECT_EQ(tree.at("inner\\ok.txt"), "fine");
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "T [WARN] zip 条目路径不安全（可能写到目标文件夹之外），跳过: ../escape1.txt");
  EXPECT_EQ(lines[6], "T [INFO] zip 解压完成，共 1 个文件，跳过 6 个解压失败的文件（不影响其余部分）: " + Utf8(out));
}

}  // namespace
}  // namespace pl::archive
