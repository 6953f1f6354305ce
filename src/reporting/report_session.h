#pragma once
// Each job reported to the backend as a session: created at the start, then device facts, stage events, error
// reports and a final status. Strictly best effort: a failure only ends in one warning line of the log, never in
// anything a job must act on. No state is kept; the caller holds the session identifier.

#include <cstdint>
#include <string>

namespace pl::reporting {

struct DeviceReport {
  std::string deviceId;      // the machine GUID; always sent
  std::string firmwareType;  // sent when not empty, like cpu and motherboard
  std::string cpu;
  std::string motherboard;
  int32_t diskSizeGb = 0;    // sent when above 0
};

// The new session's identifier, or empty when there is none (the warning says why). `chosenOsKey` is the catalog
// key of the image, or "backup", "restore" and the like; both texts are left out of the request when empty.
std::string CreateReportSession(const std::string& chosenOsKey, const std::string& clientVersion);

// Each returns true when the backend took the report (status below 300). With an empty session nothing is sent
// and false is returned at once. `durationMs` -1 and an empty `errorMessage` leave those members out.
bool ReportDevice(const std::string& sessionId, const DeviceReport& device);
bool ReportStageEvent(const std::string& sessionId, const std::string& stage, const std::string& status,
                      int64_t durationMs, const std::string& errorMessage);
// Without a session the error is at least written to the log.
bool ReportError(const std::string& sessionId, const std::string& stage, const std::string& message,
                 const std::string& rawLogExcerpt);
bool FinishReportSession(const std::string& sessionId, const std::string& overallStatus);

// The value "MachineGuid" of HKLM\SOFTWARE\Microsoft\Cryptography, or empty when it cannot be read.
std::string ReadMachineGuid();

}  // namespace pl::reporting
