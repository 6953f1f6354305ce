#include "reporting/diagnosis.h"

#include <gtest/gtest.h>

#include "backend_fixture.h"
#include "printers.h"
#include "reporting/report_session.h"

namespace pl::reporting {
namespace {

using Lines = std::vector<std::string>;
using DiagnosisTest = test::BackendTest;

TEST_F(DiagnosisTest, ARequestIsQueuedPolledAnsweredAndCancelled) {
  server.SetDiagnosisScript(R"({"steps": [{"polls": 1, "round": {"roundNumber": 1, "advice": "先看磁盘",
      "suggestedAction": "run_command", "commandToRun": "chkdsk C:"}}]})");
  const std::string id = CreateReportSession("w11-pro", "0.1.0");
  const int32_t request = QueueDiagnosisRequest(id, "download", "下载失败", "===== 环境 =====\r\nWindows 10");
  ASSERT_EQ(request, 1);
  DiagnosisPoll poll;
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  EXPECT_EQ(poll, DiagnosisPoll{"pending"});
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  EXPECT_EQ(poll, (DiagnosisPoll{"round_ready", true, 1, "先看磁盘", "run_command", "chkdsk C:"}));
  EXPECT_TRUE(SubmitRoundResult(id, request, 1, "退出码: 0\r\n\r\nok", 0, "iVBORw0KGgo="));
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  EXPECT_EQ(poll, DiagnosisPoll{"resolved"});
  EXPECT_TRUE(CancelDiagnosisRequest(id, request));
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  EXPECT_EQ(poll, DiagnosisPoll{"user_cancelled"});
  EXPECT_EQ(QueueDiagnosisRequest(id, "", "m", ""), 2);

  EXPECT_EQ(ReportKinds(), (Lines{"create", "diagnosis_queue", "diagnosis_poll", "diagnosis_poll", "round_result",
                                  "diagnosis_poll", "cancel", "diagnosis_poll", "diagnosis_queue"}));
  const auto reports = server.Reports();
  ASSERT_EQ(reports.size(), 9u);
  EXPECT_EQ(reports[1].body,
            R"({"diagnosticBundle":"===== 环境 =====\r\nWindows 10","message":"下载失败","stage":"download"})");
  EXPECT_EQ(reports[2].path, test::kApi + "/sessions/" + id + "/diagnosis-requests/1");
  EXPECT_EQ(reports[4].path, test::kApi + "/sessions/" + id + "/diagnosis-requests/1/rounds/1/result");
  EXPECT_EQ(reports[4].body, R"({"exitCode":0,"output":"退出码: 0\r\n\r\nok","screenshotBase64":"iVBORw0KGgo="})");
  EXPECT_EQ(reports[6].path, test::kApi + "/sessions/" + id + "/diagnosis-requests/1/cancel");
  EXPECT_EQ(reports[6].body, "{}");
  EXPECT_EQ(reports[8].body, R"({"message":"m"})");
  EXPECT_EQ(LogLines(), Lines{});
}

TEST_F(DiagnosisTest, AQueueAnswerOtherThanA201WithANumberGivesNoRequest) {
  struct Case {
    int status;
    std::string body;
    int32_t request;
    Lines log;
  };
  const std::vector<Case> cases = {
      {200, R"({"requestId":3})", -1, {"T [WARN] 排队 AI 诊断请求失败: HTTP 200"}},
      {503, "busy", -1, {"T [WARN] 排队 AI 诊断请求失败: HTTP 503"}},
      {201, R"({"requestId":"3"})", -1,
       {"T [WARN] 解析 AI 诊断排队响应失败: [json.exception.type_error.302] type must be number, but is string"}},
      {201, "queued",
       -1,
       {"T [WARN] 解析 AI 诊断排队响应失败: [json.exception.parse_error.101] parse error at line 1, column 1: syntax "
        "error while parsing value - invalid literal; last read: 'q'"}},
      {201, "{}", -1, {}},
      {201, R"({"requestId":7})", 7, {}},
  };
  for (const Case& c : cases) {
    ClearLog();
    server.ClearRules();
    Answer("/sessions/s-1/diagnosis-requests", "POST", c.status, c.body);
    EXPECT_EQ(QueueDiagnosisRequest("s-1", "download", "m", ""), c.request) << c.body;
    EXPECT_EQ(LogLines(), c.log) << c.body;
  }
}

