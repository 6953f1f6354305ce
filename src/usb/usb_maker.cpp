#include "usb/usb_maker.h"

#include <windows.h>

#include "base/constants.h"
#include "base/secure_directory.h"
#include "base/text.h"
#include "log/log.h"
#include "pipeline/image_check.h"
#include "usb/usb_boot_files.h"
#include "usb/usb_format.h"

namespace pl::usb {
namespace {

using base::WideToUtf8;
using pipeline::RunState;

constexpr wchar_t kStickFolder[] = L":\\$PelloraData$";

// The wipe, or its refusal; the only failure that finishes the session.
bool Format(RunState& run, const UsbDriveInfo& drive, const UsbMachine& machine, UsbFormatResult* format) {
  pipeline::ReportProgress(run.progress, "usb_format", "正在格式化 U 盘...", 2);
  pipeline::StageEvent(run, "usb_format", "started");
  *format = FormatUsbDisk(drive, run.dryRun, machine);
  if (!format->ok) {
    // A refused wipe is no failed format: its message stands alone.
    const std::string message = format->diskChanged ? format->error : "格式化 U 盘失败: " + format->error;
    pipeline::StageEvent(run, "usb_format", "failed", format->error);
    return pipeline::Fail(run, message, {.errorStage = "usb_format", .cause = message});
  }
  pipeline::StageEvent(run, "usb_format", "success");
  log::LogInfo("U 盘已格式化，引导分区盘符: " + base::DriveLetterText(format->peLetter) +
               "  数据分区盘符: " + base::DriveLetterText(format->dataLetter));
  run.finishOnFailure = false;
  return true;
}

bool FetchFiles(RunState& run, const config::OsImageEntry& image, const config::ExResources& resources,
                const pipeline::StagingPaths& paths, const std::wstring& osImage, const std::wstring& bootDir,
                const std::wstring& dataDir) {
  if (run.dryRun) {
    log::LogInfo("[dry-run] 跳过实际下载，假定文件已在 U 盘就绪: " + WideToUtf8(bootDir) + " / " +
                 WideToUtf8(dataDir));
    return pipeline::CheckOsImage(run, osImage, image.imageIndex, {"系统镜像", "download"});
  }
  pipeline::StageEvent(run, "download", "started");
  pipeline::ReportProgress(run.progress, "download", "正在并行下载系统镜像/PE环境/工具包到 U 盘...", 8);
  const std::vector<net::DownloadJob> jobs = {
      {.url = base::Utf8ToWide(image.url),
       .path = osImage,
       .md5 = image.md5,
       .label = "系统镜像",
       .sizeHint = image.sizeGb > 0 ? static_cast<uint64_t>(image.sizeGb * base::kGiB) : 0},
      pipeline::ResourceJob("PE 环境", resources.pe, paths.peWim),
      pipeline::ResourceJob("boot.sdi", resources.sdi, paths.bootSdi),
      pipeline::ToolsJob(resources, paths),
  };
  if (!pipeline::DownloadFiles(run, jobs, 8, 78)) return false;
  if (!pipeline::CheckOsImage(run, osImage, image.imageIndex, {"系统镜像", "download"})) return false;
  if (!pipeline::ExtractTools(run, paths, "正在解压工具包...", 78)) return false;
  pipeline::StageEvent(run, "download", "success");
  return true;
}

bool WriteBootFiles(RunState& run, wchar_t bootLetter) {
  pipeline::ReportProgress(run.progress, "usb_boot", "正在写入 U 盘引导文件...", 80);
  pipeline::StageEvent(run, "usb_boot", "started");
  if (!WriteUsbBootFiles(bootLetter, L"\\$PelloraData$\\pe.wim", L"\\$PelloraData$\\boot.sdi", run.dryRun)) {
    const std::string message = "写入 U 盘引导文件失败";
    return pipeline::Fail(run, message, {.eventStage = "usb_boot", .errorStage = "usb_boot", .cause = message});
  }
  pipeline::StageEvent(run, "usb_boot", "success");
  return true;
}

}  // namespace

UsbMakeResult MakeUsbBootDisk(const UsbDriveInfo& drive, const config::OsImageEntry& image,
                              const std::vector<config::InstallItem>& items, const config::ExResources& resources,
                              const std::string& clientVersion, bool dryRun, const pipeline::ProgressCallback& progress,
                              const UsbMachine& machine, const pipeline::ByteCallback& bytes) {
  pipeline::PipelineMachine pipelineMachine = pipeline::LivePipelineMachine();
  pipelineMachine.firmwareType = machine.firmwareType;
  pipelineMachine.retryPause = machine.retryPause;
  RunState run(dryRun, progress, pipelineMachine);
  run.bytes = bytes;
  // The stick's task is for whatever machine boots the stick: a reinstall prepared on this one stays armed.
  run.removeOtherTasks = false;
  const auto done = [&run] { return UsbMakeResult{run.result.ok, run.result.error, run.result.sessionId}; };

  pipeline::OpenSession(run, image.key, clientVersion, "创建上报 session 失败，本次不上报数据（不影响制作本身）");
  UsbFormatResult format;
  if (!Format(run, drive, machine, &format)) return done();

  const std::wstring bootDir = format.peLetter + std::wstring(kStickFolder);
  const std::wstring dataDir = format.dataLetter + std::wstring(kStickFolder);
  if (!dryRun) {
    // Only administrators may change them while the stick is here (the NTFS part keeps the entries).
    base::CreateProtectedDirectory(bootDir);
    base::CreateProtectedDirectory(dataDir);
  }
  const pipeline::StagingPaths paths = {
      .peWim = bootDir + L"\\pe.wim",
      .bootSdi = bootDir + L"\\boot.sdi",
      .toolsArchive = dataDir + L"\\tools.zip",
      .toolsDir = dataDir + L"\\tools",
      .driverDir = {},
      .taskFile = dataDir + L"\\task.ini",
  };
  const std::wstring osImage = pipeline::OsImagePath(dataDir, image.url);
  if (!FetchFiles(run, image, resources, paths, osImage, bootDir, dataDir)) return done();
  if (!WriteBootFiles(run, format.peLetter)) return done();

  pipeline::ReportProgress(progress, "staging", "正在写入部署任务文件...", 97);
  // The deployer on the stick finds the image and the tools itself: no target, no paths, no boot entry.
  pipeline::DeployTask task;
  task.firmware = disks::FirmwareTypeName(machine.firmwareType());
  task.imageIndex = image.imageIndex;
  task.sessionId = run.result.sessionId;
  task.osDisplayName = image.displayName;
  pipeline::WriteTask(run, paths, task, items);
  return done();
}

}  // namespace pl::usb
