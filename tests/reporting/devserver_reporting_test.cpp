// The backend stand-in's reporting and diagnosis endpoints, driven with raw HTTP the way the program's client talks
// to them, and read back through the report store.

#include <gtest/gtest.h>

#include <iterator>

#include "devserver_client.h"
#include "net/http.h"

namespace pl::test {
namespace {

using net::HttpResponse;

const std::string kApi = "/reset/api/v1";

struct Backend {
  HttpResponse Post(const std::string& path, const std::string& body, bool withKey = true) const {
    return net::HttpPostJson(server.Url(kApi + path), body, withKey ? key : std::vector<net::HttpHeader>{});
  }
  HttpResponse Get(const std::string& path) const { return net::HttpGet(server.Url(kApi + path), key); }
  std::string CreateSession() const {
    EXPECT_EQ(Post("/sessions", R"({"clientVersion":"0.1.0"})").status, 201);
    const auto created = server.Reports("create");
    return created.empty() ? std::string() : created.back().sessionId;
  }

  DevServerSession server;
  std::vector<net::HttpHeader> key = {
      {L"X-API-Key", std::wstring(std::begin(kDevServerApiKey), std::end(kDevServerApiKey) - 1)}};
};

// One request of a conversation: a GET when `body` is absent, and what it must be answered.
struct Exchange {
  std::string path;
  std::optional<std::string> body;
  int status;
  std::string answer;  // empty: not compared
};

void Play(const Backend& backend, const std::vector<Exchange>& exchanges) {
  for (size_t i = 0; i < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    const HttpResponse response = e.body ? backend.Post(e.path, *e.body) : backend.Get(e.path);
    EXPECT_EQ(response.status, e.status) << "exchange " << i << ": " << e.path;
    if (!e.answer.empty()) {
      EXPECT_EQ(response.body, e.answer) << "exchange " << i << ": " << e.path;
    }
  }
}

// "kind round status" per report, a compact view of a conversation as the stand-in saw it.
std::vector<std::string> Outline(const std::vector<DevServerReport>& reports) {
  std::vector<std::string> lines;
  for (const DevServerReport& r : reports) {
    lines.push_back(r.kind + " " + (r.round ? std::to_string(*r.round) : "-") + " " + std::to_string(r.status));
  }
  return lines;
}

TEST(DevServerReportingTest, ASessionsReportsReadBackInArrivalOrderWithTheirExactBodies) {
  Backend backend;
  const std::string id = backend.CreateSession();
  ASSERT_EQ(id.rfind("s-", 0), 0u) << id;
  struct Case {
    std::string path;
    std::string body;
    std::string kind;
    int status;
  };
  const std::vector<Case> cases = {
      {"/sessions/" + id + "/device", R"({"deviceId":"guid-1","cpu":"Intel","diskSizeGb":512})", "device", 200},
      {"/sessions/" + id + "/stage-events", R"({"stage":"download","status":"started"})", "stage_event", 200},
      {"/sessions/" + id + "/errors", "{\"message\":\"下载失败\xEF\xBF\xBD\",\"stage\":\"download\"}", "error", 200},
      {"/sessions/" + id + "/finish", R"({"overallStatus":"failed"})", "finish", 200},
      {"/sessions/s-0-unknown/finish", R"({"overallStatus":"failed"})", "finish", 404},
      {"/sessions/" + id + "/errors", "{\"message\":\"\xFF\"}", "error", 400},  // not UTF-8
      {"/sessions/" + id + "/device", "", "device", 400},
  };
  for (const Case& c : cases) EXPECT_EQ(backend.Post(c.path, c.body).status, c.status) << c.path;

  const auto reports = backend.server.Reports();
  ASSERT_EQ(reports.size(), cases.size() + 1);
  EXPECT_EQ(reports[0].kind, "create");
  EXPECT_EQ(reports[0].body, R"({"clientVersion":"0.1.0"})");
  EXPECT_EQ(reports[0].answer, "{\"sessionId\": \"" + id + "\"}");
  for (size_t i = 0; i < cases.size(); ++i) {
    const DevServerReport& r = reports[i + 1];
    EXPECT_EQ(r.kind, cases[i].kind) << i;
    EXPECT_EQ(r.method, "POST") << i;
    EXPECT_EQ(r.path, kApi + cases[i].path) << i;
    EXPECT_EQ(r.body, cases[i].body) << i;
    EXPECT_EQ(r.status, cases[i].status) << i;
    EXPECT_FALSE(r.byRule) << i;
    EXPECT_EQ(r.requestId, -1) << i;
  }
  EXPECT_EQ(reports[1].json, R"({"cpu":"Intel","deviceId":"guid-1","diskSizeGb":512})");
  EXPECT_EQ(reports[1].Member("diskSizeGb"), "512");
  EXPECT_EQ(reports[3].Text("message"), "下载失败\xEF\xBF\xBD");
  EXPECT_EQ(reports[4].answer, "{}");
  EXPECT_EQ(reports[5].sessionId, "s-0-unknown");
  EXPECT_EQ(reports[6].json, "");

  EXPECT_EQ(Outline(backend.server.Reports("finish")),
            (std::vector<std::string>{"finish - 200", "finish - 404"}));
  backend.server.ClearReports();
  EXPECT_TRUE(backend.server.Reports().empty());
}

TEST(DevServerReportingTest, ADiagnosisRequestWalksItsScriptByPollsAndResults) {
  Backend backend;
  backend.server.SetDiagnosisScript(R"({"steps": [
      {"polls": 1, "round": {"roundNumber": 1, "advice": "先看磁盘", "suggestedAction": "run_command",
                             "commandToRun": "echo hi"}},
      {"polls": 2, "waiting": "analyzing", "round": {"roundNumber": 2, "suggestedAction": "request_screenshot"}},
      {"raw": "{\"round\": {}}"},
      {"status": "max_rounds"}]})");
  const std::string request = "/sessions/" + backend.CreateSession() + "/diagnosis-requests";
  const std::string poll = request + "/1";
  const std::string round1 = R"({"status": "round_ready", "round": {"roundNumber": 1, "advice": "先看磁盘", )"
                             R"("suggestedAction": "run_command", "commandToRun": "echo hi"}})";
  const std::string result2 = R"({"output":"","screenshotBase64":"iVBORw0KGgoAAAANSUhEUg"})";
  Play(backend, {
      {request, R"({"message":"下载失败","stage":"download"})", 201, R"({"requestId": 1})"},
      {poll, {}, 200, R"({"status": "pending", "round": null})"},
      {poll + "/rounds/1/result", R"({"output":""})", 409, ""},  // not on offer yet
      {poll, {}, 200, round1},
      {poll, {}, 200, round1},
      {poll + "/rounds/2/result", R"({"output":""})", 409, ""},
      {poll + "/rounds/1/result", R"({"exitCode":0,"output":"退出码: 0\r\n\r\nhi"})", 200, "{}"},
      {poll, {}, 200, R"({"status": "analyzing", "round": null})"},
      {poll, {}, 200, R"({"status": "analyzing", "round": null})"},
      {poll, {}, 200, R"({"status": "round_ready", "round": {"roundNumber": 2, "suggestedAction": "request_screenshot"}})"},
      {poll + "/rounds/2/result", result2, 200, "{}"},
      {poll, {}, 200, R"({"round": {}})"},
      {poll + "/rounds/0/result", R"({"output":""})", 200, "{}"},
      {poll, {}, 200, R"({"status": "max_rounds", "round": null})"},
      {poll, {}, 200, R"({"status": "max_rounds", "round": null})"},
      {poll + "/rounds/0/result", R"({"output":""})", 409, ""},
  });

