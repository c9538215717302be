// The stub over real HTTP on 127.0.0.1 (port 0), with cpp-httplib's client: the module's URLs,
// the required headers, the special ids as bytes on the wire, a late answer and a Stop that cuts
// it short, requests the HTTP layer answers itself, and the log lines.
#include "stub/stub_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The log lines a server wrote, with a bounded wait for more.
class LogLines {
 public:
  LogSink Sink() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
      changed_.notify_all();
    };
  }
  // The first `count` lines, once they are there (fewer after kLimit).
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kLimit, [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class StubServerTest : public testing::Test {
 protected:
  void SetUp() override { Serve(20ms); }

  void Serve(std::chrono::milliseconds lateDelay) {
    StubServerOptions options;
    options.lateDelay = lateDelay;
    options.log = log.Sink();
    server = std::make_unique<StubServer>(std::move(options));
    const Status bound = server->Bind();
    ASSERT_TRUE(bound.Ok()) << bound.ErrorMessage();
    ASSERT_NE(server->Port(), 0u);
    server->Start();
  }

  std::unique_ptr<httplib::Client> Client() const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    client->set_connection_timeout(kLimit);
    client->set_read_timeout(kLimit);
    client->set_write_timeout(kLimit);
    return client;
  }

  static httplib::Headers Authorised() {
    return {{"AUTHORIZATION", std::string(kToken)}, {"REGION", std::string(kPlatform)}};
  }

  LogLines log;
  std::unique_ptr<StubServer> server;
};

TEST_F(StubServerTest, ServesEveryUrlTheModuleFormatsWithItsBaseUrl) {
  const std::string base = server->Url();
  ASSERT_EQ(base, "http://127.0.0.1:" + std::to_string(server->Port()));
  const std::string account = "123456";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Mhx::GameUrl(base, kPlatform, 6123456789), Json(GameDocument(kPlatform, 6123456789))},
      {Mhx::GameTimelineUrl(base, kPlatform, 6123456789),
       Json(TimelineDocument(kPlatform, 6123456789))},
      {Mhx::OwnMatchListUrl(base),
       Json(MatchListDocument(kPlatform, kAuthenticatedAccountId, 0, 20))},
      {Mhx::PlayerLookupUrl(base, kPlatform, 123456), Json(PlayerDocument(kPlatform, 123456))},
      {Mhx::PlayerMatchListUrl(base, kPlatform, account),
       Json(MatchListDocument(kPlatform, 123456, 0, 20))},
      {Mhx::DeltasUrl(base), Json(DeltasDocument(kPlatform, kAuthenticatedAccountId))},
      {Mhx::RecentChampionsUrl(base, kPlatform, 123456),
       Json(RecentChampionsDocument(kPlatform, 123456))},
  };
  auto client = Client();
  for (const auto& [url, document] : cases) {
    SCOPED_TRACE(url);
    ASSERT_TRUE(url.starts_with(base + "/v1/"));
    const auto response = client->Get(url.substr(base.size()).c_str(), Authorised());
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(response->body, document);
  }
}

TEST_F(StubServerTest, HeadersAreRequiredAndTheirNamesAreCaseBlind) {
  auto client = Client();
  const auto none = client->Get("/v1/deltas/auth");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 401);
  EXPECT_EQ(none->body, R"({"message":"Missing header AUTHORIZATION","status":401})");
  EXPECT_EQ(none->get_header_value("WWW-Authenticate"), "JwtBearer, VekTokenRaw");

  const auto noRegion = client->Get("/v1/deltas/auth", {{"AUTHORIZATION", "JwtBearer x"}});
  ASSERT_TRUE(noRegion);
  EXPECT_EQ(noRegion->status, 401);
  EXPECT_EQ(noRegion->body, R"({"message":"Missing header REGION","status":401})");

  const auto lower =
      client->Get("/v1/deltas/auth", {{"authorization", "JwtBearer x"}, {"region", "NA1"}});
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->status, 200);
  EXPECT_EQ(lower->body, Json(DeltasDocument("NA1", kAuthenticatedAccountId)));
}

TEST_F(StubServerTest, SpecialIdsOnTheWire) {
  struct Case {
    uint64_t id;
    int status;
    std::string body;
  };
  const std::string document = Json(GameDocument(kPlatform, 901));
  const std::vector<Case> cases = {
      {403, 403, R"({"message":"Forbidden","status":403})"},
      {404, 404, R"({"message":"Not found","status":404})"},
      {500, 500, R"({"message":"Internal server error","status":500})"},
      {900, 200, ""},
      {901, 200, document.substr(0, document.size() / 2)},
      {902, 200, Json(GameDocument(kPlatform, 902))},
  };
  auto client = Client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const auto response =
        client->Get(("/v1/stats/game/EUW1/" + std::to_string(c.id)).c_str(), Authorised());
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.body);
    EXPECT_EQ(response->get_header_value("Content-Length"), std::to_string(c.body.size()));
  }
}

