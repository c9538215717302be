// The stub's answers without sockets: every URL the module formats reaches its resource and its
// document, the checks come in their order with their exact messages, each special id answers
// as documented, and the module maps each answer to the response it should.
#include "stub/stub_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stub/stub_documents.h"
#include "stub_test_support.h"

namespace StubTest {
namespace {

struct ModuleUrl {
  const char* name;
  std::string target;  // as the module formats it with an empty base URL
  Resource resource;
  std::string document;
};

std::vector<ModuleUrl> ModuleUrls(uint64_t gameId, uint64_t accountId) {
  const std::string account = std::to_string(accountId);
  return {
      {"game", Mhx::GameUrl("", kPlatform, gameId), Resource::Game,
       Json(GameDocument(kPlatform, gameId))},
      {"timeline", Mhx::GameTimelineUrl("", kPlatform, gameId), Resource::GameTimeline,
       Json(TimelineDocument(kPlatform, gameId))},
      {"own match list", Mhx::OwnMatchListUrl(""), Resource::OwnMatchList,
       Json(MatchListDocument(kPlatform, kAuthenticatedAccountId, 0, 20))},
      {"look-up", Mhx::PlayerLookupUrl("", kPlatform, accountId), Resource::PlayerLookup,
       Json(PlayerDocument(kPlatform, accountId))},
      {"match list", Mhx::PlayerMatchListUrl("", kPlatform, account), Resource::PlayerMatchList,
       Json(MatchListDocument(kPlatform, accountId, 0, 20))},
      {"deltas", Mhx::DeltasUrl(""), Resource::Deltas,
       Json(DeltasDocument(kPlatform, kAuthenticatedAccountId))},
      {"recent champions", Mhx::RecentChampionsUrl("", kPlatform, accountId),
       Resource::RecentChampions, Json(RecentChampionsDocument(kPlatform, accountId))},
  };
}

TEST(StubService, EveryUrlTheModuleFormatsAnswersItsDocument) {
  for (const ModuleUrl& url : ModuleUrls(6123456789, 123456)) {
    SCOPED_TRACE(url.name);
    const StubAnswer answer = Ask(url.target);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.resource, url.resource);
    EXPECT_EQ(answer.contentType, "application/json");
    EXPECT_FALSE(answer.late);
    EXPECT_EQ(answer.body, url.document);
    const auto mapped = ThroughModule(answer.status, answer.body, url.target);
    ASSERT_TRUE(mapped.Ok()) << mapped.result.ErrorMessage();
    EXPECT_EQ(Json(mapped.result.Value()), url.document);
  }
}

TEST(StubService, TheAuthResourcesBelongToTheRegionOfTheHeader) {
  OwnedRequest request = MakeRequest("/v1/deltas/auth");
  request.request.region = "NA1";
  EXPECT_EQ(Ask(std::move(request)).body, Json(DeltasDocument("NA1", kAuthenticatedAccountId)));
}

TEST(StubService, MatchListWindowComesFromTheQuery) {
  EXPECT_EQ(Ask("/v1/stats/player_history/EUW1/77?begIndex=3&endIndex=9").body,
            Json(MatchListDocument("EUW1", 77, 3, 9)));
  EXPECT_EQ(Ask("/v1/stats/player_history/EUW1/77").body,
            Json(MatchListDocument("EUW1", 77, 0, 20)));
  EXPECT_EQ(Ask("/v1/stats/player_history/auth?endIndex=100").body,
            Json(MatchListDocument("EUW1", kAuthenticatedAccountId, 0, 100)));
}

TEST(StubService, PathsOfNoResourceAre404BeforeAnyOtherCheck) {
  for (const char* path :
       {"/", "", "v1/deltas/auth", "/v1", "/v2/deltas/auth", "/v1/deltas/auth/", "//v1/deltas/auth",
        "/v1/deltas", "/v1/stats/game/EUW1", "/v1/stats/game/EUW1/1/timeline/x",
        "/v1/stats/game/EUW1/1/frames", "/v1/recent_champions/EUW1", "/v1/players/current/x",
        "/v1/stats/player_history/EUW1/1/2"}) {
    SCOPED_TRACE(path);
    OwnedRequest request = MakeRequest(path, "POST");
    request.request.authorization.reset();
    const StubAnswer answer = Ask(std::move(request));
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, R"({"message":"Unknown path","status":404})");
    EXPECT_FALSE(answer.resource.has_value());
  }
}

