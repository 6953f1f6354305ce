#pragma once
// The entry of pl_pe.exe: inside the PE it runs the job with its window; in the new system ("--setup") it runs the
// setup stage, without a window (Windows runs it before anyone has logged on).

#include <string>

namespace pl::deploy {

struct PeArguments {
  bool dryRun = false;    // "--dry-run"
  bool setup = false;     // "--setup"
  std::wstring taskPath;  // "--task <path>", for a dry run
  std::string error;      // an argument that cannot be used; empty when all were understood

  bool operator==(const PeArguments&) const = default;
};
// `arguments` as CommandLineToArgvW gives them, program name first; null (a failed split) gives no flags. Exact,
// case-sensitive matches; anything else, and "--task" without a path, is an error.
PeArguments ParsePeArguments(const wchar_t* const* arguments, int count);

// The whole program; returns its exit code.
int RunPeEntry();

}  // namespace pl::deploy
