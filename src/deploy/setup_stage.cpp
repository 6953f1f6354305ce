#include "deploy/setup_stage.h"

#include <windows.h>
#include <knownfolders.h>

#include <ctime>
#include <vector>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/secure_directory.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "deploy/deploy_machine.h"
#include "install/self_install.h"
#include "log/log.h"
#include "reporting/report_session.h"
#include "tools/tool_runner.h"

namespace pl::deploy {
namespace {

using base::Utf8ToWide;
using base::WideToUtf8;

constexpr char kHookLine[] = "@\"%~dp0pl\\pl_pe.exe\" --setup & exit /b 0";
constexpr wchar_t kOriginalHook[] = L"SetupComplete.original.cmd";
constexpr wchar_t kWishlistFile[] = L"原系统软件清单.txt";
constexpr int32_t kKeyTimeLimitMs = 2 * 60 * 1000;
constexpr int32_t kOriginalHookTimeLimitMs = 30 * 60 * 1000;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

std::string LastError() { return ", GetLastError=" + std::to_string(GetLastError()); }

// Exactly these bytes, replacing the file (a script must not start with a byte-order mark).
bool WriteBytes(const std::wstring& path, const std::string& bytes, DWORD disposition = CREATE_ALWAYS) {
  base::UniqueFileHandle file =
      base::CreateFileNoLink(path, disposition == OPEN_ALWAYS ? FILE_APPEND_DATA : GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, FILE_ATTRIBUTE_NORMAL);
  DWORD written = 0;
  return file && (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                               nullptr) &&
                                     written == bytes.size())) &&
         file.close();
}

// "setupcomplete.log": what the hook did, in the log's own line format.
void HookLog(const std::wstring& folder, log::Level level, const std::string& message) {
  log::Log(level, message);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  WriteBytes(folder + L"\\setupcomplete.log", log::FormatLine(local, level, log::CleanMessage(message)) + "\r\n",
             OPEN_ALWAYS);
}

bool SetupHasWork(const FoundTask& found, const std::wstring& staging) {
  return (!found.task.isRestore && !found.task.oemProductKey.empty()) || !found.items.empty() ||
         Exists(staging + L"\\software_wishlist.ini") || Exists(staging + L"\\Kavrin.exe");
}

// Only a plain file name may come from the catalog: the file is run as SYSTEM.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:") == std::string::npos;
}

std::string KeyTail(const std::string& key) { return key.size() > 5 ? key.substr(key.size() - 5) : key; }

void Event(const std::string& session, const char* stage, const char* status, const std::string& message = {}) {
  reporting::ReportStageEvent(session, stage, status, -1, message);
}

void Warn(const std::string& session, const char* stage, const std::string& message, const std::string& excerpt) {
  log::LogWarn(message);
  reporting::ReportError(session, stage, message, excerpt);
}

void InstallKey(const std::string& session, const std::string& key) {
  if (key.empty()) {
    log::LogInfo("没有要安装的产品密钥");
    return;
  }
  Event(session, "setup_product_key", "started");
  log::LogInfo("安装产品密钥（slmgr.vbs /ipk，密钥尾号 " + KeyTail(key) + "）");
  const std::wstring slmgr = base::SystemDirectoryPath() + L"\\slmgr.vbs";
  const tools::ToolRunResult run =
      tools::RunSystemTool(L"cscript.exe", L"//nologo \"" + slmgr + L"\" /ipk " + Utf8ToWide(key), kKeyTimeLimitMs);
  if (run.started && run.exitCode == 0) {
    log::LogInfo("产品密钥已安装");
    Event(session, "setup_product_key", "success");
    return;
  }
  const std::string message = "安装产品密钥失败, exitCode=" + std::to_string(run.exitCode);
  Event(session, "setup_product_key", "failed", message);
  Warn(session, "setup_product_key", message, run.output);
}

