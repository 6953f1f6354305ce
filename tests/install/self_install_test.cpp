#include "install/self_install.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <array>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "folder_security.h"
#include "host_link.h"
#include "install_state.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::install {
namespace {

using base::KnownFolderPath;
using test::EveryoneRights;
using test::FileExists;
using test::GrantEveryoneFullControl;
using test::UninstallValue;

std::wstring RunningExe() { return base::ModuleFilePath(); }

struct ShortcutFields {
  std::wstring path, workingDirectory, iconPath, description;
  int iconIndex = -1;
};

bool ReadShortcut(const std::wstring& link, ShortcutFields* fields) {
  const base::ComInitScope com;
  base::UniqueCom<IShellLinkW> shellLink;
  base::UniqueCom<IPersistFile> file;
  const bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                             reinterpret_cast<void**>(shellLink.put()))) &&
                  SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) &&
                  SUCCEEDED(file->Load(link.c_str(), STGM_READ));
  if (ok) {
    wchar_t buffer[MAX_PATH];
    shellLink->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH);
    fields->path = buffer;
    shellLink->GetWorkingDirectory(buffer, MAX_PATH);
    fields->workingDirectory = buffer;
    shellLink->GetIconLocation(buffer, MAX_PATH, &fields->iconIndex);
    fields->iconPath = buffer;
    shellLink->GetDescription(buffer, MAX_PATH);
    fields->description = buffer;
  }
  return ok;
}

struct SelfInstallTest : test::LoggedTest {
  void SetUp() override {
    ASSERT_TRUE(test::RemoveInstallState());
    LoggedTest::SetUp();
  }
  void TearDown() override {
    LoggedTest::TearDown();
    test::RemoveInstallState();
  }
};

