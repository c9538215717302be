// The match-history module end to end through the host core, linked in and loaded through its
// export: the service gate, the answer mapping, the request headers and URLs of the remote
// client, the ten routes, the session and platform rules, recently played champions (jobs,
// cache, log line, publication), hostile remote answers, and the allocation counters. After every
// test no token may appear in a log line or an answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "log/allocation_hooks.h"
#include "module_test_support.h"

namespace ModuleTest {
namespace {

using Host::ExternalRequest;
using Host::kLogAlways;
using Host::kLogWarn;
using Host::LogEntry;

std::string Base64Decode(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int value = digit(c);
    if (value < 0) return "<not base64>";
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::optional<std::string> Header(const ExternalRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::string Url(const std::string& rest) {
  return std::string(kBase) + rest;
}

const std::string kVekText = std::string("{\r\n    \"token\": \"") + kVekSecret + "\"\r\n}";

// Every test: the tokens and the header built from them never reach a log line or an answer.
class ModuleE2E : public testing::Test {
 protected:
  void TearDown() override {
    std::vector<std::string> secrets = {kIdToken,      kVekSecret,  "id-renewed",
                                        "vek-renewed", "JwtBearer", "VekTokenRaw"};
    for (const auto& request : mhx.service->Requests()) {
      if (auto value = Header(request, "AUTHORIZATION")) secrets.push_back(*value);
    }
    for (const LogEntry& entry : mhx.logs->Entries()) {
      for (const std::string& secret : secrets) {
        EXPECT_EQ(entry.text.find(secret), std::string::npos) << entry.text;
      }
    }
    for (const std::string& answer : mhx.answers) {
      for (const std::string& secret : secrets) {
        EXPECT_EQ(answer.find(secret), std::string::npos) << answer.substr(0, 300);
      }
    }
  }
  [[nodiscard]] std::optional<std::string> Published(uint64_t accountId) const {
    auto value =
        mhx.host->GetResource("/qel-mhx/v2/recently-played-champions/" + std::to_string(accountId));
    if (!value) return std::nullopt;
    return Json(*value);
  }
  [[nodiscard]] std::optional<std::string> PublishedCurrent() const {
    auto value = mhx.host->GetResource("/qel-mhx/v2/recently-played-champions/current-summoner");
    if (!value) return std::nullopt;
    return Json(*value);
  }
  [[nodiscard]] size_t WarnLines() const {
    const auto entries = mhx.logs->Entries();
    return static_cast<size_t>(
        std::count(entries.begin(), entries.end(),
                   LogEntry{kLogWarn, "qel-mhx", "Failed to retrieve recently played champs"}));
  }

  MhxHost mhx;
};

const std::string kEmptyCollection = R"({"champions":[],"gameCount":0})";

// ---- the service gate ----

TEST_F(ModuleE2E, TheGateRefusesDisabledBeforeUnconfiguredAndSendsNothing) {
  struct Step {
    const char* config;  // null: delete the namespace
    const char* override;
    uint32_t status;
    const char* message;  // null: the request goes out
  };
  const Step steps[] = {
      {R"({})", nullptr, 500, "MHX Service endpoint is not configured"},
      {R"({"Enabled":false})", nullptr, 500, "MHX Service is disabled"},
      {R"({"Endpoint":"https://mhx.test"})", nullptr, 500, "MHX Service is disabled"},
      {nullptr, "https://o.test", 200, nullptr},  // delete enables; the override configures
      {R"({"Enabled":"True","Endpoint":"https://mhx.test"})", nullptr, 500,
       "MHX Service is disabled"},
      {R"({"Enabled":"1","Endpoint":"https://mhx.test"})", "", 200, nullptr},
      {R"({"Enabled":true})", nullptr, 500, "MHX Service endpoint is not configured"},
      {R"({"Enabled":0})", "https://o.test", 500, "MHX Service is disabled"},
  };
  mhx.Platform("\"EUW1\"");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.config ? step.config : "<delete>");
    if (step.config != nullptr) {
      mhx.Configure(step.config);
    } else {
      ASSERT_TRUE(mhx.host->DeleteResource(kConfigUri));
      mhx.Deliver();
    }
    if (step.override != nullptr) {
      const ApiCallResult set = mhx.Post("/qel-mhx/v1/mhx-endpoint-override",
                                         std::string("{\"url\":\"") + step.override + "\"}");
      ASSERT_FALSE(set.failed) << set.errorMessage;
    }
    mhx.service->ClearRequests();
    const ApiCallResult game = mhx.Get("/qel-mhx/v1/games/5");
    if (step.message != nullptr) {
      EXPECT_TRUE(game.failed);
      EXPECT_EQ(game.status, step.status);
      EXPECT_EQ(game.errorMessage, step.message);
      EXPECT_EQ(mhx.service->RequestCount(), 0u);
    } else {
      EXPECT_FALSE(game.failed) << game.errorMessage;
      EXPECT_EQ(mhx.service->RequestCount(), 1u);
    }
  }
}

// ---- the answer mapping ----

TEST_F(ModuleE2E, EachRemoteAnswerMapsToItsStatusAndMessage) {
  mhx.Ready();
  const std::string url = Url("/v1/stats/game/EUW1/5");
  const std::string label = "GET " + url;
  struct Case {
    const char* name;
    ExternalAnswer answer;
    bool failed;
    uint32_t status;
    std::string expected;  // the message, or the body's JSON
  };
  const std::vector<Case> cases = {
      {"transport", TransportFailure("the line is down"), true, 500,
       "Could not connect to the server: the line is down"},
      {"404", Answer(404, R"({"x":1})"), true, 404, "Not found"},
      {"404 empty", Answer(404, ""), true, 404, "Not found"},
      {"403 json", Answer(403, R"({"x":1})"), true, 500,
       "Received an error status from the server: 403 - "},
      {"403 empty", Answer(403, ""), true, 500,
       "Received an error status from the server: 403 - Error converting response for " + label +
           ": body was empty"},
      {"199", Answer(199, R"({})"), true, 500, "Received an error status from the server: 199 - "},
      {"300", Answer(300, R"({})"), true, 500, "Received an error status from the server: 300 - "},
      {"0", Answer(0, R"({})"), true, 500, "Received an error status from the server: 0 - "},
      {"200 empty", Answer(200, ""), true, 500,
       "Could not decode body returned from the server: 200 - Error converting response for " +
           label + ": body was empty"},
      {"200", Answer(200, R"({"b":[1,"two"],"a":null})"), false, 200,
       R"({"a":null,"b":[1,"two"]})"},
      {"299", Answer(299, R"([true])"), false, 200, "[true]"},
      {"204", Answer(204, R"("text")"), false, 200, R"("text")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mhx.service->Once(url, c.answer);
    const ApiCallResult game = mhx.Get("/qel-mhx/v1/games/5");
    EXPECT_EQ(game.failed, c.failed);
    if (c.failed) {
      EXPECT_EQ(game.status, c.status);
      EXPECT_EQ(game.errorMessage, c.expected);
    } else {
      EXPECT_EQ(Json(game.value), c.expected);
    }
  }
  // Invalid JSON: the parser's message, then the body text.
  mhx.service->Once(url, Answer(200, "nope"));
  const ApiCallResult bad = mhx.Get("/qel-mhx/v1/games/5");
  EXPECT_TRUE(bad.failed);
  EXPECT_EQ(bad.status, 500u);
  const std::string prefix =
      "Could not decode body returned from the server: 200 - "
      "Error deserializing json response for " +
      label + ": ";
  EXPECT_EQ(bad.errorMessage.substr(0, prefix.size()), prefix);
  EXPECT_EQ(bad.errorMessage.substr(bad.errorMessage.size() - 16), " given body nope");
}

// ---- headers and request fields ----

TEST_F(ModuleE2E, TheRequestCarriesTheVekTokenHeaderRegionTimeoutAndFlag) {
  mhx.Ready();
  ASSERT_FALSE(mhx.Get("/qel-mhx/v1/delta").failed);
  const std::vector<ExternalRequest> sent = mhx.service->Requests();
  ASSERT_EQ(sent.size(), 1u);
  const ExternalRequest& request = sent[0];
  EXPECT_EQ(request.method, 2u);
  EXPECT_EQ(request.url, Url("/v1/deltas/auth"));
  EXPECT_EQ(request.timeout, 20u);
  EXPECT_EQ(request.flags, 1u);
  EXPECT_EQ(request.body, "");
  ASSERT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers[0].first, "user-agent");
  EXPECT_EQ(Header(request, "REGION"), "EUW1");
  const std::string authorization = Header(request, "AUTHORIZATION").value_or("");
  ASSERT_EQ(authorization.substr(0, 12), "VekTokenRaw ");
  EXPECT_EQ(Base64Decode(authorization.substr(12)), kVekText);
  EXPECT_EQ(authorization.size() % 4, 0u);  // padded
}

TEST_F(ModuleE2E, IdTokensSelectTheJwtBearerHeaderEvenWhenTheTokenIsEmpty) {
  struct Case {
    std::string idToken;
    std::string header;
  };
  const Case cases[] = {{kIdToken, std::string("JwtBearer ") + kIdToken}, {"", "JwtBearer "}};
  for (const Case& c : cases) {
    MhxHost local;
    local.Configure(R"({"Endpoint":"https://mhx.test","UseIdTokens":true})");
    local.Platform("\"NA1\"");
    local.Session(SessionJson("SUCCEEDED", kAccount, kSummoner, c.idToken));
    local.Pump();
    local.service->ClearRequests();
    ASSERT_FALSE(local.Get("/qel-mhx/v1/games/9").failed);
    const auto sent = local.service->Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Header(sent[0], "AUTHORIZATION"), c.header);
    EXPECT_EQ(Header(sent[0], "REGION"), "NA1");
  }
}

TEST_F(ModuleE2E, BeforeAnyRefreshOnlyTheUserAgentIsSent) {
  mhx.Configure(R"({"Endpoint":"https://mhx.test"})");
  ASSERT_FALSE(mhx.Get("/qel-mhx/v1/games/1").failed);
  const auto sent = mhx.service->Requests();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].headers.size(), 1u);
  EXPECT_EQ(sent[0].headers[0].first, "user-agent");
  EXPECT_EQ(sent[0].url, Url("/v1/stats/game//1"));  // no platform id yet
}

// ---- URLs and routes ----

TEST_F(ModuleE2E, EachRouteFormatsItsTemplate) {
  mhx.Ready();
  struct Case {
    const char* target;
    std::vector<std::string> urls;
  };
  const Case cases[] = {
      {"/qel-mhx/v1/games/18446744073709551615", {Url("/v1/stats/game/EUW1/18446744073709551615")}},
      {"/qel-mhx/v1/gametimelines/42", {Url("/v1/stats/game/EUW1/42/timeline")}},
      {"/qel-mhx/v1/delta", {Url("/v1/deltas/auth")}},
      {"/qel-mhx/v1/matchlists/0", {Url("/v1/stats/player_history/auth?begIndex=0&endIndex=20")}},
      {"/qel-mhx/v1/recently-played-champions/77?force=true",
       {Url("/v1/recent_champions/EUW1/77")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    mhx.service->ClearRequests();
    const ApiCallResult result = mhx.Get(c.target);
    EXPECT_FALSE(result.failed) << result.errorMessage;
    EXPECT_EQ(mhx.service->Urls(), c.urls);
  }
  // The echo shows the body passes through unchanged.
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v1/delta").value),
            "{\"echo\":\"" + Url("/v1/deltas/auth") + "\"}");
}

TEST_F(ModuleE2E, AnotherPlayersMatchListUsesTheLookupOrFallsBackToOurPlatform) {
  mhx.Ready();
  const std::string lookup = Url("/v1/players/current?region=EUW1&account=77");
  struct Case {
    const char* name;
    ExternalAnswer lookupAnswer;
    std::string list;
  };
  const std::vector<Case> cases = {
      {"found", Answer(200, R"({"platformId":"KR","accountId":991})"),
       Url("/v1/stats/player_history/KR/991?begIndex=0&endIndex=20")},
      {"texts", Answer(200, R"({"platformId":"OC1","accountId":"x-1"})"),
       Url("/v1/stats/player_history/OC1/x-1?begIndex=0&endIndex=20")},
      {"missing", Answer(200, R"({})"), Url("/v1/stats/player_history//?begIndex=0&endIndex=20")},
      {"structures", Answer(200, R"({"platformId":{"a":1},"accountId":[1,2]})"),
       Url("/v1/stats/player_history//?begIndex=0&endIndex=20")},
      {"500", Answer(500, R"({})"), Url("/v1/stats/player_history/EUW1/77?begIndex=0&endIndex=20")},
      {"down", TransportFailure("x"),
       Url("/v1/stats/player_history/EUW1/77?begIndex=0&endIndex=20")},
      {"404", Answer(404, ""), Url("/v1/stats/player_history/EUW1/77?begIndex=0&endIndex=20")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mhx.service->ClearRequests();
    mhx.service->Once(lookup, c.lookupAnswer);
    mhx.service->Once(c.list, Answer(200, R"({"games":[]})"));
    const ApiCallResult list = mhx.Get("/qel-mhx/v1/matchlists/77");
    EXPECT_FALSE(list.failed) << list.errorMessage;
    EXPECT_EQ(Json(list.value), R"({"games":[]})");
    EXPECT_EQ(mhx.service->Urls(), (std::vector<std::string>{lookup, c.list}));
  }
  // The second request's failure is what the caller sees.
  mhx.service->Once(Url("/v1/stats/player_history/EUW1/77?begIndex=0&endIndex=20"),
                    Answer(404, ""));
  mhx.service->Once(lookup, Answer(500, ""));
  const ApiCallResult missing = mhx.Get("/qel-mhx/v1/matchlists/77");
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.errorMessage, "Not found");
}

TEST_F(ModuleE2E, TrailingSlashesOfEndpointAndOverride) {
  mhx.Platform("\"EUW1\"");
  struct Case {
    const char* endpoint;
    const char* override;
    const char* url;
  };
  const Case cases[] = {
      {"https://e.test/", "", "https://e.test/v1/stats/game/EUW1/3"},
      {"https://e.test//", "", "https://e.test//v1/stats/game/EUW1/3"},
      {"https://e.test", "https://o.test/", "https://o.test//v1/stats/game/EUW1/3"},
      {"https://e.test", "https://o.test", "https://o.test/v1/stats/game/EUW1/3"},
      {"https://e.test/", "", "https://e.test/v1/stats/game/EUW1/3"},  // "" clears the override
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    mhx.Configure(std::string("{\"Endpoint\":\"") + c.endpoint + "\"}");
    ASSERT_FALSE(mhx.Post("/qel-mhx/v1/mhx-endpoint-override",
                          std::string("{\"url\":\"") + c.override + "\"}")
                     .failed);
    mhx.service->ClearRequests();
    ASSERT_FALSE(mhx.Get("/qel-mhx/v1/games/3").failed);
    EXPECT_EQ(mhx.service->Urls(), std::vector<std::string>{c.url});
  }
  // The override survives a namespace delete, and its log line names the url.
  ASSERT_TRUE(mhx.host->DeleteResource(kConfigUri));
  mhx.Deliver();
  ASSERT_FALSE(mhx.Post("/qel-mhx/v1/mhx-endpoint-override", R"({"url":"https://k.test"})").failed);
  mhx.service->ClearRequests();
  ASSERT_FALSE(mhx.Get("/qel-mhx/v1/games/3").failed);
  EXPECT_EQ(mhx.service->Urls(), std::vector<std::string>{"https://k.test/v1/stats/game/EUW1/3"});
  const auto entries = mhx.logs->Entries();
  EXPECT_NE(std::find(entries.begin(), entries.end(),
                      LogEntry{kLogAlways, "qel-mhx", "Mhx Endpoint Override: 'https://o.test/'"}),
            entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(),
                      LogEntry{kLogAlways, "qel-mhx", "Mhx Endpoint Override: ''"}),
            entries.end());
}

TEST_F(ModuleE2E, ArgumentsThatDoNotBindAreRefusedBeforeTheHandler) {
  mhx.Ready();
  struct Case {
    uint32_t method;
    const char* target;
    const char* body;
  };
  const Case cases[] = {
      {2, "/qel-mhx/v1/games/abc", nullptr},
      {2, "/qel-mhx/v1/games/18446744073709551616", nullptr},
      {2, "/qel-mhx/v1/gametimelines/1x", nullptr},
      {2, "/qel-mhx/v1/matchlists/", nullptr},
      {6, "/qel-mhx/v1/mhx-endpoint-override", R"([1])"},
      {6, "/qel-mhx/v1/games/1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const ApiCallResult result =
        c.method == 2 ? mhx.Get(c.target) : mhx.Post(c.target, c.body ? c.body : "");
    EXPECT_TRUE(result.failed);
    EXPECT_FALSE(result.errorMessage.empty());
  }
  EXPECT_EQ(mhx.service->RequestCount(), 0u);
  EXPECT_EQ(mhx.Get("/qel-mhx/v1/games/abc").errorMessage,
            "Value abc for 'gameId' of type uint64 is in an incorrect format");
}

// ---- session and platform ----

TEST_F(ModuleE2E, OnlyACompleteSessionRefreshesAndHasACurrentSummoner) {
  mhx.Configure(R"({"Endpoint":"https://mhx.test"})");
  mhx.Platform("\"EUW1\"");
  const std::string champions = Url("/v1/recent_champions/EUW1/4100");
  struct Step {
    std::string session;
    size_t fetches;  // recent-champions requests this step caused
    bool current;    // the current-summoner route answers
  };
  const Step steps[] = {
      {SessionJson("IN_PROGRESS", kAccount, kSummoner), 0, false},
      {SessionJson("SUCCEEDED", kAccount, 0), 0, false},
      {SessionJson("SUCCEEDED", 0, kSummoner), 0, false},
      {SessionJson("ERROR", kAccount, kSummoner), 0, false},
      {SessionJson("SUCCEEDED", kAccount, kSummoner), 1, true},
      // New tokens for the complete session: no second refresh.
      {SessionJson("SUCCEEDED", kAccount, kSummoner, "id-renewed", "vek-renewed"), 0, true},
      {SessionJson("LOGGING_OUT", kAccount, kSummoner), 0, false},
  };
  mhx.service->Always(champions, Answer(500, ""));  // nothing gets cached
  for (const Step& step : steps) {
    SCOPED_TRACE(step.session);
    mhx.service->ClearRequests();
    mhx.Session(step.session);
    mhx.Pump();
    EXPECT_EQ(mhx.service->RequestCount(), step.fetches);
    const ApiCallResult current = mhx.Get("/qel-mhx/v2/recently-played-champions/current-summoner");
    if (step.current) {
      EXPECT_FALSE(current.failed);
      EXPECT_EQ(Json(current.value), kEmptyCollection);
    } else {
      EXPECT_TRUE(current.failed);
      EXPECT_EQ(current.status, 500u);
      EXPECT_EQ(current.errorMessage, "No summoner session");
      const ApiCallResult request =
          mhx.Get("/qel-mhx/v2/request-recently-played-champions/current-summoner");
      EXPECT_FALSE(request.failed);
      EXPECT_EQ(mhx.host->PendingJobCount(), 0u);
    }
  }
  // The renewal did not rebuild the header: the first session's vek token is still sent.
  mhx.service->ClearRequests();
  ASSERT_FALSE(mhx.Get("/qel-mhx/v1/delta").failed);
  const auto sent = mhx.service->Requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Base64Decode(Header(sent[0], "AUTHORIZATION").value_or("").substr(12)), kVekText);
}

TEST_F(ModuleE2E, ASessionBeforeThePlatformIdWaitsForIt) {
  mhx.Configure(R"({"Endpoint":"https://mhx.test"})");
  mhx.Session(SessionJson("SUCCEEDED", kAccount, kSummoner));
  mhx.Pump();
  EXPECT_EQ(mhx.service->RequestCount(), 0u);
  EXPECT_EQ(mhx.host->PendingJobCount(), 0u);
  mhx.service->Always(Url("/v1/recent_champions/12/4100"), Answer(200, ChampionsDocument(3, 1, 5)));
  mhx.Platform("12");  // a number becomes its decimal text
  mhx.Pump();
  const auto sent = mhx.service->Requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].url, Url("/v1/recent_champions/12/4100"));
  EXPECT_EQ(Header(sent[0], "REGION"), "12");
  // A platform update while cached schedules nothing.
  mhx.Platform("12");
  EXPECT_EQ(mhx.host->PendingJobCount(), 0u);
}

TEST_F(ModuleE2E, DeletingThePlatformIdEmptiesTheCache) {
  mhx.service->Always(Url("/v1/recent_champions/EUW1/4100"),
                      Answer(200, ChampionsDocument(9, 2, 1)));
  mhx.Ready(kConfig, false);
  const std::string cached = Json(mhx.Get("/qel-mhx/v2/recently-played-champions/4100").value);
  EXPECT_EQ(cached.substr(0, 14), R"({"champions":[)");
  EXPECT_NE(cached, kEmptyCollection);
  ASSERT_TRUE(mhx.host->DeleteResource(kPlatformUri));
  mhx.Pump();
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/4100").value), kEmptyCollection);
  EXPECT_EQ(mhx.service->RequestCount(), 0u);
  // The session delete leaves the cache, but takes the current summoner away.
  mhx.Platform("\"EUW1\"");
  mhx.Pump();
  ASSERT_TRUE(mhx.host->DeleteResource(kSessionUri));
  mhx.Deliver();
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/4100").value), cached);
  EXPECT_EQ(mhx.Get("/qel-mhx/v2/recently-played-champions/current-summoner").errorMessage,
            "No summoner session");
}

// ---- recently played champions ----

TEST_F(ModuleE2E, ARequestSchedulesOneJobThatFetchesAfterTenMillisecondsAndPublishes) {
  mhx.Ready();
  const std::string url = Url("/v1/recent_champions/EUW1/77");
  const std::string document = ChampionsDocument(14, 2, 30);
  mhx.service->Once(url, Answer(200, document));
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/77").failed);
  EXPECT_EQ(mhx.host->PendingJobCount(), 1u);
  (void)mhx.host->AdvanceClock(std::chrono::milliseconds(9));
  (void)mhx.host->RunDueWork();
  EXPECT_EQ(mhx.service->RequestCount(), 0u);
  (void)mhx.host->AdvanceClock(std::chrono::milliseconds(1));
  (void)mhx.host->RunDueWork();
  EXPECT_EQ(mhx.service->Urls(), std::vector<std::string>{url});
  const std::string expected = Json(Json(document));
  EXPECT_EQ(Published(77), expected);
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/77").value), expected);
  // Another account: the current summoner keeps what its login fetch published.
  EXPECT_EQ(PublishedCurrent(), Json(Json(ChampionsDocument(1, 1, 1))));
  // Cached: no job without force, a replacing one with it ("force" alone binds true).
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/77").failed);
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/77?force=false").failed);
  EXPECT_EQ(mhx.host->PendingJobCount(), 0u);
  const std::string second = ChampionsDocument(15, 1, 99);
  mhx.service->Once(url, Answer(200, second));
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/77?force").failed);
  EXPECT_EQ(mhx.host->PendingJobCount(), 1u);
  mhx.Pump();
  EXPECT_EQ(Published(77), Json(Json(second)));
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/77").value), Json(Json(second)));
  EXPECT_EQ(WarnLines(), 0u);
}

TEST_F(ModuleE2E, TwoRequestsForAnUncachedAccountScheduleTwoJobs) {
  mhx.Ready();
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/5").failed);
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/5").failed);
  EXPECT_EQ(mhx.host->PendingJobCount(), 2u);
  mhx.Pump();
  EXPECT_EQ(mhx.service->RequestCount(), 2u);
}

TEST_F(ModuleE2E, AFailedJobLogsOnceKeepsTheCacheAndPublishesTheEmptyCollection) {
  const std::string url = Url("/v1/recent_champions/EUW1/4100");
  const std::string document = ChampionsDocument(4, 1, 8);
  mhx.service->Once(url, Answer(200, document));
  mhx.Ready(kConfig, false);
  const std::string expected = Json(Json(document));
  EXPECT_EQ(Published(kAccount), expected);
  EXPECT_EQ(PublishedCurrent(), expected);  // the session's account
  struct Case {
    const char* name;
    ExternalAnswer answer;
  };
  const std::vector<Case> cases = {
      {"500", Answer(500, "{}")},
      {"not a collection", Answer(200, R"({"gameCount":1,"champions":{"a":1}})")},
      {"down", TransportFailure("x")},
  };
  size_t warnings = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mhx.service->Once(url, c.answer);
    ASSERT_FALSE(
        mhx.Get("/qel-mhx/v2/request-recently-played-champions/current-summoner?force=true")
            .failed);
    mhx.Pump();
    EXPECT_EQ(WarnLines(), ++warnings);
    EXPECT_EQ(PublishedCurrent().value_or("").substr(0, 14), R"({"champions":[)");
    EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/4100").value), expected);
  }
  mhx.service->Once(url, Answer(500, "{}"));
  ASSERT_FALSE(mhx.Get("/qel-mhx/v2/request-recently-played-champions/4100?force=true").failed);
  mhx.Pump();
  EXPECT_EQ(Published(kAccount), kEmptyCollection);
  EXPECT_EQ(PublishedCurrent(), kEmptyCollection);
}

TEST_F(ModuleE2E, TheDisabledServiceStillRefreshesAndItsJobPublishesTheEmptyCollection) {
  mhx.Configure(R"({"Endpoint":"https://mhx.test","Enabled":false})");
  mhx.Platform("\"EUW1\"");
  mhx.Session(SessionJson("SUCCEEDED", kAccount, kSummoner));
  EXPECT_EQ(mhx.host->PendingJobCount(), 1u);
  mhx.Pump();
  EXPECT_EQ(mhx.service->RequestCount(), 0u);
  EXPECT_EQ(WarnLines(), 1u);
  EXPECT_EQ(Published(kAccount), kEmptyCollection);
  EXPECT_EQ(PublishedCurrent(), kEmptyCollection);
}

TEST_F(ModuleE2E, TheSynchronousFetchCachesButNeverPublishes) {
  mhx.Ready();
  const std::string url = Url("/v1/recent_champions/EUW1/88");
  const std::string document = ChampionsDocument(2, 2, 40);
  const std::string expected = Json(Json(document));
  mhx.service->Once(url, Answer(200, document));
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v1/recently-played-champions/88").value), expected);
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v1/recently-played-champions/88").value), expected);  // cached
  EXPECT_EQ(mhx.service->RequestCount(), 1u);
  mhx.service->Once(url, Answer(503, "{}"));
  const ApiCallResult forced = mhx.Get("/qel-mhx/v1/recently-played-champions/88?force=true");
  EXPECT_FALSE(forced.failed);
  EXPECT_EQ(Json(forced.value), kEmptyCollection);
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/88").value), expected);
  mhx.Pump();
  EXPECT_EQ(Published(88), std::nullopt);
  EXPECT_EQ(WarnLines(), 0u);
  EXPECT_EQ(mhx.service->RequestCount(), 2u);
  // The cache read of an unknown account never fetches or schedules.
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/5").value), kEmptyCollection);
  EXPECT_EQ(mhx.host->PendingJobCount(), 0u);
  EXPECT_EQ(mhx.service->RequestCount(), 2u);
}

TEST_F(ModuleE2E, TheCurrentSummonersCollectionRouteFetchesForTheSessionsAccount) {
  const std::string url = Url("/v1/recent_champions/EUW1/4100");
  mhx.service->Once(url, Answer(500, "{}"));  // the login's job fails: nothing cached
  mhx.Ready(kConfig, false);
  const std::string document = ChampionsDocument(6, 1, 3);
  mhx.service->Once(url, Answer(200, document));
  const ApiCallResult current = mhx.Get("/qel-mhx/v2/recently-played-champions/current-summoner");
  EXPECT_FALSE(current.failed);
  EXPECT_EQ(Json(current.value), Json(Json(document)));
  EXPECT_EQ(mhx.service->Urls(), std::vector<std::string>{url});
}

// ---- hostile answers ----

TEST_F(ModuleE2E, HostileAnswersGiveErrorsOrDocumentedLimits) {
  mhx.Ready();
  const std::string url = Url("/v1/stats/game/EUW1/1");
  // 100 MB that is not JSON: the error text is cut by the formatter.
  mhx.service->Once(url, Answer(200, std::string(100u << 20, 'x')));
  const ApiCallResult huge = mhx.Get("/qel-mhx/v1/games/1");
  EXPECT_TRUE(huge.failed);
  EXPECT_EQ(huge.status, 500u);
  EXPECT_LE(huge.errorMessage.size(), 4095u);
  EXPECT_EQ(huge.errorMessage.substr(0, 48), "Could not decode body returned from the server: ");
  // Nesting: 512 levels pass, 513 fail.
  for (const size_t depth : {size_t{512}, size_t{513}}) {
    mhx.service->Once(url, Answer(200, std::string(depth, '[') + std::string(depth, ']')));
    const ApiCallResult deep = mhx.Get("/qel-mhx/v1/games/1");
    EXPECT_EQ(deep.failed, depth == 513) << depth;
    if (deep.failed) {
      EXPECT_NE(deep.errorMessage.find("Error: Nesting is too deep. at offset"), std::string::npos);
      EXPECT_EQ(deep.status, 500u);
    }
  }
  // Headers full of junk are only copied.
  mhx.service->Once(url, Answer(200, "{}", HeaderList(1000, {"X-Junk", std::string(4000, 'j')})));
  EXPECT_FALSE(mhx.Get("/qel-mhx/v1/games/1").failed);
}

// ---- allocation counters ----

TEST(ModuleMemory, TheCountersBalanceOnceTheModuleIsUnloaded) {
  { MhxHost warmUp; }  // what the first load builds for the life of the process
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  {
    MhxHost mhx;
    mhx.service->Always(Url("/v1/recent_champions/EUW1/4100"),
                        Answer(200, ChampionsDocument(3, 3, 1)));
    mhx.Ready(kConfig, false);
    for (int i = 0; i < 3; ++i) {
      (void)mhx.Get("/qel-mhx/v1/games/" + std::to_string(i));
      (void)mhx.Get("/qel-mhx/v1/matchlists/9");
      (void)mhx.Get("/qel-mhx/v2/recently-played-champions/4100");
      (void)mhx.Get("/qel-mhx/v1/games/x");
    }
    const Host::Result<Host::ModuleMemoryStats> stats = mhx.host->GetMemoryStats(mhx.id);
    ASSERT_TRUE(stats.Ok()) << stats.ErrorMessage();
    EXPECT_GT(stats.Value().allocations, 0u);
    ASSERT_TRUE(mhx.host->UnloadModule(mhx.id).Ok());
  }
  const Log::AllocationCounters after = Log::ReadAllocationCounters();
  EXPECT_EQ(after.allocations - after.frees, before.allocations - before.frees);
  EXPECT_EQ(after.bytesAllocated - after.bytesFreed, before.bytesAllocated - before.bytesFreed);
}

}  // namespace
}  // namespace ModuleTest
