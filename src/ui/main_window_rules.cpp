#include "ui/main_window_rules.h"

#include <cstdio>

#include "base/text.h"

namespace pl::ui {
namespace {

std::wstring Format(const wchar_t* format, double value) {
  wchar_t buffer[64];
  swprintf(buffer, 64, format, value);
  return buffer;
}

std::wstring LogHint(const std::wstring& logPath) { return L"\r\n\r\n详细日志见 " + logPath + L"。"; }

// Every page of the three wizards: its groups, Back, and Next's text when it does not depend on the state.
struct PageRow {
  WindowMode mode;
  int page;
  uint32_t groups;
  bool back;
  bool next;
};
constexpr PageRow kPages[] = {
    {WindowMode::Reinstall, reinstall_page::kEnvCheck, 0, false, true},
    {WindowMode::Reinstall, reinstall_page::kChooseImage, kGroupList | kGroupFilter, false, true},
    {WindowMode::Reinstall, reinstall_page::kChooseSoftware, kGroupSoftware, true, true},
    {WindowMode::Reinstall, reinstall_page::kProgress, kGroupRun, false, false},
    {WindowMode::Reinstall, reinstall_page::kResult, kGroupResult, false, true},
    {WindowMode::Reinstall, reinstall_page::kManualTarget, kGroupManual, false, true},
    {WindowMode::BackupRestore, backup_page::kChooseOperation, kGroupOperation, false, true},
    {WindowMode::BackupRestore, backup_page::kProgress, kGroupRun, false, false},
    {WindowMode::BackupRestore, backup_page::kResult, kGroupResult, false, true},
    {WindowMode::BackupRestore, backup_page::kManualTarget, kGroupManual, false, true},
    {WindowMode::UsbMaker, usb_page::kChooseDrive, kGroupList, false, true},
    {WindowMode::UsbMaker, usb_page::kChooseImage, kGroupList | kGroupFilter, true, true},
    {WindowMode::UsbMaker, usb_page::kProgress, kGroupRun, false, false},
    {WindowMode::UsbMaker, usb_page::kResult, kGroupResult, false, true},
    {WindowMode::UsbMaker, usb_page::kMarkSystemVolume, kGroupManual, false, true},
};

}  // namespace

bool SpaceRouteOpen(const disks::StagingFeasibility& staging) {
  return staging.otherVolumeAvailable || staging.unallocatedAvailable || staging.systemShrinkable;
}

PageLayout LayoutFor(const PageInputs& in) {
  PageLayout layout;
  layout.nextText = L"下一步";
  for (const PageRow& row : kPages) {
    if (row.mode != in.mode || row.page != in.page) continue;
    layout.groups = row.groups;
    layout.backVisible = row.back;
    layout.nextVisible = row.next;
  }
  const bool manualPending = in.needsManualTarget && !in.manualTargetChosen;
  const bool spaceOk = manualPending || SpaceRouteOpen(in.staging);
  switch (in.mode) {
    case WindowMode::Reinstall:
      if (in.page == reinstall_page::kEnvCheck) {
        layout.nextEnabled = in.environmentReady && spaceOk;
        layout.aiHelpVisible = in.environmentReady && !in.needsManualTarget && !SpaceRouteOpen(in.staging);
        layout.decryptVisible = layout.aiHelpVisible && in.staging.bitLockerBlockedLetter != 0;
      } else if (in.page == reinstall_page::kChooseSoftware) {
        layout.nextText = L"开始重装";
      } else if (in.page == reinstall_page::kResult) {
        layout.nextText = in.runOk ? L"立即重启进入 PE 环境" : L"关闭";
      }
      break;
    case WindowMode::BackupRestore:
      if (in.page == backup_page::kChooseOperation) {
        if (in.restoreSelected) layout.groups |= kGroupFile;
        layout.nextText = in.restoreSelected ? L"开始还原" : L"开始备份";
        const bool choiceOk = in.restoreSelected ? in.restorePathChosen : !in.systemBitLockerOn;
        layout.nextEnabled = choiceOk && spaceOk;
      } else if (in.page == backup_page::kResult) {
        layout.nextText = !in.runOk ? L"关闭" : in.restoreSelected ? L"立即重启开始还原" : L"立即重启开始备份";
      }
      break;
    case WindowMode::UsbMaker:
      // Nothing to choose while the scan runs or when it found no drive.
      if (in.page == usb_page::kChooseDrive) layout.nextEnabled = in.usbDrivesListed;
      if (in.page == usb_page::kChooseImage) layout.nextText = L"开始制作";
      if (in.page == usb_page::kResult) layout.nextText = L"关闭";
      break;
  }
  return layout;
}

const wchar_t* ModeTitle(WindowMode mode) {
  switch (mode) {
    case WindowMode::BackupRestore:
      return L"备份/还原";
    case WindowMode::UsbMaker:
      return L"U盘启动";
    default:
      return L"一键重装";
  }
}

std::vector<StepInfo> ModeSteps(WindowMode mode) {
  switch (mode) {
    case WindowMode::BackupRestore:
      return {{2, L"选择操作"}, {6, L"处理进度"}, {7, L"完成"}};
    case WindowMode::UsbMaker:
      return {{1, L"选择U盘"}, {4, L"选择系统"}, {6, L"制作进度"}, {7, L"完成"}};
    default:
      return {{3, L"环境检测"}, {4, L"选择系统"}, {5, L"选装软件"}, {6, L"安装进度"}, {7, L"完成"}};
  }
}

int ClampPercent(int64_t value) { return value < 0 ? 0 : value > 100 ? 100 : static_cast<int>(value); }

int StepTowards(int shown, int target) {
  const int distance = target - shown;
  if (distance == 0) return shown;
  int step = distance / 6;
  if (distance > 0 && step < 1) step = 1;
  if (distance < 0 && step > -1) step = -1;
  return shown + step;
}

std::vector<NoticeText> EnvironmentNotices(bool systemBitLockerOn, bool needsManualTarget,
                                           const disks::StagingFeasibility& staging) {
  std::vector<NoticeText> notices{
      {NoticeTone::Alert, L"警示：重装系统会清除系统盘（一般是 C 盘）上的所有数据，请务必提前备份好系统盘上的重要文件！"}};
  if (systemBitLockerOn) {
    notices.push_back({NoticeTone::Hint, L"提示：系统盘已启用 BitLocker 加密，继续操作会清除该分区所有数据（含加密保护）"});
  }
  if (needsManualTarget) {
    notices.push_back({NoticeTone::Hint, L"提示：未能自动识别出目标系统盘（该机器上没有找到可识别的已装系统），"
                                         L"下一步需要手动选择要重装到哪个磁盘分区"});
  } else if (staging.otherVolumeAvailable) {
  } else if (staging.unallocatedAvailable) {
    notices.push_back({NoticeTone::Hint, L"提示：检测到磁盘上有未分配空间，后续操作将在未分配空间上新建分区做数据暂存区"
                                         L"（不影响现有分区数据）"});
  } else if (staging.systemShrinkable) {
    notices.push_back({NoticeTone::Hint, L"提示：检测到只有一个可用分区，后续操作将自动压缩系统盘创建数据暂存区"
                                         L"（不影响系统盘正常使用）"});
  } else if (staging.bitLockerBlockedLetter != 0) {
    notices.push_back({NoticeTone::Alert, L"磁盘空间不足，无法继续：检测到 " +
                                              std::wstring(1, staging.bitLockerBlockedLetter) +
                                              L": 盘已启用 BitLocker 加密（其它条件都满足），可以点右下角\"关闭加密后使用\"按钮解决"});
  } else {
    notices.push_back({NoticeTone::Alert, L"磁盘空间不足，无法继续：系统盘剩余空间不够压缩出暂存区，请清理磁盘空间后重试"});
  }
  return notices;
}

std::vector<size_t> VisibleImages(const std::vector<config::OsImageEntry>& images, int windowsFilter) {
  std::vector<size_t> visible;
  for (size_t i = 0; i < images.size(); ++i) {
    const bool eleven = images[i].displayName.find("Windows 11") != std::string::npos;
    const bool ten = images[i].displayName.find("Windows 10") != std::string::npos;
    if ((!eleven && !ten) || (windowsFilter == 11 && eleven) || (windowsFilter == 10 && ten)) visible.push_back(i);
  }
  return visible;
}

int RowToSelect(const std::vector<size_t>& visible, size_t defaultImageIndex) {
  for (size_t row = 0; row < visible.size(); ++row) {
    if (visible[row] == defaultImageIndex) return static_cast<int>(row);
  }
  return visible.empty() ? -1 : 0;
}

std::wstring ImageCardDetail(const config::OsImageEntry& image) {
  std::wstring detail;
  if (!image.version.empty()) detail += L"版本: " + base::Utf8ToWide(image.version) + L"    ";
  if (!image.updateDate.empty()) detail += L"更新日期: " + base::Utf8ToWide(image.updateDate) + L"    ";
  if (image.sizeGb > 0) detail += Format(L"大小: %.2f GB", image.sizeGb);
  return detail;
}

std::string InstallItemText(const config::InstallItem& item) {
  if (!item.displayName.empty()) return item.displayName;
  if (!item.fileName.empty()) return item.fileName;
  return item.key;
}

std::wstring DriveRowText(const std::string& name, double sizeGb) {
  return base::Utf8ToWide(name) + L" (" + Format(L"%.1f GB", sizeGb) + L")";
}

std::vector<std::wstring> VolumeRowTexts(const disks::VolumeInfo& volume) {
  wchar_t disk[32];
  swprintf(disk, 32, L"磁盘 %d", volume.diskNumber);
  return {std::wstring(1, volume.letter) + L":",
          volume.label.empty() ? L"(无卷标)" : base::Utf8ToWide(volume.label),
          volume.fileSystem.empty() ? L"未知" : base::Utf8ToWide(volume.fileSystem),
          Format(L"%.1f GB", static_cast<double>(volume.totalBytes) / 1073741824.0),
          volume.diskNumber < 0 ? L"未知" : disk};
}

std::wstring BackupDescription(bool restoreSelected, bool systemBitLockerOn) {
  if (restoreSelected) {
    return L"选择一个之前备份出来的镜像文件（.wim），还原到当前系统盘。此操作会清空当前系统盘所有内容。";
  }
  std::wstring text = L"将备份当前系统分区（C:）为一个镜像文件，备份过程中需要重启进入 PE 环境，完成后自动回到当前系统。";
  if (systemBitLockerOn) {
    text += L"\n\n暂不支持备份：检测到系统盘已启用 BitLocker 加密，PE 环境下无法读取加密数据。"
            L"请先在系统设置里关闭 BitLocker 后再重试。";
  }
  return text;
}

std::wstring RunRefusal(WindowMode starting, const BusyFlags& busy) {
  // The runs share the staging area and the boot configuration: one at a time.
  if (busy.reinstall && starting != WindowMode::Reinstall) return L"一键重装正在进行中，请等它结束后再开始新的任务。";
  if (busy.backup && starting != WindowMode::BackupRestore) return L"备份/还原正在进行中，请等它结束后再开始新的任务。";
  if (busy.usb && starting != WindowMode::UsbMaker) return L"U 盘制作正在进行中，请等它结束后再开始新的任务。";
  return {};
}

std::wstring ReinstallResultText(bool ok, const std::string& displayName, const std::string& edition,
                                 const std::string& error, const std::wstring& logPath) {
  if (!ok) return L"很抱歉，准备安装时出现问题：\r\n\r\n" + base::Utf8ToWide(error) + LogHint(logPath);
  std::wstring name = base::Utf8ToWide(displayName);
  if (!edition.empty()) name += L"（镜像中的版本：" + base::Utf8ToWide(edition) + L"）";
  return L"安装准备已完成！\r\n\r\n即将安装：" + name +
         L"\r\n\r\n点击下方按钮重启进入 PE 环境，系统会自动完成格式化、释放镜像、配置引导等剩余步骤，\r\n"
         L"重启后请不要断电，耐心等待安装完成。";
}

std::wstring BackupResultText(bool ok, bool restore, const std::wstring& backupPath, const std::string& error,
                              const std::wstring& logPath) {
  if (!ok) {
    return std::wstring(L"很抱歉，准备") + (restore ? L"还原" : L"备份") + L"时出现问题：\r\n\r\n" +
           base::Utf8ToWide(error) + LogHint(logPath);
  }
  if (restore) {
    return L"还原准备已完成！\r\n\r\n点击下方按钮重启进入 PE 环境，系统会自动完成格式化、释放镜像、配置引导等剩余步骤，\r\n"
           L"重启后请不要断电，耐心等待还原完成。";
  }
  return L"备份准备已完成！\r\n\r\n点击下方按钮重启进入 PE 环境，系统会自动完成分区打包，完成后会自动重启回到当前系统，\r\n"
         L"不会格式化或改动任何内容。\r\n\r\n备份文件将保存在：\r\n" +
         backupPath;
}

std::wstring UsbResultText(bool ok, const std::string& error, const std::wstring& logPath) {
  if (!ok) return L"很抱歉，制作 U 盘时出现问题：\r\n\r\n" + base::Utf8ToWide(error) + LogHint(logPath);
  return L"U 盘制作完成！\r\n\r\n现在可以把这个 U 盘插到需要重装的电脑上，开机时选择从 U 盘启动即可开始安装\r\n"
         L"（具体按键请参考目标电脑主板说明，通常是开机时按 F12/F11/Esc 等键进入启动菜单）。\r\n\r\n"
         L"提示：U 盘引导在不同电脑固件上的实际效果无法在这台电脑上验证，建议先在目标电脑上实际测试一次。";
}

std::string ThreadStartFailure(unsigned long lastError) {
  return "无法启动后台任务（创建线程失败, GetLastError=" + std::to_string(lastError) + "），请稍后重试。";
}

std::string WorkerFailure(const std::string& job, const std::string& what) {
  return what.empty() ? job + "出现未知类型的异常" : job + "出现异常: " + what;
}

const std::vector<int>& TabOrder() {
  static const std::vector<int> order = {
      kIdTabReinstall, kIdTabUsb, kIdTabBackup, kIdMinimise, kIdClose,          // header
      kIdFilter10, kIdFilter11, kIdList, kIdVolumeList, kIdItemList, kIdInstalledList,  // page
      kIdBackupRadio, kIdRestoreRadio, kIdChooseFile,
      kIdBack, kIdAiHelp, kIdAutoRestart, kIdDecrypt, kIdNext,                   // bottom row
      kIdContact, kIdDiagnose,                                                   // footer
  };
  return order;
}

namespace {

// The member of `ring` `step` places on from `from` (the start when -1) that `accepted`, around the end; 0 when none.
int StepRound(const std::vector<int>& ring, int from, int step, const std::function<bool(int)>& accepted) {
  const int size = static_cast<int>(ring.size());
  int index = from >= 0 ? from : (step > 0 ? size - 1 : 0);
  for (int tries = 0; tries < size; ++tries) {
    index = (index + step + size) % size;
    if (accepted(ring[index])) return ring[index];
  }
  return 0;
}

int IndexIn(const std::vector<int>& ring, int id) {
  for (size_t i = 0; i < ring.size(); ++i) {
    if (ring[i] == id) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

int NextTabStop(int current, bool backward, const std::function<bool(int)>& focusable) {
  return StepRound(TabOrder(), IndexIn(TabOrder(), current), backward ? -1 : 1, focusable);
}

int ArrowPeer(int current, int step, const std::function<bool(int)>& focusable) {
  static const std::vector<std::vector<int>> kPeers = {
      {kIdTabReinstall, kIdTabUsb, kIdTabBackup}, {kIdFilter10, kIdFilter11}, {kIdBackupRadio, kIdRestoreRadio}};
  for (const std::vector<int>& peers : kPeers) {
    const int index = IndexIn(peers, current);
    if (index >= 0) return StepRound(peers, index, step > 0 ? 1 : -1, focusable);
  }
  return 0;
}

bool PressesItselfOnEnter(int id) {
  switch (id) {
    case kIdTabReinstall: case kIdTabUsb: case kIdTabBackup: case kIdMinimise: case kIdClose: case kIdFilter10:
    case kIdFilter11: case kIdChooseFile: case kIdBack: case kIdAiHelp: case kIdDecrypt: case kIdNext:
    case kIdContact: case kIdDiagnose:
      return true;
    default:
      return false;
  }
}

}  // namespace pl::ui
