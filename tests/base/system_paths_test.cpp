#include "base/system_paths.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
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

// COM initialised twice on one thread answers S_FALSE the second time, and needs two uninitialisations: once
// both scopes are gone, COM is down and a third initialisation is the first again.
TEST(ComInitScope, EverySuccessfulInitialisationIsBalanced) {
  {
    const ComInitScope outer;
    ASSERT_EQ(outer.result(), S_OK);
    const ComInitScope inner;
    EXPECT_EQ(inner.result(), S_FALSE);
    const ComInitScope otherModel(COINIT_MULTITHREADED);
    EXPECT_EQ(otherModel.result(), RPC_E_CHANGED_MODE);  // failed: nothing to balance
  }
  const ComInitScope again;
  EXPECT_EQ(again.result(), S_OK);
}

TEST(DllSearch, DllsLoadedByNameComeOnlyFromTheSystemDirectory) {
  const std::wstring program = ModuleFilePath();
  const std::wstring beside = program.substr(0, program.find_last_of(L'\\')) + L"\\pl_probe.dll";
  ASSERT_TRUE(test::FileExists(beside));
  ASSERT_TRUE(RestrictDllSearchToSystem32());
  EXPECT_EQ(LoadLibraryW(L"pl_probe.dll"), nullptr);  // the program's own folder is searched no more
  HMODULE byPath = LoadLibraryW(beside.c_str());
  EXPECT_NE(byPath, nullptr);
  FreeLibrary(byPath);
  HMODULE system = LoadLibraryW(L"version.dll");
  EXPECT_NE(system, nullptr);
  FreeLibrary(system);
}

}  // namespace
}  // namespace pl::base
