#include "app/entry.h"

#include "app/contract_window.h"
#include "app/run_mode.h"
#include "log/log.h"

namespace pl::app {

int RunEntry(HINSTANCE instance, int showCommand) {
  const RunModeFlags flags = ParseProcessCommandLine();
  log::SetLogFile(L"pl_host_gui.log");
  log::LogInfo(std::string("pl_host_gui 启动，模式: ") + (flags.dryRun ? "dry-run" : "execute"));
  return RunMainWindow(instance, showCommand, flags.dryRun);
}

}  // namespace pl::app