// Downloaded (resumed and checked as the host downloads) and run with its parameters; a failure skips the item.
bool InstallItem(const SetupOptions& options, const std::string& session, const std::wstring& downloads,
                 const config::InstallItem& item) {
  const std::string name = item.displayName.empty() ? item.fileName : item.displayName;
  if (!PlainFileName(item.fileName)) {
    Warn(session, "setup_software", "软件 " + name + " 的文件名不是单纯的文件名，跳过: " + item.fileName, "");
    return false;
  }
  const std::wstring path = downloads + L"\\" + Utf8ToWide(item.fileName);
  log::LogInfo("下载 " + name + ": " + item.url);
  std::string error;
  const net::DownloadJob job = {.url = Utf8ToWide(item.url), .path = path, .md5 = item.md5, .label = name};
  if (!net::DownloadVerified(job, {}, &error, options.retryPause)) {
    Warn(session, "setup_software", "下载 " + name + " 失败，跳过: " + error, "");
    return false;
  }
  const bool msi = item.fileName.size() > 4 && base::AsciiLower(item.fileName.substr(item.fileName.size() - 4)) == ".msi";
  const std::wstring program = msi ? tools::SystemToolPath(L"msiexec.exe") : path;
  std::wstring arguments = msi ? L"/i \"" + path + L"\"" : L"";
  if (!item.params.empty()) arguments += (arguments.empty() ? L"" : L" ") + Utf8ToWide(item.params);
  log::LogInfo("安装 " + name + ": " + WideToUtf8(tools::BuildCommandLine(program, arguments)));
  const tools::LaunchResult run = tools::RunToolAndWait(program, arguments, downloads, options.installTimeLimitMs);
  if (!run.started) {
    Warn(session, "setup_software", "启动 " + name + " 的安装程序失败" + LastError(), "");
    return false;
  }
  if (run.timedOut) {
    Warn(session, "setup_software",
         name + " 的安装程序超过 " + std::to_string(options.installTimeLimitMs / 60000) + " 分钟没有结束，已终止", "");
    return false;
  }
  const std::string ended = name + " 的安装程序结束, exitCode=" + std::to_string(run.exitCode);
  if (run.exitCode != 0) {
    Warn(session, "setup_software", ended, "");
    return false;
  }
  log::LogInfo(ended);
  return true;
}

void InstallItems(const SetupOptions& options, const std::string& session, const std::wstring& folder,
                  const std::vector<config::InstallItem>& items) {
  if (items.empty()) {
    log::LogInfo("没有要安装的软件");
    return;
  }
  Event(session, "setup_software", "started");
  const std::wstring downloads = folder + L"\\downloads";
  base::CreateDirectoryTree(downloads);
  size_t failed = 0;
  for (const config::InstallItem& item : items) failed += InstallItem(options, session, downloads, item) ? 0 : 1;
  log::LogInfo("软件安装结束: " + std::to_string(items.size() - failed) + " 个装上，" + std::to_string(failed) +
               " 个没装上");
  if (failed == 0) {
    Event(session, "setup_software", "success");
  } else {
    Event(session, "setup_software", "failed", std::to_string(failed) + " 个软件没有装上");
  }
}

void InstallProgram(const SetupOptions& options, const std::string& session, const std::wstring& folder) {
  const std::wstring program = folder + L"\\" + install::kInstalledExeName;
  if (!Exists(program)) {
    log::LogInfo("没有 Kavrin.exe，跳过安装本程序");
    return;
  }
  Event(session, "setup_self_install", "started");
  std::string error;
  const bool installed = options.selfInstall
                             ? options.selfInstall(program, &error)
                             : install::SelfInstall(program, base::kClientVersion, &error);
  if (installed) {
    log::LogInfo("已安装 Kavrin.exe（桌面快捷方式和卸载项）");
    Event(session, "setup_self_install", "success");
    return;
  }
  Event(session, "setup_self_install", "failed", error);
  Warn(session, "setup_self_install", "安装 Kavrin.exe 失败: " + error, "");
}

