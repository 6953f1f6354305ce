#include "pipeline/reinstall.h"

#include <windows.h>

#include "base/constants.h"
#include "base/text.h"
#include "log/log.h"
#include "pipeline/image_check.h"

namespace pl::pipeline {
namespace {

using base::WideToUtf8;

// The image, the tools and (outside a PE) the PE with its boot file, all at once; then the tools unpacked.
bool FetchFiles(RunState& run, const config::OsImageEntry& image, const config::ExResources& resources,
                const StagingPaths& paths, const std::wstring& osImage) {
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过实际下载，假定文件已在以下路径就绪:");
    log::LogInfo("  系统镜像: " + WideToUtf8(osImage));
    log::LogInfo("  PE: " + WideToUtf8(paths.peWim));
    log::LogInfo("  boot.sdi: " + WideToUtf8(paths.bootSdi));
    log::LogInfo("  工具包: " + WideToUtf8(paths.toolsDir));
    return CheckOsImage(run, osImage, image.imageIndex, {"系统镜像", "download"});
  }
  StageEvent(run, "download", "started");
  ReportProgress(run.progress, "download",
                 run.inPe ? "正在并行下载系统镜像/工具包..." : "正在并行下载系统镜像/PE环境/工具包...", 5);
  std::vector<net::DownloadJob> jobs = {
      {.url = base::Utf8ToWide(image.url),
       .path = osImage,
       .md5 = image.md5,
       .label = "系统镜像",
       .sizeHint = image.sizeGb > 0 ? static_cast<uint64_t>(image.sizeGb * base::kGiB) : 0},
      ToolsJob(resources, paths),
  };
  for (net::DownloadJob& job : PeBootJobs(run, resources, paths)) jobs.push_back(std::move(job));
  if (!DownloadFiles(run, jobs, 5, 78)) return false;
  // Once the files are complete and before anything is prepared for the restart.
  if (!CheckOsImage(run, osImage, image.imageIndex, {"系统镜像", "download"})) return false;
  if (!ExtractTools(run, paths, "正在解压工具包...", 78)) return false;
  StageEvent(run, "download", "success");
  return true;
}

// The installed copy of this program goes along, for the new system's setup stage to install. Never fatal.
void CopyInstalledProgram(const RunState& run) {
  if (run.dryRun) return;
  const std::wstring program = run.machine.programPath();
  const std::wstring name = program.substr(program.rfind(L'\\') + 1);  // the whole path when it has no backslash
  if (CompareStringOrdinal(name.c_str(), -1, L"Kavrin.exe", -1, TRUE) != CSTR_EQUAL) return;
  const std::wstring destination = run.plan.dataDir + L"\\Kavrin.exe";
  if (CopyFileW(program.c_str(), destination.c_str(), FALSE)) {
    log::LogInfo("已把 Kavrin.exe 复制进暂存区，供新系统 setup 阶段安装: " + WideToUtf8(destination));
  } else {
    const DWORD error = GetLastError();
    log::LogWarn("复制 Kavrin.exe 进暂存区失败（不影响重装本身，只是新系统里不会自动有桌面快捷方式）, GetLastError=" +
                 std::to_string(error));
  }
}

}  // namespace

PipelineResult RunReinstall(const config::OsImageEntry& image, const std::vector<config::InstallItem>& items,
                            const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                            const ProgressCallback& progress, const std::vector<std::string>& wishlist,
                            const PipelineMachine& machine, const ByteCallback& bytes) {
  RunState run(dryRun, progress, machine);
  run.bytes = bytes;
  OpenSession(run, image.key, clientVersion, "创建上报 session 失败，本次不上报数据（不影响装机本身）");
  DetectFirmwareAndPe(run, 1);
  if (!PrepareStaging(run, 2, 12 * base::kGiB)) return run.result;
  const StagingPaths paths = PathsOf(run.plan);
  const std::wstring osImage = OsImagePath(run.plan.dataDir, image.url);
  if (!FetchFiles(run, image, resources, paths, osImage)) return run.result;
  BackUpKeyAndDrivers(run, paths,
                      {.keyPercent = 80,
                       .driverPercent = 82,
                       .logKeyFound = true,
                       .driverWarning = "导出当前驱动失败，跳过（不影响重装本身，新系统还有工具包里的通用驱动工具兜底）"});
  if (!RecheckPeBootFiles(run, resources, paths) || !CreateBootEntry(run, paths, 90)) return run.result;
  CopyInstalledProgram(run);
  ReportProgress(progress, "staging", "正在写入部署任务文件...", 97);
  if (!FindTargetVolume(run, TargetRole::Deploy)) return run.result;

  DeployTask task = DeployTaskOfRun(run, paths);
  task.imagePath = WideToUtf8(osImage);
  task.imageIndex = image.imageIndex;
  task.osDisplayName = image.displayName;
  // Software of the old system that no install item covers, for the deployer to list, goes beside the task.
  if (!WriteTask(run, paths, task, items, wishlist)) return run.result;
  DeployInPe(run, paths, "正在执行部署（当前环境已经是 PE，无需重启）...");
  return run.result;
}

}  // namespace pl::pipeline
