#include "reporting/diagnosis.h"

#include <nlohmann/json.hpp>

#include "log/log.h"
#include "reporting/backend_request.h"

namespace pl::reporting {
namespace {

using nlohmann::json;

std::string RequestPath(const std::string& sessionId, int32_t requestId) {
  return "/sessions/" + sessionId + "/diagnosis-requests/" + std::to_string(requestId);
}

// The member when present and not null, which must then be a string; otherwise empty.
std::string TextOrEmpty(const json& object, const char* name) {
  if (!object.contains(name) || object.at(name).is_null()) return {};
  return object.at(name).get<std::string>();
}

DiagnosisPoll ReadPoll(const json& root) {
  DiagnosisPoll poll;
  poll.status = TextOrEmpty(root, "status");
  if (root.is_object() && root.contains("round") && root.at("round").is_object()) {
    const json& round = root.at("round");
    poll.hasRound = true;
    poll.roundNumber = round.value("roundNumber", 0);
    poll.advice = TextOrEmpty(round, "advice");
    poll.suggestedAction = TextOrEmpty(round, "suggestedAction");
    poll.commandToRun = TextOrEmpty(round, "commandToRun");
  }
  return poll;
}

}  // namespace

int32_t QueueDiagnosisRequest(const std::string& sessionId, const std::string& stage, const std::string& message,
                              const std::string& diagnosticBundle) {
  if (sessionId.empty()) return -1;
  json body = json::object();
  if (!stage.empty()) body["stage"] = stage;
  body["message"] = message;
  if (!diagnosticBundle.empty()) body["diagnosticBundle"] = diagnosticBundle;
  const net::HttpResponse response =
      PostToBackend("/sessions/" + sessionId + "/diagnosis-requests", SerializeBody(body));
  if (!response.ok || response.status != 201) {
    log::LogWarn("排队 AI 诊断请求失败: " + FailureCause(response));
    return -1;
  }
  try {
    return json::parse(response.body).value("requestId", int32_t{-1});
  } catch (const json::exception& e) {
    log::LogWarn(std::string("解析 AI 诊断排队响应失败: ") + e.what());
    return -1;
  }
}

bool PollDiagnosisRequest(const std::string& sessionId, int32_t requestId, DiagnosisPoll* poll) {
  if (sessionId.empty() || requestId < 0 || poll == nullptr) return false;
  const net::HttpResponse response = GetFromBackend(RequestPath(sessionId, requestId));
  if (!response.ok || response.status != 200) return false;
  try {
    *poll = ReadPoll(json::parse(response.body));
    return true;
  } catch (const json::exception& e) {
    log::LogWarn(std::string("解析 AI 诊断轮询响应失败: ") + e.what());
    return false;
  }
}

bool SubmitRoundResult(const std::string& sessionId, int32_t requestId, int32_t round, const std::string& output,
                       int32_t exitCode, const std::string& screenshotBase64) {
  if (sessionId.empty() || requestId < 0) return false;
  json body = json::object();
  body["output"] = output;
  if (exitCode >= 0) body["exitCode"] = exitCode;
  if (!screenshotBase64.empty()) body["screenshotBase64"] = screenshotBase64;
  const net::HttpResponse response = PostToBackend(
      RequestPath(sessionId, requestId) + "/rounds/" + std::to_string(round) + "/result", SerializeBody(body));
  if (response.ok && response.status < 300) return true;
  log::LogWarn("上报 AI 诊断执行结果失败: " + FailureCause(response));
  return false;
}

bool CancelDiagnosisRequest(const std::string& sessionId, int32_t requestId) {
  if (sessionId.empty() || requestId < 0) return false;
  const net::HttpResponse response = PostToBackend(RequestPath(sessionId, requestId) + "/cancel", "{}");
  return response.ok && response.status < 300;
}

}  // namespace pl::reporting
