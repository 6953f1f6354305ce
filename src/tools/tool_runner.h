#pragma once
// The one place where command-line tools of the system are started, hidden, with their output captured.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <string_view>

namespace pl::tools {

struct ToolRunResult {
  bool started = false;    // the pipe and the process were created
  uint32_t exitCode = 0;   // 0 when not started; 4294967295 after termination at the time limit
  std::string output;      // standard output and error as written, decoded from code page 936 to UTF-8; cut
                           // after kMaxCapturedOutput bytes with a marked line

  bool operator==(const ToolRunResult&) const = default;
};

struct LaunchResult {
  bool started = false;
  bool timedOut = false;  // the limit passed and the process was terminated
  uint32_t exitCode = 0;

  bool operator==(const LaunchResult&) const = default;
};

inline constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFFu;
// Captured output beyond this many bytes is read but not kept; the output then ends with a line saying so.
inline constexpr size_t kMaxCapturedOutput = 16u << 20;

// System directory + "\" + name; empty when the system directory cannot be read (a bare name would be looked for in
// the current directory and along PATH, where anyone may have put a program of that name).
std::wstring SystemToolPath(const std::wstring& toolName);
// The decision behind SystemToolPath: `systemDirectory` is empty when it could not be read.
std::wstring SystemToolPathFrom(const std::wstring& systemDirectory, const std::wstring& toolName);

// A variable a child gets on top of (or instead of) the caller's environment.
struct EnvironmentVariable {
  std::wstring name;
  std::wstring value;
};

// "\"app\"" followed by a blank and the arguments when there are any; arguments are passed ready-made.
std::wstring BuildCommandLine(const std::wstring& applicationPath, const std::wstring& arguments);

// Output as it arrives, for tools that print their progress: the tool's own bytes (code page 936; a character may
// be split between two calls), on the calling thread, while the run goes on.
using OutputChunkSink = std::function<void(std::string_view bytes)>;

// Time limits are in milliseconds; 0 waits without end. A positive limit bounds the whole run, reading
// included: a child (or a grandchild holding the output pipe) still running then is cut off and the call
// returns with what arrived. Logs nothing. When it did not start, the thread's last-error value says why.
// `environment`: variables the child gets beside the caller's.
ToolRunResult RunToolCaptured(const std::wstring& applicationPath, const std::wstring& arguments,
                              const std::wstring& workingDirectory, int32_t timeLimitMs,
                              const std::vector<EnvironmentVariable>& environment = {},
                              const OutputChunkSink& onOutput = {});

// A tool of the system directory (`toolName` as SystemToolPath takes it), captured, started in the system
// directory, so that nothing it looks for in its current directory can be someone else's. Not started
// (ERROR_PATH_NOT_FOUND) when the system directory cannot be read.
ToolRunResult RunSystemTool(const std::wstring& toolName, const std::wstring& arguments, int32_t timeLimitMs,
                            const std::vector<EnvironmentVariable>& environment = {},
                            const OutputChunkSink& onOutput = {});

// Windows PowerShell of the system directory with "-NoProfile -NonInteractive -Command \"<command>\"", loading
// modules from the system's own module folder only: the user's PSModulePath starts with their Documents folder,
// where a module of any name would otherwise run elevated.
ToolRunResult RunPowerShell(const std::wstring& command, int32_t timeLimitMs);

// Starts without a window and without captured output, and waits (used for the hand-over to the deployer).
LaunchResult RunToolAndWait(const std::wstring& applicationPath, const std::wstring& arguments,
                            const std::wstring& workingDirectory, int32_t timeLimitMs);

// Logs the command, skips it in dry-run, logs a failure. `output`, when given, receives the tool's output
// (left untouched in dry-run). True on success or in dry-run.
bool RunBcdedit(const std::wstring& arguments, bool dryRun, std::string* output = nullptr);

// `script` is UTF-8 with "\r\n" line ends; written unchanged for "diskpart /s" into a new folder of the system's
// temporary folder that only administrators may change (any other process of the user could rewrite a script in
// the user's own temporary folder between its writing and diskpart's reading); file and folder go afterwards.
bool RunDiskpartScript(const std::string& script, bool dryRun);
// Where that folder is made: the system Windows directory's "Temp", whose entries only their makers and
// administrators may rename or delete. Empty when the Windows directory cannot be read.
std::wstring DiskpartScriptParent();

}  // namespace pl::tools
