#include "usb/usb_boot_files.h"

#include <windows.h>

#include "base/system_paths.h"
#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::usb {
namespace {

using base::WideToUtf8;

struct StoreEdit {
  std::wstring arguments;      // after the "/store" prefix
  const char* warning = nullptr;  // null: the edit is required
};

std::vector<StoreEdit> StoreEdits(wchar_t bootLetter, const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                                  bool uefi) {
  const std::wstring drive = std::wstring(1, bootLetter) + L":";
  const std::wstring ramdisk = L"ramdisk=[" + drive + L"]" + peWimPath + L",{ramdiskoptions}";
  std::vector<StoreEdit> edits = {
      {L"/create {ramdiskoptions} /d \"Ramdisk Options\""},
      {L"/set {ramdiskoptions} ramdisksdidevice partition=" + drive},
      {L"/set {ramdiskoptions} ramdisksdipath " + bootSdiPath},
      {L"/set {default} device " + ramdisk},
      {L"/set {default} osdevice " + ramdisk},
      {L"/set {default} path " +
       std::wstring(uefi ? L"\\Windows\\System32\\boot\\winload.efi" : L"\\Windows\\System32\\boot\\winload.exe")},
      {L"/set {default} systemroot \\Windows"},
      {L"/set {default} winpe yes"},
  };
  if (!uefi) edits.push_back({L"/set {default} detecthal yes"});
  edits.push_back({L"/set {default} bootmenupolicy Legacy", "设置 U 盘引导菜单风格失败，不影响 U 盘启动本身"});
  edits.push_back({L"/set {bootmgr} timeout 0", "设置 U 盘引导菜单等待时间失败，不影响 U 盘启动本身"});
  return edits;
}

// RunBcdedit's behaviour, with the tool's output on a line of its own in the failure.
bool RunStoreBcdedit(const std::wstring& arguments) {
  log::LogInfo("bcdedit " + WideToUtf8(arguments));
  const tools::ToolRunResult run = tools::RunSystemTool(L"bcdedit.exe", arguments, 0);
  if (!run.started) {
    log::LogError("启动 bcdedit 失败");
    return false;
  }
  if (run.exitCode != 0) {
    log::LogError("bcdedit 执行失败, exitCode=" + std::to_string(run.exitCode) + "\n" + run.output);
    return false;
  }
  return true;
}

}  // namespace

bool ConfigureUsbBcdStore(const std::wstring& storePath, wchar_t bootLetter, const std::wstring& peWimPath,
                          const std::wstring& bootSdiPath, bool uefi) {
  const std::wstring prefix = L"/store \"" + storePath + L"\" ";
  for (const StoreEdit& edit : StoreEdits(bootLetter, peWimPath, bootSdiPath, uefi)) {
    if (RunStoreBcdedit(prefix + edit.arguments)) continue;
    if (edit.warning == nullptr) return false;
    log::LogWarn(edit.warning);
  }
  return true;
}

bool WriteUsbBootFiles(wchar_t bootLetter, const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                       bool dryRun) {
  const std::wstring arguments = base::WindowsDirectoryPath() + L" /s " + bootLetter + L": /f ALL";
  log::LogInfo("bcdboot " + WideToUtf8(arguments));
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际写引导");
    return true;
  }
  const tools::ToolRunResult run = tools::RunSystemTool(L"bcdboot.exe", arguments, 0);
  if (!run.started || run.exitCode != 0) {
    log::LogError("bcdboot 生成 U 盘引导文件失败, exitCode=" + std::to_string(run.exitCode) + "\n" + run.output);
    return false;
  }
  const std::wstring drive = std::wstring(1, bootLetter) + L":";
  const bool bios = ConfigureUsbBcdStore(drive + L"\\Boot\\BCD", bootLetter, peWimPath, bootSdiPath, false);
  if (!bios) log::LogWarn("BIOS 引导项改写失败（UEFI 电脑不受影响）");
  const bool uefi = ConfigureUsbBcdStore(drive + L"\\EFI\\Microsoft\\Boot\\BCD", bootLetter, peWimPath, bootSdiPath,
                                         true);
  if (!uefi) log::LogWarn("UEFI 引导项改写失败（BIOS/Legacy 电脑不受影响）");
  return bios || uefi;
}

}  // namespace pl::usb
