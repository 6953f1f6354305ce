// pl_main_host: the real main window with a machine and jobs of the test's choosing, given as words on the command
// line (main_window_host.h); every seam call it answers is written to its log ("pl_main_host.log").

#include <windows.h>

#include <gdiplus.h>
#include <shellapi.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/text.h"
#include "log/log.h"
#include "main_window_host.h"
#include "ui/main_window.h"
#include "usb/usb_drives.h"

namespace {

using pl::ui::RunKind;

std::map<std::wstring, std::wstring> ParseWords() {
  std::map<std::wstring, std::wstring> words;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) {
    const std::wstring word = arguments[i];
    const size_t equals = word.find(L'=');
    words[word.substr(0, equals)] = equals == std::wstring::npos ? L"" : word.substr(equals + 1);
  }
  LocalFree(arguments);
  return words;
}

// Waits for the test to set the named event (created by the test before the host starts); `meanwhile` is called
// every 250 ms until then.
void WaitForRelease(const wchar_t* name, const std::function<void()>& meanwhile = {}) {
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
  if (event == nullptr) return;
  do {
    if (meanwhile) meanwhile();
  } while (WaitForSingleObject(event, meanwhile ? 250 : INFINITE) == WAIT_TIMEOUT);
  CloseHandle(event);
}

// Each call the figures of a download going at kBytesPerSecond since the first call.
std::function<void()> DownloadAtSteadySpeed(const pl::ui::RunBytes& bytes) {
  const ULONGLONG start = GetTickCount64();
  return [start, bytes] {
    using namespace pl::test::main_host;
    const uint64_t received = (GetTickCount64() - start) * kBytesPerSecond / 1000;
    bytes({kBytesAtStart + received, kBytesTotal, received});
  };
}

