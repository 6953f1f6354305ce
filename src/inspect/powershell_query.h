#pragma once
// One question to Windows PowerShell, as the key and board readings ask it.

#include <cstdint>
#include <string>

namespace pl::inspect {

// Runs "powershell.exe -NoProfile -NonInteractive -Command "<command>"" (tools::RunPowerShell) and returns
// what it printed without the whitespace around it. Not started: warns `startFailure`; a non-zero exit (also
// after the time limit cut it off): warns `exitFailure` + the exit code. Both give empty.
std::string QueryPowerShell(const std::wstring& command, int32_t timeLimitMs, const std::string& startFailure,
                            const std::string& exitFailure);

}  // namespace pl::inspect
