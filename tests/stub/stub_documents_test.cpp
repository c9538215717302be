// The stub's documents: sizes stay in range, the shapes hold (ten participants, frames spanning
// the game, pages that agree with each other), and the module's converters accept what it needs
// to convert. That the same ids give the same bytes, the service's tests show.
#include "stub/stub_documents.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "binding/types/binding_registry.h"
#include "binding/types/type_binding.h"
#include "mhx/mhx_types.h"
#include "stub_test_support.h"

namespace StubTest {
namespace {

using Binding::BindingProperty;

std::vector<uint64_t> SampleIds() {
  std::vector<uint64_t> ids = {0, 1, 902, 6123456789, std::numeric_limits<uint64_t>::max()};
  for (uint64_t i = 0; i < 20; ++i)
    ids.push_back(5000000000 + i * 7919);
  return ids;
}

uint64_t U(const BindingProperty& value, const char* name) {
  return value.Get(name).GetUnsigned(99999);
}

TEST(StubDocuments, EachKindPlatformAndIdGivesADocumentOfItsOwn) {
  using Build = BindingProperty (*)(std::string_view, uint64_t);
  for (const Build build :
       {GameDocument, TimelineDocument, RecentChampionsDocument, PlayerDocument}) {
    const std::string first = Json(build("EUW1", 6123456789));
    EXPECT_NE(first, Json(build("EUW1", 6123456790)));
    EXPECT_NE(first, Json(build("NA1", 6123456789)));
  }
}

TEST(StubDocuments, AGameHasTenParticipantsInTwoTeamsAndItsTimelineAFrameAMinute) {
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const BindingProperty game = GameDocument("NA1", id), timeline = TimelineDocument("NA1", id);
    const size_t size = Json(game).size(), list = Json(MatchListDocument("EUW1", id, 0, 20)).size();
    EXPECT_TRUE(size >= 20000 && size <= 50000 && list >= 10000 && list <= 40000) << size << list;
    const uint64_t duration = U(game, "gameDuration"), endMs = duration * 1000;
    EXPECT_TRUE(U(game, "gameId") == id && game.Get("platformId").GetString() == "NA1");
    EXPECT_TRUE(duration >= 960 && duration <= 2700) << duration;
    const BindingProperty &teams = game.Get("teams"), &frames = timeline.Get("frames");
    ASSERT_TRUE(teams.Size() == 2u && U(teams.At(0), "teamId") == 100u &&
                U(teams.At(1), "teamId") == 200u);
    EXPECT_NE(teams.At(0).Get("win").GetString(), teams.At(1).Get("win").GetString());
    std::set<uint64_t> champions;  // picks and bans are twenty different champions
    for (const BindingProperty& team : teams.Elements())
      for (const BindingProperty& ban : team.Get("bans").Elements())
        champions.insert(U(ban, "championId"));
    ASSERT_TRUE(game.Get("participants").Size() == 10u &&
                game.Get("participantIdentities").Size() == 10u);
    for (uint64_t p = 0; p < 10; ++p) {
      const BindingProperty& participant = game.Get("participants").At(p);
      const BindingProperty& identity = game.Get("participantIdentities").At(p);
      const bool won = teams.At(p < 5 ? 0 : 1).Get("win").GetString() == "Win";
      EXPECT_TRUE(U(participant, "participantId") == p + 1 &&
                  U(identity, "participantId") == p + 1);
      EXPECT_EQ(U(participant, "teamId"), p < 5 ? 100u : 200u);
      EXPECT_EQ(participant.Get("stats").Get("win").GetBool(!won), won);
      champions.insert(U(participant, "championId"));
      EXPECT_TRUE(U(identity.Get("player"), "accountId") != 0u &&
                  identity.Get("player").Get("platformId").GetString() == "NA1");
    }
    EXPECT_EQ(champions.size(), 20u);
    EXPECT_EQ(U(timeline, "frameInterval"), 60000u);
    ASSERT_EQ(frames.Size(), (endMs + 59999) / 60000 + 1);
    std::vector<uint64_t> lastGold(10, 0);
    for (uint64_t f = 0, previous = 0; f < frames.Size(); ++f) {
      const BindingProperty& frame = frames.At(f);
      const uint64_t at = U(frame, "timestamp");
      EXPECT_EQ(at, f + 1 == frames.Size() ? endMs : f * 60000);
      for (uint64_t p = 0; p < 10; ++p) {
        const BindingProperty& mine = frame.Get("participantFrames").Get(std::to_string(p + 1));
        EXPECT_TRUE(U(mine, "participantId") == p + 1 && U(mine, "totalGold") >= lastGold[p] &&
                    U(mine, "currentGold") <= U(mine, "totalGold"));
        lastGold[p] = U(mine, "totalGold");
      }
      EXPECT_TRUE(f > 0 || frame.Get("events").Size() == 0);
      for (const BindingProperty& event : frame.Get("events").Elements()) {
        EXPECT_TRUE(U(event, "timestamp") >= previous && U(event, "timestamp") <= at);
        previous = U(event, "timestamp");
      }
    }
  }
}

TEST(StubDocuments, MatchListPagesAreNewestFirstAgreeWithEachOtherAndTheDeltas) {
  const BindingProperty full = MatchListDocument("EUW1", 123456, 0, 20);
  const BindingProperty &page = full.Get("games"), &games = page.Get("games");
  EXPECT_TRUE(U(full, "accountId") == 123456u && full.Get("platformId").GetString() == "EUW1");
  ASSERT_EQ(games.Size(), 20u);
  EXPECT_TRUE(U(page, "gameCount") == 20 && U(page, "gameIndexBegin") == 0 &&
              U(page, "gameIndexEnd") == 20);
  EXPECT_TRUE(U(page, "gameTimestampEnd") == U(games.At(0), "gameCreation") &&
              U(page, "gameTimestampBegin") == U(games.At(19), "gameCreation"));
  const BindingProperty summoner = PlayerDocument("EUW1", 123456).Get("summonerName");
  const BindingProperty middle = MatchListDocument("EUW1", 123456, 5, 10).Get("games");
  ASSERT_EQ(middle.Get("games").Size(), 5u);
  for (size_t i = 0; i < games.Size(); ++i) {
    const BindingProperty& game = games.At(i);
    EXPECT_TRUE(i == 0 || (U(game, "gameId") < U(games.At(i - 1), "gameId") &&
                           U(game, "gameCreation") < U(games.At(i - 1), "gameCreation")))
        << i;
    EXPECT_GE(U(game, "gameId"), 1000000000u) << "never a special id";
    const BindingProperty& player = game.Get("participantIdentities").At(0).Get("player");
    EXPECT_TRUE(game.Get("participants").Size() == 1u && U(player, "accountId") == 123456u &&
                Json(player.Get("summonerName")) == Json(summoner));
    EXPECT_TRUE(i < 5 || i >= 10 || Json(middle.Get("games").At(i - 5)) == Json(game)) << i;
  }
  // Every history holds 100 to 400 games.
  const BindingProperty& past = MatchListDocument("EUW1", 77, 400, 420).Get("games");
  EXPECT_TRUE(past.Get("games").Size() == 0 && past.Get("gameCount").GetUnsigned(1) == 0 &&
              U(past, "gameIndexBegin") == U(past, "gameIndexEnd") &&
              past.Get("gameTimestampBegin").GetUnsigned(1) == 0);
  EXPECT_EQ(MatchListDocument("EUW1", 77, 80, 100).Get("games").Get("games").Size(), 20u);

  const BindingProperty deltas = DeltasDocument("EUW1", kAuthenticatedAccountId);
  const BindingProperty own = MatchListDocument("EUW1", kAuthenticatedAccountId, 0, 10);
  EXPECT_TRUE(U(deltas, "originalAccountId") == kAuthenticatedAccountId &&
              deltas.Get("originalPlatformId").GetString() == "EUW1");
  ASSERT_EQ(deltas.Get("deltas").Size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    const BindingProperty& delta = deltas.Get("deltas").At(i);
    const uint64_t gameId = U(own.Get("games").Get("games").At(i), "gameId");
    const int64_t change = delta.Get("ratingDelta").Get("pointsDelta").GetSigned(99);
    EXPECT_TRUE(U(delta, "gameId") == gameId && U(delta.Get("ratingDelta"), "gameId") == gameId &&
                change >= -25 && change <= 25)
        << change;
  }
}

TEST(StubDocuments, RecentChampionsConvertToTheModulesCollectionNewestFirst) {
  Binding::BindingRegistry registry;
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const BindingProperty document = RecentChampionsDocument("EUW1", id);
    Mhx::Api::MhxChampionGamesCollection collection;
    const Binding::ValueResult read =
        Binding::ReadNative(document, collection, "<value>", registry);
    ASSERT_TRUE(read.Ok()) << read.ErrorMessage();
    const auto& champions = collection.champions;
    ASSERT_TRUE(champions.size() >= 5 && champions.size() <= 20) << champions.size();
    EXPECT_GE(collection.gameCount, champions.size());
    std::set<int32_t> distinct;
    for (size_t i = 0; i < champions.size(); ++i) {
      EXPECT_FALSE(champions[i].lane.empty() || champions[i].role.empty());
      EXPECT_TRUE(i == 0 || champions[i].timestamp < champions[i - 1].timestamp) << i;
      distinct.insert(champions[i].championId);
    }
    EXPECT_EQ(distinct.size(), champions.size());
  }
}

}  // namespace
}  // namespace StubTest
