#pragma once
// Command-line flags of the program.

#include <string>
#include <vector>

namespace pl::app {

struct RunModeFlags {
  bool dryRun = false;     // "--dry-run": every change is logged instead of made
  bool uninstall = false;  // "--uninstall"
};

// Arguments after the program name; exact, case-sensitive, whole-argument matches; others are ignored.
RunModeFlags ParseArguments(const std::vector<std::wstring>& argumentsAfterProgram);

// Splits GetCommandLineW(); a failed split sets no flag.
RunModeFlags ParseProcessCommandLine();

}  // namespace pl::app
