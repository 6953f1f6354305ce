#include "inspect/diagnostics.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>

#include "base/constants.h"
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

void AppendLogSection(std::string* text, const std::string& title, const std::wstring& path) {
  *text += "\r\n===== " + title + " (" + base::WideToUtf8(path) + ") =====\r\n";
  std::string content;
  if (!ReadWholeFile(path, &content)) {
    *text += "[未找到这份文件，跳过]\r\n";
    return;
  }
  *text += content;
  if (content.empty() || content.back() != '\n') *text += "\r\n";
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
    AppendLogSection(&text, "pl_pe.log", parts.stagingPeLog);
  }
  if (!parts.systemDrive.empty() && parts.systemDrive.size() < MAX_PATH) {
    const std::wstring directory = parts.systemDrive + L"\\Windows\\Setup\\Scripts\\pl";
    AppendLogSection(&text, "pl_setup.log", directory + L"\\pl_setup.log");
    AppendLogSection(&text, "setupcomplete.log", directory + L"\\setupcomplete.log");
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