  const auto reports = backend.server.Reports();
  EXPECT_EQ(Outline(reports), (std::vector<std::string>{
      "create - 201", "diagnosis_queue - 201", "diagnosis_poll - 200", "round_result 1 409", "diagnosis_poll 1 200",
      "diagnosis_poll 1 200", "round_result 2 409", "round_result 1 200", "diagnosis_poll - 200",
      "diagnosis_poll - 200", "diagnosis_poll 2 200", "round_result 2 200", "diagnosis_poll - 200",
      "round_result 0 200", "diagnosis_poll - 200", "diagnosis_poll - 200", "round_result 0 409"}));
  ASSERT_EQ(reports.size(), 17u);
  EXPECT_EQ(reports[1].requestId, 1);
  EXPECT_EQ(reports[1].json, R"({"message":"下载失败","stage":"download"})");
  EXPECT_EQ(reports[2].method, "GET");
  EXPECT_EQ(reports[2].body, "");
  EXPECT_EQ(reports[11].body, result2);
  EXPECT_EQ(reports[11].Text("screenshotBase64"), "iVBORw0KGgoAAAANSUhEUg");
  EXPECT_EQ(reports[7].Member("exitCode"), "0");
}

TEST(DevServerReportingTest, TheDefaultScriptOffersOneResolvedRoundAndACancelEndsOnlyItsRequest) {
  Backend backend;
  const std::string request = "/sessions/" + backend.CreateSession() + "/diagnosis-requests";
  const std::string cancelled = R"({"status": "user_cancelled", "round": null})";
  Play(backend, {
      {request, R"({"message":"m"})", 201, R"({"requestId": 1})"},
      {request, R"({"message":"m"})", 201, R"({"requestId": 2})"},
      {request + "/1", {}, 200, R"({"status": "pending", "round": null})"},
      {request + "/1", {}, 200, ""},
      {request + "/1/cancel", "{}", 200, "{}"},
      {request + "/1", {}, 200, cancelled},
      {request + "/1/rounds/1/result", R"({"output":""})", 409, ""},
      {request + "/1/cancel", "{}", 200, "{}"},
      {request + "/1", {}, 200, cancelled},
      {request + "/2", {}, 200, R"({"status": "pending", "round": null})"},
      {request + "/3", {}, 404, ""},
      {request + "/3/cancel", "{}", 404, ""},
  });
  const auto polls = backend.server.Reports("diagnosis_poll");
  ASSERT_EQ(polls.size(), 6u);
  EXPECT_EQ(polls[1].round, 1);
  EXPECT_EQ(polls[5].requestId, 3);
  EXPECT_EQ(polls[5].status, 404);
  EXPECT_NE(polls[1].answer.find(R"("roundNumber": 1, "suggestedAction": "resolved")"), std::string::npos)
      << polls[1].answer;
  const auto cancels = backend.server.Reports("cancel");
  ASSERT_EQ(cancels.size(), 3u);
  EXPECT_EQ(cancels[0].requestId, 1);
  EXPECT_EQ(cancels[0].body, "{}");
  EXPECT_EQ(cancels[2].status, 404);
}

