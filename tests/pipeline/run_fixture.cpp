#include "run_fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/text.h"
#include "wim_builder.h"
#include "zip_builder.h"

namespace pl::pipeline::test {

std::vector<std::string> BootEntryCommands(const std::string& id) {
  const std::string ramdisk = " ramdisk=[S:]\\$PelloraData$Boot$\\pe.wim,{ramdiskoptions}";
  return {
      "/enum {bootmgr} /v",
      "/create /d \"Pellora PE\" /application osloader",
      "/create {ramdiskoptions} /d \"Ramdisk options\"",
      "/displayorder {ramdiskoptions} /remove",
      "/set {ramdiskoptions} ramdisksdidevice partition=S:",
      "/set {ramdiskoptions} ramdisksdipath \\$PelloraData$Boot$\\boot.sdi",
      "/set " + id + " device" + ramdisk,
      "/set " + id + " osdevice" + ramdisk,
      "/set " + id + " path \\Windows\\System32\\boot\\winload.efi",
      "/set " + id + " systemroot \\Windows",
      "/set " + id + " winpe yes",
      "/set " + id + " inherit {bootloadersettings}",
      "/displayorder " + id + " /addlast",
      "/bootsequence " + id,
      "/default " + id,
      "/set " + id + " bootmenupolicy Legacy",
      "/set {default} bootmenupolicy Legacy",
      "/timeout 0",
  };
}

std::vector<std::string> BootEntryLog(const std::string& id, bool dryRun) {
  const std::vector<std::string> commands = BootEntryCommands(id);
  // The boot manager's read runs in dry-run too.
  std::vector<std::string> lines = {"T [INFO] bcdedit /enum {bootmgr} /v",
                                    "T [INFO] 引导管理器原来的默认项: {current}，等待时间: 30 秒"};
  for (size_t i = 1; i < commands.size(); ++i) {
    if (i == 2) {
      lines.push_back(dryRun ? "T [INFO] [dry-run] 跳过创建 {ramdiskoptions}（如果尚不存在）"
                             : "T [INFO] {ramdiskoptions} 对象已存在（或创建失败，不影响后续，忽略）: ");
    }
    if (i == 2 || i == 3) continue;
    lines.push_back("T [INFO] bcdedit " + commands[i]);
    if (dryRun) lines.push_back("T [INFO] [dry-run] 跳过实际执行");
  }
  return lines;
}

RunFixture::RunFixture() : backend(config::kBackendOriginVariable, server.origin) {
  EXPECT_TRUE(systemDrive.mapped && dataDrive.mapped);
  sim.systemDrive = L'S';
  sim.volumes[L'S'] = {.disk = 0, .free = 60 * base::kGiB};
  sim.volumes[L'D'] = {.disk = 0, .free = 200 * base::kGiB};
  sim.makeDirectories = true;
  machine = {
      .staging = sim.Bind(),
      .firmwareType = [] { return disks::FirmwareType::Uefi; },
      .volumeGuidPathOfDrive = [](wchar_t letter) { return letter == L'S' ? kSystemGuid : std::wstring(); },
      .usedBytes = [](wchar_t letter) -> uint64_t { return letter == L'S' ? 30 * base::kGiB : 0; },
      .programPath = [this] { return temp.Child(L"bin\\pl_host_gui.exe"); },
      .localTime = [] { return SYSTEMTIME{.wYear = 2025, .wMonth = 2, .wDay = 3, .wHour = 9, .wMinute = 5,
                                          .wSecond = 7}; },
      .retryPause = [this](uint32_t ms) { pauses.push_back(ms); },
      // Wine 8 copies without calling the progress routine: the copy is real, and the routine is then called as
      // Windows calls it, at the start and after each MiB.
      .copyFile =
          [](const std::wstring& from, const std::wstring& to, LPPROGRESS_ROUTINE routine, void* context) {
            if (!CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) return false;
            WIN32_FILE_ATTRIBUTE_DATA data{};
            GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &data);
            LARGE_INTEGER total, copied;
            total.QuadPart = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            copied.QuadPart = 0;
            for (DWORD reason = CALLBACK_STREAM_SWITCH;; reason = CALLBACK_CHUNK_FINISHED) {
              routine(total, copied, total, copied, 1, reason, nullptr, nullptr, context);
              if (copied.QuadPart == total.QuadPart) return true;
              copied.QuadPart = std::min<LONGLONG>(copied.QuadPart + base::kMiB, total.QuadPart);
            }
          },
      .fixedDriveLetters =
          [this] {
            std::vector<wchar_t> letters;
            for (const auto& [letter, volume] : sim.volumes) {
              if (volume.fixed) letters.push_back(letter);
            }
            return letters;
          },
  };
  resources.pe = Serve("pe.wim", pl::test::GeneratedBytes(0, 40000));
  resources.sdi = Serve("boot.sdi", pl::test::GeneratedBytes(7, 3000));
  resources.drv = Serve("tools.zip", ToolsZip(false));
}

