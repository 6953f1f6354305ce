#include "deploy/target_choice.h"

#include "base/text.h"

namespace pl::deploy {
namespace {

bool SameLetter(wchar_t a, wchar_t b) {
  return a != 0 && base::AsciiLower(std::wstring(1, a)) == base::AsciiLower(std::wstring(1, b));
}

std::string Letters(const std::vector<const VolumeFacts*>& volumes) {
  std::string text;
  for (const VolumeFacts* volume : volumes) text += (text.empty() ? "" : "、") + base::DriveLetterText(volume->letter) + ":";
  return text;
}

bool MarkerNamesTask(const VolumeFacts& volume, const pipeline::DeployTask& task) {
  return volume.hasMarker && volume.marker.peBootId == task.peBootId && volume.marker.sessionId == task.sessionId;
}

constexpr char kNothingChanged[] = "，为了安全什么都没有改动";

}  // namespace

TargetChoice IdentifyTarget(const pipeline::DeployTask& task, const std::vector<VolumeFacts>& volumes,
                            const KeptVolumes& kept, TargetRole role) {
  const bool capture = role == TargetRole::Capture;
  const std::string what = capture ? "要备份的分区" : "要部署的目标分区";
  std::vector<const VolumeFacts*> byGuid, byMarker;
  for (const VolumeFacts& volume : volumes) {
    if (!task.targetVolumeGuid.empty() &&
        base::AsciiLower(volume.guidPath) == base::AsciiLower(task.targetVolumeGuid)) {
      byGuid.push_back(&volume);
    }
    if (MarkerNamesTask(volume, task)) byMarker.push_back(&volume);
  }
  const VolumeFacts* chosen = nullptr;
  TargetChoice choice;
  if (byGuid.size() == 1) {
    if (!byMarker.empty() && (byMarker.size() > 1 || byMarker.front() != byGuid.front())) {
      return {.error = what + "对不上：卷 GUID 指向 " + Letters(byGuid) + "，本次任务的标记文件却在 " +
                       Letters(byMarker) + " 上" + kNothingChanged};
    }
    chosen = byGuid.front();
    choice.how = "卷 GUID";
  } else if (byGuid.size() > 1) {
    return {.error = "有 " + std::to_string(byGuid.size()) + " 个分区（" + Letters(byGuid) + "）的卷 GUID 都是 " +
                     task.targetVolumeGuid + "，无法确定" + what + kNothingChanged};
  } else if (byMarker.size() == 1) {
    chosen = byMarker.front();
    choice.how = "标记文件";
  } else if (byMarker.empty()) {
    return {.error = "找不到" + what + "：没有分区的卷 GUID 是 " +
                     (task.targetVolumeGuid.empty() ? std::string("（任务里没有写）") : task.targetVolumeGuid) +
                     "，也没有分区根目录下有本次任务的标记文件 $PelloraTarget$.ini" + kNothingChanged};
  } else {
    return {.error = "有 " + std::to_string(byMarker.size()) + " 个分区（" + Letters(byMarker) +
                     "）都带着本次任务的标记文件，无法确定" + what + kNothingChanged};
  }

  const std::string letter = base::DriveLetterText(chosen->letter) + ":";
  if (chosen->removable) {
    return {.error = what + " " + letter + " 在可移动介质上（U 盘、存储卡），不会在上面" +
                     (capture ? "做备份" : "安装系统") + kNothingChanged};
  }
  if (!chosen->fixed) return {.error = what + " " + letter + " 不是本机固定磁盘上的分区" + kNothingChanged};
  if (SameLetter(chosen->letter, kept.task)) {
    return {.error = what + " " + letter + " 上放着任务文件和暂存数据，不能" + (capture ? "备份它" : "覆盖它") +
                     kNothingChanged};
  }
  if (SameLetter(chosen->letter, kept.image)) {
    return {.error = what + " " + letter + (capture ? " 就是备份文件要写入的分区" : " 上放着要部署的系统镜像") +
                     kNothingChanged};
  }
  choice.letter = chosen->letter;
  return choice;
}

std::vector<VolumeFacts> UsbTargetCandidates(const std::vector<VolumeFacts>& volumes, const KeptVolumes& kept,
                                             wchar_t peLetter) {
  std::vector<VolumeFacts> candidates;
  for (const VolumeFacts& volume : volumes) {
    if (!volume.fixed || volume.removable || SameLetter(volume.letter, kept.task) ||
        SameLetter(volume.letter, kept.image) || SameLetter(volume.letter, peLetter) ||
        volume.label == "PELLORA_PE" || volume.label == "PELLORA_DATA") {
      continue;
    }
    candidates.push_back(volume);
  }
  return candidates;
}

std::string VolumeText(const VolumeFacts& volume) {
  std::string text = base::DriveLetterText(volume.letter) + ":  ";
  text += volume.label.empty() ? "无卷标" : "标签 " + volume.label;
  text += "  " + std::to_string(volume.totalBytes >> 30) + " GB  ";
  text += volume.windows.empty() ? "没有 Windows" : volume.windows;
  return text;
}

}  // namespace pl::deploy
