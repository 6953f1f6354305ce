#include "inspect/powershell_query.h"

#include "base/text.h"
#include "log/log.h"
#include "tools/tool_runner.h"

namespace pl::inspect {

std::string QueryPowerShell(const std::wstring& command, int32_t timeLimitMs, const std::string& startFailure,
                            const std::string& exitFailure) {
  const tools::ToolRunResult run = tools::RunPowerShell(command, timeLimitMs);
  if (!run.started) {
    log::LogWarn(startFailure);
    return {};
  }
  if (run.exitCode != 0) {
    log::LogWarn(exitFailure + std::to_string(run.exitCode));
    return {};
  }
  return std::string(base::TrimWhitespace(run.output));
}

}  // namespace pl::inspect
