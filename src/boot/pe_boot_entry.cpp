#include "boot/pe_boot_entry.h"

#include <windows.h>

#include <vector>

#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::boot {
namespace {

constexpr char kDryRunEntryId[] = "{00000000-0000-0000-0000-000000000000}";

struct BcdeditStep {
  std::wstring arguments;
  const char* message;  // the error of a required step, the warning of an optional one
};

std::vector<BcdeditStep> RequiredSettings(const std::wstring& entry, const DevicePath& sdi, const DevicePath& pe,
                                          disks::FirmwareType firmware) {
  const bool uefi = firmware == disks::FirmwareType::Uefi;
  // The device part without its brackets: "[D:]" -> "D:".
  const std::wstring sdiDevice = sdi.device.substr(1, sdi.device.size() - 2);
  const std::wstring ramdisk = L"ramdisk=" + pe.device + pe.rest + L",{ramdiskoptions}";
  std::vector<BcdeditStep> steps = {
      {L"/set {ramdiskoptions} ramdisksdidevice partition=" + sdiDevice, "设置 ramdisksdidevice 失败"},
      {L"/set {ramdiskoptions} ramdisksdipath " + sdi.rest, "设置 ramdisksdipath 失败"},
      {L"/set " + entry + L" device " + ramdisk, "设置 device 失败"},
      {L"/set " + entry + L" osdevice " + ramdisk, "设置 osdevice 失败"},
      {L"/set " + entry + L" path " +
           (uefi ? L"\\Windows\\System32\\boot\\winload.efi" : L"\\Windows\\System32\\boot\\winload.exe"),
       "设置 path 失败"},
      {L"/set " + entry + L" systemroot \\Windows", "设置 systemroot 失败"},
      {L"/set " + entry + L" winpe yes", "设置 winpe 失败"},
      {L"/set " + entry + L" inherit {bootloadersettings}", "设置 inherit {bootloadersettings} 失败"},
  };
  // Hardware detection is a setting of the BIOS loader only.
  if (!uefi) steps.push_back({L"/set " + entry + L" detecthal yes", "设置 detecthal 失败"});
  steps.push_back({L"/displayorder " + entry + L" /addlast", "设置 displayorder 失败"});
  steps.push_back({L"/bootsequence " + entry, "设置 bootsequence 失败"});
  return steps;
}

// The PE starts without a visible menu; should power fail during the deployment, the default brings it
// back. Neither is needed for this one boot, so their failures only warn.
std::vector<BcdeditStep> OptionalSettings(const std::wstring& entry) {
  return {
      {L"/default " + entry, "设置持久默认引导项失败（不阻断本次部署，只是断电重试的安全网没生效）"},
      {L"/set " + entry + L" bootmenupolicy Legacy", "设置 PE 引导项菜单风格失败，不影响本次 PE 启动"},
      // "{default}" is resolved by the store now, after the line above moved the default.
      {L"/set {default} bootmenupolicy Legacy", "设置默认系统引导项菜单风格失败，不影响本次 PE 启动"},
      {L"/timeout 0", "设置引导菜单等待时间失败，不影响本次 PE 启动"},
  };
}

// Runs bcdedit without the wrapper: these commands fail routinely (or only read) and must not log an error.
tools::ToolRunResult RunBcdeditQuietly(const std::wstring& arguments) {
  return tools::RunSystemTool(L"bcdedit.exe", arguments, 0);
}

// An object left from an earlier run is reused; its settings are overwritten by the required steps.
void PrepareRamdiskOptions() {
  const tools::ToolRunResult create = RunBcdeditQuietly(L"/create {ramdiskoptions} /d \"Ramdisk options\"");
  if (!create.started || create.exitCode != 0) {
    log::LogInfo("{ramdiskoptions} 对象已存在（或创建失败，不影响后续，忽略）: " + create.output);
  } else {
    log::LogInfo("{ramdiskoptions} 对象原本不存在，已创建");
  }
  // A settings object in the display order would show up as a broken menu entry.
  const tools::ToolRunResult remove = RunBcdeditQuietly(L"/displayorder {ramdiskoptions} /remove");
  if (remove.started && remove.exitCode == 0) {
    log::LogWarn("{ramdiskoptions} 之前混进了开机菜单的 displayorder，已经移出（正常情况下不该发生，记一笔留意）");
  }
}

BootEntryResult Fail(std::string error, const BootDefaults& previous) {
  BootEntryResult result;
  result.error = std::move(error);
  result.previous = previous;
  return result;
}

// Read in dry-run too: it changes nothing, and the dry run then shows what an undo would put back. "/v" gives the
// default as its identifier: the alias "{current}" would name the PE itself once the deployer runs there.
BootDefaults ReadBootDefaults() {
  log::LogInfo("bcdedit /enum {bootmgr} /v");
  const tools::ToolRunResult run = RunBcdeditQuietly(L"/enum {bootmgr} /v");
  BootDefaults defaults;
  if (run.started && run.exitCode == 0) defaults = ParseBootManagerDefaults(run.output);
  const std::string defaultText = defaults.defaultId.empty() ? "未知" : defaults.defaultId;
  const std::string timeoutText =
      defaults.timeoutSeconds < 0 ? "未知" : std::to_string(defaults.timeoutSeconds) + " 秒";
  if (!defaults.defaultId.empty() && defaults.timeoutSeconds >= 0) {
    log::LogInfo("引导管理器原来的默认项: " + defaultText + "，等待时间: " + timeoutText);
  } else {
    log::LogWarn("未能完整读到引导管理器原来的默认项和等待时间（默认项: " + defaultText + "，等待时间: " + timeoutText +
                 "），撤销 PE 引导项时只能恢复读到的部分; " +
                 (run.started ? "exitCode=" + std::to_string(run.exitCode) + ", output=" + run.output
                              : std::string("bcdedit 未能启动")));
  }
  return defaults;
}

// A required step failed after the entry was made; the default and the time-out are still untouched, so deleting
// the entry undoes everything (its place in the display order and the boot sequence go with it).
BootEntryResult FailAfterCreation(const std::string& entryId, std::string error, const BootDefaults& previous,
                                  bool dryRun) {
  BootEntryResult result = Fail(std::move(error), previous);
  if (tools::RunBcdedit(L"/delete " + base::Utf8ToWide(entryId), dryRun)) {
    log::LogInfo("已删除没建完的 PE 引导项 " + entryId);
  } else {
    log::LogError("删除没建完的 PE 引导项 " + entryId + " 失败，它可能还留在开机菜单里");
    result.entryId = entryId;
  }
  return result;
}

}  // namespace

