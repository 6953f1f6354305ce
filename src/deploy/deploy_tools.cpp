#include "deploy/deploy_tools.h"

#include <windows.h>

#include <cctype>
#include <vector>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::deploy {
namespace {

using base::Utf8ToWide;

constexpr size_t kExcerptLines = 20;
constexpr size_t kDismLogTailBytes = 16384;

std::wstring Drive(wchar_t letter) { return std::wstring(1, letter) + L":"; }

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The start of the run of digits that ends at `end`.
size_t DigitsStart(std::string_view text, size_t end) {
  while (end > 0 && IsDigit(text[end - 1])) --end;
  return end;
}

std::string LastLines(const std::string& text, size_t count) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!base::TrimBlanks(line).empty()) lines.push_back(line);
    start = end + 1;
  }
  std::string tail;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) tail += lines[i] + "\n";
  return tail;
}

std::string DismLogTail() {
  const std::wstring windows = base::WindowsDirectoryPath();
  if (windows.empty()) return {};
  const std::wstring path = windows + L"\\Logs\\DISM\\dism.log";
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  LARGE_INTEGER size{};
  std::string bytes;
  if (GetFileSizeEx(file.get(), &size)) {
    const LONGLONG start = size.QuadPart > static_cast<LONGLONG>(kDismLogTailBytes)
                               ? size.QuadPart - static_cast<LONGLONG>(kDismLogTailBytes)
                               : 0;
    LARGE_INTEGER offset{};
    offset.QuadPart = start;
    bytes.resize(static_cast<size_t>(size.QuadPart - start));
    DWORD got = 0;
    if (SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN) &&
        ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
      bytes.resize(got);
    } else {
      bytes.clear();
    }
  }
  return LastLines(bytes, kExcerptLines);
}

}  // namespace

std::wstring FormatArguments(wchar_t letter) { return Drive(letter) + L" /FS:NTFS /Q /X /Y /V:Windows"; }

std::wstring ApplyArguments(const std::string& imagePath, int32_t index, wchar_t letter) {
  return L"/Apply-Image /ImageFile:\"" + Utf8ToWide(imagePath) + L"\" /Index:" + std::to_wstring(index) +
         L" /ApplyDir:" + Drive(letter) + L"\\";
}

std::wstring BcdbootArguments(wchar_t letter, const std::string& firmware, wchar_t systemLetter) {
  std::wstring arguments = Drive(letter) + L"\\Windows";
  if (systemLetter == 0) return arguments;
  const wchar_t* kind = firmware == "UEFI" ? L"UEFI" : firmware == "BIOS" ? L"BIOS" : L"ALL";
  return arguments + L" /s " + Drive(systemLetter) + L" /f " + kind;
}

std::wstring AddDriverArguments(wchar_t letter, const std::string& driverDirectory) {
  return L"/Image:" + Drive(letter) + L"\\ /Add-Driver /Driver:\"" + Utf8ToWide(driverDirectory) + L"\" /Recurse";
}

std::wstring CaptureArguments(const std::string& wimPath, wchar_t letter, const std::string& name,
                              const std::string& configFile) {
  return L"/Capture-Image /ImageFile:\"" + Utf8ToWide(wimPath) + L"\" /CaptureDir:" + Drive(letter) +
         L"\\ /Name:\"" + Utf8ToWide(name) + L"\" /ConfigFile:\"" + Utf8ToWide(configFile) + L"\"";
}

int LastPercent(std::string_view text) {
  for (size_t at = text.rfind('%'); at != std::string_view::npos && at > 0; at = text.rfind('%', at - 1)) {
    size_t integerEnd = at;
    const size_t digits = DigitsStart(text, at);
    if (digits < at && digits > 0 && text[digits - 1] == '.') integerEnd = digits - 1;
    const size_t integerStart = DigitsStart(text, integerEnd);
    const size_t length = integerEnd - integerStart;
    if (length >= 1 && length <= 3) {
      const int value = std::stoi(std::string(text.substr(integerStart, length)));
      if (value <= 100) return value;
    }
  }
  return -1;
}

ToolRun RunDeployTool(const std::wstring& tool, const std::wstring& arguments, bool dryRun,
                      const std::function<void(int percent)>& onPercent) {
  const std::wstring name = tool.substr(0, tool.find(L'.'));
  log::LogInfo(base::WideToUtf8(name + L" " + arguments));
  ToolRun run;
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际执行");
    run.ok = true;
    return run;
  }
  // Progress bars come in pieces: the tail of what arrived is kept to find the last whole percentage.
  std::string recent;
  int lastPercent = -1;
  const tools::ToolRunResult result = tools::RunSystemTool(
      tool, arguments, 0, {}, [&](std::string_view bytes) {
        recent.append(bytes);
        if (recent.size() > 4096) recent.erase(0, recent.size() - 256);
        const int percent = LastPercent(recent);
        if (percent >= 0 && percent != lastPercent) {
          lastPercent = percent;
          if (onPercent) onPercent(percent);
        }
      });
  run.output = result.output;
  // Without the progress bars, which leave their line ends behind.
  const std::string cleaned = log::CleanMessage(result.output);
  const std::string_view shown = base::TrimWhitespace(cleaned);
  if (!shown.empty()) log::LogInfo(shown);
  if (!result.started) {
    log::LogError("启动 " + base::WideToUtf8(name) + " 失败");
    return run;
  }
  if (result.exitCode != 0) {
    log::LogError(base::WideToUtf8(name) + " 执行失败, exitCode=" + std::to_string(result.exitCode));
    return run;
  }
  run.ok = true;
  return run;
}

std::string FailureExcerpt(const std::string& output, bool dism) {
  std::string excerpt = LastLines(log::CleanMessage(output), kExcerptLines);
  if (dism) {
    const std::string tail = DismLogTail();
    if (!tail.empty()) excerpt += "--- dism.log ---\n" + tail;
  }
  return excerpt;
}

}  // namespace pl::deploy
