#include "pipeline/image_check.h"

#include "archive/wim_file.h"
#include "base/text.h"
#include "log/log.h"

namespace pl::pipeline {

std::string EditionText(const archive::WimImage& image) {
  return image.name + "（" + image.editionId + "，" + image.architecture + "）";
}

bool CheckOsImage(RunState& run, const std::wstring& path, int32_t imageIndex, const ImageCheck& check) {
  const std::string file = base::WideToUtf8(path);
  if (run.dryRun && !check.inDryRun) {
    log::LogInfo(std::string("[dry-run] 跳过") + check.what + "检查: " + file);
    return true;
  }
  log::LogInfo(std::string("正在检查") + check.what + ": " + file);
  archive::WimInfo info;
  std::string reason;
  const archive::WimImage* image = nullptr;
  if (archive::ReadWimFileImageList(path, &info, &reason)) {
    image = archive::FindWimImage(info, imageIndex);
    if (image == nullptr) {
      reason = "没有第 " + std::to_string(imageIndex) + " 号映像（镜像里的映像序号: " +
               archive::WimImageIndexes(info) + "）";
    }
  }
  if (image == nullptr) {
    const std::string message = std::string(check.what) + "检查失败（" + file + "）: " + reason;
    return Fail(run, message, {.eventStage = check.stage, .errorStage = check.stage, .cause = message});
  }
  run.result.imageEdition = EditionText(*image);
  log::LogInfo(std::string(check.what) + "检查通过，将部署第 " + std::to_string(imageIndex) +
               " 号映像: " + run.result.imageEdition);
  return true;
}

}  // namespace pl::pipeline
