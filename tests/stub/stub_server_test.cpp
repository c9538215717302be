// The stub over real HTTP on 127.0.0.1 (port 0), with cpp-httplib's client: only what the HTTP
// layer adds to the service's answers (one module URL, case-blind header names, the length of a
// cut body, the late answer and a Stop that cuts it short, a busy port, what the HTTP layer
// refuses itself) and the log lines.
#include "stub/stub_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stub/stub_documents.h"
#include "stub_test_support.h"

namespace StubTest {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;

class StubServerTest : public testing::Test {
 protected:
  void SetUp() override { Serve(20ms); }

  void Serve(std::chrono::milliseconds lateDelay) {
    StubServerOptions options;
    options.lateDelay = lateDelay;
    options.log = [this](std::string_view line) {
      std::lock_guard lock(mutex);
      lines.emplace_back(line);
      changed.notify_all();
    };
    server = std::make_unique<StubServer>(options);
    ASSERT_TRUE(server->Bind().Ok());
    server->Start();
  }

  [[nodiscard]] httplib::Result Get(const std::string& path,
                                    const httplib::Headers& headers = {}) const {
    return CliSupport::Send(server->Port(), "GET", path, headers);
  }

  std::mutex mutex;  // guards lines
  std::condition_variable changed;
  std::vector<std::string> lines;
  std::unique_ptr<StubServer> server;
};

const httplib::Headers kAuthorised = {{"AUTHORIZATION", std::string(kToken)},
                                      {"REGION", std::string(kPlatform)}};

TEST_F(StubServerTest, TheHttpLayerPassesAnswersOnAndAnswersWhatItRefusesInJson) {
  const std::string cut = Json(GameDocument(kPlatform, 901)), half = cut.substr(0, cut.size() / 2);
  const httplib::Headers lower = {{"authorization", "JwtBearer x"}, {"region", "NA1"}};
  const std::string deltas = "/v1/deltas/auth", k405 = ErrorBody(405, "Method not allowed");
  const httplib::Headers none, &a = kAuthorised;
  // "METHOD path", the headers and the body sent, the status, body and "Header: value" received
  const std::tuple<std::string, httplib::Headers, std::string, int, std::string, std::string>
      cases[] = {
          // A module URL through the whole wiring: the end-to-end test's.
          {"GET " + deltas, lower, "", 200, Json(DeltasDocument("NA1", kAuthenticatedAccountId)),
           "Content-Type: application/json"},
          {"GET " + deltas, none, "", 401, ErrorBody(401, "Missing header AUTHORIZATION"),
           "WWW-Authenticate: JwtBearer, VekTokenRaw"},
          {"GET /v1/stats/game/EUW1/901", a, "", 200, half,
           "Content-Length: " + std::to_string(half.size())},
          {"GET /v1/stats/game/EUW1/900", a, "", 200, "", "Content-Length: 0"},
          // The bodies are read off the kept-alive connection: the next request is parsed cleanly.
          {"POST " + deltas, a, "a body", 405, k405, "Allow: GET, HEAD"},
          {"PUT /nowhere", a, "x", 404, ErrorBody(404, "Unknown path"), ""},
          {"HEAD " + deltas, a, "", 200, "", ""},
          {"POST " + deltas, a, std::string(65 * 1024, 'x'), 413,
           ErrorBody(413, "Payload too large"), ""},
      };
  httplib::Client kept("127.0.0.1", server->Port());
  kept.set_keep_alive(true);
  for (const auto& [line, headers, sent, status, body, header] : cases) {
    SCOPED_TRACE(line.substr(0, 40));
    const std::string method = line.substr(0, line.find(' '));
    const auto response =
        CliSupport::Send(server->Port(), method, line.substr(method.size() + 1), headers, sent,
                         "text/plain", status == 413 ? nullptr : &kept);
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->status, status);
    EXPECT_EQ(response->body, body);
    const size_t colon = header.find(": ");
    if (colon == std::string::npos) continue;
    EXPECT_EQ(response->get_header_value(header.substr(0, colon)), header.substr(colon + 2));
  }
}

TEST_F(StubServerTest, ALateAnswerWaitsTheDelayAndStopCutsItShortWith503) {
  const auto start = std::chrono::steady_clock::now();
  const auto late = Get("/v1/recent_champions/EUW1/902", kAuthorised);
  ASSERT_TRUE(late);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(late->body, Json(RecentChampionsDocument(kPlatform, 902)));

  Serve(std::chrono::minutes(10));
  int status = 0;
  std::string body;
  std::thread asker([&] {
    if (auto cut = Get("/v1/stats/game/EUW1/902", kAuthorised))
      status = cut->status, body = cut->body;
  });
  const bool waiting = server->WaitForLateRequests(1, kLimit);
  server->Stop();
  asker.join();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body, R"({"message":"The service is stopping","status":503})");
}

// A busy port's message is read through the executable's end-to-end test.
TEST(StubServer, AStopBeforeRunEndsRunAtOnce) {
  StubServer idle(StubServerOptions{.log = [](std::string_view) {}});
  ASSERT_TRUE(idle.Bind().Ok());
  idle.Stop();
  EXPECT_TRUE(idle.Run().Ok());
}

TEST_F(StubServerTest, LogLinesShowMethodTargetStatusAndTimeButNoHeaderValue) {
  const std::string longPath = "/v1/" + std::string(1000, 'a');
  httplib::Client raw("127.0.0.1", server->Port());
  raw.set_url_encode(false);
  ASSERT_TRUE(Get("/v1/stats/game/EUW1/42?x=1", kAuthorised) && Get("/v1/stats/game/EUW1/42") &&
              Get(longPath, kAuthorised) &&
              CliSupport::Send(server->Port(), "GET", "/v1/a\x01\x7f\\b", {}, "", "", &raw));
  // Each connection logs on its own worker: the lines may come in any order.
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, kLimit, [&] { return lines.size() == 4; }));
  std::sort(lines.begin(), lines.end());
  const std::string starts[] = {
      "GET /v1/a\\x01\\x7f\\x5cb 404 ", "GET " + longPath.substr(0, 300) + "... 404 ",
      "GET /v1/stats/game/EUW1/42 401 ", "GET /v1/stats/game/EUW1/42?x=1 200 "};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_TRUE(lines[i].starts_with(starts[i]) && lines[i].ends_with(" ms"));
    EXPECT_EQ(lines[i].find("stub-test-token"), std::string::npos);
    EXPECT_EQ(lines[i].find("EUW1 "), std::string::npos) << "no REGION value";
  }
}

}  // namespace
}  // namespace StubTest
