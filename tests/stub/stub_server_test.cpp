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
    server = std::make_unique<StubServer>(std::move(options));
    const Status bound = server->Bind();
    ASSERT_TRUE(bound.Ok()) << bound.ErrorMessage();
    server->Start();
  }

  // The first `count` log lines, once they are there (fewer after kLimit).
  std::vector<std::string> WaitForLines(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kLimit, [&] { return lines.size() >= count; });
    return lines;
  }

  std::unique_ptr<httplib::Client> Client() const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    client->set_connection_timeout(kLimit);
    client->set_read_timeout(kLimit);
    client->set_keep_alive(true);
    return client;
  }

  std::mutex mutex;  // guards lines
  std::condition_variable changed;
  std::vector<std::string> lines;
  std::unique_ptr<StubServer> server;
};

const httplib::Headers kAuthorised = {{"AUTHORIZATION", std::string(kToken)},
                                      {"REGION", std::string(kPlatform)}};

TEST_F(StubServerTest, TheHttpLayerPassesAnswersOnAndAnswersWhatItRefusesInJson) {
  const std::string base = server->Url();
  ASSERT_EQ(base, "http://127.0.0.1:" + std::to_string(server->Port()));
  const std::string url = Mhx::GameUrl(base, kPlatform, 6123456789);
  ASSERT_TRUE(url.starts_with(base + "/"));
  const std::string cut = Json(GameDocument(kPlatform, 901));
  struct Case {
    std::string method;
    std::string path;
    httplib::Headers headers;
    int status;
    std::string body;
    std::string header = "";
    std::string value = "";
    std::string sent = "";
  };
  const std::vector<Case> cases = {
      {"GET", url.substr(base.size()), kAuthorised, 200, Json(GameDocument(kPlatform, 6123456789)),
       "Content-Type", "application/json"},
      {"GET",
       "/v1/deltas/auth",
       {{"authorization", "JwtBearer x"}, {"region", "NA1"}},
       200,
       Json(DeltasDocument("NA1", kAuthenticatedAccountId))},
      {"GET",
       "/v1/deltas/auth",
       {},
       401,
       ErrorBody(401, "Missing header AUTHORIZATION"),
       "WWW-Authenticate",
       "JwtBearer, VekTokenRaw"},
      {"GET", "/v1/stats/game/EUW1/901", kAuthorised, 200, cut.substr(0, cut.size() / 2),
       "Content-Length", std::to_string(cut.size() / 2)},
      {"GET", "/v1/stats/game/EUW1/900", kAuthorised, 200, "", "Content-Length", "0"},
      // The bodies are read off the kept-alive connection: the next request is parsed cleanly.
      {"POST", "/v1/deltas/auth", kAuthorised, 405, ErrorBody(405, "Method not allowed"), "Allow",
       "GET, HEAD", "a body"},
      {"PUT", "/nowhere", kAuthorised, 404, ErrorBody(404, "Unknown path"), "", "", "x"},
      {"DELETE", "/v1/deltas/auth", kAuthorised, 405, ErrorBody(405, "Method not allowed")},
      {"HEAD", "/v1/deltas/auth", kAuthorised, 200, ""},
      {"POST", "/v1/deltas/auth", kAuthorised, 413, ErrorBody(413, "Payload too large"), "", "",
       std::string(65 * 1024, 'x')},
  };
  auto client = Client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path.substr(0, 40));
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = c.headers;
    if (!c.sent.empty()) request.set_header("Content-Type", "text/plain");
    request.body = c.sent;
    const auto response = c.status == 413 ? Client()->send(request) : client->send(request);
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.body);
    EXPECT_EQ(c.header.empty() ? "" : response->get_header_value(c.header), c.value);
  }
}

TEST_F(StubServerTest, ALateAnswerWaitsTheDelayAndStopCutsItShortWith503) {
  const auto start = std::chrono::steady_clock::now();
  const auto late = Client()->Get("/v1/recent_champions/EUW1/902", kAuthorised);
  ASSERT_TRUE(late);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(late->body, Json(RecentChampionsDocument(kPlatform, 902)));

  server.reset();
  Serve(std::chrono::minutes(10));
  int status = 0;
  std::string body;
  std::thread asker([&] {
    const auto cut = Client()->Get("/v1/stats/game/EUW1/902", kAuthorised);
    if (cut) status = cut->status, body = cut->body;
  });
  const bool waiting = server->WaitForLateRequests(1, kLimit);
  server->Stop();
  asker.join();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body, R"({"message":"The service is stopping","status":503})");
}

TEST_F(StubServerTest, ABusyPortFailsToBindAndAStopBeforeRunEndsRunAtOnce) {
  StubServerOptions options;
  options.port = server->Port();
  options.log = [](std::string_view) {};
  StubServer second(options);
  const Status bound = second.Bind();
  ASSERT_FALSE(bound.Ok());
  EXPECT_EQ(bound.ErrorMessage(), "cannot listen on " + server->Url() + ": Address already in use");
  options.port = 0;
  StubServer idle(options);
  ASSERT_TRUE(idle.Bind().Ok());
  idle.Stop();
  EXPECT_TRUE(idle.Run().Ok());
}

TEST_F(StubServerTest, LogLinesShowMethodTargetStatusAndTimeButNoHeaderValue) {
  const std::string longPath = "/v1/" + std::string(1000, 'a');
  ASSERT_TRUE(Client()->Get("/v1/stats/game/EUW1/42?x=1", kAuthorised));
  ASSERT_TRUE(Client()->Get("/v1/stats/game/EUW1/42"));
  auto raw = Client();
  raw->set_url_encode(false);
  ASSERT_TRUE(raw->Get("/v1/a\x01\x7f\\b"));
  ASSERT_TRUE(Client()->Get(longPath, kAuthorised));
  // Each connection logs on its own worker: the lines may come in any order.
  const std::vector<std::string> logged = WaitForLines(4);
  ASSERT_EQ(logged.size(), 4u);
  for (const std::string& start : {std::string("GET /v1/stats/game/EUW1/42?x=1 200 "),
                                   std::string("GET /v1/stats/game/EUW1/42 401 "),
                                   std::string("GET /v1/a\\x01\\x7f\\x5cb 404 "),
                                   "GET " + longPath.substr(0, 300) + "... 404 "}) {
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [&](const std::string& line) { return line.starts_with(start); }),
              1)
        << start;
  }
  for (const std::string& line : logged) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(line.ends_with(" ms"));
    EXPECT_EQ(line.find("stub-test-token"), std::string::npos);
    EXPECT_EQ(line.find("EUW1 "), std::string::npos) << "no REGION value";
  }
}

}  // namespace
}  // namespace StubTest
