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

struct ModuleUrl {
  std::string target;  // as the module formats it with an empty base URL
  Resource resource;
  std::string document;
};

std::vector<ModuleUrl> ModuleUrls(uint64_t id) {
  const uint64_t self = kAuthenticatedAccountId;
  return {
      {Mhx::GameUrl("", kPlatform, id), Resource::Game, Json(GameDocument(kPlatform, id))},
      {Mhx::GameTimelineUrl("", kPlatform, id), Resource::GameTimeline,
       Json(TimelineDocument(kPlatform, id))},
      {Mhx::OwnMatchListUrl(""), Resource::OwnMatchList,
       Json(MatchListDocument(kPlatform, self, 0, 20))},
      {Mhx::PlayerLookupUrl("", kPlatform, id), Resource::PlayerLookup,
       Json(PlayerDocument(kPlatform, id))},
      {Mhx::PlayerMatchListUrl("", kPlatform, std::to_string(id)), Resource::PlayerMatchList,
       Json(MatchListDocument(kPlatform, id, 0, 20))},
      {Mhx::DeltasUrl(""), Resource::Deltas, Json(DeltasDocument(kPlatform, self))},
      {Mhx::RecentChampionsUrl("", kPlatform, id), Resource::RecentChampions,
       Json(RecentChampionsDocument(kPlatform, id))},
  };
}