bool ProcessIsElevated() {
  base::UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
  return elevation.TokenIsElevated != 0;
}

DevicePath SplitDevicePath(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return {L"[" + path.substr(0, 2) + L"]", path.substr(2)};
  return {L"[C:]", path};
}

BootEntryResult CreatePeBootEntry(const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                                  disks::FirmwareType firmware, bool dryRun, ElevationQuery isElevated) {
  if (!dryRun) {
    if (!isElevated()) return Fail("需要管理员权限才能修改引导配置（bcdedit），请以管理员身份重新运行", {});
    if (GetFileAttributesW(bootSdiPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
      // Not fatal: the entry can still be written, and the caller may place the file afterwards.
      log::LogWarn("未找到 boot.sdi（" + base::WideToUtf8(bootSdiPath) +
                   "），ramdisk 引导需要该文件——正常情况下 HostPipeline 应该已经跟 pe.wim "
                   "一起下载好了，走到这里说明下载步骤被跳过了（比如手动调用本函数时），请检查上游调用");
    }
  }
  const DevicePath sdi = SplitDevicePath(bootSdiPath);
  const DevicePath pe = SplitDevicePath(peWimPath);
  const BootDefaults previous = ReadBootDefaults();

  std::string createOutput;
  if (!tools::RunBcdedit(L"/create /d \"Pellora PE\" /application osloader", dryRun, &createOutput)) {
    return Fail("bcdedit /create 失败", previous);
  }
  std::string entryId = kDryRunEntryId;
  if (!dryRun && !ParseEntryIdentifier(createOutput, &entryId)) {
    return Fail("未能从 bcdedit /create 输出中解析出引导项 GUID", previous);
  }
  const std::wstring entry = base::Utf8ToWide(entryId);

  if (dryRun) {
    log::LogInfo("[dry-run] 跳过创建 {ramdiskoptions}（如果尚不存在）");
  } else {
    PrepareRamdiskOptions();
  }

  for (const BcdeditStep& step : RequiredSettings(entry, sdi, pe, firmware)) {
    if (!tools::RunBcdedit(step.arguments, dryRun)) return FailAfterCreation(entryId, step.message, previous, dryRun);
  }
  for (const BcdeditStep& step : OptionalSettings(entry)) {
    if (!tools::RunBcdedit(step.arguments, dryRun)) log::LogWarn(step.message);
  }

  BootEntryResult result;
  result.ok = true;
  result.entryId = entryId;
  result.previous = previous;
  return result;
}

bool RemovePeBootEntry(const std::string& entryId, const BootDefaults& previous, bool dryRun, std::string* error) {
  log::LogInfo("撤销 PE 引导项 " + entryId + "，恢复原来的默认项和等待时间");
  std::vector<BcdeditStep> steps = {{L"/delete " + base::Utf8ToWide(entryId), "删除 PE 引导项失败"}};
  if (!previous.defaultId.empty()) {
    steps.push_back({L"/default " + base::Utf8ToWide(previous.defaultId), "恢复原来的默认引导项失败"});
  } else {
    log::LogWarn("原来的默认引导项未知，不恢复");
  }
  if (previous.timeoutSeconds >= 0) {
    steps.push_back({L"/timeout " + std::to_wstring(previous.timeoutSeconds), "恢复引导菜单等待时间失败"});
  } else {
    log::LogWarn("原来的引导菜单等待时间未知，不恢复");
  }
  std::string failures;
  for (const BcdeditStep& step : steps) {
    if (tools::RunBcdedit(step.arguments, dryRun)) continue;
    failures += (failures.empty() ? "" : "；") + std::string(step.message);
  }
  if (failures.empty()) return true;
  *error = failures;
  return false;
}

}  // namespace pl::boot
