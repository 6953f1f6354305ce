#pragma once
// The deployer's task: "task.ini" read back as the host writes it, the one this start serves when several volumes
// hold one, and its paths moved onto the drive letters of this PE. Plain decisions over plain records.

#include <string>
#include <string_view>
#include <vector>

#include "config/service_config.h"
#include "pipeline/task_file.h"

namespace pl::deploy {

inline constexpr wchar_t kDataFolderName[] = L"$PelloraData$";

// A task file as found: at "<letter>:\$PelloraData$\task.ini", or named on the command line of a dry run.
struct FoundTask {
  std::wstring path;
  wchar_t letter = 0;  // the volume it lies on, as this PE names it
  pipeline::DeployTask task;
  std::vector<config::InstallItem> items;

  bool operator==(const FoundTask&) const = default;
};

// The bytes of a task file: every [deploy] key the host writes, values exactly as written, each [install] line
// split at its first four commas (a display name keeps any further comma). False with the reason (for the log)
// when [deploy] or one of its keys is missing, a number does not parse, or the mode is neither "deploy" nor
// "capture".
bool ParseTaskText(std::string_view bytes, pipeline::DeployTask* task, std::vector<config::InstallItem>* items,
                   std::string* error);

// Which of the tasks found this start serves. `currentEntry` is the boot entry the PE was started from, braces
// included, empty when bcdedit could not tell. A task made for another entry is passed over: that entry started
// another PE, or is gone. Of the rest, the one made for this entry, else the only one left (a USB stick's task,
// or one the host wrote inside a PE, names no entry). None or several left: refused.
struct TaskChoice {
  int index = -1;     // into the list; -1 when none is taken
  std::string error;  // why not, for the user

  bool operator==(const TaskChoice&) const = default;
};
TaskChoice ChooseTask(const std::vector<FoundTask>& tasks, const std::string& currentEntry);

// A USB stick's task: it names no target volume and no image, the deployer finds both itself.
bool IsUsbTask(const pipeline::DeployTask& task);

// A path the host wrote on its drive `hostLetter` ("D:\x") moved onto `letter` ("H:\x"), any case of the letter;
// a path on another drive, without a drive or empty stays as it is.
std::string RebasePath(const std::string& path, char hostLetter, wchar_t letter);
// The task's paths (stagingDir, imagePath, toolsPath, driverBackupPath, captureDestPath) moved from the drive of
// its stagingDir onto `letter`, where it was found. Returns the non-empty paths left on another drive, as
// "key=path", for the log.
std::vector<std::string> RebaseTask(pipeline::DeployTask* task, wchar_t letter);

}  // namespace pl::deploy