TEST(StubService, EveryUrlTheModuleFormatsAnswersItsDocument) {
  for (const ModuleUrl& url : ModuleUrls(6123456789)) {
    SCOPED_TRACE(url.target);
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

TEST(StubService, TheRegionHeaderAndTheQueryShapeTheDocument) {
  const uint64_t self = kAuthenticatedAccountId;
  const struct {
    std::string target;
    const char* region;
    std::string document;
  } cases[] = {
      {"/v1/deltas/auth", "NA1", Json(DeltasDocument("NA1", self))},
      {"/v1/stats/player_history/EUW1/77?begIndex=3&endIndex=9", "EUW1",
       Json(MatchListDocument("EUW1", 77, 3, 9))},
      {"/v1/stats/player_history/auth?endIndex=100", "EUW1",
       Json(MatchListDocument("EUW1", self, 0, 100))},
      // The auth resources carry no id: the special ids leave them alone.
      {"/v1/stats/player_history/auth?begIndex=404&endIndex=500", "EUW1",
       Json(MatchListDocument("EUW1", self, 404, 500))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    OwnedRequest request = MakeRequest(c.target);
    request.request.region = c.region;
    const StubAnswer answer = Ask(std::move(request));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, c.document);
  }
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

// Refusals in the order of the checks: the method, then the headers (before the values: an
// invalid id does not hide a missing header), then the values; the limits themselves pass.
TEST(StubService, RefusalsComeInTheOrderOfTheChecks) {
  const std::optional<std::string> none;
  const std::string game = "/v1/stats/game/EUW1/not-a-number";
  const std::string history = "/v1/stats/player_history/auth";
  struct Case {
    std::string target;
    int status;
    std::string message;  // "" for a 200
    std::string header = "";
    std::string_view method = "GET";
    std::optional<std::string> authorization = std::string(kToken);
    std::optional<std::string> region = std::string(kPlatform);
  };
  const std::vector<Case> cases = {
      {game, 405, "Method not allowed", "Allow", "POST"},
      {game, 405, "Method not allowed", "Allow", "get"},
      {"/v1/deltas/auth", 405, "Method not allowed", "Allow", "OPTIONS"},
      {"/v1/deltas/auth", 200, "", "", "HEAD"},
      {game, 401, "Missing header AUTHORIZATION", "WWW-Authenticate", "GET", none, none},
      {game, 401, "Missing header AUTHORIZATION", "WWW-Authenticate", "GET", ""},
      {game, 401, "Missing header REGION", "WWW-Authenticate", "GET", "JwtBearer x", none},
      {game, 401, "Missing header REGION", "WWW-Authenticate", "GET", "JwtBearer x", ""},
      {history, 400, "Invalid REGION header", "", "GET", "JwtBearer x", "EUW1 "},
      {"/v1/stats/game/EUW1/abc", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/-1", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/+1", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/1 ", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/18446744073709551616", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/", 400, "Invalid gameId"},
      {"/v1/stats/game/EUW1/0x10/timeline", 400, "Invalid gameId"},
      {"/v1/stats/game/EU-W1/1", 400, "Invalid platformId"},
      {"/v1/stats/game//1", 400, "Invalid platformId"},
      {"/v1/stats/game/ABCDEFGHIJKLMNOPQ/1", 400, "Invalid platformId"},
      {"/v1/stats/game/ABCDEFGHIJKLMNOP/18446744073709551615", 200, ""},
      {"/v1/recent_champions/EUW1/x", 400, "Invalid accountId"},
      {"/v1/stats/player_history//123?begIndex=0&endIndex=20", 400, "Invalid platformId"},
      {"/v1/stats/player_history/EUW1/?begIndex=0&endIndex=20", 400, "Invalid accountId"},
      {"/v1/players/current?account=1", 400, "Missing query parameter region"},
      {"/v1/players/current?region=EUW1", 400, "Missing query parameter account"},
      {"/v1/players/current?region=EU.W1&account=1", 400, "Invalid region"},
      {"/v1/players/current?region=EUW1&account=1e3", 400, "Invalid account"},
      {history + "?begIndex=x", 400, "Invalid begIndex"},
      {history + "?endIndex=10001", 400, "Invalid endIndex"},
      {history + "?begIndex=9900&endIndex=10000", 200, ""},
      {history + "?begIndex=30", 400, "endIndex must not be less than begIndex"},
      {history + "?begIndex=7&endIndex=7", 200, ""},
      {history + "?begIndex=0&endIndex=101", 400, "A match list holds at most 100 games"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    OwnedRequest request = MakeRequest(c.target, c.method);
    request.request.authorization = c.authorization;
    request.request.region = c.region;
    const StubAnswer answer = Ask(std::move(request));
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(c.message.empty() ? "" : answer.body,
              c.message.empty() ? "" : ErrorBody(c.status, c.message));
    EXPECT_TRUE(answer.resource.has_value());
    ASSERT_EQ(answer.headers.size(), c.header.empty() ? 0u : 1u);
    EXPECT_EQ(c.header.empty() ? "" : answer.headers[0].first, c.header);
  }
  EXPECT_EQ(ErrorBody(405, "Method not allowed"),
            R"({"message":"Method not allowed","status":405})");
  EXPECT_EQ(Ask(MakeRequest("/v1/deltas/auth", "PUT")).headers[0].second, "GET, HEAD");
}

TEST(StubService, SpecialIdsAnswerAsDocumentedWhereverAnIdStands) {
  struct Case {
    uint64_t id;
    int status;
    const char* error;  // the error's message, or null for a body made from the document
    size_t cut;         // the document's size divided by this; 0 for no body
    bool late;
  };
  const Case cases[] = {
      {402, 200, nullptr, 1, false},     {403, 403, "Forbidden", 0, false},
      {404, 404, "Not found", 0, false}, {500, 500, "Internal server error", 0, false},
      {900, 200, nullptr, 0, false},     {901, 200, nullptr, 2, false},
      {902, 200, nullptr, 1, true},      {903, 200, nullptr, 1, false},
  };
  for (const Case& c : cases) {
    for (const ModuleUrl& url : ModuleUrls(c.id)) {
      SCOPED_TRACE(url.target);
      const bool idBearing =
          url.resource != Resource::OwnMatchList && url.resource != Resource::Deltas;
      const StubAnswer answer = Ask(url.target);
      EXPECT_EQ(answer.status, idBearing ? c.status : 200);
      EXPECT_EQ(answer.late, idBearing && c.late);
      if (!idBearing) {
        EXPECT_EQ(answer.body, url.document);
      } else if (c.error != nullptr) {
        EXPECT_EQ(answer.body, ErrorBody(c.status, c.error));
      } else {
        EXPECT_EQ(answer.body,
                  c.cut == 0 ? "" : url.document.substr(0, url.document.size() / c.cut));
      }
    }
  }
}

}  // namespace
}  // namespace StubTest
