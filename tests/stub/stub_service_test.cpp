// The stub's answers without sockets: every URL the module formats reaches its resource and its
// document (and the module accepts it), the checks come in their order with their exact
// messages, and each special id answers as documented wherever an id stands.
#include "stub/stub_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stub/stub_documents.h"
#include "stub_test_support.h"

namespace StubTest {
namespace {

// Each URL the module formats (with an empty base URL), its resource and its document.
std::vector<std::tuple<std::string, Resource, std::string>> ModuleUrls(uint64_t id) {
  const uint64_t self = kAuthenticatedAccountId;
  const std::string_view p = kPlatform;
  return {
      {Mhx::GameUrl("", p, id), Resource::Game, Json(GameDocument(p, id))},
      {Mhx::GameTimelineUrl("", p, id), Resource::GameTimeline, Json(TimelineDocument(p, id))},
      {Mhx::OwnMatchListUrl(""), Resource::OwnMatchList, Json(MatchListDocument(p, self, 0, 20))},
      {Mhx::PlayerLookupUrl("", p, id), Resource::PlayerLookup, Json(PlayerDocument(p, id))},
      {Mhx::PlayerMatchListUrl("", p, std::to_string(id)), Resource::PlayerMatchList,
       Json(MatchListDocument(p, id, 0, 20))},
      {Mhx::DeltasUrl(""), Resource::Deltas, Json(DeltasDocument(p, self))},
      {Mhx::RecentChampionsUrl("", p, id), Resource::RecentChampions,
       Json(RecentChampionsDocument(p, id))},
  };
}

TEST(StubService, EveryUrlTheModuleFormatsAnswersItsDocumentShapedByRegionAndQuery) {
  for (const auto& [target, resource, document] : ModuleUrls(6123456789)) {
    SCOPED_TRACE(target);
    const StubAnswer answer = Ask(target);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.resource, resource);
    EXPECT_EQ(answer.contentType, "application/json");
    EXPECT_FALSE(answer.late);
    EXPECT_EQ(answer.body, document);
    const auto mapped = ThroughModule(answer.status, answer.body, target);
    ASSERT_TRUE(mapped.Ok()) << mapped.result.ErrorMessage();
    EXPECT_EQ(Json(mapped.result.Value()), document);
  }
  const uint64_t self = kAuthenticatedAccountId;
  const std::string history = "/v1/stats/player_history/";
  EXPECT_EQ(Ask("/v1/deltas/auth", "GET", std::string(kToken), "NA1").body,
            Json(DeltasDocument("NA1", self)));
  EXPECT_EQ(Ask(history + "EUW1/77?begIndex=3&endIndex=9").body,
            Json(MatchListDocument("EUW1", 77, 3, 9)));
  EXPECT_EQ(Ask(history + "auth?endIndex=100").body, Json(MatchListDocument("EUW1", self, 0, 100)));
  // The auth resources carry no id: the special ids leave them alone.
  EXPECT_EQ(Ask(history + "auth?begIndex=404&endIndex=500").body,
            Json(MatchListDocument("EUW1", self, 404, 500)));
}

TEST(StubService, PathsOfNoResourceAre404BeforeAnyOtherCheck) {
  for (const char* path :
       {"/", "", "v1/deltas/auth", "/v1", "/v2/deltas/auth", "/v1/deltas/auth/", "//v1/deltas/auth",
        "/v1/deltas", "/v1/stats/game/EUW1", "/v1/stats/game/EUW1/1/timeline/x",
        "/v1/stats/game/EUW1/1/frames", "/v1/recent_champions/EUW1", "/v1/players/current/x",
        "/v1/stats/player_history/EUW1/1/2"}) {
    SCOPED_TRACE(path);
    const StubAnswer answer = Ask(path, "POST", std::nullopt);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, R"({"message":"Unknown path","status":404})");
    EXPECT_FALSE(answer.resource.has_value());
  }
}

