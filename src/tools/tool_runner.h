#pragma once
// The one place where command-line tools of the system are started, hidden, with their output captured.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pl::tools {

struct ToolRunResult {
  bool started = false;    // the pipe and the process were created
  uint32_t exitCode = 0;   // 0 when not started; 4294967295 after termination at the time limit
  std::string output;      // standard output and error as written, decoded from code page 936 to UTF-8

  bool operator==(const ToolRunResult&) const = default;
};

struct LaunchResult {
  bool started = false;
  bool timedOut = false;  // the limit passed and the process was terminated
  uint32_t exitCode = 0;

  bool operator==(const LaunchResult&) const = default;
};

inline constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFFu;

// System directory + "\" + name, or the name unchanged when the system directory cannot be read.
std::wstring SystemToolPath(const std::wstring& toolName);
// The decision behind SystemToolPath: `systemDirectory` is empty when it could not be read.
std::wstring SystemToolPathFrom(const std::wstring& systemDirectory, const std::wstring& toolName);

// "\"app\"" followed by a blank and the arguments when there are any; arguments are passed ready-made.
std::wstring BuildCommandLine(const std::wstring& applicationPath, const std::wstring& arguments);

// Output as it arrives, for tools that print their progress: the tool's own bytes (code page 936; a character may
// be split between two calls), on the calling thread, while the run goes on.
using OutputChunkSink = std::function<void(std::string_view bytes)>;

// Time limits are in milliseconds; 0 waits without end. A positive limit bounds the whole run, reading
// included: a child (or a grandchild holding the output pipe) still running then is cut off and the call
// returns with what arrived. Logs nothing. When it did not start, the thread's last-error value says why.
ToolRunResult RunToolCaptured(const std::wstring& applicationPath, const std::wstring& arguments,
                              const std::wstring& workingDirectory, int32_t timeLimitMs,
                              const OutputChunkSink& onOutput = {});

// Starts without a window and without captured output, and waits (used for the hand-over to the deployer).
LaunchResult RunToolAndWait(const std::wstring& applicationPath, const std::wstring& arguments,
                            const std::wstring& workingDirectory, int32_t timeLimitMs);

// Logs the command, skips it in dry-run, logs a failure. `output`, when given, receives the tool's output
// (left untouched in dry-run). True on success or in dry-run.
bool RunBcdedit(const std::wstring& arguments, bool dryRun, std::string* output = nullptr);

// `script` is UTF-8 with "\r\n" line ends; written unchanged to a temporary file for "diskpart /s".
bool RunDiskpartScript(const std::string& script, bool dryRun);

}  // namespace pl::tools
