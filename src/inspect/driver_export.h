#pragma once
// Exporting the installed drivers with Dism into the staging data area, so the new system gets them back: the
// running system's ("/Online") or, inside a PE, the target installation's ("/Image:D:\").

#include <string>

namespace pl::inspect {

// `destination` is created first (a failure is logged and Dism runs all the same: its exit code decides).
// `offlineLetter` 0 exports the running system. In dry-run the command is logged and nothing is created or
// started. True when Dism exited with 0, or in dry-run.
bool ExportDrivers(const std::wstring& destination, wchar_t offlineLetter, bool dryRun);

}  // namespace pl::inspect
