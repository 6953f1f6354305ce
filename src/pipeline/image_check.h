#pragma once
// The pre-flight of a run's image: once the OS image is downloaded (or before a backup is restored), and before
// anything is prepared for the restart, the file must be a whole, single-part WIM or ESD that holds the edition
// the deployer is to apply. Reads only the header and the image list.

#include <cstdint>
#include <string>

#include "archive/wim_reader.h"
#include "pipeline/pipeline_common.h"

namespace pl::pipeline {

struct ImageCheck {
  const char* what;         // how the messages name the file: "系统镜像", "备份文件"
  const char* stage;        // of the failed stage event and the error report
  bool inDryRun = false;    // the file is there in dry-run too (the user's backup): read it, which changes nothing
};

// "name（editionId，architecture）", as the success line and the result page show the edition.
std::string EditionText(const archive::WimImage& image);

// In dry-run (unless `inDryRun`) nothing was downloaded: logs that the check is skipped. Otherwise reads the image list of `path`;
// on success logs the edition and sets the result's `imageEdition`, else fails the run naming the file and what is
// wrong (unreadable, not a WIM/ESD, cut short, split, no image `imageIndex` with the indexes there are).
bool CheckOsImage(RunState& run, const std::wstring& path, int32_t imageIndex, const ImageCheck& check);

}  // namespace pl::pipeline
