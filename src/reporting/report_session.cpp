#include "reporting/report_session.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "log/log.h"
#include "net/http.h"
#include "reporting/backend_request.h"

namespace pl::reporting {
namespace {

using nlohmann::json;

// POST of `body` to the session's `endpoint`; a failure is one warning carrying the whole body, so that what the
// backend missed can still be read in the local log.
bool SendReport(const std::string& sessionId, std::string_view endpoint, const json& body,
                const std::string& warningPrefix) {
  const std::string text = SerializeBody(body);
  const net::HttpResponse response = PostToBackend("/sessions/" + sessionId + std::string(endpoint), text);
  if (response.ok && response.status < 300) return true;
  log::LogWarn(warningPrefix + FailureCause(response) + "，原始内容: " + text);
  return false;
}

}  // namespace

std::string CreateReportSession(const std::string& chosenOsKey, const std::string& clientVersion) {
  json body = json::object();
  if (!chosenOsKey.empty()) body["chosenOsKey"] = chosenOsKey;
  if (!clientVersion.empty()) body["clientVersion"] = clientVersion;
  const net::HttpResponse response = PostToBackend("/sessions", SerializeBody(body));
  if (!response.ok) {
    log::LogWarn("创建上报 session 失败(网络): " + response.error);
    return {};
  }
  if (response.status != 201) {
    log::LogWarn("创建上报 session 失败, HTTP " + std::to_string(response.status) + ": " + response.body);
    return {};
  }
  try {
    return json::parse(response.body).value("sessionId", std::string());
  } catch (const json::exception& e) {
    log::LogWarn(std::string("解析 session 创建响应失败: ") + e.what());
    return {};
  }
}

bool ReportDevice(const std::string& sessionId, const DeviceReport& device) {
  if (sessionId.empty()) return false;
  json body = json::object();
  body["deviceId"] = device.deviceId;
  if (!device.firmwareType.empty()) body["firmwareType"] = device.firmwareType;
  if (!device.cpu.empty()) body["cpu"] = device.cpu;
  if (!device.motherboard.empty()) body["motherboard"] = device.motherboard;
  if (device.diskSizeGb > 0) body["diskSizeGb"] = device.diskSizeGb;
  return SendReport(sessionId, "/device", body, "上报设备信息失败: ");
}

bool ReportStageEvent(const std::string& sessionId, const std::string& stage, const std::string& status,
                      int64_t durationMs, const std::string& errorMessage) {
  if (sessionId.empty()) return false;
  json body = json::object();
  body["stage"] = stage;
  body["status"] = status;
  if (durationMs >= 0) body["durationMs"] = durationMs;
  if (!errorMessage.empty()) body["errorMessage"] = errorMessage;
  return SendReport(sessionId, "/stage-events", body, "上报阶段进度失败(" + stage + "/" + status + "): ");
}

bool ReportError(const std::string& sessionId, const std::string& stage, const std::string& message,
                 const std::string& rawLogExcerpt) {
  if (sessionId.empty()) {
    log::LogWarn("没有可用的上报 session，错误信息只能留在本地日志: stage=" + stage + ", message=" + message);
    return false;
  }
  json body = json::object();
  if (!stage.empty()) body["stage"] = stage;
  body["message"] = message;
  if (!rawLogExcerpt.empty()) body["rawLogExcerpt"] = rawLogExcerpt;
  return SendReport(sessionId, "/errors", body, "上报错误信息失败: ");
}

bool FinishReportSession(const std::string& sessionId, const std::string& overallStatus) {
  if (sessionId.empty()) return false;
  json body = json::object();
  body["overallStatus"] = overallStatus;
  return SendReport(sessionId, "/finish", body, "上报流程结束状态失败: ");
}

std::string ReadMachineGuid() {
  wchar_t guid[64] = {};  // 128 bytes: a GUID in text is 36 characters
  DWORD size = sizeof guid;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid", RRF_RT_REG_SZ, nullptr,
                   guid, &size) != ERROR_SUCCESS) {
    return {};
  }
  return base::WideToUtf8(guid);
}

}  // namespace pl::reporting