// Refusals in the order of the checks: the method, then the headers (before the values: an
// invalid id does not hide a missing header), then the values; the limits themselves pass.
TEST(StubService, RefusalsComeInTheOrderOfTheChecks) {
  const std::optional<std::string> none, token = std::string(kToken), x = "JwtBearer x";
  const std::string game = "/v1/stats/game/EUW1/not-a-number", h = "/v1/stats/player_history/";
  const std::string auth = "WWW-Authenticate", allow = "Allow";
  // target, status, message ("" for a 200), the header sent, method, AUTHORIZATION, REGION
  const std::tuple<std::string, int, std::string, std::string, std::string_view,
                   std::optional<std::string>, std::optional<std::string>>
      cases[] = {
          {game, 405, "Method not allowed", allow, "POST", token, "EUW1"},
          {game, 405, "Method not allowed", allow, "get", token, "EUW1"},
          {"/v1/deltas/auth", 405, "Method not allowed", allow, "OPTIONS", token, "EUW1"},
          {"/v1/deltas/auth", 200, "", "", "HEAD", token, "EUW1"},
          {game, 401, "Missing header AUTHORIZATION", auth, "GET", none, none},
          {game, 401, "Missing header AUTHORIZATION", auth, "GET", "", "EUW1"},
          {game, 401, "Missing header REGION", auth, "GET", x, none},
          {game, 401, "Missing header REGION", auth, "GET", x, ""},
          {h + "auth", 400, "Invalid REGION header", "", "GET", x, "EUW1 "},
      };
  for (const auto& [target, status, message, header, method, authorization, region] : cases) {
    SCOPED_TRACE(std::string(method) + " " + target);
    const StubAnswer answer = Ask(target, method, authorization, region);
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(message.empty() ? "" : answer.body,
              message.empty() ? "" : ErrorBody(status, message));
    ASSERT_EQ(answer.headers.size(), header.empty() ? 0u : 1u);
    EXPECT_EQ(header.empty() ? "" : answer.headers[0].first, header);
  }
  EXPECT_EQ(Ask("/v1/deltas/auth", "PUT").headers[0].second, "GET, HEAD");
  const std::pair<std::string, std::string> values[] = {
      {"/v1/stats/game/EUW1/abc", "Invalid gameId"},
      {"/v1/stats/game/EUW1/-1", "Invalid gameId"},
      {"/v1/stats/game/EUW1/18446744073709551616", "Invalid gameId"},
      {"/v1/stats/game/EUW1/", "Invalid gameId"},
      {"/v1/stats/game/EUW1/0x10/timeline", "Invalid gameId"},
      {"/v1/stats/game/EU-W1/1", "Invalid platformId"},
      {"/v1/stats/game//1", "Invalid platformId"},
      {"/v1/stats/game/ABCDEFGHIJKLMNOPQ/1", "Invalid platformId"},
      {"/v1/stats/game/ABCDEFGHIJKLMNOP/18446744073709551615", ""},
      {"/v1/recent_champions/EUW1/x", "Invalid accountId"},
      {h + "/123?begIndex=0&endIndex=20", "Invalid platformId"},
      {h + "EUW1/?begIndex=0&endIndex=20", "Invalid accountId"},
      {"/v1/players/current?account=1", "Missing query parameter region"},
      {"/v1/players/current?region=EUW1", "Missing query parameter account"},
      {"/v1/players/current?region=EU.W1&account=1", "Invalid region"},
      {"/v1/players/current?region=EUW1&account=1e3", "Invalid account"},
      {h + "auth?begIndex=x", "Invalid begIndex"},
      {h + "auth?endIndex=10001", "Invalid endIndex"},
      {h + "auth?begIndex=9900&endIndex=10000", ""},
      {h + "auth?begIndex=30", "endIndex must not be less than begIndex"},
      {h + "auth?begIndex=7&endIndex=7", ""},
      {h + "auth?begIndex=0&endIndex=101", "A match list holds at most 100 games"},
  };
  for (const auto& [target, message] : values) {
    SCOPED_TRACE(target);
    const StubAnswer answer = Ask(target);
    EXPECT_EQ(answer.status, message.empty() ? 200 : 400);
    EXPECT_TRUE(answer.resource.has_value());
    EXPECT_EQ(answer.body, message.empty() ? answer.body : ErrorBody(400, message));
  }
}

TEST(StubService, SpecialIdsAnswerAsDocumentedWhereverAnIdStands) {
  // id, status, the error's message (null for a body made from the document), the document's
  // size divided by this (0 for no body), late
  const std::tuple<uint64_t, int, const char*, size_t, bool> cases[] = {
      {402, 200, nullptr, 1, false},     {403, 403, "Forbidden", 0, false},
      {404, 404, "Not found", 0, false}, {500, 500, "Internal server error", 0, false},
      {900, 200, nullptr, 0, false},     {901, 200, nullptr, 2, false},
      {902, 200, nullptr, 1, true},      {903, 200, nullptr, 1, false},
  };
  for (const auto& [id, status, error, cut, late] : cases) {
    for (const auto& [target, resource, document] : ModuleUrls(id)) {
      SCOPED_TRACE(target);
      const bool idBearing = resource != Resource::OwnMatchList && resource != Resource::Deltas;
      const StubAnswer answer = Ask(target);
      EXPECT_EQ(answer.status, idBearing ? status : 200);
      EXPECT_EQ(answer.late, idBearing && late);
      EXPECT_EQ(answer.body, !idBearing         ? document
                             : error != nullptr ? ErrorBody(status, error)
                             : cut == 0         ? ""
                                                : document.substr(0, document.size() / cut));
    }
  }
}

}  // namespace
}  // namespace StubTest
