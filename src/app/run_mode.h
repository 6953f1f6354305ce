#pragma once
// Command-line flags of the program.

namespace pl::app {

struct RunModeFlags {
  bool dryRun = false;     // "--dry-run": every change is logged instead of made
  bool uninstall = false;  // "--uninstall"
};

// `arguments` as CommandLineToArgvW gives them, program name first; null (a failed split) sets no flag.
// Only exact, case-sensitive, whole-argument matches after the program name count; others are ignored.
RunModeFlags ParseArguments(const wchar_t* const* arguments, int count);

// Splits GetCommandLineW() and parses it.
RunModeFlags ParseProcessCommandLine();

}  // namespace pl::app
