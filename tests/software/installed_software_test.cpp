// Installed software from uninstall lists written into private scratch keys of the prefix, and the name rules.
#include "software/installed_software.h"

#include <gtest/gtest.h>

#include "printers.h"
#include "registry_scratch.h"

namespace pl::software {
namespace {

using pl::test::ScratchRegistryKey;
using pl::test::SetRegistryDword;
using pl::test::SetRegistryString;
using pl::test::SetRegistryValue;

// One program of a list: its subkey and display name, with further values set by the caller.
void Program(const ScratchRegistryKey& list, const std::wstring& subkey, const std::wstring& displayName) {
  ASSERT_TRUE(SetRegistryString(list.root, list.Child(subkey), L"DisplayName", displayName));
}

TEST(InstalledSoftwareScan, ThreeListsFilteredOnceEachSorted) {
  ScratchRegistryKey machine, wow, user(HKEY_CURRENT_USER, L"Software");
  ASSERT_TRUE(machine.created && wow.created && user.created);
  Program(machine, L"{7Z-64}", L"7-Zip 23.01 (x64)");
  Program(machine, L"WeChat", L"微信");
  Program(machine, L"KB5031356", L"Update for Office");
  ASSERT_TRUE(SetRegistryString(machine.root, machine.Child(L"KB5031356"), L"ParentKeyName", L"Office16"));
  Program(machine, L"EmptyParent", L"Parent Empty");
  ASSERT_TRUE(SetRegistryString(machine.root, machine.Child(L"EmptyParent"), L"ParentKeyName", L""));
  Program(machine, L"Runtime", L"Runtime Component");
  ASSERT_TRUE(SetRegistryDword(machine.root, machine.Child(L"Runtime"), L"SystemComponent", 1));
  Program(machine, L"Zero", L"Zero Component");
  ASSERT_TRUE(SetRegistryDword(machine.root, machine.Child(L"Zero"), L"SystemComponent", 0));
  Program(machine, L"Shown", L"Shown Tool");  // a string "1" hides nothing
  ASSERT_TRUE(SetRegistryString(machine.root, machine.Child(L"Shown"), L"SystemComponent", L"1"));
  ASSERT_TRUE(SetRegistryString(machine.root, machine.Child(L"Expand"), L"DisplayName", L"Expand Name", REG_EXPAND_SZ));
  ASSERT_TRUE(SetRegistryString(machine.root, machine.Child(L"NoName"), L"Publisher", L"Someone"));
  Program(machine, L"EmptyName", L"");
  ASSERT_TRUE(SetRegistryValue(machine.root, machine.Child(L"Cut"), L"DisplayName", REG_SZ,
                               std::string("C\0u\0t\0\0\0H\0e\0r\0e\0\0\0", 18)));  // "Cut", null, "Here"
  Program(wow, L"{7Z-32}", L"7-Zip 23.01 (x64)");  // the same program in the 32-bit list
  Program(wow, L"Notepad++", L"Notepad++ (32-bit x86)");
  Program(user, L"Zoom", L"Zoom");
  Program(user, L"apple", L"apple");
  Program(user, L"7z", L"7-Zip");
  ASSERT_TRUE(SetRegistryString(user.root, user.path, L"DisplayName", L"Not a program"));  // on the list itself

  const std::vector<InstalledSoftwareEntry> expected = {
      {"7-Zip"},       {"7-Zip 23.01 (x64)"}, {"Cut"},  {"Notepad++ (32-bit x86)"}, {"Parent Empty"},
      {"Shown Tool"},  {"Zero Component"},    {"Zoom"}, {"apple"},                  {"微信"}};
  EXPECT_EQ(ScanInstalledSoftware({{HKEY_LOCAL_MACHINE, machine.path},
                                   {HKEY_LOCAL_MACHINE, wow.path},
                                   {HKEY_LOCAL_MACHINE, machine.Child(L"NoSuchList")},
                                   {HKEY_CURRENT_USER, user.path}}),
            expected);
}

// A too-small buffer skips one name; any other error (a list deleted during the scan answers one for every index
// up to 2^32) ends the list.
TEST(InstalledSoftwareScan, EnumerationStopsAtAnyErrorButATooSmallBuffer) {
  const std::pair<LSTATUS, EnumerationStep> cases[] = {
      {ERROR_SUCCESS, EnumerationStep::Use},      {ERROR_MORE_DATA, EnumerationStep::Skip},
      {ERROR_NO_MORE_ITEMS, EnumerationStep::Stop}, {ERROR_KEY_DELETED, EnumerationStep::Stop},
      {ERROR_ACCESS_DENIED, EnumerationStep::Stop}, {ERROR_INVALID_HANDLE, EnumerationStep::Stop},
  };
  for (const auto& [status, step] : cases) EXPECT_EQ(StepAfterEnumeration(status), step) << status;
}

TEST(InstalledSoftwareNames, NormaliseAndMatch) {
  struct Normalised {
    std::string name;
    std::string result;
  } normalised[] = {
      {"7-Zip 23.01 (x64)", "7zip2301"},
      {"Microsoft Visual C++ 2015-2022 Redistributable [x64] (14.36)", "microsoftvisualc20152022redistributable"},
      {"Tool (x64 [build 7]) 2", "tool2"},          // nested brackets
      {"Tool ((x64) 2", "tool"},                    // unbalanced: still inside
      {"Tool ) ] 2 (x", "tool2"},                   // closing first: depth stays at 0
      {"微信 WeChat", "微信wechat"},                 // non-ASCII kept whole
      {"微信 (测试版)", "微信"},                      // skipped whole inside brackets
      {"App\xE5\xBE", "app\xE5\xBE"},               // a character cut short at the end
      {"\x80stray", "\x80stray"},                   // a stray continuation byte is one character
      {"QQ（轻聊版）", "qq（轻聊版）"},               // full-width brackets are ordinary characters
      {"(x64)", ""},
  };
  for (const Normalised& n : normalised) EXPECT_EQ(NormaliseSoftwareName(n.name), n.result) << n.name;

  struct Match {
    std::string installed;
    std::string item;
    bool matches;
  } matches[] = {
      {"WeChat", "WeChat", true},
      {"WeChat 3.9.8", "wechat", true},           // a version suffix
      {"7-Zip 23.01 (x64)", "7-Zip", true},
      {"7-Zip", "7-Zip File Manager", true},      // a longer item holding the whole installed name
      {"Zip", "7-Zip File Manager", true},
      {"Zoom Meetings", "Zoom Workplace", false}, // a longer item not holding it
      {"Q", "Q", false},                          // one character never matches
      {"QQ", "QQ", true},
      {"(x64) [1.0]", "(x64)", false},            // nothing left outside brackets
      {"", "WeChat", false},
      {"WeChat", "", false},
      {"微信", "微信 PC 版", true},
      {"QQ（轻聊版）", "QQ", true},
  };
  for (const Match& m : matches) {
    EXPECT_EQ(SoftwareNameMatches(m.installed, m.item), m.matches) << m.installed << " / " << m.item;
  }
}

}  // namespace
}  // namespace pl::software
