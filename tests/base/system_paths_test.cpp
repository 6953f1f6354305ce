#include "base/system_paths.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace pl::base {
namespace {

TEST(SystemPaths, MaxPathBufferTextFailsOnZeroAndOnATooSmallBuffer) {
  const wchar_t buffer[] = L"C:\\windows\\system32";
  EXPECT_EQ(MaxPathBufferText(buffer, 19), L"C:\\windows\\system32");
  EXPECT_EQ(MaxPathBufferText(buffer, 2), L"C:");
  EXPECT_EQ(MaxPathBufferText(buffer, 0), L"");
  EXPECT_EQ(MaxPathBufferText(buffer, MAX_PATH), L"");       // truncated (GetModuleFileNameW)
  EXPECT_EQ(MaxPathBufferText(buffer, MAX_PATH + 40), L"");  // the size it would need

  EXPECT_EQ(TempDirectoryPath().back(), L'\\');
  EXPECT_EQ(SystemDirectoryPath(), WindowsDirectoryPath() + L"\\system32");
  EXPECT_EQ(ModuleFilePath().substr(ModuleFilePath().size() - 14), L"\\base_test.exe");
  EXPECT_EQ(KnownFolderPath(FOLDERID_Windows), WindowsDirectoryPath());
  EXPECT_EQ(KnownFolderPath(GUID{}), L"");
}

TEST(SystemPaths, EnvironmentVariablesOfAnyLength) {
  const std::wstring longValue(5000, L'v');
  test::ScopedEnvironment set(L"PL_TEST_VALUE", longValue);
  EXPECT_EQ(ReadEnvironmentVariable(L"PL_TEST_VALUE"), longValue);
  test::ScopedEnvironment unset(L"PL_TEST_VALUE", L"", true);
  EXPECT_EQ(ReadEnvironmentVariable(L"PL_TEST_VALUE"), L"");
}

}  // namespace
}  // namespace pl::base