TEST(StubService, OnlyGetAndHeadAreServed) {
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "get"}) {
    SCOPED_TRACE(method);
    const StubAnswer answer = Ask(MakeRequest("/v1/deltas/auth", method));
    EXPECT_EQ(answer.status, 405);
    EXPECT_EQ(answer.body, R"({"message":"Method not allowed","status":405})");
    ASSERT_EQ(answer.headers.size(), 1u);
    EXPECT_EQ(answer.headers[0], (std::pair<std::string, std::string>("Allow", "GET, HEAD")));
  }
  EXPECT_EQ(Ask(MakeRequest("/v1/deltas/auth", "HEAD")).status, 200);
}

TEST(StubService, BothHeadersAreRequiredAuthorizationFirst) {
  struct Case {
    const char* name;
    std::optional<std::string> authorization;
    std::optional<std::string> region;
    const char* body;
  };
  const char* kNoAuthorization = R"({"message":"Missing header AUTHORIZATION","status":401})";
  const char* kNoRegion = R"({"message":"Missing header REGION","status":401})";
  const std::vector<Case> cases = {
      {"neither", std::nullopt, std::nullopt, kNoAuthorization},
      {"no authorization", std::nullopt, "EUW1", kNoAuthorization},
      {"empty authorization", "", "EUW1", kNoAuthorization},
      {"no region", "JwtBearer x", std::nullopt, kNoRegion},
      {"empty region", "JwtBearer x", "", kNoRegion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Checked before the values: an invalid id does not hide the missing header.
    OwnedRequest request = MakeRequest("/v1/stats/game/EUW1/not-a-number");
    request.request.authorization = c.authorization;
    request.request.region = c.region;
    const StubAnswer answer = Ask(std::move(request));
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.resource, Resource::Game);
    ASSERT_EQ(answer.headers.size(), 1u);
    EXPECT_EQ(answer.headers[0].first, "WWW-Authenticate");
  }
}

TEST(StubService, InvalidValuesAre400WithTheirName) {
  struct Case {
    std::string target;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"/v1/stats/game/EUW1/abc", "Invalid gameId"},
      {"/v1/stats/game/EUW1/-1", "Invalid gameId"},
      {"/v1/stats/game/EUW1/+1", "Invalid gameId"},
      {"/v1/stats/game/EUW1/1 ", "Invalid gameId"},
      {"/v1/stats/game/EUW1/18446744073709551616", "Invalid gameId"},
      {"/v1/stats/game/EUW1/", "Invalid gameId"},
      {"/v1/stats/game/EUW1/0x10/timeline", "Invalid gameId"},
      {"/v1/stats/game/EU-W1/1", "Invalid platformId"},
      {"/v1/stats/game//1", "Invalid platformId"},
      {"/v1/stats/game/ABCDEFGHIJKLMNOPQ/1", "Invalid platformId"},
      {"/v1/recent_champions/EUW1/x", "Invalid accountId"},
      {"/v1/stats/player_history//123?begIndex=0&endIndex=20", "Invalid platformId"},
      {"/v1/stats/player_history/EUW1/?begIndex=0&endIndex=20", "Invalid accountId"},
      {"/v1/players/current?account=1", "Missing query parameter region"},
      {"/v1/players/current?region=EUW1", "Missing query parameter account"},
      {"/v1/players/current?region=EU.W1&account=1", "Invalid region"},
      {"/v1/players/current?region=EUW1&account=1e3", "Invalid account"},
      {"/v1/stats/player_history/auth?begIndex=x", "Invalid begIndex"},
      {"/v1/stats/player_history/auth?endIndex=10001", "Invalid endIndex"},
      {"/v1/stats/player_history/auth?begIndex=30", "endIndex must not be less than begIndex"},
      {"/v1/stats/player_history/auth?begIndex=0&endIndex=101",
       "A match list holds at most 100 games"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const StubAnswer answer = Ask(c.target);
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.body, ErrorBody(400, c.message));
  }
  // The limits themselves are fine.
  EXPECT_EQ(Ask("/v1/stats/game/ABCDEFGHIJKLMNOP/18446744073709551615").status, 200);
  EXPECT_EQ(Ask("/v1/stats/player_history/auth?begIndex=9900&endIndex=10000").status, 200);
  EXPECT_EQ(Ask("/v1/stats/player_history/auth?begIndex=7&endIndex=7").status, 200);

  OwnedRequest badRegion = MakeRequest("/v1/stats/player_history/auth");
  badRegion.request.region = "EUW1 ";
  EXPECT_EQ(Ask(std::move(badRegion)).body, ErrorBody(400, "Invalid REGION header"));
}

