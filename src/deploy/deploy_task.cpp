#include "deploy/deploy_task.h"

#include <charconv>
#include <cstdint>

#include "base/text.h"

namespace pl::deploy {
namespace {

using pipeline::DeployTask;

bool ParseNumber(const std::string& text, int32_t* number) {
  const char* end = text.data() + text.size();
  return !text.empty() && std::from_chars(text.data(), end, *number).ptr == end;
}

// "fileName,params,url,md5,displayName" after the key.
config::InstallItem ItemOf(const std::string& key, const std::string& value) {
  config::InstallItem item{.key = key};
  std::string* fields[] = {&item.fileName, &item.params, &item.url, &item.md5};
  size_t start = 0;
  for (std::string* field : fields) {
    const size_t comma = value.find(',', start);
    if (comma == std::string::npos) {
      *field = value.substr(start);
      return item;
    }
    *field = value.substr(start, comma - start);
    start = comma + 1;
  }
  item.displayName = value.substr(start);
  return item;
}

// "X:\..." with X the drive letter `letter`, any case.
bool OnDrive(const std::string& path, char letter) {
  return path.size() >= 3 && path[1] == ':' && path[2] == '\\' &&
         base::AsciiLower(path.substr(0, 1)) == base::AsciiLower(std::string(1, letter));
}

std::string LetterText(wchar_t letter) { return base::DriveLetterText(letter); }

std::string TaskList(const std::vector<FoundTask>& tasks) {
  std::string list;
  for (const FoundTask& found : tasks) {
    list += (list.empty() ? "" : "、") + base::WideToUtf8(found.path);
  }
  return list;
}

}  // namespace

bool ParseTaskText(std::string_view bytes, DeployTask* task, std::vector<config::InstallItem>* items,
                   std::string* error) {
  const std::vector<pipeline::HandOverSection> sections = pipeline::ParseHandOverText(bytes);
  DeployTask read;
  std::string targetDisk, targetPartition, imageIndex, isRestore;
  const std::pair<const char*, std::string*> keys[] = {
      {"targetDisk", &targetDisk},
      {"targetPartition", &targetPartition},
      {"targetVolumeGuid", &read.targetVolumeGuid},
      {"firmware", &read.firmware},
      {"imagePath", &read.imagePath},
      {"imageIndex", &imageIndex},
      {"toolsPath", &read.toolsPath},
      {"stagingDir", &read.stagingDir},
      {"peBootId", &read.peBootId},
      {"sessionId", &read.sessionId},
      {"oemProductKey", &read.oemProductKey},
      {"driverBackupPath", &read.driverBackupPath},
      {"osDisplayName", &read.osDisplayName},
      {"mode", &read.mode},
      {"captureDestPath", &read.captureDestPath},
      {"isRestore", &isRestore},
  };
  for (const auto& [key, value] : keys) {
    if (!pipeline::FindHandOverValue(sections, "deploy", key, value)) {
      *error = std::string("任务文件缺少 ") + key;
      return false;
    }
  }
  if (!ParseNumber(targetDisk, &read.targetDisk) || !ParseNumber(targetPartition, &read.targetPartition) ||
      !ParseNumber(imageIndex, &read.imageIndex) || (isRestore != "0" && isRestore != "1")) {
    *error = "任务文件里的数字看不懂（targetDisk/targetPartition/imageIndex/isRestore）";
    return false;
  }
  read.isRestore = isRestore == "1";
  if (read.mode != "deploy" && read.mode != "capture") {
    *error = "任务文件的 mode 既不是 deploy 也不是 capture: " + read.mode;
    return false;
  }
  std::vector<config::InstallItem> readItems;
  for (const pipeline::HandOverSection& section : sections) {
    if (section.name != "install") continue;
    for (const auto& [key, value] : section.pairs) readItems.push_back(ItemOf(key, value));
    break;
  }
  *task = read;
  *items = readItems;
  return true;
}

TaskChoice ChooseTask(const std::vector<FoundTask>& tasks, const std::string& currentEntry) {
  if (tasks.empty()) {
    return {.error = "没有找到任务文件（各分区根目录下的 $PelloraData$\\task.ini），不知道要做什么，什么都没有改动"};
  }
  std::vector<int> left;
  for (int i = 0; i < static_cast<int>(tasks.size()); ++i) {
    const std::string& entry = tasks[i].task.peBootId;
    if (!currentEntry.empty() && !entry.empty() && base::AsciiLower(entry) != base::AsciiLower(currentEntry)) {
      continue;  // made for another start
    }
    left.push_back(i);
  }
  for (int i : left) {
    if (!currentEntry.empty() && base::AsciiLower(tasks[i].task.peBootId) == base::AsciiLower(currentEntry)) {
      return {.index = i};
    }
  }
  if (left.size() == 1) return {.index = left.front()};
  const std::string current = currentEntry.empty() ? "（读不出来）" : currentEntry;
  if (left.empty()) {
    return {.error = "找到的任务文件都不是为这次启动准备的（它们记的启动项跟当前启动项 " + current +
                     " 不同）: " + TaskList(tasks) + "，为了安全什么都没有改动"};
  }
  std::vector<FoundTask> candidates;
  for (int i : left) candidates.push_back(tasks[i]);
  return {.error = "找到 " + std::to_string(left.size()) + " 个任务文件，当前启动项 " + current +
                   " 跟哪一个都对不上，无法确定要执行哪一个: " + TaskList(candidates) + "，为了安全什么都没有改动"};
}

bool IsUsbTask(const DeployTask& task) {
  return task.mode == "deploy" && task.targetVolumeGuid.empty() && task.imagePath.empty();
}

std::string RebasePath(const std::string& path, char hostLetter, wchar_t letter) {
  if (!OnDrive(path, hostLetter)) return path;
  return LetterText(letter) + path.substr(1);
}

std::vector<std::string> RebaseTask(DeployTask* task, wchar_t letter) {
  std::vector<std::string> left;
  if (task->stagingDir.size() < 3 || task->stagingDir[1] != ':') return left;
  const char hostLetter = task->stagingDir[0];
  const std::pair<const char*, std::string*> paths[] = {
      {"stagingDir", &task->stagingDir},
      {"imagePath", &task->imagePath},
      {"toolsPath", &task->toolsPath},
      {"driverBackupPath", &task->driverBackupPath},
      {"captureDestPath", &task->captureDestPath},
  };
  for (const auto& [key, path] : paths) {
    if (!path->empty() && !OnDrive(*path, hostLetter)) left.push_back(std::string(key) + "=" + *path);
    *path = RebasePath(*path, hostLetter, letter);
  }
  return left;
}

}  // namespace pl::deploy