TEST_F(SelfInstallTest, FreshInstallCopiesAndRegistersEverything) {
  EXPECT_EQ(InstallDirectory(), KnownFolderPath(FOLDERID_ProgramData) + L"\\Pellora");
  const std::wstring target = InstallDirectory() + L"\\Kavrin.exe";
  std::string error;
  ASSERT_TRUE(SelfInstall(RunningExe(), "0.1.0", &error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] 已复制到安装目录: " + base::WideToUtf8(target)});
  // Others may not write, as far as Wine keeps it (see below).
  EXPECT_FALSE(test::OthersMayWrite(InstallDirectory()));

  std::string original, copy;
  ASSERT_TRUE(test::ReadFileBytes(RunningExe(), &original));
  ASSERT_TRUE(test::ReadFileBytes(target, &copy));
  EXPECT_TRUE(original == copy);

  const std::wstring link = KnownFolderPath(FOLDERID_PublicDesktop) + L"\\Pellora重装大师.lnk";
  EXPECT_EQ(DesktopShortcutPath(), link);
  ShortcutFields fields;
  ASSERT_TRUE(ReadShortcut(link, &fields));
  EXPECT_EQ(fields.path, target);
  EXPECT_EQ(fields.workingDirectory, InstallDirectory());
  EXPECT_EQ(fields.iconPath, target);
  EXPECT_EQ(fields.iconIndex, 0);
  EXPECT_EQ(fields.description, L"Pellora重装大师");

  const std::string targetUtf8 = base::WideToUtf8(target);
  EXPECT_EQ(UninstallValue(L"DisplayName"), "REG_SZ:Pellora重装大师");
  EXPECT_EQ(UninstallValue(L"UninstallString"), "REG_SZ:\"" + targetUtf8 + "\" --uninstall");
  EXPECT_EQ(UninstallValue(L"DisplayIcon"), "REG_SZ:" + targetUtf8);
  EXPECT_EQ(UninstallValue(L"DisplayVersion"), "REG_SZ:0.1.0");
  EXPECT_EQ(UninstallValue(L"Publisher"), "REG_SZ:Tarnwell");
  EXPECT_EQ(UninstallValue(L"InstallLocation"), "REG_SZ:" + base::WideToUtf8(InstallDirectory()));
  EXPECT_EQ(UninstallValue(L"NoModify"), "REG_DWORD:1");
  EXPECT_EQ(UninstallValue(L"NoRepair"), "REG_DWORD:1");

  // A second install replaces the older copy.
  ASSERT_TRUE(test::WriteFileBytes(target, "older"));
  ASSERT_TRUE(SelfInstall(RunningExe(), "0.1.0", &error)) << error;
  ASSERT_TRUE(test::ReadFileBytes(target, &copy));
  EXPECT_TRUE(original == copy);
}

TEST_F(SelfInstallTest, RunningTheInstalledCopyInAnyCaseSkipsTheCopyButRefreshes) {
  std::string error;
  ASSERT_TRUE(SelfInstall(RunningExe(), "0.1.0", &error)) << error;
  ASSERT_TRUE(DeleteDesktopShortcut());
  std::wstring installed = InstallDirectory() + L"\\Kavrin.exe";
  CharLowerW(installed.data());
  ASSERT_TRUE(test::WriteFileBytes(InstallDirectory() + L"\\Kavrin.exe", "marker"));
  // Planted beside the installed copy since its last start: it goes; the program and the local catalog stay.
  const std::wstring planted = InstallDirectory() + L"\\gdiplus.dll";
  ASSERT_TRUE(test::WriteFileBytes(planted, "planted"));
  ASSERT_TRUE(CreateDirectoryW((InstallDirectory() + L"\\ini").c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(InstallDirectory() + L"\\ini\\imglist3.ini", "[catalog]"));
  ASSERT_TRUE(SelfInstall(installed, "0.2.0", &error)) << error;
  std::string bytes;
  ASSERT_TRUE(test::ReadFileBytes(InstallDirectory() + L"\\Kavrin.exe", &bytes));
  EXPECT_EQ(bytes, "marker");  // not copied over itself
  EXPECT_FALSE(FileExists(planted));
  EXPECT_TRUE(FileExists(InstallDirectory() + L"\\ini\\imglist3.ini"));
  EXPECT_TRUE(FileExists(DesktopShortcutPath()));
  EXPECT_EQ(UninstallValue(L"DisplayVersion"), "REG_SZ:0.2.0");
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "T [INFO] 当前运行的就是已安装位置的拷贝，跳过自我复制这一步");
  EXPECT_EQ(lines[2], "T [WARN] 安装目录里有不是本工具放的文件，已删除: " + base::WideToUtf8(planted));
}

TEST_F(SelfInstallTest, AFailedCopyReportsItsCodeAndRegistersNothing) {
  ASSERT_TRUE(CreateDirectoryW(InstallDirectory().c_str(), nullptr));
  const std::wstring target = InstallDirectory() + L"\\Kavrin.exe";
  ASSERT_TRUE(test::WriteFileBytes(target, "old"));
  base::UniqueFileHandle held(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  std::string error;
  EXPECT_FALSE(SelfInstall(RunningExe(), "0.1.0", &error));
  held.reset();
  EXPECT_EQ(error, "复制到安装目录失败, GetLastError=32");
  EXPECT_FALSE(FileExists(DesktopShortcutPath()));
  EXPECT_EQ(UninstallValue(L"DisplayName"), "");
  EXPECT_TRUE(LogLines().empty());

  // A file where the folder belongs: the folder "exists", the copy cannot find its path.
  ASSERT_TRUE(test::RemoveInstallState());
  ASSERT_TRUE(test::WriteFileBytes(InstallDirectory(), "not a folder"));
  EXPECT_FALSE(SelfInstall(RunningExe(), "0.1.0", &error));
  EXPECT_EQ(error, "复制到安装目录失败, GetLastError=3");
  DeleteFileW(InstallDirectory().c_str());
}

TEST_F(SelfInstallTest, UninstallEntryQuotesPathsWithSpaces) {
  std::string error;
  ASSERT_TRUE(WriteUninstallEntry(L"C:\\Program Files\\Pellora Tool\\Kavrin.exe", "1.2.3", &error));
  EXPECT_EQ(UninstallValue(L"UninstallString"), "REG_SZ:\"C:\\Program Files\\Pellora Tool\\Kavrin.exe\" --uninstall");
  EXPECT_EQ(UninstallValue(L"InstallLocation"), "REG_SZ:C:\\Program Files\\Pellora Tool");
  EXPECT_EQ(UninstallValue(L"DisplayVersion"), "REG_SZ:1.2.3");
  // Without a backslash the whole path is the location.
  ASSERT_TRUE(WriteUninstallEntry(L"Kavrin.exe", "1.2.3", &error));
  EXPECT_EQ(UninstallValue(L"InstallLocation"), "REG_SZ:Kavrin.exe");
  EXPECT_EQ(UninstallValue(L"UninstallString"), "REG_SZ:\"Kavrin.exe\" --uninstall");
}

TEST_F(SelfInstallTest, ShortcutDeletionIsFineWhenItIsAlreadyGone) {
  EXPECT_TRUE(DeleteDesktopShortcut());
  std::string error;
  ASSERT_TRUE(CreateDesktopShortcut(L"C:\\x\\y.exe", &error)) << error;
  ShortcutFields fields;
  ASSERT_TRUE(ReadShortcut(DesktopShortcutPath(), &fields));
  EXPECT_EQ(fields.workingDirectory, L"C:\\x");
  EXPECT_TRUE(DeleteDesktopShortcut());
  EXPECT_FALSE(FileExists(DesktopShortcutPath()));
}

TEST_F(SelfInstallTest, UninstallRemovesEntryShortcutAndLaterTheFolder) {
  EXPECT_EQ(DeferredDeletionCommand(L"C:\\ProgramData\\Pellora"),
            L"cmd.exe /d /c for /l %i in (1,1,20) do (ping 127.0.0.1 -n 2 >nul & rmdir /s /q "
            L"\"C:\\ProgramData\\Pellora\" 2>nul & if not exist \"C:\\ProgramData\\Pellora\" exit)");
  std::string error;
  ASSERT_TRUE(SelfInstall(RunningExe(), "0.1.0", &error)) << error;
  ASSERT_TRUE(test::WriteFileBytes(InstallDirectory() + L"\\leftover.txt", "x"));
  ASSERT_TRUE(Uninstall(&error)) << error;
  EXPECT_FALSE(FileExists(DesktopShortcutPath()));
  EXPECT_EQ(UninstallValue(L"DisplayName"), "");
  const ULONGLONG deadline = GetTickCount64() + 40000;
  while (FileExists(InstallDirectory()) && GetTickCount64() < deadline) Sleep(100);
  EXPECT_FALSE(FileExists(InstallDirectory()));
  EXPECT_TRUE(LogLines().size() == 1u);  // only the copy line of the install
}

// Wine keeps no DACL or owner of a folder (it answers from the Unix mode bits), so what the folder and its local
// catalog get is read where it is written.
TEST(InstallFolderSecurity, SystemAndAdministratorsFullUsersReadAndRunAdministratorsOwn) {
  test::TempDirectory temp;
  ASSERT_TRUE(CreateDirectoryW(temp.Child(L"ini").c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"ini\\imglist3.ini"), "[catalog]"));
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"other.txt"), "left to the clearing"));
  test::SecurityStore store;
  std::string error;
  ASSERT_TRUE(ProtectInstallDirectory(temp.path, &error, store.Writer())) << error;
  EXPECT_EQ(store.written, (std::vector<std::pair<std::wstring, std::string>>{
                               {temp.path, test::kProtectedSddl},
                               {temp.Child(L"ini"), test::kProtectedSddl},
                               {temp.Child(L"ini\\imglist3.ini"), test::kProtectedSddl}}));

  EXPECT_FALSE(ProtectInstallDirectory(temp.path, &error, [](auto&&...) { return DWORD{ERROR_ACCESS_DENIED}; }));
  EXPECT_EQ(error, "设置安装目录权限失败: " + base::WideToUtf8(temp.path) + ", error=5");
}