void BlockTaskFile(const std::wstring& dataDirectory) {
  for (int i = 0; i < 16; ++i) {
    const std::wstring number = i == 0 ? L"" : std::to_wstring(i) + L".";
    ASSERT_TRUE(base::CreateDirectoryTree(dataDirectory + L"\\task.ini." + number + L"tmp"));
  }
}

std::string RunFixture::ToolsZip(bool withDeployer) {
  archive::test::ZipBuilder zip;
  zip.Add("drivers/net/e1000.inf", "[Version]\r\n", 8);
  zip.Add("drivers/display/VGA.INF", "[Version]\r\n");
  zip.Add("drivers/readme.txt", "two drivers");
  if (withDeployer) {
    std::string deployer;
    EXPECT_TRUE(pl::test::ReadFileBytes(base::Utf8ToWide(PL_PE_STUB), &deployer));
    zip.Add("bin/pl_pe.exe", deployer);
  }
  return zip.Build();
}

std::string RunFixture::OsImage(int images, size_t size) {
  std::string xml = "<WIM>";
  for (int i = 1; i <= images; ++i) {
    const std::string n = std::to_string(i);
    xml += "<IMAGE INDEX=\"" + n + "\"><NAME>Windows 11 Pro " + n +
           "</NAME><WINDOWS><ARCH>9</ARCH><EDITIONID>Professional</EDITIONID></WINDOWS></IMAGE>";
  }
  xml += "</WIM>";
  const std::string wim = archive::test::BuildWim(archive::test::Utf16Bytes(std::u16string(xml.begin(), xml.end())),
                                                  static_cast<uint32_t>(images));
  return wim + pl::test::GeneratedBytes(0, size > wim.size() ? size - wim.size() : 0);
}

config::ResourceRef RunFixture::Serve(const std::string& name, const std::string& bytes) {
  const std::string md5 = server.PutFile(name, bytes);
  return {.url = base::WideToUtf8(server.Url("/files/" + name)), .md5 = md5};
}

void RunFixture::AnswerToolsAsUsual() {
  fake.Add({.tool = "powershell", .match = "*OA3xOriginalProductKey*", .output = std::string(kProductKey) + "\r\n"});
  fake.Add({.tool = "dism", .output = "The operation completed successfully."});
  fake.Add({.tool = "bcdedit", .match = "/enum {bootmgr} /v", .output = "default {current}\r\ntimeout 30\r\n"});
  fake.Add({.tool = "bcdedit",
            .match = "/create /d*",
            .output = "The entry " + std::string(kEntryId) + " was successfully created.\r\n"});
  fake.Add({.tool = "bcdedit", .match = "/create {ramdiskoptions}*", .exitCode = 1});
  fake.Add({.tool = "bcdedit", .match = "/displayorder {ramdiskoptions} /remove", .exitCode = 1});
}