const char* KindName(RunKind kind) {
  switch (kind) {
    case RunKind::Reinstall:
      return "reinstall";
    case RunKind::Backup:
      return "backup";
    case RunKind::Restore:
      return "restore";
    default:
      return "usb";
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  using namespace pl::test::main_host;
  const auto words = ParseWords();
  const auto has = [&](const wchar_t* word) { return words.count(word) != 0; };
  const auto value = [&](const wchar_t* word) { return has(word) ? words.at(word) : std::wstring(); };
  pl::log::SetLogFile(L"pl_main_host.log");

  pl::ui::MainWindowSeams seams = pl::ui::LiveMainWindowSeams();
  const std::wstring thrower = value(kThrow);
  if (thrower == L"catalog") {
    seams.loadConfig = []() -> pl::config::ServiceConfig { throw std::runtime_error(kThrown); };
  }
  if (value(kCatalog) == L"fail") {
    seams.loadConfig = [] {
      pl::config::ServiceConfig config;
      config.error = "catalog failed";
      return config;
    };
  }
  const std::wstring route = value(kStaging);
  pl::disks::StagingFeasibility staging;
  staging.otherVolumeAvailable = route.empty() || route == L"other";
  staging.unallocatedAvailable = route == L"room";
  staging.systemShrinkable = route == L"shrink";
  if (route == L"bitlocker") staging.bitLockerBlockedLetter = L'D';
  const bool holdStart = has(kHoldStart);
  const bool bitLockerOn = has(kBitLockerOn);
  seams.gatherEnvironment = [=] {
    if (holdStart) WaitForRelease(kStartEvent);
    if (thrower == L"start") throw std::runtime_error(kThrown);
    pl::inspect::EnvironmentSummary summary{"Windows 10 专业版 64位 19045.4291", "Intel(R) Core(TM) i5-8250U", "16GB",
                                            "C:", "GPT, UEFI", "已开启", "LENOVO 20L7", "SAMSUNG MZVLB512 512GB (C: D:)",
                                            "网络已连接"};
    summary.systemBitLockerOn = bitLockerOn;
    summary.staging = staging;
    return summary;
  };
  pl::disks::StagingFeasibility afterCheck;
  afterCheck.systemShrinkable = true;
  seams.checkStaging = [=] {
    pl::log::LogInfo("[host] staging checked again");
    return afterCheck;
  };
  seams.scanSoftware = [] {
    return std::vector<pl::software::InstalledSoftwareEntry>{{"7-Zip"}, {"Notepad++ 8.6"}};
  };
  const bool pe = has(kPe);
  seams.isWinPE = [pe] { return pe; };
  seams.findTarget = [](bool* found) {
    *found = false;
    return std::vector<pl::disks::VolumeInfo>{{L'D', "数据", "NTFS", 200ull << 30, 100ull << 30, 0},
                                              {L'E', "", "", 30ull << 30, 1ull << 30, -1}};
  };

  const std::wstring runResult = value(kRun);
  const std::string edition = pl::base::WideToUtf8(value(kEdition));
  const bool holdRun = has(kHoldRun);
  const bool reportBytes = has(kBytes);
  seams.run = [=](const pl::ui::RunRequest& request, const pl::ui::RunProgress& progress,
                  const pl::ui::RunBytes& bytes) {
    std::string wishlist;
    for (const std::string& name : request.wishlist) wishlist += " " + name;
    pl::log::LogInfo(std::string("[host] run ") + KindName(request.kind) + " image=" + request.image.key +
                     " items=" + std::to_string(request.items.size()) + " wishlist:" + wishlist +
                     " dry-run=" + (request.dryRun ? "1" : "0"));
    if (thrower == L"run") throw std::runtime_error(kThrown);
    progress("正在下载系统镜像...", 40);
    if (holdRun) WaitForRelease(kRunEvent, reportBytes ? DownloadAtSteadySpeed(bytes) : std::function<void()>());
    if (reportBytes) bytes({});
    pl::ui::RunOutcome outcome;
    outcome.ok = runResult.empty() || runResult == L"ok";
    if (!outcome.ok) outcome.error = "下载系统镜像失败";
    if (runResult == L"fail-session") outcome.sessionId = "s-42";
    outcome.imageEdition = edition;
    outcome.backupPath = L"D:\\$PelloraData$\\backup.wim";
    return outcome;
  };
  const int usbCount = has(kUsbDrives) ? std::stoi(value(kUsbDrives)) : 0;
  const bool holdUsb = has(kHoldUsb);
  const bool pulled = has(kUsbPulled);
  const bool noSystemDisk = has(kUsbNoSystemDisk);
  auto scans = std::make_shared<std::atomic<int>>(0);
  seams.listUsbDrives = [=] {
    if (thrower == L"usb") throw std::runtime_error(kThrown);
    const bool later = scans->fetch_add(1) > 0 && pulled;
    if (later) {
      WaitForRelease(kUsbLaterEvent);
    } else if (holdUsb) {
      WaitForRelease(kUsbEvent);
    }
    pl::ui::UsbDriveList list;
    if (noSystemDisk) list.notice = pl::usb::kSystemDiskUnknownNotice;
    for (int i = later ? 1 : 0; i < usbCount && !noSystemDisk; ++i) {
      list.drives.push_back({2 + i, "SanDisk Ultra " + std::to_string(i + 1), 28.64 + i});
    }
    return list;
  };
  auto retries = std::make_shared<std::atomic<int>>(value(kAi) == L"retry" ? 1 : 0);
  seams.runAiDiagnosis = [retries](HWND, const pl::ui::AiRequest& request) {
    const bool retry = retries->fetch_sub(1) > 0;
    pl::log::LogInfo("[host] AI dialog session=" + request.sessionId + " error=" + request.errorMessage +
                     " retry=" + (retry ? "1" : "0"));
    return retry;
  };
  seams.buildDiagnosticText = [] { return std::string("diagnostics"); };
  const bool restartFails = value(kRestart) == L"fail";
  seams.restartWindows = [restartFails] {
    pl::log::LogInfo("[host] restart");
    SetLastError(restartFails ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    return !restartFails;
  };
  if (has(kThreadFail)) {
    // Only the start-up thread is created (none with "all"); every later thread fails as when the process runs out
    // of resources.
    auto first = std::make_shared<std::atomic<bool>>(value(kThreadFail) != L"all");
    auto live = seams.startThread;
    seams.startThread = [first, live](std::function<void()> body) {
      if (first->exchange(false)) return live(std::move(body));
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    };
  }

  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  const int result = pl::ui::RunMainWindow(instance, showCommand, has(kDryRun), seams);
  Gdiplus::GdiplusShutdown(gdiplusToken);
  return result;
}
