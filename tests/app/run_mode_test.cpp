#include "app/run_mode.h"

#include <gtest/gtest.h>

namespace pl::app {
namespace {

RunModeFlags Parse(std::initializer_list<const wchar_t*> arguments) {
  std::vector<const wchar_t*> list(arguments);
  return ParseArguments(list.data(), static_cast<int>(list.size()));
}

TEST(RunModeArguments, OnlyExactFlagsAfterTheProgramNameCount) {
  EXPECT_FALSE(Parse({L"pl_host_gui.exe"}).dryRun);
  EXPECT_TRUE(Parse({L"pl_host_gui.exe", L"--dry-run"}).dryRun);
  EXPECT_TRUE(Parse({L"pl_host_gui.exe", L"x", L"y", L"--dry-run"}).dryRun);
  EXPECT_FALSE(Parse({L"pl_host_gui.exe", L"--Dry-Run"}).dryRun);
  EXPECT_FALSE(Parse({L"pl_host_gui.exe", L"--dry-run=1"}).dryRun);
  EXPECT_FALSE(Parse({L"pl_host_gui.exe", L" --dry-run"}).dryRun);
  EXPECT_FALSE(Parse({L"pl_host_gui.exe", L"-dry-run"}).dryRun);
  // The program name itself is never a flag.
  EXPECT_FALSE(Parse({L"--dry-run"}).dryRun);
  EXPECT_FALSE(Parse({L"--uninstall", L"other"}).uninstall);

  const RunModeFlags both = Parse({L"p", L"--dry-run", L"--uninstall"});
  EXPECT_TRUE(both.dryRun);
  EXPECT_TRUE(both.uninstall);
  EXPECT_FALSE(Parse({L"p", L"--UNINSTALL"}).uninstall);

  // A failed split sets nothing.
  const RunModeFlags none = ParseArguments(nullptr, 3);
  EXPECT_FALSE(none.dryRun);
  EXPECT_FALSE(none.uninstall);
}

}  // namespace
}  // namespace pl::app