// The old system's programs that no item covered, as a short text on the public desktop.
void PutWishlist(const SetupOptions& options, const std::string& session, const std::wstring& folder) {
  std::string bytes;
  if (!ReadWholeFile(folder + L"\\software_wishlist.ini", &bytes)) {
    log::LogInfo("没有软件清单，桌面上不放清单文件");
    return;
  }
  Event(session, "setup_wishlist", "started");
  std::string text = "下面这些软件是原来的系统里装过、这次没有自动装上的，需要的话请自行下载安装：\r\n\r\n";
  size_t count = 0;
  for (const pipeline::HandOverSection& section : pipeline::ParseHandOverText(bytes)) {
    if (section.name != "wishlist") continue;
    for (const auto& [key, value] : section.pairs) {
      if (key.rfind("item", 0) != 0) continue;
      text += value + "\r\n";
      ++count;
    }
  }
  const std::wstring desktop =
      options.publicDesktop.empty() ? base::KnownFolderPath(FOLDERID_PublicDesktop) : options.publicDesktop;
  const std::wstring path = desktop + L"\\" + kWishlistFile;
  if (!desktop.empty() && WriteBytes(path, "\xEF\xBB\xBF" + text)) {
    log::LogInfo("已把 " + std::to_string(count) + " 项软件清单放到公共桌面: " + WideToUtf8(path));
    Event(session, "setup_wishlist", "success");
    return;
  }
  const std::string message = "软件清单没能放到公共桌面: " + WideToUtf8(path) + LastError();
  Event(session, "setup_wishlist", "failed", message);
  Warn(session, "setup_wishlist", message, "");
}

// The hook goes: what the image had there comes back and runs, or the hook is simply deleted. The cmd running the
// hook may hold its file open (Wine's does, for the whole script): the original is written over the hook in place
// rather than renamed onto it, and a hook that cannot be deleted now is emptied and goes at the next restart.
void RemoveHook(const std::wstring& folder) {
  const std::wstring scripts = Parent(folder);
  const std::wstring hook = scripts + L"\\SetupComplete.cmd";
  const std::wstring original = folder + L"\\" + kOriginalHook;
  std::string script;
  if (!ReadWholeFile(original, &script)) {
    if (DeleteFileW(hook.c_str())) {
      HookLog(folder, log::Level::Info, "已删除本程序挂的 SetupComplete.cmd 钩子");
    } else if (WriteBytes(hook, "") && MoveFileExW(hook.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      HookLog(folder, log::Level::Info, "SetupComplete.cmd 钩子正被占用，已清空，下次重启时删除");
    } else {
      HookLog(folder, log::Level::Warn, "删除 SetupComplete.cmd 钩子失败: " + WideToUtf8(hook) + LastError());
    }
    return;
  }
  if (!WriteBytes(hook, script)) {
    HookLog(folder, log::Level::Warn, "放回镜像原有的 SetupComplete.cmd 失败" + LastError());
    return;
  }
  DeleteFileW(original.c_str());
  HookLog(folder, log::Level::Info, "已把镜像原有的 SetupComplete.cmd 放回原处，现在执行它");
  const tools::ToolRunResult run = tools::RunToolCaptured(
      tools::SystemToolPath(L"cmd.exe"), L"/d /c \"" + hook + L"\"", scripts, kOriginalHookTimeLimitMs);
  const std::string output(base::TrimWhitespace(run.output));
  HookLog(folder, run.started && run.exitCode == 0 ? log::Level::Info : log::Level::Warn,
          "镜像原有的 SetupComplete.cmd 执行结束, exitCode=" + std::to_string(run.exitCode) +
              (output.empty() ? "" : "，输出: " + output));
}

// Whatever cannot go now (an installer that left a process running from there, a file not yet released) goes at
// the next restart.
void ScheduleRemoval(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ScheduleRemoval(path + L"\\" + name);
      } else {
        MoveFileExW((path + L"\\" + name).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      }
    } while (FindNextFileW(find.get(), &data));
  }
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveDownloads(const std::wstring& downloads) {
  if (!Exists(downloads)) return;
  if (!base::DeleteTree(downloads)) ScheduleRemoval(downloads);
  log::LogInfo("已清理下载的安装程序（还被占用的重启后删除）");
}

}  // namespace

std::string SetupHookText() {
  return "@rem Pellora: the new system's setup stage, run once; it puts back what was here before.\r\n" +
         std::string(kHookLine) + "\r\n";
}

bool IsSetupHook(std::string_view scriptBytes) { return scriptBytes.find(kHookLine) != std::string_view::npos; }

