#include "inspect/diagnostics.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::inspect {
namespace {

std::tm CurrentLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_s(&local, &now);
  return local;
}

std::wstring DesktopDirectory() {
  wchar_t path[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
  return path;
}

// The whole file as it is on disk now (other threads may still be appending to it); false when it cannot be opened.
bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got > 0) bytes->append(block, got);
  return true;
}

enum class TailRead { kRead, kMissing, kLink };

// The last kMaxLogTail bytes of a log that a local account may write or replace: the file and its folder must be
// no link (a link could lead to a file only administrators may read), nor the file one of several hard links.
// Returns how many bytes before the tail were left out in `skipped`.
TailRead ReadLogTail(const std::wstring& path, std::string* bytes, uint64_t* skipped) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos && base::IsLink(path.substr(0, slash))) return TailRead::kLink;
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return TailRead::kMissing;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return TailRead::kMissing;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) return TailRead::kLink;
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  *skipped = size > kMaxLogTail ? size - kMaxLogTail : 0;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(*skipped);
  if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return TailRead::kMissing;
  char block[65536];
  DWORD got = 0;
  while (bytes->size() < kMaxLogTail &&
         ReadFile(file.get(), block, static_cast<DWORD>(std::min<size_t>(sizeof block, kMaxLogTail - bytes->size())),
                  &got, nullptr) &&
         got > 0) {
    bytes->append(block, got);
  }
  // The tail starts with the first whole line.
  if (*skipped > 0) {
    const size_t lf = bytes->find('\n');
    const size_t cut = lf == std::string::npos ? 0 : lf + 1;
    bytes->erase(0, cut);
    *skipped += cut;
  }
  return TailRead::kRead;
}

void AppendContent(std::string* text, const std::string& content) {
  *text += content;
  if (content.empty() || content.back() != '\n') *text += "\r\n";
}

void AppendSectionHead(std::string* text, const std::string& title, const std::wstring& path) {
  *text += "\r\n===== " + title + " (" + base::WideToUtf8(path) + ") =====\r\n";
}

void AppendLogSection(std::string* text, const std::string& title, const std::wstring& path) {
  AppendSectionHead(text, title, path);
  std::string content;
  if (!ReadWholeFile(path, &content)) {
    *text += "[未找到这份文件，跳过]\r\n";
    return;
  }
  AppendContent(text, content);
}

// A log of the deployer or the new system's set-up: its tail only, never through a link.
void AppendLogTailSection(std::string* text, const std::string& title, const std::wstring& path) {
  AppendSectionHead(text, title, path);
  std::string content;
  uint64_t skipped = 0;
  switch (ReadLogTail(path, &content, &skipped)) {
    case TailRead::kMissing:
      *text += "[未找到这份文件，跳过]\r\n";
      return;
    case TailRead::kLink:
      *text += "[这份文件或它所在的文件夹是链接，跳过]\r\n";
      return;
    case TailRead::kRead:
      break;
  }
  if (skipped > 0) {
    *text += "[文件较大，只附最后 " + std::to_string(kMaxLogTail >> 20) + " MiB，前面 " + std::to_string(skipped) +
             " 字节已略去]\r\n";
  }
  AppendContent(text, content);
}

}  // namespace

std::string ComposeDiagnosticText(const DiagnosticParts& parts) {
  const std::tm& t = parts.generatedAt;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  std::string text = std::string(base::kProductName) + " 诊断信息\r\n";
  text += "生成时间：" + std::string(stamp) + "\r\n";
  text += "客户端版本：" + parts.version + "\r\n";
  text += "\r\n===== 系统信息 =====\r\n";
  const EnvironmentSummary& s = parts.summary;
  const std::pair<const char*, const std::string*> facts[] = {
      {"当前系统：", &s.osText},          {"CPU型号：", &s.cpuText},         {"物理内存：", &s.memoryText},
      {"系统盘符：", &s.systemDriveText}, {"分区类型：", &s.partitionText},  {"安全启动：", &s.secureBootText},
      {"主板型号：", &s.motherboardText}, {"硬盘信息：", &s.diskText},       {"网络状态：", &s.networkText}};
  for (const auto& [label, value] : facts) text += std::string(label) + *value + "\r\n";

  AppendLogSection(&text, "pl_host_gui.log", parts.logDirectory + L"\\pl_host_gui.log");
  AppendLogSection(&text, "pl_host.log", parts.logDirectory + L"\\pl_host.log");
  if (parts.stagingPeLog.empty()) {
    text += "\r\n===== pl_pe.log =====\r\n[未在任何固定分区上找到暂存区日志，可能已被清理或本次没有走 PE 流程]\r\n";
  } else {
    AppendLogTailSection(&text, "pl_pe.log", parts.stagingPeLog);
  }
  if (!parts.systemDrive.empty() && parts.systemDrive.size() < MAX_PATH) {
    const std::wstring directory = parts.systemDrive + L"\\Windows\\Setup\\Scripts\\pl";
    AppendLogTailSection(&text, "pl_setup.log", directory + L"\\pl_setup.log");
    AppendLogTailSection(&text, "setupcomplete.log", directory + L"\\setupcomplete.log");
  }
  return text;
}

std::string BuildDiagnosticText(const std::string& version) {
  DiagnosticParts parts;
  parts.version = version;
  parts.generatedAt = CurrentLocalTime();
  parts.summary = GatherEnvironmentSummary();
  parts.logDirectory = log::GetLogDirectory();
  parts.stagingPeLog = FindStagingPeLog();
  parts.systemDrive = base::ReadEnvironmentVariable(L"SystemDrive");
  return ComposeDiagnosticText(parts);
}

std::wstring FindStagingPeLog() {
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!((drives >> (letter - L'A')) & 1u)) continue;
    if (GetDriveTypeW(base::DriveRoot(letter).c_str()) != DRIVE_FIXED) continue;
    const std::wstring path = std::wstring(1, letter) + L":\\$PelloraData$\\pl_pe.log";
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return path;
  }
  return {};
}

std::wstring WriteDiagnosticFile(const std::string& version, const DiagnosticFileSources& sources) {
  const std::string text = sources.buildText(version);
  // Taken apart from the time inside the text, so the two may differ by a second.
  const std::tm t = sources.localTime ? sources.localTime() : CurrentLocalTime();
  std::wstring directory = sources.desktopDirectory ? sources.desktopDirectory() : DesktopDirectory();
  if (directory.empty()) directory = L".";
  wchar_t stamp[32];
  std::swprintf(stamp, 32, L"%04d%02d%02d_%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec);
  const std::wstring path = directory + L"\\" + base::kProductNameW + L"诊断信息_" + stamp + L".txt";

  base::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    log::LogWarn("生成诊断信息文件失败（打不开输出路径）: " + base::WideToUtf8(path));
    return {};
  }
  const std::string bytes = "\xEF\xBB\xBF" + text;
  DWORD written = 0;
  const bool wrote =
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  // A file cut short (a full disk) is not handed out as the diagnostics.
  if (!file.close() || !wrote) {
    DeleteFileW(path.c_str());
    log::LogWarn("生成诊断信息文件失败（写入失败）: " + base::WideToUtf8(path));
    return {};
  }
  log::LogInfo("已生成诊断信息文件: " + base::WideToUtf8(path));
  return path;
}

}  // namespace pl::inspect
