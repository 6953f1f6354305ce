#include "base/secure_directory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/file_tree.h"
#include "base/text.h"
#include "folder_security.h"
#include "host_link.h"
#include "printers.h"
#include "test_support.h"

namespace pl::base {
namespace {

using test::TempDirectory;
using test::WriteFileBytes;
using Written = std::vector<std::pair<std::wstring, std::string>>;

std::string Read(const std::wstring& path) {
  std::string bytes;
  return test::ReadFileBytes(path, &bytes) ? bytes : "(unreadable)";
}

// Wine keeps neither DACL nor owner (folder_security.h): the exact security is read where it is written, the objects
// themselves show only that others may no longer write.
TEST(SecureDirectory, AnExistingTreeGetsOwnerAndDaclParentsFirstAndANewFolderFromItsStart) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"data");
  const std::vector<std::wstring> tree = {root, root + L"\\tools", root + L"\\tools\\pl_pe.exe"};
  ASSERT_TRUE(CreateDirectoryTree(tree[1]) && WriteFileBytes(tree[2], "planted"));
  for (const std::wstring& path : tree) ASSERT_TRUE(test::GrantEveryoneFullControl(path));
  test::SecurityStore store;
  EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), FolderProtection{});
  Written expected;
  for (const std::wstring& path : tree) expected.emplace_back(path, test::kProtectedSddl);
  EXPECT_EQ(store.written, expected);
  store.written.clear();
  EXPECT_EQ(ProtectExistingDirectory(root, ProtectionDepth::FolderOnly, store.Writer()), FolderProtection{});
  EXPECT_EQ(store.written, Written(expected.begin(), expected.begin() + 1));

  ASSERT_TRUE(test::OthersMayWrite(tree[2]));
  EXPECT_EQ(CreateOrProtectDirectory(root), FolderProtection{});
  for (const std::wstring& path : tree) EXPECT_FALSE(test::OthersMayWrite(path)) << WideToUtf8(path);

  EXPECT_EQ(CreateProtectedDirectory(temp.Child(L"new")), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(test::OthersMayWrite(temp.Child(L"new")));
  EXPECT_EQ(CreateProtectedDirectory(temp.Child(L"new")), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateOrProtectDirectory(temp.Child(L"no\\such")), (FolderProtection{ERROR_PATH_NOT_FOUND,
                                                                                  temp.Child(L"no\\such")}));
}

// A junction (here a host link, which Wine lists as one) in the folder's place or in it, or a file with a second
// name (a hard link, whose link count Wine shows), is refused; nothing below or behind it is written.
TEST(SecureDirectory, ALinkIsRefusedAndNothingBehindItIsTouched) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"data");
  ASSERT_TRUE(CreateDirectoryTree(temp.Child(L"elsewhere")) && WriteFileBytes(temp.Child(L"victim.dll"), "system"));
  test::SecurityStore store;
  {
    test::ScopedHostLink link(root, temp.Child(L"elsewhere"));
    ASSERT_TRUE(link.made);
    EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), (FolderProtection{kErrorLinkRefused, root}));
  }
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  {
    test::ScopedHostLink link(root + L"\\tools", temp.Child(L"elsewhere"));
    ASSERT_TRUE(link.made);
    EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), (FolderProtection{kErrorLinkRefused, root + L"\\tools"}));
  }
  ASSERT_TRUE(CreateHardLinkW((root + L"\\pe.wim").c_str(), temp.Child(L"victim.dll").c_str(), nullptr));
  EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), (FolderProtection{kErrorLinkRefused, root + L"\\pe.wim"}));
  EXPECT_EQ(store.written, (Written{{root, test::kProtectedSddl}, {root, test::kProtectedSddl}}));
  EXPECT_TRUE(test::ListFiles(temp.Child(L"elsewhere"), L"*").empty());

  for (const DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
    EXPECT_FALSE(CreateFileNoLink(root + L"\\pe.wim", GENERIC_WRITE, 0, disposition, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), kErrorLinkRefused) << disposition;
  }
  EXPECT_EQ(Read(temp.Child(L"victim.dll")), "system");
}

// A link to a file at the usual temporary name (Wine follows such a link on any open but a new file's): the next
// name is taken, the file it points to stays as it was.
TEST(SecureDirectory, ATemporaryFileIsAlwaysANewOne) {
  TempDirectory temp;
  const std::wstring path = temp.Child(L"task.ini");
  ASSERT_TRUE(WriteFileBytes(temp.Child(L"victim.txt"), "victim"));
  test::ScopedHostLink link(path + L".tmp", temp.Child(L"victim.txt"));
  ASSERT_TRUE(link.made);
  std::wstring temporary;
  ASSERT_TRUE(CreateTemporaryBeside(path, 0, &temporary));
  EXPECT_EQ(temporary, path + L".1.tmp");
  for (int i = 2; i < 16; ++i) ASSERT_TRUE(WriteFileBytes(path + L"." + std::to_wstring(i) + L".tmp", "taken"));
  EXPECT_FALSE(CreateTemporaryBeside(path, 0, &temporary));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Read(temp.Child(L"victim.txt")), "victim");
}

}  // namespace
}  // namespace pl::base
