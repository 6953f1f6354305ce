#include "pipeline/task_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "base/text.h"
#include "host_link.h"
#include "test_support.h"

namespace pl::pipeline {
namespace {

using config::InstallItem;
using Names = std::vector<std::wstring>;

// A file as the deployer receives it: the byte-order mark, then `text` with every "\n" as CR LF.
std::string FileBytes(std::string_view text) {
  std::string bytes = "\xEF\xBB\xBF";
  for (const char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

std::string ReadBack(const std::wstring& path) {
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(path, &bytes)) << base::WideToUtf8(path);
  return bytes;
}

const char kGuid[] = "\\\\?\\Volume{6b2f4c1a-0000-0000-0000-100000000000}\\";
const char kBootId[] = "{5f1b0e2a-7c3d-11ef-9a4b-0800200c9a66}";

struct TaskCase {
  const char* name;
  DeployTask task;
  std::vector<InstallItem> items;
  const char* expected;  // with "\n" line ends, without the mark
};

std::vector<TaskCase> Fillings() {
  TaskCase reinstall{"reinstall", {}, {}, nullptr};
  DeployTask& r = reinstall.task;
  r.targetVolumeGuid = kGuid;
  r.firmware = "UEFI";
  r.imagePath = "D:\\$PelloraData$\\os_image.esd";
  r.imageIndex = 6;
  r.toolsPath = "D:\\$PelloraData$\\tools";
  r.stagingDir = "D:\\$PelloraData$";
  r.peBootId = kBootId;
  r.sessionId = "s-1-9f3a";
  r.oemProductKey = "VK7JG-NPHTM-C97JM-9MPGT-3V66T";
  r.driverBackupPath = "D:\\$PelloraData$\\backup\\drivers";
  r.osDisplayName = "Windows 11 专业版";
  // Commas and "=" inside values are written as they are; the keyless third item gets its position.
  reinstall.items = {{"wx", "wx.exe", "/S", "http://d/wx.exe", "M1", "微信"},
                     {"7z", "7z.exe", "/S /D=C:\\7-Zip", "http://d/7z.exe?a=1,b=2", "", "7-Zip"},
                     {"", "tool.exe", "", "http://d/tool.exe", "", ""}};
  reinstall.expected = R"file([deploy]
targetDisk=0
targetPartition=0
targetVolumeGuid=\\?\Volume{6b2f4c1a-0000-0000-0000-100000000000}\
firmware=UEFI
imagePath=D:\$PelloraData$\os_image.esd
imageIndex=6
toolsPath=D:\$PelloraData$\tools
stagingDir=D:\$PelloraData$
peBootId={5f1b0e2a-7c3d-11ef-9a4b-0800200c9a66}
sessionId=s-1-9f3a
oemProductKey=VK7JG-NPHTM-C97JM-9MPGT-3V66T
driverBackupPath=D:\$PelloraData$\backup\drivers
osDisplayName=Windows 11 专业版
mode=deploy
captureDestPath=
isRestore=0

[install]
wx=wx.exe,/S,http://d/wx.exe,M1,微信
7z=7z.exe,/S /D=C:\7-Zip,http://d/7z.exe?a=1,b=2,,7-Zip
3=tool.exe,,http://d/tool.exe,,
)file";

  TaskCase restore{"restore", {}, {}, nullptr};
  DeployTask& s = restore.task;
  s.targetVolumeGuid = kGuid;
  s.firmware = "BIOS";
  s.imagePath = "E:\\$PelloraData$\\restore_image.wim";
  s.toolsPath = "E:\\$PelloraData$\\tools";
  s.stagingDir = "E:\\$PelloraData$";
  s.peBootId = kBootId;
  s.sessionId = "s-2-77";
  s.driverBackupPath = "E:\\$PelloraData$\\backup\\drivers";
  s.osDisplayName = "从备份还原";
  s.isRestore = true;
  restore.expected = R"file([deploy]
targetDisk=0
targetPartition=0
targetVolumeGuid=\\?\Volume{6b2f4c1a-0000-0000-0000-100000000000}\
firmware=BIOS
imagePath=E:\$PelloraData$\restore_image.wim
imageIndex=1
toolsPath=E:\$PelloraData$\tools
stagingDir=E:\$PelloraData$
peBootId={5f1b0e2a-7c3d-11ef-9a4b-0800200c9a66}
sessionId=s-2-77
oemProductKey=
driverBackupPath=E:\$PelloraData$\backup\drivers
osDisplayName=从备份还原
mode=deploy
captureDestPath=
isRestore=1

[install]
)file";

