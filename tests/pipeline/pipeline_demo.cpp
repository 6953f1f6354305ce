// A dry-run reinstall without the window, for scripts/run: the catalog as the program loads it (the backend, else
// "ini\imglist3.ini" under the working folder), the image the program would offer first, and the run's whole log on
// standard output. The main window replaces it once it starts runs itself.

#include <atomic>
#include <cstdio>

#include "base/constants.h"
#include "base/text.h"
#include "config/default_image.h"
#include "config/service_config.h"
#include "log/log.h"
#include "pipeline/reinstall.h"

int wmain() {
  using namespace pl;
  const config::ServiceConfig catalog = config::LoadServiceConfig(L"ini\\imglist3.ini");
  if (!catalog.ok || catalog.osImages.empty()) {
    std::printf("no catalog: %s\n", catalog.error.c_str());
    return 1;
  }
  const config::OsImageEntry& image =
      catalog.osImages[config::PickDefaultImage(catalog.osImages, config::DetectSystemEdition())];
  // Called from download threads too (none in a dry run): an atomic is all it touches.
  std::atomic<int> lastPercent{0};
  const pipeline::PipelineResult result = pipeline::RunReinstall(
      image, {}, catalog.exResources, base::kClientVersion, true,
      [&lastPercent](const std::string&, const std::string&, int percent) { lastPercent = percent; }, {});
  std::printf("dry-run reinstall of %s: %s, last progress %d%%, task file %s\n", image.key.c_str(),
              result.ok ? "ok" : ("failed: " + result.error).c_str(), lastPercent.load(),
              base::WideToUtf8(result.taskFilePath).c_str());
  return result.ok ? 0 : 1;
}