// What a 200 answer fills in, and what leaves the caller's record as it was.
TEST_F(DiagnosisTest, PollAnswers) {
  const DiagnosisPoll before{"earlier", true, 9, "a", "s", "c"};
  struct Case {
    int status;
    std::string body;
    bool ok;
    DiagnosisPoll poll;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {200, R"({"status":"pending"})", true, {"pending"}, ""},
      {200, R"({"status":"pending","round":null})", true, {"pending"}, ""},
      {200, R"({"round":{}})", true, {"", true}, ""},
      {200, R"({"status":null,"round":{"roundNumber":2,"advice":null,"suggestedAction":"request_screenshot"}})", true,
       {"", true, 2, "", "request_screenshot"}, ""},
      {200, R"({"status":"pending","round":"soon"})", true, {"pending"}, ""},
      {200, R"({"status":3})", false, before,
       "解析 AI 诊断轮询响应失败: [json.exception.type_error.302] type must be string, but is number"},
      {200, R"({"round":{"roundNumber":"2"}})", false, before,
       "解析 AI 诊断轮询响应失败: [json.exception.type_error.302] type must be number, but is string"},
      {200, "", false, before,
       "解析 AI 诊断轮询响应失败: [json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
       "while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {201, R"({"status":"pending"})", false, before, ""},
      {404, "{}", false, before, ""},
  };
  for (const Case& c : cases) {
    ClearLog();
    server.ClearRules();
    Answer("/sessions/s-1/diagnosis-requests/4", "GET", c.status, c.body);
    DiagnosisPoll poll = before;
    EXPECT_EQ(PollDiagnosisRequest("s-1", 4, &poll), c.ok) << c.body;
    EXPECT_EQ(poll, c.poll) << c.body;
    EXPECT_EQ(LogLines(), c.warning.empty() ? Lines{} : Lines{"T [WARN] " + c.warning}) << c.body;
  }
}

TEST_F(DiagnosisTest, ARoundResultLeavesOutAMissingExitCodeAndScreenshotAndLogsNoBody) {
  const std::string id = CreateReportSession("w11-pro", "0.1.0");
  const int32_t request = QueueDiagnosisRequest(id, "download", "m", "");
  DiagnosisPoll poll;
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  ASSERT_TRUE(PollDiagnosisRequest(id, request, &poll));
  ASSERT_EQ(poll.roundNumber, 1);  // the default script's one round
  EXPECT_FALSE(SubmitRoundResult(id, request, -2, "secret", 3, "c2NyZWVu"));  // not on offer: 409
  EXPECT_TRUE(SubmitRoundResult(id, request, 1, "没有输出", -1, ""));
  const auto results = server.Reports("round_result");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].path, test::kApi + "/sessions/" + id + "/diagnosis-requests/1/rounds/-2/result");
  EXPECT_EQ(results[0].body, R"({"exitCode":3,"output":"secret","screenshotBase64":"c2NyZWVu"})");
  EXPECT_EQ(results[1].body, R"({"output":"没有输出"})");
  EXPECT_EQ(LogLines(), Lines{"T [WARN] 上报 AI 诊断执行结果失败: HTTP 409"});
}

TEST_F(DiagnosisTest, WithoutSessionOrRequestNothingIsSent) {
  DiagnosisPoll poll;
  EXPECT_EQ(QueueDiagnosisRequest("", "download", "m", "bundle"), -1);
  for (const auto& [session, request] : std::vector<std::pair<std::string, int32_t>>{{"", 1}, {"s-1", -1}}) {
    EXPECT_FALSE(PollDiagnosisRequest(session, request, &poll)) << request;
    EXPECT_FALSE(SubmitRoundResult(session, request, 1, "out", 0, "")) << request;
    EXPECT_FALSE(CancelDiagnosisRequest(session, request)) << request;
  }
  EXPECT_FALSE(PollDiagnosisRequest("s-1", 1, nullptr));
  EXPECT_EQ(poll, DiagnosisPoll{});
  EXPECT_EQ(ReportKinds(), Lines{});
  EXPECT_EQ(LogLines(), Lines{});
}

TEST_F(DiagnosisTest, AnUnreachableBackendIsLoggedWhereTheCallLogs) {
  test::ScopedEnvironment unreachable(config::kBackendOriginVariable, test::ClosedOrigin());
  DiagnosisPoll poll;
  EXPECT_EQ(QueueDiagnosisRequest("s-1", "download", "m", ""), -1);
  EXPECT_FALSE(PollDiagnosisRequest("s-1", 1, &poll));
  EXPECT_FALSE(SubmitRoundResult("s-1", 1, 1, "out", 0, ""));
  EXPECT_FALSE(CancelDiagnosisRequest("s-1", 1));
  EXPECT_EQ(LogLines(), (Lines{"T [WARN] 排队 AI 诊断请求失败: WinHttpSendRequest 失败, GetLastError=12029",
                               "T [WARN] 上报 AI 诊断执行结果失败: WinHttpSendRequest 失败, GetLastError=12029"}));
}

}  // namespace
}  // namespace pl::reporting
