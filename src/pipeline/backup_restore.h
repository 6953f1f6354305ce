#pragma once
// The backup run (the PE captures the system volume into a new WIM on the staging data volume) and the restore run
// (the PE applies such a WIM). Both are the reinstall run's steps with the differences their jobs need; as there,
// the downloads' bytes go to `bytes` when given.

#include <string>
#include <vector>

#include "config/service_config.h"
#include "pipeline/pipeline_common.h"

namespace pl::pipeline {

// Prepares the capture of the system volume into "<data>\backup\pellora_backup_<local time>.wim" (`backupPath`):
// only the PE and its boot file outside a PE, only the tools inside one (and the deployer started at the end).
PipelineResult RunBackup(const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                         const ProgressCallback& progress, const PipelineMachine& machine = LivePipelineMachine(),
                         const ByteCallback& bytes = {});

// Prepares applying `backupFile`: applied where it lies when the data area is on its volume, else copied into the
// data area first; the tools, the PE, the product key and the drivers as for a reinstall.
PipelineResult RunRestore(const std::wstring& backupFile, const std::vector<config::InstallItem>& items,
                          const config::ExResources& resources, const std::string& clientVersion, bool dryRun,
                          const ProgressCallback& progress, const PipelineMachine& machine = LivePipelineMachine(),
                          const ByteCallback& bytes = {});

}  // namespace pl::pipeline
