#pragma once
// The reinstall run: everything the PE deployer needs to install the chosen catalog image on this machine.

#include <string>
#include <vector>

#include "config/service_config.h"
#include "pipeline/pipeline_common.h"

namespace pl::pipeline {

// Plans the staging area, writes the wishlist, downloads and verifies the image, the tools and (outside a PE) the
// PE with its boot file, keeps the product key and the drivers, adds the one-shot PE boot entry and writes
// "task.ini". Inside a PE the deployer is started at the end instead of a restart. In dry-run every change is
// logged instead of made. The downloads' bytes go to `bytes` when given. Blocking: run it on a worker thread.
PipelineResult RunReinstall(const config::OsImageEntry& image, const std::vector<config::InstallItem>& items,
                            const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                            const ProgressCallback& progress, const std::vector<std::string>& wishlist,
                            const PipelineMachine& machine = LivePipelineMachine(), const ByteCallback& bytes = {});

}  // namespace pl::pipeline