ProgressCallback RunFixture::Recorder() {
  return [this](const std::string& stage, const std::string& message, int percent) {
    std::lock_guard<std::mutex> lock(mutex);
    progress.push_back({stage, message, percent});
  };
}

ByteCallback RunFixture::ByteRecorder() {
  return [this](const TransferBytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    transfers.push_back(bytes);
  };
}

std::vector<int> RunFixture::Percents() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<int> percents;
  for (const ProgressEvent& event : progress) percents.push_back(event.percent);
  return percents;
}

std::vector<std::string> RunFixture::Reports() const {
  std::vector<std::string> texts;
  for (const pl::test::DevServerReport& r : server.Reports()) {
    if (r.kind == "create") {
      texts.push_back("create " + r.Text("chosenOsKey"));
    } else if (r.kind == "device") {
      texts.push_back("device");
    } else if (r.kind == "stage_event") {
      const std::string message = r.Text("errorMessage");
      texts.push_back("event " + r.Text("stage") + " " + r.Text("status") + (message.empty() ? "" : " " + message));
    } else if (r.kind == "error") {
      texts.push_back("error " + r.Text("stage") + " " + r.Text("message"));
    } else if (r.kind == "finish") {
      texts.push_back("finish " + r.Text("overallStatus"));
    }
  }
  return texts;
}

std::vector<std::string> RunFixture::FailureReports() const {
  std::vector<std::string> failures;
  for (const std::string& report : Reports()) {
    if (report.rfind("error ", 0) == 0 || report.rfind("finish ", 0) == 0 ||
        (report.rfind("event ", 0) == 0 && report.find(" failed") != std::string::npos)) {
      failures.push_back(report);
    }
  }
  return failures;
}

std::string RunFixture::Read(const std::wstring& path) const {
  std::string bytes;
  EXPECT_TRUE(pl::test::ReadFileBytes(path, &bytes)) << base::WideToUtf8(path);
  return bytes;
}

std::vector<std::string> RunFixture::BcdeditArguments() const {
  std::vector<std::string> arguments;
  for (const pl::test::FakeToolCall& call : fake.Calls()) {
    if (call.tool == "bcdedit") arguments.push_back(call.arguments);
  }
  return arguments;
}

std::vector<std::string> RunFixture::Downloads(size_t from) const {
  const std::vector<pl::test::DevServerRequest> requests = server.Requests();
  std::vector<std::string> downloads;
  for (size_t i = from; i < requests.size(); ++i) {
    if (requests[i].path.rfind("/files/", 0) != 0) continue;
    const std::string range = requests[i].Header("Range");
    downloads.push_back(requests[i].path + (range.empty() ? "" : " " + range));
  }
  return downloads;
}

BootStore RunFixture::BootStoreNow() const {
  BootStore store;
  const auto argument = [](const std::string& text, size_t at) { return text.substr(at, text.find(' ', at) - at); };
  for (const pl::test::FakeToolCall& call : fake.Calls()) {
    if (call.tool != "bcdedit" || (call.rule >= 0 && fake.rules[call.rule].exitCode != 0)) continue;
    const std::string& a = call.arguments;
    if (a.rfind("/create /d", 0) == 0) store.entries.insert(kEntryId);
    if (a.rfind("/default ", 0) == 0) store.defaultId = argument(a, 9);
    if (a.rfind("/timeout ", 0) == 0) store.timeout = std::stoi(a.substr(9));
    if (a.rfind("/bootsequence ", 0) == 0) store.bootSequence = argument(a, 14);
    if (a.rfind("/delete ", 0) == 0) {
      const std::string id = argument(a, 8);
      store.entries.erase(id);
      for (std::string* reference : {&store.defaultId, &store.bootSequence}) {
        if (*reference == id) reference->clear();
      }
    }
  }
  return store;
}

