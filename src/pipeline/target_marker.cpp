#include "pipeline/target_marker.h"

#include <charconv>

#include "base/text.h"
#include "log/log.h"

namespace pl::pipeline {

std::string TargetMarkerText(const TargetMarker& marker) {
  return "[target]\r\npeBootId=" + marker.peBootId + "\r\nsessionId=" + marker.sessionId +
         "\r\npreviousDefault=" + marker.previousDefault +
         "\r\npreviousTimeout=" + std::to_string(marker.previousTimeout) + "\r\n";
}

bool ParseTargetMarker(std::string_view bytes, TargetMarker* marker) {
  const std::vector<HandOverSection> sections = ParseHandOverText(bytes);
  TargetMarker read;
  std::string timeout;
  if (!FindHandOverValue(sections, "target", "peBootId", &read.peBootId) ||
      !FindHandOverValue(sections, "target", "sessionId", &read.sessionId) ||
      !FindHandOverValue(sections, "target", "previousDefault", &read.previousDefault) ||
      !FindHandOverValue(sections, "target", "previousTimeout", &timeout)) {
    return false;
  }
  const char* end = timeout.data() + timeout.size();
  if (timeout.empty() || std::from_chars(timeout.data(), end, read.previousTimeout).ptr != end) return false;
  *marker = read;
  return true;
}

bool MarkTargetVolume(RunState& run, const DeployTask& task) {
  if (task.targetVolumeGuid.empty()) return true;
  const std::wstring path = base::DriveRoot(run.machine.staging.systemDriveLetter()) + kTargetMarkerName;
  const std::string shown = base::WideToUtf8(path);
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过写目标分区标记文件: " + shown);
    return true;
  }
  const TargetMarker marker{.peBootId = task.peBootId,
                            .sessionId = task.sessionId,
                            .previousDefault = run.bootDefaults.defaultId,
                            .previousTimeout = run.bootDefaults.timeoutSeconds};
  if (!WriteHandOverFile(path, TargetMarkerText(marker))) {
    const std::string message = "写目标分区标记文件失败: " + shown;
    return Fail(run, message, {.errorStage = "staging", .cause = message});
  }
  log::LogInfo("目标分区标记文件已写入（PE 里靠它认出要操作的分区）: " + shown);
  return true;
}

void KeepDryRunTask(const DeployTask& task, const std::vector<config::InstallItem>& items) {
  // Beside the log file in use: the window's log folder, or a test's own.
  const std::wstring logFile = log::GetLogFilePath();
  const size_t slash = logFile.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return;
  const std::wstring path = logFile.substr(0, slash + 1) + kDryRunTaskName;
  if (WriteTaskFile(path, task, items)) {
    log::LogInfo("[dry-run] 任务内容留在日志目录，供 pl_pe.exe --dry-run 演练: " + base::WideToUtf8(path));
  } else {
    log::LogWarn("[dry-run] 任务内容没能留在日志目录（不影响演练本身）: " + base::WideToUtf8(path));
  }
}

}  // namespace pl::pipeline
