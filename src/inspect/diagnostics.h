#pragma once
// The diagnostics text for human support and the AI diagnosis: the machine's nine facts and every log this
// program and its sibling programs wrote (ours whole, the deployer's and the set-up's last MiB); and the same text
// saved on the desktop.

#include <ctime>
#include <functional>
#include <string>

#include "inspect/system_info.h"

namespace pl::inspect {

// What the text is made of; BuildDiagnosticText gathers it from the machine.
struct DiagnosticParts {
  std::string version;        // the client version, "0.1.0"
  std::tm generatedAt = {};   // local time
  EnvironmentSummary summary;
  std::wstring logDirectory;  // where pl_host_gui.log and pl_host.log are
  std::wstring stagingPeLog;  // the deployer's log found on a fixed drive; empty when none was
  std::wstring systemDrive;   // the "SystemDrive" variable; empty (or 260 characters or more) leaves the setup logs out
};

// Of "pl_pe.log", "pl_setup.log" and "setupcomplete.log", which other accounts can write, only this many last bytes
// (from the first whole line on) are taken, and never through a link.
inline constexpr size_t kMaxLogTail = 1u << 20;

// UTF-8 with CRLF line ends: header, system facts, then one section per log (missing logs noted, never fatal).
std::string ComposeDiagnosticText(const DiagnosticParts& parts);

// A fresh summary (up to 15 s), the current time, the log directory, the staging PE log and "SystemDrive".
std::string BuildDiagnosticText(const std::string& version);

// The first X:\$PelloraData$\pl_pe.log on a present fixed drive, A to Z; empty when there is none.
std::wstring FindStagingPeLog();

// Where WriteDiagnosticFile gets its text, its time stamp and its folder; live by default.
struct DiagnosticFileSources {
  std::function<std::string(const std::string& version)> buildText = BuildDiagnosticText;
  std::function<std::tm()> localTime;                 // now, when not given
  std::function<std::wstring()> desktopDirectory;     // the user's desktop, when not given; empty when unknown
};

// Writes the byte-order mark and the text to <desktop, or ".">\Pellora重装大师诊断信息_YYYYMMDD_hhmmss.txt,
// replacing a file of that name. The full path, or empty when the file could not be written (logged).
std::wstring WriteDiagnosticFile(const std::string& version, const DiagnosticFileSources& sources = {});

}  // namespace pl::inspect
