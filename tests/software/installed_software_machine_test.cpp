// The real uninstall lists of the prefix: each is read, and a program registered in all three is listed once.
// Holds the prefix lock, as the lists are the whole prefix's.
#include "software/installed_software.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "base/text.h"
#include "registry_scratch.h"

namespace pl::software {
namespace {

TEST(InstalledSoftwareMachine, EveryListReadAndASharedProgramListedOnce) {
  const std::vector<UninstallList> lists = MachineUninstallLists();
  ASSERT_EQ(lists.size(), 3u);
  const std::wstring prefix = L"Pellora Test Program " + std::to_wstring(GetCurrentProcessId());
  std::vector<std::unique_ptr<pl::test::ScratchRegistryKey>> programs;
  std::vector<std::string> expected = {base::WideToUtf8(prefix)};
  for (size_t i = 0; i < lists.size(); ++i) {
    const std::wstring own = prefix + L" list " + std::to_wstring(i);
    expected.push_back(base::WideToUtf8(own));
    for (const std::wstring& name : {prefix, own}) {
      programs.push_back(std::make_unique<pl::test::ScratchRegistryKey>(lists[i].root, lists[i].subkey));
      ASSERT_TRUE(programs.back()->created);
      ASSERT_TRUE(pl::test::SetRegistryString(lists[i].root, programs.back()->path, L"DisplayName", name));
    }
  }
  std::vector<std::string> found;
  for (const InstalledSoftwareEntry& entry : ScanInstalledSoftware()) {
    if (entry.name.starts_with(base::WideToUtf8(prefix))) found.push_back(entry.name);
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace pl::software