TEST(StubService, SpecialIdsAnswerAsDocumentedWhereverAnIdStands) {
  ASSERT_EQ(kSpecialIds.size(), 6u);
  EXPECT_EQ(BehaviourOf(403), Behaviour::Forbidden);
  EXPECT_EQ(BehaviourOf(404), Behaviour::NotFound);
  EXPECT_EQ(BehaviourOf(500), Behaviour::ServerError);
  EXPECT_EQ(BehaviourOf(900), Behaviour::EmptyBody);
  EXPECT_EQ(BehaviourOf(901), Behaviour::InvalidJson);
  EXPECT_EQ(BehaviourOf(902), Behaviour::Late);
  EXPECT_EQ(BehaviourOf(903), Behaviour::Normal);

  for (const SpecialId& special : kSpecialIds) {
    for (const ModuleUrl& url : ModuleUrls(special.id, special.id)) {
      if (url.resource == Resource::OwnMatchList || url.resource == Resource::Deltas) continue;
      SCOPED_TRACE(url.target);
      const StubAnswer answer = Ask(url.target);
      EXPECT_EQ(answer.late, special.behaviour == Behaviour::Late);
      switch (special.behaviour) {
        case Behaviour::Forbidden:
          EXPECT_EQ(answer.status, 403);
          EXPECT_EQ(answer.body, R"({"message":"Forbidden","status":403})");
          break;
        case Behaviour::NotFound:
          EXPECT_EQ(answer.status, 404);
          EXPECT_EQ(answer.body, R"({"message":"Not found","status":404})");
          break;
        case Behaviour::ServerError:
          EXPECT_EQ(answer.status, 500);
          EXPECT_EQ(answer.body, R"({"message":"Internal server error","status":500})");
          break;
        case Behaviour::EmptyBody:
          EXPECT_EQ(answer.status, 200);
          EXPECT_EQ(answer.body, "");
          break;
        case Behaviour::InvalidJson:
          EXPECT_EQ(answer.status, 200);
          EXPECT_EQ(answer.body, url.document.substr(0, url.document.size() / 2));
          EXPECT_FALSE(Codec::ParseJson(answer.body).Ok());
          break;
        default:
          EXPECT_EQ(answer.status, 200);
          EXPECT_EQ(answer.body, url.document);
          break;
      }
    }
  }
}

TEST(StubService, SpecialIdsLeaveTheAuthResourcesAlone) {
  // Their only inputs are the headers and the window; no id of the table applies.
  EXPECT_EQ(Ask("/v1/stats/player_history/auth?begIndex=404&endIndex=500").status, 200);
  EXPECT_EQ(Ask("/v1/deltas/auth").status, 200);
}

TEST(StubService, TheModuleMapsEachSpecialAnswerToItsError) {
  struct Case {
    uint64_t id;
    uint32_t status;
    std::string message;
  };
  const std::string url = Mhx::GameUrl("", kPlatform, 0);
  const std::vector<Case> cases = {
      {403, 500, "Received an error status from the server: 403 - "},
      {404, 404, "Not found"},
      {500, 500, "Received an error status from the server: 500 - "},
      {900, 500,
       "Could not decode body returned from the server: 200 - Error converting response for GET "
       "/v1/stats/game/EUW1/900: body was empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string target = Mhx::GameUrl("", kPlatform, c.id);
    const StubAnswer answer = Ask(target);
    const auto mapped = ThroughModule(answer.status, answer.body, target);
    EXPECT_FALSE(mapped.Ok());
    EXPECT_EQ(mapped.status, c.status);
    EXPECT_EQ(mapped.result.ErrorMessage(), c.message);
  }
  const std::string target = Mhx::GameUrl("", kPlatform, 901);
  const StubAnswer cut = Ask(target);
  const auto mapped = ThroughModule(cut.status, cut.body, target);
  EXPECT_EQ(mapped.status, 500u);
  EXPECT_TRUE(mapped.result.ErrorMessage().starts_with(
      "Could not decode body returned from the server: 200 - Error deserializing json response "
      "for GET /v1/stats/game/EUW1/901: "));
}

}  // namespace
}  // namespace StubTest