// A catalog folder that cannot be made ours goes with everything in it.
using InstallCatalogTest = test::LoggedTest;
TEST_F(InstallCatalogTest, ALocalCatalogThatCannotBeProtectedIsDeleted) {
  test::TempDirectory temp;
  const std::wstring catalog = temp.Child(L"ini");
  ASSERT_TRUE(CreateDirectoryW(catalog.c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(catalog + L"\\imglist3.ini", "[catalog]"));
  std::string error;
  ASSERT_TRUE(ProtectInstallDirectory(temp.path, &error, [&](HANDLE, const std::wstring& path, PSID, PACL) {
    return path == catalog + L"\\imglist3.ini" ? DWORD{ERROR_SHARING_VIOLATION} : DWORD{ERROR_SUCCESS};
  })) << error;
  EXPECT_FALSE(FileExists(catalog));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [WARN] 安装目录的 ini 文件夹设置权限失败: " +
                                                 base::WideToUtf8(catalog) + "\\imglist3.ini, error=32，已删除整个 ini 文件夹"});
}

TEST_F(SelfInstallTest, AFolderMadeBeforeIsProtectedAndEmptiedOfForeignFilesButTheLocalCatalog) {
  // Someone made the folder first, opened it to everyone and put a DLL the program imports into it.
  const std::wstring directory = InstallDirectory();
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  ASSERT_TRUE(GrantEveryoneFullControl(directory));
  const std::string opened = EveryoneRights(directory);
  ASSERT_TRUE(opened != "" && opened != "0x1200a9") << opened;
  ASSERT_TRUE(test::WriteFileBytes(directory + L"\\gdiplus.dll", "planted"));
  // The operator's local catalog stays, but not open to everyone: it becomes the elevated program's catalog.
  const std::wstring catalog = directory + L"\\ini\\imglist3.ini";
  ASSERT_TRUE(CreateDirectoryW((directory + L"\\ini").c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(catalog, "[catalog]"));
  ASSERT_TRUE(GrantEveryoneFullControl(directory + L"\\ini") && GrantEveryoneFullControl(catalog));
  ASSERT_EQ(EveryoneRights(catalog), opened);

  std::string error;
  ASSERT_TRUE(SelfInstall(RunningExe(), "0.1.0", &error)) << error;
  // No more writing, as far as Wine keeps it: it reads a DACL back from the Unix mode bits, and the same written
  // DACL has left others read and execute there on most runs and nothing at all on some.
  for (const std::wstring& path : {directory, directory + L"\\ini", catalog}) {
    EXPECT_FALSE(test::OthersMayWrite(path)) << base::WideToUtf8(path) << ": " << EveryoneRights(path);
  }
  EXPECT_FALSE(FileExists(directory + L"\\gdiplus.dll"));
  EXPECT_TRUE(FileExists(catalog));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [WARN] 安装目录里有不是本工具放的文件，已删除: " + base::WideToUtf8(directory) +
                                "\\gdiplus.dll",
                            "T [INFO] 已复制到安装目录: " + base::WideToUtf8(directory) + "\\Kavrin.exe"}));
}

