#include "reporting/report_session.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "backend_fixture.h"
#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::reporting {
namespace {

using Lines = std::vector<std::string>;
using test::kApi;
using ReportSessionTest = test::BackendTest;

// Every report of one job, each body exactly as it arrived: members left out by their conditions, keys sorted,
// nothing escaped but what JSON must, bad UTF-8 replaced.
TEST_F(ReportSessionTest, AJobsReportsArriveWithTheirExactBodies) {
  EXPECT_FALSE(CreateReportSession("", "").empty());
  const std::string id = CreateReportSession("w11-pro", "0.1.0");
  ASSERT_EQ(id.rfind("s-", 0), 0u) << id;
  struct Case {
    const char* kind;
    std::function<bool()> send;
    const char* body;
  };
  const std::vector<Case> cases = {
      {"device", [&] { return ReportDevice(id, {"guid-1", "UEFI", "Intel(R) Core(TM) i5", "ASUS PRIME", 476}); },
       R"({"cpu":"Intel(R) Core(TM) i5","deviceId":"guid-1","diskSizeGb":476,"firmwareType":"UEFI",)"
       R"("motherboard":"ASUS PRIME"})"},
      {"device", [&] { return ReportDevice(id, {"guid-1", "BIOS", "AMD", "", 0}); },
       R"({"cpu":"AMD","deviceId":"guid-1","firmwareType":"BIOS"})"},
      {"device", [&] { return ReportDevice(id, {"", "", "", "", -1}); }, R"({"deviceId":""})"},
      {"stage_event", [&] { return ReportStageEvent(id, "download", "failed", 1500, "下载系统镜像失败: HTTP 404"); },
       R"({"durationMs":1500,"errorMessage":"下载系统镜像失败: HTTP 404","stage":"download","status":"failed"})"},
      {"stage_event", [&] { return ReportStageEvent(id, "staging", "started", -1, ""); },
       R"({"stage":"staging","status":"started"})"},
      {"stage_event", [&] { return ReportStageEvent(id, "", "", 0, ""); },
       R"({"durationMs":0,"stage":"","status":""})"},
      {"error", [&] { return ReportError(id, "pe_deploy", "设置 device 失败", "bcdedit /set\r\n\"退出码\" 1"); },
       R"({"message":"设置 device 失败","rawLogExcerpt":"bcdedit /set\r\n\"退出码\" 1","stage":"pe_deploy"})"},
      {"error", [&] { return ReportError(id, "", "下载\xFF失败", ""); }, "{\"message\":\"下载\xEF\xBF\xBD失败\"}"},
      {"finish", [&] { return FinishReportSession(id, "failed"); }, R"({"overallStatus":"failed"})"},
  };
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_TRUE(cases[i].send()) << i;

  const auto reports = server.Reports();
  ASSERT_EQ(reports.size(), cases.size() + 2);
  EXPECT_EQ(reports[0].body, "{}");
  EXPECT_EQ(reports[1].body, R"({"chosenOsKey":"w11-pro","clientVersion":"0.1.0"})");
  for (size_t i = 0; i < cases.size(); ++i) {
    const test::DevServerReport& r = reports[i + 2];
    EXPECT_EQ(r.kind, cases[i].kind) << i;
    EXPECT_EQ(r.sessionId, id) << i;
    EXPECT_EQ(r.body, cases[i].body) << i;
    EXPECT_EQ(r.status, 200) << i;
  }
  EXPECT_EQ(reports[2].Member("diskSizeGb"), "476");  // a number, not a text
  EXPECT_EQ(LogLines(), Lines{});
}

