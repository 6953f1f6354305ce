#pragma once
// The system tools the deployer changes the machine with (format, Dism, bcdboot): their command lines, a run that
// logs the command and the output, honours dry-run and passes the tool's progress on, and the excerpt of a
// failure that the report carries.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pl::deploy {

// Quick NTFS format of the volume, without questions, labelled "Windows".
std::wstring FormatArguments(wchar_t letter);
std::wstring ApplyArguments(const std::string& imagePath, int32_t index, wchar_t letter);
// Boot files of the Windows on `letter`. With the boot manager's partition known, for the task's firmware ("UEFI",
// "BIOS", both for anything else) onto that partition; without it bcdboot takes the partition the firmware names,
// which only the firmware this PE started with can be written to.
std::wstring BcdbootArguments(wchar_t letter, const std::string& firmware, wchar_t systemLetter);
std::wstring AddDriverArguments(wchar_t letter, const std::string& driverDirectory);
std::wstring CaptureArguments(const std::string& wimPath, wchar_t letter, const std::string& name,
                              const std::string& configFile);

// The last percentage a console progress bar printed ("[====   45.3%   ]" gives 45); -1 when there is none.
int LastPercent(std::string_view text);

struct ToolRun {
  bool ok = false;
  std::string output;  // UTF-8; empty in dry-run
};
// Logs "<name> <arguments>" (the tool's name without ".exe"), and in dry-run "[dry-run] 跳过实际执行" and nothing
// else. Otherwise runs the tool from the system directory without a time limit, passing each new percentage it
// prints to `onPercent` (may be empty), logs its output and, when it exits with another code than 0, the code.
ToolRun RunDeployTool(const std::wstring& tool, const std::wstring& arguments, bool dryRun,
                      const std::function<void(int percent)>& onPercent = {});

// The last lines of a failed tool's output, then for Dism the last lines of its own log when it is there: what
// the session's error report carries.
std::string FailureExcerpt(const std::string& output, bool dism);

}  // namespace pl::deploy