TEST_F(StubServerTest, LateAnswerWaitsAtLeastTheDelay) {
  auto client = Client();
  const auto start = std::chrono::steady_clock::now();
  const auto response = client->Get("/v1/recent_champions/EUW1/902", Authorised());
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, Json(RecentChampionsDocument(kPlatform, 902)));
  EXPECT_GE(waited, 20ms);
}

TEST_F(StubServerTest, StopCutsLateAnswersShortWith503) {
  server.reset();
  Serve(std::chrono::minutes(10));
  int status = 0;
  std::string body;
  std::thread asker([&] {
    const auto late = Client()->Get("/v1/stats/game/EUW1/902", Authorised());
    if (late) status = late->status, body = late->body;
  });
  const bool waiting = server->WaitForLateRequests(1, kLimit);
  server->Stop();
  asker.join();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body, R"({"message":"The service is stopping","status":503})");
}

TEST_F(StubServerTest, StopBeforeRunEndsRunAtOnce) {
  StubServerOptions options;
  options.log = log.Sink();
  StubServer idle(std::move(options));
  ASSERT_TRUE(idle.Bind().Ok());
  idle.Stop();
  EXPECT_TRUE(idle.Run().Ok());
}

TEST_F(StubServerTest, ABusyPortFailsToBind) {
  StubServerOptions options;
  options.port = server->Port();
  options.log = log.Sink();
  StubServer second(std::move(options));
  const Status bound = second.Bind();
  ASSERT_FALSE(bound.Ok());
  EXPECT_EQ(bound.ErrorMessage(), "cannot listen on " + server->Url() + ": Address already in use");
}

TEST_F(StubServerTest, WhatTheHttpLayerRefusesIsStillAJsonError) {
  auto client = Client();
  client->set_keep_alive(true);
  const auto post = client->Post("/v1/deltas/auth", Authorised(), "a body", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  EXPECT_EQ(post->body, R"({"message":"Method not allowed","status":405})");
  EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
  const auto unknown = client->Put("/nowhere", Authorised(), "x", "text/plain");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(unknown->body, R"({"message":"Unknown path","status":404})");
  const auto deleted = client->Delete("/v1/deltas/auth", Authorised());
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 405);
  // The bodies were read off the kept-alive connection: the next request is parsed cleanly.
  const auto after = client->Get("/v1/deltas/auth", Authorised());
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
  const auto huge =
      Client()->Post("/v1/deltas/auth", Authorised(), std::string(65 * 1024, 'x'), "text/plain");
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->status, 413);
  EXPECT_EQ(huge->body, R"({"message":"Payload too large","status":413})");
  const auto head = client->Head("/v1/deltas/auth", Authorised());
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->body, "");
}

// Sends `request` over a fresh connection and reads until the server closes it.
std::string RawExchange(uint16_t port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
      reply.append(buffer, got);
  }
  close(fd);
  return reply;
}

TEST_F(StubServerTest, LogLinesShowMethodTargetStatusAndTimeButNoHeaderValue) {
  auto client = Client();
  ASSERT_TRUE(client->Get("/v1/stats/game/EUW1/42?x=1", Authorised()));
  ASSERT_TRUE(client->Get("/v1/stats/game/EUW1/42"));
  const std::string raw = RawExchange(
      server->Port(), "GET /v1/a\x01\x7f\\b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(raw.starts_with("HTTP/1.1 404")) << raw;

  // Each connection logs on its own worker: the lines may come in any order.
  const std::vector<std::string> lines = log.WaitFor(3);
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string_view start :
       {"GET /v1/stats/game/EUW1/42?x=1 200 ", "GET /v1/stats/game/EUW1/42 401 ",
        "GET /v1/a\\x01\\x7f\\x5cb 404 "}) {
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.starts_with(start); }),
              1)
        << start;
  }
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(line.ends_with(" ms"));
    EXPECT_EQ(line.find("stub-test-token"), std::string::npos);
    EXPECT_EQ(line.find("EUW1 "), std::string::npos) << "no REGION value";
  }
}

TEST_F(StubServerTest, LongTargetsAreCutInTheLog) {
  const std::string path = "/v1/" + std::string(1000, 'a');
  auto client = Client();
  ASSERT_TRUE(client->Get(path.c_str(), Authorised()));
  const std::vector<std::string> lines = log.WaitFor(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("GET " + path.substr(0, 300) + "... 404 ")) << lines[0];
}

}  // namespace
}  // namespace StubTest
