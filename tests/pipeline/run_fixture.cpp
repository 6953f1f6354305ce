#include "run_fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/constants.h"
#include "base/text.h"
#include "wim_builder.h"
#include "zip_builder.h"

namespace pl::pipeline::test {

std::vector<std::string> BootEntryCommands(const std::string& id) {
  const std::string ramdisk = " ramdisk=[S:]\\$PelloraData$Boot$\\pe.wim,{ramdiskoptions}";
  return {
      "/enum {bootmgr}",
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
  std::vector<std::string> lines = {"T [INFO] bcdedit /enum {bootmgr}",
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
  };
  resources.pe = Serve("pe.wim", pl::test::GeneratedBytes(0, 40000));
  resources.sdi = Serve("boot.sdi", pl::test::GeneratedBytes(7, 3000));
  resources.drv = Serve("tools.zip", ToolsZip(false));
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
  fake.Add({.tool = "bcdedit", .match = "/enum {bootmgr}", .output = "default {current}\r\ntimeout 30\r\n"});
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