TEST(DevServerReportingTest, RefusedAndRuleAnsweredRequestsAreRecordedToo) {
  Backend backend;
  EXPECT_EQ(backend.Post("/sessions", R"({"chosenOsKey":"a"})", false).status, 401);
  backend.server.AddRule({.path = kApi + "/sessions", .method = "POST", .times = 1, .status = 200,
                          .body = R"({"sessionId":"s-by-rule"})", .contentType = "application/json"});
  const HttpResponse byRule = backend.Post("/sessions", R"({"chosenOsKey":"b"})");
  EXPECT_EQ(byRule.status, 200);
  EXPECT_EQ(byRule.body, R"({"sessionId":"s-by-rule"})");
  EXPECT_EQ(backend.Post("/sessions/s-by-rule/device", "{}").status, 404);  // the rule opened no session
  const std::string id = backend.CreateSession();
  backend.server.AddRule({.path = kApi + "/sessions/" + id + "/errors", .status = 503, .body = "busy"});
  backend.server.AddRule({.path = kApi + "/sessions/" + id + "/finish", .drop = true});
  EXPECT_EQ(backend.Post("/sessions/" + id + "/errors", R"({"message":"m"})").status, 503);
  EXPECT_FALSE(backend.Post("/sessions/" + id + "/finish", R"({"overallStatus":"failed"})").ok);

  const auto reports = backend.server.Reports();
  EXPECT_EQ(Outline(reports), (std::vector<std::string>{"create - 401", "create - 200", "device - 404",
                                                         "create - 201", "error - 503", "finish - 0"}));
  ASSERT_EQ(reports.size(), 6u);
  const std::vector<bool> byRules = {false, true, false, false, true, true};
  for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].byRule, byRules[i]) << i;
  EXPECT_EQ(reports[0].body, R"({"chosenOsKey":"a"})");
  EXPECT_EQ(reports[0].sessionId, "");
  EXPECT_EQ(reports[1].body, R"({"chosenOsKey":"b"})");
  EXPECT_EQ(reports[1].answer, R"({"sessionId":"s-by-rule"})");
  EXPECT_EQ(reports[1].sessionId, "");
  EXPECT_EQ(reports[4].body, R"({"message":"m"})");
  EXPECT_EQ(reports[4].answer, "busy");
  EXPECT_EQ(reports[5].Text("overallStatus"), "failed");
}

}  // namespace
}  // namespace pl::test
