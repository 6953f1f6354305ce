#include "base/file_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/unique_handle.h"
#include "host_link.h"
#include "test_support.h"

namespace pl::base {
namespace {

using test::FileExists;
using test::TempDirectory;
using test::WriteFileBytes;

TEST(FileTree, DeleteTreeRemovesReadOnlyFilesAndNestedFolders) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"old");
  ASSERT_TRUE(CreateDirectoryTree(root + L"\\a\\b\\c"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\top.bin", "1234"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\a\\b\\c\\deep.txt", "x"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\a\\ro.txt", "locked"));
  ASSERT_TRUE(SetFileAttributesW((root + L"\\a\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(DirectorySize(root), 11u);

  EXPECT_TRUE(DeleteTree(root));
  EXPECT_FALSE(FileExists(root));
  EXPECT_FALSE(DeleteTree(root));  // nothing left to remove: the directory itself cannot be removed
}

TEST(FileTree, DeleteTreeGoesOnPastAFileItCannotDelete) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"busy");
  ASSERT_TRUE(CreateDirectoryTree(root + L"\\sub"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\held.txt", "h"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\sub\\free.txt", "f"));
  UniqueFileHandle held(
      CreateFileW((root + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  EXPECT_FALSE(DeleteTree(root));
  EXPECT_FALSE(FileExists(root + L"\\sub"));  // the walk went on
  EXPECT_TRUE(FileExists(root + L"\\held.txt"));
  held.reset();
  EXPECT_TRUE(DeleteTree(root));
}

TEST(FileTree, CreateDirectoryTreeSkipsDriveRootsAndAcceptsExistingLevels) {
  TempDirectory temp;
  // temp.path starts with a drive root ("C:"), which is skipped rather than created.
  const std::wstring path = temp.path + L"\\x\\y\\z";
  EXPECT_TRUE(CreateDirectoryTree(path));
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(CreateDirectoryTree(path));        // every level exists already
  EXPECT_TRUE(CreateDirectoryTree(temp.path + L"\\x\\y\\w"));
  EXPECT_TRUE(CreateDirectoryTree(L"C:"));        // only a drive root
  // A file in the way stops it.
  ASSERT_TRUE(WriteFileBytes(temp.Child(L"file"), ""));
  EXPECT_FALSE(CreateDirectoryTree(temp.Child(L"file") + L"\\below"));
  EXPECT_FALSE(CreateDirectoryTree(L"Q:\\no\\such\\drive"));
}

TEST(FileTree, FindFileInTreeIsCaseInsensitiveAndDepthFirst) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"tree");
  ASSERT_TRUE(CreateDirectoryTree(root + L"\\a\\deep"));
  ASSERT_TRUE(CreateDirectoryTree(root + L"\\b"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\a\\deep\\Pl_PE.exe", "1"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\b\\pl_pe.exe", "2"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\other.txt", "3"));
  // The folder listed first wins, even when its match lies deeper (the host file system sets the order).
  const auto listing = test::ListFiles(root, L"*");
  const auto a = std::find(listing.begin(), listing.end(), L"a");
  const auto b = std::find(listing.begin(), listing.end(), L"b");
  ASSERT_TRUE(a != listing.end() && b != listing.end());
  EXPECT_EQ(FindFileInTree(root, L"PL_PE.EXE"), a < b ? root + L"\\a\\deep\\Pl_PE.exe" : root + L"\\b\\pl_pe.exe");
  EXPECT_EQ(FindFileInTree(root, L"missing.exe"), L"");
  EXPECT_EQ(FindFileInTree(temp.Child(L"nowhere"), L"other.txt"), L"");
  EXPECT_EQ(DirectorySize(temp.Child(L"nowhere")), 0u);
  EXPECT_EQ(DirectorySize(root), 3u);
}

// A folder outside the tree with a file in it and a link to it inside (a junction planted in a folder that is
// emptied elevated), and a link from deep inside back to the tree's root.
TEST(FileTree, LinksAreNeverEntered) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"stage");
  const std::wstring outside = temp.Child(L"outside");
  ASSERT_TRUE(CreateDirectoryTree(root + L"\\sub"));
  ASSERT_TRUE(CreateDirectoryTree(outside));
  ASSERT_TRUE(WriteFileBytes(root + L"\\sub\\own.bin", "1234"));
  ASSERT_TRUE(WriteFileBytes(outside + L"\\secret.txt", "outside the tree"));
  test::ScopedHostLink junction(root + L"\\junction", outside);
  test::ScopedHostLink loop(root + L"\\sub\\loop", L"..");
  ASSERT_TRUE(junction.made && loop.made);
  EXPECT_TRUE(IsLink(junction.link));
  EXPECT_FALSE(IsLink(root));

  EXPECT_EQ(DirectorySize(root), 4u);  // the outside file not at all, the tree's own file once
  EXPECT_EQ(DirectorySize(junction.link), 0u);
  EXPECT_EQ(FindFileInTree(root, L"secret.txt"), L"");
  EXPECT_EQ(FindFileInTree(junction.link, L"secret.txt"), L"");
  EXPECT_EQ(FindFileInTree(root, L"OWN.bin"), root + L"\\sub\\own.bin");

  // Deleting the link as the tree, then the tree holding it: whatever lies behind the link stays. Wine cannot
  // remove a host link without touching its target, so here the links (and the folders holding them) stay too
  // and both calls report failure; Windows removes each link itself.
  EXPECT_FALSE(DeleteTree(junction.link));
  EXPECT_FALSE(DeleteTree(root));
  EXPECT_TRUE(FileExists(outside + L"\\secret.txt"));
  EXPECT_FALSE(FileExists(root + L"\\sub\\own.bin"));
}

}  // namespace
}  // namespace pl::base