TEST_F(ReportSessionTest, ACreateAnsweredOtherThanWith201AndASessionIdGivesNoSession) {
  struct Case {
    int status;
    std::string body;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {200, R"({"sessionId":"s-9"})", R"(创建上报 session 失败, HTTP 200: {"sessionId":"s-9"})"},
      {503, "busy", "创建上报 session 失败, HTTP 503: busy"},
      {201, R"({"sessionId":7})", "解析 session 创建响应失败: [json.exception.type_error.302] type must be string, but is number"},
      {201, R"(["s-9"])", "解析 session 创建响应失败: [json.exception.type_error.306] cannot use value() with array"},
      {201, "created",
       "解析 session 创建响应失败: [json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
       "parsing value - invalid literal; last read: 'c'"},
  };
  for (const Case& c : cases) {
    ClearLog();
    server.ClearRules();
    Answer("/sessions", "POST", c.status, c.body);
    EXPECT_EQ(CreateReportSession("w11-pro", "0.1.0"), "") << c.body;
    EXPECT_EQ(LogLines(), Lines{"T [WARN] " + c.warning}) << c.body;
  }
  ClearLog();
  test::ScopedEnvironment unreachable(config::kBackendOriginVariable, test::ClosedOrigin());
  EXPECT_EQ(CreateReportSession("w11-pro", "0.1.0"), "");
  EXPECT_EQ(LogLines(), Lines{"T [WARN] 创建上报 session 失败(网络): WinHttpSendRequest 失败, GetLastError=12029"});
}

TEST_F(ReportSessionTest, A201WithoutSessionIdLeavesTheJobWithoutReports) {
  Answer("/sessions", "POST", 201, "{}");
  const std::string id = CreateReportSession("w11-pro", "0.1.0");
  EXPECT_EQ(id, "");
  EXPECT_FALSE(ReportDevice(id, {"guid-1"}));
  EXPECT_FALSE(ReportStageEvent(id, "download", "started", -1, ""));
  EXPECT_FALSE(ReportError(id, "download", "下载失败", "excerpt"));
  EXPECT_FALSE(FinishReportSession(id, "failed"));
  EXPECT_EQ(ReportKinds(), Lines{"create"});
  EXPECT_EQ(LogLines(), Lines{"T [WARN] 没有可用的上报 session，错误信息只能留在本地日志: stage=download, message=下载失败"});
}

// A report that fails leaves its whole body in the log, after the cause: the status, or the transport's error.
TEST_F(ReportSessionTest, AFailedReportLogsItsCauseAndItsWholeBody) {
  const Lines expected = {
      R"(T [WARN] 上报设备信息失败: CAUSE，原始内容: {"deviceId":"guid-1"})",
      R"(T [WARN] 上报阶段进度失败(download/failed): CAUSE，原始内容: {"errorMessage":"下载失败","stage":"download","status":"failed"})",
      R"(T [WARN] 上报错误信息失败: CAUSE，原始内容: {"message":"下载失败","rawLogExcerpt":"a\r\nb","stage":"download"})",
      R"(T [WARN] 上报流程结束状态失败: CAUSE，原始内容: {"overallStatus":"failed"})",
  };
  const std::vector<std::pair<std::wstring, std::string>> routes = {
      {server.origin, "HTTP 503"}, {test::ClosedOrigin(), "WinHttpSendRequest 失败, GetLastError=12029"}};
  Answer("/sessions/*", "", 503, "busy");
  for (const auto& [origin, cause] : routes) {
    ClearLog();
    test::ScopedEnvironment backendOrigin(config::kBackendOriginVariable, origin);
    EXPECT_FALSE(ReportDevice("s-1", {"guid-1"}));
    EXPECT_FALSE(ReportStageEvent("s-1", "download", "failed", -1, "下载失败"));
    EXPECT_FALSE(ReportError("s-1", "download", "下载失败", "a\r\nb"));
    EXPECT_FALSE(FinishReportSession("s-1", "failed"));
    Lines lines = expected;
    for (std::string& line : lines) line.replace(line.find("CAUSE"), 5, cause);
    EXPECT_EQ(LogLines(), lines) << cause;
  }
  EXPECT_EQ(ReportKinds(), (Lines{"device", "stage_event", "error", "finish"}));
}

TEST(MachineGuidTest, IsTheRegistrysValue) {
  base::UniqueRegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  wchar_t value[128] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  ASSERT_EQ(RegQueryValueExW(key.get(), L"MachineGuid", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  const std::string guid = ReadMachineGuid();
  EXPECT_EQ(guid, base::WideToUtf8(value));
  EXPECT_EQ(guid.size(), 36u) << guid;
}

}  // namespace
}  // namespace pl::reporting