TEST_F(SelfInstallTest, ALinkInTheFolderPlaceIsRefused) {
  test::TempDirectory elsewhere;
  test::ScopedHostLink link(InstallDirectory(), elsewhere.path);
  ASSERT_TRUE(link.made);
  std::string error;
  EXPECT_FALSE(SelfInstall(RunningExe(), "0.1.0", &error));
  EXPECT_EQ(error, "安装目录是一个链接（junction 或符号链接），不往那里安装: " + base::WideToUtf8(InstallDirectory()));
  EXPECT_TRUE(test::ListFiles(elsewhere.path, L"*.exe").empty());
  EXPECT_EQ(UninstallValue(L"DisplayName"), "");
}

TEST_F(SelfInstallTest, UninstallStartsTheSystemCommandInterpreterByItsFullPathInTheSystemDirectory) {
  std::vector<std::array<std::wstring, 3>> started;
  std::string error;
  ASSERT_TRUE(Uninstall(&error, [&](const std::wstring& application, const std::wstring& line,
                                    const std::wstring& directory) {
    started.push_back({application, line, directory});
    return DWORD{ERROR_SUCCESS};
  })) << error;
  const std::wstring system = base::SystemDirectoryPath();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0][0], system + L"\\cmd.exe");
  EXPECT_EQ(started[0][1], DeferredDeletionCommand(InstallDirectory()));  // the command line itself unchanged
  EXPECT_EQ(started[0][2], system);

  EXPECT_FALSE(Uninstall(&error, [](auto&&...) { return DWORD{ERROR_FILE_NOT_FOUND}; }));
  EXPECT_EQ(error, "派生延迟删除安装目录的进程失败, GetLastError=2");
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace pl::install
