#pragma once
// The client side of a diagnosis request hanging off a reporting session: queue it, poll it for rounds, post each
// round's result, cancel it. The backend drives the conversation; nothing is kept here and nothing is retried.

#include <cstdint>
#include <string>

namespace pl::reporting {

// One poll answer. Texts are empty when the backend left the member out or sent null.
struct DiagnosisPoll {
  std::string status;        // the request's state in the backend's words
  bool hasRound = false;     // a round is on offer; the fields below describe it
  int32_t roundNumber = 0;
  std::string advice;
  std::string suggestedAction;
  std::string commandToRun;

  bool operator==(const DiagnosisPoll&) const = default;
};

// The backend's identifier of the new request, or -1 (a warning says why; nothing is sent without a session).
// `stage` and `diagnosticBundle` are left out of the request when empty.
int32_t QueueDiagnosisRequest(const std::string& sessionId, const std::string& stage, const std::string& message,
                              const std::string& diagnosticBundle);

// True when a 200 answer was read into `*poll`; otherwise `*poll` is left as it was. A transport failure or
// another status is not logged (the caller polls again at its own pace); an answer that cannot be read is.
bool PollDiagnosisRequest(const std::string& sessionId, int32_t requestId, DiagnosisPoll* poll);

// The outcome of round `round`: `exitCode` -1 and an empty screenshot (Base64) are left out of the request. A
// failure is logged without the body, which may hold a screenshot.
bool SubmitRoundResult(const std::string& sessionId, int32_t requestId, int32_t round, const std::string& output,
                       int32_t exitCode, const std::string& screenshotBase64);

// Never logs.
bool CancelDiagnosisRequest(const std::string& sessionId, int32_t requestId);

// Poll, result and cancel send nothing and return false without a session or with a negative request.

}  // namespace pl::reporting