  TaskCase backup{"backup", {}, {}, nullptr};
  DeployTask& b = backup.task;
  b.targetVolumeGuid = kGuid;
  b.firmware = "UEFI";
  b.stagingDir = "D:\\$PelloraData$";
  b.peBootId = kBootId;
  b.sessionId = "s-3-01";
  b.mode = "capture";
  b.captureDestPath = "D:\\$PelloraData$\\backup\\pellora_backup_20250203_090507.wim";
  backup.expected = R"file([deploy]
targetDisk=0
targetPartition=0
targetVolumeGuid=\\?\Volume{6b2f4c1a-0000-0000-0000-100000000000}\
firmware=UEFI
imagePath=
imageIndex=1
toolsPath=
stagingDir=D:\$PelloraData$
peBootId={5f1b0e2a-7c3d-11ef-9a4b-0800200c9a66}
sessionId=s-3-01
oemProductKey=
driverBackupPath=
osDisplayName=
mode=capture
captureDestPath=D:\$PelloraData$\backup\pellora_backup_20250203_090507.wim
isRestore=0

[install]
)file";

  TaskCase usb{"usb", {}, {{"wx", "wx.exe", "/S", "http://d/wx.exe", "M1", "微信"}}, nullptr};
  usb.task.firmware = "UNKNOWN";
  usb.task.imageIndex = 4;
  usb.task.sessionId = "s-4-aa";
  usb.task.osDisplayName = "Windows 10 企业版 LTSC";
  usb.expected = R"file([deploy]
targetDisk=0
targetPartition=0
targetVolumeGuid=
firmware=UNKNOWN
imagePath=
imageIndex=4
toolsPath=
stagingDir=
peBootId=
sessionId=s-4-aa
oemProductKey=
driverBackupPath=
osDisplayName=Windows 10 企业版 LTSC
mode=deploy
captureDestPath=
isRestore=0

[install]
wx=wx.exe,/S,http://d/wx.exe,M1,微信
)file";

  TaskCase empty{"every text empty", {}, {}, nullptr};
  empty.task.mode.clear();
  empty.expected = R"file([deploy]
targetDisk=0
targetPartition=0
targetVolumeGuid=
firmware=
imagePath=
imageIndex=1
toolsPath=
stagingDir=
peBootId=
sessionId=
oemProductKey=
driverBackupPath=
osDisplayName=
mode=
captureDestPath=
isRestore=0

[install]
)file";

  return {reinstall, restore, backup, usb, empty};
}

// Each filling replaces the previous file whole (the first one a longer, older file) and leaves nothing beside it.
TEST(TaskFileTest, EachFillingIsWrittenExactlyAndReplacesTheOldFile) {
  test::TempDirectory temp;
  const std::wstring path = temp.Child(L"task.ini");
  ASSERT_TRUE(test::WriteFileBytes(path, FileBytes("[deploy]\n" + std::string(8192, 'x') + "\n")));
  for (const TaskCase& c : Fillings()) {
    ASSERT_TRUE(WriteTaskFile(path, c.task, c.items)) << c.name;
    EXPECT_EQ(ReadBack(path), FileBytes(c.expected)) << c.name;
    EXPECT_EQ(test::ListFiles(temp.path, L"*"), Names{L"task.ini"}) << c.name;
  }
}

TEST(TaskFileTest, LineBreaksInsideValuesBecomeOneBlankEachSoNoValueAddsALine) {
  test::TempDirectory temp;
  const std::wstring path = temp.Child(L"task.ini");
  DeployTask task;
  task.osDisplayName = "Windows 11\r\nmode=capture";
  task.imagePath = "C:\\a\rb\nc\n\rd\r\n\r\ne";  // lone CR, lone LF, LF then CR, two CR LF pairs
  const std::vector<InstallItem> items = {
      {"k\n[deploy]", "a.exe", "/S\r\ncaptureDestPath=X:\\w.wim", "http://d/a.exe", "m", "名\r字\n"}};
  ASSERT_TRUE(WriteTaskFile(path, task, items));
  const std::string bytes = ReadBack(path);
  const std::vector<std::string> lines = test::SplitLines(bytes.substr(3));
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[5], "imagePath=C:\\a b c  d  e");
  EXPECT_EQ(lines[13], "osDisplayName=Windows 11 mode=capture");
  EXPECT_EQ(lines[14], "mode=deploy");
  EXPECT_EQ(lines[15], "captureDestPath=");
  EXPECT_EQ(lines[19], "k [deploy]=a.exe,/S captureDestPath=X:\\w.wim,http://d/a.exe,m,名 字 ");
  // Every CR and LF left is part of a line end.
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\r'), 20);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 20);
}

