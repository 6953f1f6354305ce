#include "base/secure_directory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "base/text.h"
#include "folder_security.h"
#include "host_link.h"
#include "printers.h"
#include "test_support.h"

namespace pl::base {
namespace {

using test::EveryoneRights;
using test::TempDirectory;
using test::WriteFileBytes;
using Written = std::vector<std::pair<std::wstring, std::string>>;

// A folder someone else made and opened to everyone, with a file and a folder holding a file.
void MakeForeignTree(const std::wstring& root) {
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(root + L"\\pe.wim", "planted"));
  ASSERT_TRUE(WriteFileBytes(root + L"\\sub\\pl_pe.exe", "planted"));
  for (const wchar_t* name : {L"", L"\\sub", L"\\pe.wim", L"\\sub\\pl_pe.exe"}) {
    ASSERT_TRUE(test::GrantEveryoneFullControl(root + name));
  }
}

bool MayWrite(const std::string& everyoneRights) { return everyoneRights != "" && everyoneRights != "0x1200a9"; }

// Wine keeps neither DACL nor owner (see folder_security.h): the exact security is read where it is written, the
// folder itself shows only that others may no longer write.
TEST(SecureDirectory, AnExistingTreeGetsOwnerAndDaclParentsFirst) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"$PelloraData$");
  MakeForeignTree(root);
  test::SecurityStore store;
  EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), FolderProtection{});
  EXPECT_EQ(store.written, (Written{{root, test::kProtectedSddl},
                                    {root + L"\\pe.wim", test::kProtectedSddl},
                                    {root + L"\\sub", test::kProtectedSddl},
                                    {root + L"\\sub\\pl_pe.exe", test::kProtectedSddl}}));

  store.written.clear();
  EXPECT_EQ(ProtectExistingDirectory(root, ProtectionDepth::FolderOnly, store.Writer()), FolderProtection{});
  EXPECT_EQ(store.written, (Written{{root, test::kProtectedSddl}}));

  ASSERT_TRUE(MayWrite(EveryoneRights(root + L"\\sub\\pl_pe.exe")));
  EXPECT_EQ(CreateOrProtectDirectory(root), FolderProtection{});
  for (const wchar_t* name : {L"", L"\\sub", L"\\pe.wim", L"\\sub\\pl_pe.exe"}) {
    EXPECT_FALSE(MayWrite(EveryoneRights(root + name))) << WideToUtf8(name);
  }
}

TEST(SecureDirectory, ANewFolderIsProtectedFromItsFirstMoment) {
  TempDirectory temp;
  const std::wstring folder = temp.Child(L"$PelloraData$Boot$");
  EXPECT_EQ(CreateProtectedDirectory(folder), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(MayWrite(EveryoneRights(folder)));
  EXPECT_EQ(CreateProtectedDirectory(folder), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateOrProtectDirectory(temp.Child(L"no\\such")), (FolderProtection{ERROR_PATH_NOT_FOUND,
                                                                                  temp.Child(L"no\\such")}));
}

// A junction (here a host link, which Wine lists as one) is refused in the folder's place and anywhere in it;
// what lies below it, or behind it, is never written.
TEST(SecureDirectory, ALinkIsRefusedAndNothingBehindItIsTouched) {
  struct Case {
    const char* name;
    std::function<std::wstring(const std::wstring& root)> link;  // makes the root and names where the link goes
    Written written;  // relative to the root
  };
  const std::vector<Case> cases = {
      {"the folder itself", [](const std::wstring& root) { return root; }, {}},
      {"a folder inside",
       [](const std::wstring& root) {
         EXPECT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
         return root + L"\\tools";
       },
       {{L"", test::kProtectedSddl}}},
  };
  for (const Case& c : cases) {
    TempDirectory temp;
    const std::wstring root = temp.Child(L"data");
    ASSERT_TRUE(CreateDirectoryW(temp.Child(L"elsewhere").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(temp.Child(L"elsewhere\\x.txt"), "x"));
    const std::wstring at = c.link(root);
    test::ScopedHostLink link(at, temp.Child(L"elsewhere"));
    ASSERT_TRUE(link.made) << c.name;
    test::SecurityStore store;
    EXPECT_EQ(CreateOrProtectDirectory(root, store.Writer()), (FolderProtection{kErrorLinkRefused, at})) << c.name;
    Written expected;
    for (const auto& [relative, sddl] : c.written) expected.emplace_back(root + relative, sddl);
    EXPECT_EQ(store.written, expected) << c.name;
  }
}

// Wine shows the other name of a hard link (its number of links), so both the walk and the opening refuse it.
TEST(SecureDirectory, AFileWithAnotherNameIsRefused) {
  TempDirectory temp;
  const std::wstring root = temp.Child(L"data");
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(temp.Child(L"victim.dll"), "system file"));
  ASSERT_TRUE(CreateHardLinkW((root + L"\\os_image.wim").c_str(), temp.Child(L"victim.dll").c_str(), nullptr));
  test::SecurityStore store;
  EXPECT_EQ(ProtectExistingDirectory(root, ProtectionDepth::WholeTree, store.Writer()),
            (FolderProtection{kErrorLinkRefused, root + L"\\os_image.wim"}));
  for (const DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
    const UniqueFileHandle file =
        CreateFileNoLink(root + L"\\os_image.wim", GENERIC_WRITE, 0, disposition, FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(file) << disposition;
    EXPECT_EQ(GetLastError(), kErrorLinkRefused) << disposition;
  }
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(temp.Child(L"victim.dll"), &bytes) && bytes == "system file") << bytes;
}

TEST(SecureDirectory, OpeningForWritingEmptiesOnlyThroughTheCheckedHandle) {
  TempDirectory temp;
  const std::wstring path = temp.Child(L"os_image.wim");
  ASSERT_TRUE(WriteFileBytes(path, "resumable"));
  UniqueFileHandle kept = CreateFileNoLink(path, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(kept);
  kept.reset();
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(path, &bytes) && bytes == "resumable");
  ASSERT_TRUE(CreateFileNoLink(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(test::ReadFileBytes(path, &bytes) && bytes.empty()) << bytes;
  EXPECT_FALSE(CreateFileNoLink(temp.path, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS));
  EXPECT_FALSE(CreateFileNoLink(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
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
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(temp.Child(L"victim.txt"), &bytes) && bytes == "victim") << bytes;
}

}  // namespace
}  // namespace pl::base