bool PrepareSetupStage(wchar_t target, const FoundTask& found, const std::wstring& program, bool dryRun,
                       std::string* error) {
  const pipeline::DeployTask& task = found.task;
  const std::wstring staging = Utf8ToWide(task.stagingDir);
  const std::wstring root = base::DriveRoot(target);
  const std::wstring folder = root + kSetupFolder;
  if (!SetupHasWork(found, staging)) {
    log::LogInfo("新系统首次启动没有要做的事（没有密钥、软件、清单和 Kavrin.exe），不挂 SetupComplete.cmd");
    return true;
  }
  pipeline::DeployTask setup;  // what the stage reads: the session, the key and the items
  setup.sessionId = task.sessionId;
  setup.osDisplayName = task.osDisplayName;
  if (!task.isRestore) setup.oemProductKey = task.oemProductKey;
  std::vector<std::pair<std::wstring, std::wstring>> copies = {{program, folder + L"\\pl_pe.exe"}};
  for (const wchar_t* name : {L"software_wishlist.ini", L"Kavrin.exe"}) {
    if (Exists(staging + L"\\" + name)) copies.emplace_back(staging + L"\\" + name, folder + L"\\" + name);
  }
  log::LogInfo("新系统首次启动设置放进 " + WideToUtf8(folder) + ": " + std::to_string(found.items.size()) +
               " 个软件，" + (setup.oemProductKey.empty() ? "没有" : "有") + "产品密钥，" +
               std::to_string(copies.size() - 1) + " 个随带文件");
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过写入新系统首次启动设置和 SetupComplete.cmd 钩子");
    return true;
  }
  // The new system's SetupComplete.cmd runs what lies here as SYSTEM: administrators only, whatever was there.
  const base::FolderProtection protection =
      base::CreateDirectoryTree(Parent(folder)) ? base::CreateOrProtectDirectory(folder)
                                                : base::FolderProtection{GetLastError(), folder};
  if (!protection.ok()) {
    *error = "创建 " + WideToUtf8(folder) + " 失败, GetLastError=" + std::to_string(protection.error);
    return false;
  }
  for (const auto& [from, to] : copies) {
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
      *error = "复制 " + WideToUtf8(from) + " 失败" + LastError();
      return false;
    }
  }
  if (!pipeline::WriteTaskFile(folder + L"\\setup.ini", setup, found.items)) {
    *error = "写 setup.ini 失败";
    return false;
  }
  const std::wstring hook = root + L"Windows\\Setup\\Scripts\\SetupComplete.cmd";
  std::string existing;
  if (ReadWholeFile(hook, &existing) && !IsSetupHook(existing)) {
    if (!MoveFileExW(hook.c_str(), (folder + L"\\" + kOriginalHook).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      *error = "挪开镜像原有的 SetupComplete.cmd 失败" + LastError();
      return false;
    }
    log::LogInfo("镜像里原有的 SetupComplete.cmd 先挪到 " + WideToUtf8(folder + L"\\" + kOriginalHook) +
                 "，首次启动设置做完后放回原处并执行");
  }
  if (!WriteBytes(hook, SetupHookText())) {
    *error = "写 SetupComplete.cmd 失败" + LastError();
    return false;
  }
  log::LogInfo("已挂上 SetupComplete.cmd: " + WideToUtf8(hook));
  return true;
}

int RunSetupStage(const SetupOptions& options) {
  const std::wstring folder = options.folder.empty() ? Parent(base::ModuleFilePath()) : options.folder;
  log::SetLogFile(folder + L"\\pl_setup.log");
  HookLog(folder, log::Level::Info, "SetupComplete.cmd 启动了新系统首次启动设置: pl_pe.exe --setup");
  FoundTask setup;
  std::string bytes, error;
  int exitCode = 0;
  if (!ReadWholeFile(folder + L"\\setup.ini", &bytes) || !ParseTaskText(bytes, &setup.task, &setup.items, &error)) {
    log::LogError("读不了 setup.ini，首次启动设置不做了: " + WideToUtf8(folder) + "\\setup.ini " + error);
    exitCode = 1;
  } else {
    const std::string& session = setup.task.sessionId;
    log::LogInfo("新系统: " + setup.task.osDisplayName + "，上报 session: " + (session.empty() ? "无" : session));
    InstallKey(session, setup.task.oemProductKey);
    InstallItems(options, session, folder, setup.items);
    InstallProgram(options, session, folder);
    PutWishlist(options, session, folder);
    Event(session, "setup_finish", "success");
  }
  RemoveHook(folder);
  // The key is in it; the installers are done with.
  DeleteFileW((folder + L"\\setup.ini").c_str());
  RemoveDownloads(folder + L"\\downloads");
  HookLog(folder, log::Level::Info, "新系统首次启动设置结束，退出码 " + std::to_string(exitCode));
  return exitCode;
}

}  // namespace pl::deploy