TEST(TaskFileTest, WishlistCountsItsEntriesFromOne) {
  test::TempDirectory temp;
  const std::wstring path = temp.Child(L"software_wishlist.ini");
  ASSERT_TRUE(WriteWishlistFile(path, {"微信", "7-Zip 23.01 (x64)", "a=b,c\r\nitem9=evil"}));
  EXPECT_EQ(ReadBack(path), FileBytes("[wishlist]\ncount=3\nitem1=微信\nitem2=7-Zip 23.01 (x64)\n"
                                      "item3=a=b,c item9=evil\n"));
  ASSERT_TRUE(WriteWishlistFile(path, {}));
  EXPECT_EQ(ReadBack(path), FileBytes("[wishlist]\ncount=0\n"));
  EXPECT_EQ(test::ListFiles(temp.path, L"*"), Names{L"software_wishlist.ini"});
}

// A link planted at the temporary file's name (a host link to a file, which Wine follows on any open but that of a
// new file) is passed over: the file it points to stays as it was, and so does the link.
TEST(TaskFileTest, ALinkAtTheTemporaryNameIsNeverWrittenThrough) {
  test::TempDirectory temp;
  const std::wstring path = temp.Child(L"task.ini");
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"victim.dll"), "system file"));
  test::ScopedHostLink link(path + L".tmp", temp.Child(L"victim.dll"));
  ASSERT_TRUE(link.made);
  ASSERT_TRUE(WriteTaskFile(path, DeployTask{}, {}));
  EXPECT_EQ(ReadBack(path).substr(0, 13), "\xEF\xBB\xBF[deploy]\r\n");
  EXPECT_EQ(ReadBack(temp.Child(L"victim.dll")), "system file");
  EXPECT_EQ(test::ListFiles(temp.path, L"*"), (Names{L"task.ini", L"task.ini.tmp", L"victim.dll"}));
}

// A key the deployer would read as a section, a comment or another key is written as the item's position.
TEST(TaskFileTest, InstallKeysThatAFileCannotCarryBecomeTheirPosition) {
  test::TempDirectory temp;
  const std::wstring path = temp.Child(L"task.ini");
  const std::vector<InstallItem> items = {{"[deploy]", "a.exe"}, {";x", "b.exe"}, {"a=b", "c.exe"},
                                          {"", "d.exe"},         {"7z", "e.exe"}, {"k[1]", "f.exe"}};
  ASSERT_TRUE(WriteTaskFile(path, DeployTask{}, items));
  const std::string bytes = ReadBack(path);
  EXPECT_EQ(bytes.substr(bytes.find("[install]")),
            "[install]\r\n1=a.exe,,,,\r\n2=b.exe,,,,\r\n3=c.exe,,,,\r\n4=d.exe,,,,\r\n7z=e.exe,,,,\r\n"
            "k[1]=f.exe,,,,\r\n");
}

TEST(TaskFileTest, AnUnwritableTargetFailsCleanly) {
  struct Case {
    const char* name;
    std::function<void(const std::wstring& path)> prepare;
    Names left;  // what the folder holds afterwards, as before the call
    bool holdsOld = false;
  };
  const std::string old = FileBytes("[wishlist]\ncount=0\n");
  const std::vector<Case> cases = {
      {"missing folder", [](const std::wstring&) {}, {}},
      {"read-only file",
       [&](const std::wstring& path) {
         ASSERT_TRUE(test::WriteFileBytes(path, old));
         ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
       },
       {L"task.ini"},
       true},
      {"a folder in the way", [](const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)); },
       {L"task.ini"}},
  };
  for (const Case& c : cases) {
    test::TempDirectory temp;
    const std::wstring folder = c.left.empty() ? temp.Child(L"missing") : temp.path;
    const std::wstring path = folder + L"\\task.ini";
    c.prepare(path);
    EXPECT_FALSE(WriteTaskFile(path, DeployTask{}, {})) << c.name;
    EXPECT_FALSE(WriteWishlistFile(path, {"x"})) << c.name;
    EXPECT_EQ(test::ListFiles(folder, L"*"), c.left) << c.name;
    if (c.holdsOld) {
      EXPECT_EQ(ReadBack(path), old) << c.name;
    }
  }
}

}  // namespace
}  // namespace pl::pipeline