void RunFixture::ExpectLeftAsItShould(const FaultOutcome& outcome, const char* stage, const std::string& logged,
                                      bool inPe, bool afterTask, bool finishes) const {
  const BootStore store = BootStoreNow();
  const bool armed = outcome.ok && !inPe && outcome.armsMachine;
  // An entry stays only when its deletion failed, and then the message says so.
  const bool entryLeft = !armed && store.entries.count(kEntryId) != 0;
  EXPECT_EQ(entryLeft, outcome.error.find("PE 引导项没能撤销") != std::string::npos);
  EXPECT_EQ(store.defaultId, armed ? kEntryId : "{current}");
  EXPECT_EQ(store.timeout, armed ? 0 : 30);
  EXPECT_TRUE(store.bootSequence == (armed ? kEntryId : "") || entryLeft) << store.bootSequence;

  EXPECT_EQ(pl::test::FileExists(outcome.taskFile), outcome.ok);
  if ((outcome.ok || afterTask) && outcome.armsMachine) {
    EXPECT_TRUE(EarlierTaskRemoved());
  } else {
    EXPECT_TRUE(EarlierTaskIntact());
  }
  EXPECT_TRUE(UserBackupIntact());

  const std::vector<std::string> failures = FailureReports();
  const bool finished = std::find(failures.begin(), failures.end(), "finish failed") != failures.end();
  EXPECT_EQ(finished, !outcome.ok && finishes);
  if (outcome.ok) return;
  EXPECT_TRUE(std::any_of(failures.begin(), failures.end(), [&](const std::string& report) {
    return report.rfind("error " + std::string(stage) + " ", 0) == 0 ||
           report.rfind("event " + std::string(stage) + " failed", 0) == 0;
  })) << stage;
  const std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind("T [ERROR] ", 0) == 0 && line.find(logged) != std::string::npos;
  })) << logged;
}

const std::string kEarlierTask = "\xEF\xBB\xBF[deploy]\r\nmode=capture\r\n";
const std::string kEarlierWishlist = "\xEF\xBB\xBF[wishlist]\r\ncount=0\r\n";

void RunFixture::PutEarlierFiles() {
  earlierDrive.emplace(L'E', earlierFolder.path);
  sim.volumes[L'E'] = {.disk = 0, .free = base::kGiB};
  EXPECT_TRUE(base::CreateDirectoryTree(kData + L"\\backup") && base::CreateDirectoryTree(L"E:\\$PelloraData$"));
  EXPECT_TRUE(pl::test::WriteFileBytes(L"E:\\$PelloraData$\\task.ini", kEarlierTask));
  EXPECT_TRUE(pl::test::WriteFileBytes(L"E:\\$PelloraData$\\software_wishlist.ini", kEarlierWishlist));
  EXPECT_TRUE(pl::test::WriteFileBytes(kUserBackup, OsImage(1, 3000)));
}

bool RunFixture::EarlierTaskIntact() const {
  std::string task, wishlist;
  return pl::test::ReadFileBytes(L"E:\\$PelloraData$\\task.ini", &task) && task == kEarlierTask &&
         pl::test::ReadFileBytes(L"E:\\$PelloraData$\\software_wishlist.ini", &wishlist) && wishlist == kEarlierWishlist;
}

bool RunFixture::EarlierTaskRemoved() const {
  return !pl::test::FileExists(L"E:\\$PelloraData$\\task.ini") &&
         !pl::test::FileExists(L"E:\\$PelloraData$\\software_wishlist.ini");
}

bool RunFixture::UserBackupIntact() const {
  std::string bytes;
  return pl::test::ReadFileBytes(kUserBackup, &bytes) && bytes == OsImage(1, 3000);
}

::testing::AssertionResult RunFixture::InOrder(const std::vector<std::string>& lines,
                                              const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const std::string& line : wanted) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return ::testing::AssertionFailure() << "missing, or out of order: " << line;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace pl::pipeline::test
