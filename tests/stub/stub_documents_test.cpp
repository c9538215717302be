// The stub's documents: the same ids give the same bytes, sizes stay in range, the shapes hold
// (ten participants, frames spanning the game, pages that agree with each other), and the
// module's converters accept what it needs to convert.
#include "stub/stub_documents.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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
  std::vector<uint64_t> ids = {
      0, 1, 42, 902, 123456, 6123456789, std::numeric_limits<uint64_t>::max()};
  for (uint64_t i = 0; i < 40; ++i)
    ids.push_back(5000000000 + i * 7919);
  return ids;
}

struct Builder {
  const char* name;
  std::function<BindingProperty(std::string_view, uint64_t)> build;
};

std::vector<Builder> Builders() {
  return {
      {"game", GameDocument},
      {"timeline", TimelineDocument},
      {"match list", [](std::string_view platform,
                        uint64_t id) { return MatchListDocument(platform, id, 0, 20); }},
      {"deltas", DeltasDocument},
      {"recent champions", RecentChampionsDocument},
      {"player", PlayerDocument},
  };
}

TEST(StubDocuments, SameIdsGiveTheSameBytesAndOtherIdsOtherBytes) {
  for (const Builder& builder : Builders()) {
    SCOPED_TRACE(builder.name);
    const std::string first = Json(builder.build("EUW1", 6123456789));
    EXPECT_EQ(first, Json(builder.build("EUW1", 6123456789)));
    EXPECT_NE(first, Json(builder.build("EUW1", 6123456790)));
    EXPECT_NE(first, Json(builder.build("NA1", 6123456789)));
  }
}

TEST(StubDocuments, EveryDocumentReadsBackAsTheSameText) {
  // Numbers included: a reader sees exactly what the stub meant to send.
  for (const Builder& builder : Builders()) {
    for (const uint64_t id : SampleIds()) {
      SCOPED_TRACE(std::string(builder.name) + " " + std::to_string(id));
      const std::string text = Json(builder.build("EUW1", id));
      const Binding::ValueResult parsed = Codec::ParseJson(text);
      ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
      ASSERT_EQ(Json(parsed.Value()), text);
    }
  }
}

TEST(StubDocuments, GamesAreBetween20And50KilobytesAndTheirListsAboutTheSize) {
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const size_t game = Json(GameDocument("EUW1", id)).size();
    EXPECT_GE(game, 20000u);
    EXPECT_LE(game, 50000u);
    const size_t list = Json(MatchListDocument("EUW1", id, 0, 20)).size();
    EXPECT_GE(list, 10000u);
    EXPECT_LE(list, 40000u);
  }
}

TEST(StubDocuments, GameNamesItsIdsAndHasTenParticipantsInTwoTeams) {
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const BindingProperty game = GameDocument("NA1", id);
    EXPECT_EQ(game.Get("gameId").GetUnsigned(0), id);
    EXPECT_EQ(game.Get("platformId").GetString(), "NA1");
    const uint64_t duration = game.Get("gameDuration").GetUnsigned(0);
    EXPECT_GE(duration, 960u);
    EXPECT_LE(duration, 2700u);

    const BindingProperty& teams = game.Get("teams");
    ASSERT_EQ(teams.Size(), 2u);
    EXPECT_EQ(teams.At(0).Get("teamId").GetUnsigned(0), 100u);
    EXPECT_EQ(teams.At(1).Get("teamId").GetUnsigned(0), 200u);
    EXPECT_NE(teams.At(0).Get("win").GetString(), teams.At(1).Get("win").GetString());
    std::set<uint64_t> champions;
    for (const BindingProperty& team : teams.Elements()) {
      EXPECT_EQ(team.Get("bans").Size(), 5u);
      for (const BindingProperty& ban : team.Get("bans").Elements())
        champions.insert(ban.Get("championId").GetUnsigned(0));
    }

    const BindingProperty& participants = game.Get("participants");
    const BindingProperty& identities = game.Get("participantIdentities");
    ASSERT_EQ(participants.Size(), 10u);
    ASSERT_EQ(identities.Size(), 10u);
    for (uint64_t p = 0; p < 10; ++p) {
      const BindingProperty& participant = participants.At(p);
      EXPECT_EQ(participant.Get("participantId").GetUnsigned(0), p + 1);
      EXPECT_EQ(participant.Get("teamId").GetUnsigned(0), p < 5 ? 100u : 200u);
      const bool teamWon = teams.At(p < 5 ? 0 : 1).Get("win").GetString() == "Win";
      EXPECT_EQ(participant.Get("stats").Get("win").GetBool(!teamWon), teamWon);
      champions.insert(participant.Get("championId").GetUnsigned(0));
      EXPECT_EQ(identities.At(p).Get("participantId").GetUnsigned(0), p + 1);
      const BindingProperty& player = identities.At(p).Get("player");
      EXPECT_NE(player.Get("accountId").GetUnsigned(0), 0u);
      EXPECT_FALSE(player.Get("summonerName").GetString().empty());
      EXPECT_EQ(player.Get("platformId").GetString(), "NA1");
    }
    EXPECT_EQ(champions.size(), 20u) << "picks and bans are twenty different champions";
  }
}

TEST(StubDocuments, TimelineHasAFrameEachMinuteUpToTheEndOfItsGame) {
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const uint64_t endMs = GameDocument("EUW1", id).Get("gameDuration").GetUnsigned(0) * 1000;
    const BindingProperty timeline = TimelineDocument("EUW1", id);
    EXPECT_EQ(timeline.Get("frameInterval").GetUnsigned(0), 60000u);
    const BindingProperty& frames = timeline.Get("frames");
    ASSERT_EQ(frames.Size(), (endMs + 59999) / 60000 + 1);
    std::vector<uint64_t> lastGold(10, 0);
    for (size_t f = 0; f < frames.Size(); ++f) {
      const BindingProperty& frame = frames.At(f);
      const uint64_t at = frame.Get("timestamp").GetUnsigned(1);
      EXPECT_EQ(at, f + 1 == frames.Size() ? endMs : f * 60000);
      const BindingProperty& participantFrames = frame.Get("participantFrames");
      ASSERT_EQ(participantFrames.Size(), 10u);
      for (uint64_t p = 0; p < 10; ++p) {
        const BindingProperty& mine = participantFrames.Get(std::to_string(p + 1));
        EXPECT_EQ(mine.Get("participantId").GetUnsigned(0), p + 1);
        const uint64_t gold = mine.Get("totalGold").GetUnsigned(0);
        EXPECT_GE(gold, lastGold[p]);
        EXPECT_LE(mine.Get("currentGold").GetUnsigned(0), gold);
        lastGold[p] = gold;
      }
      uint64_t previous = f == 0 ? 0 : frames.At(f - 1).Get("timestamp").GetUnsigned(0);
      if (f == 0) {
        EXPECT_EQ(frame.Get("events").Size(), 0u);
      }
      for (const BindingProperty& event : frame.Get("events").Elements()) {
        const uint64_t when = event.Get("timestamp").GetUnsigned(0);
        EXPECT_GE(when, previous);
        EXPECT_LE(when, at);
        EXPECT_FALSE(event.Get("type").GetString().empty());
        previous = when;
      }
    }
  }
}

TEST(StubDocuments, MatchListPagesAreNewestFirstAndAgreeWithEachOther) {
  const BindingProperty full = MatchListDocument("EUW1", 123456, 0, 20);
  EXPECT_EQ(full.Get("accountId").GetUnsigned(0), 123456u);
  EXPECT_EQ(full.Get("platformId").GetString(), "EUW1");
  const BindingProperty& page = full.Get("games");
  const BindingProperty& games = page.Get("games");
  ASSERT_EQ(games.Size(), 20u);
  EXPECT_EQ(page.Get("gameCount").GetUnsigned(0), 20u);
  EXPECT_EQ(page.Get("gameIndexBegin").GetUnsigned(1), 0u);
  EXPECT_EQ(page.Get("gameIndexEnd").GetUnsigned(0), 20u);
  EXPECT_EQ(page.Get("gameTimestampEnd").GetUnsigned(0),
            games.At(0).Get("gameCreation").GetUnsigned(1));
  EXPECT_EQ(page.Get("gameTimestampBegin").GetUnsigned(0),
            games.At(19).Get("gameCreation").GetUnsigned(1));
  for (size_t i = 1; i < games.Size(); ++i) {
    EXPECT_LT(games.At(i).Get("gameId").GetUnsigned(0),
              games.At(i - 1).Get("gameId").GetUnsigned(0));
    EXPECT_LT(games.At(i).Get("gameCreation").GetUnsigned(0),
              games.At(i - 1).Get("gameCreation").GetUnsigned(0));
  }
  const std::string summoner(PlayerDocument("EUW1", 123456).Get("summonerName").GetString());
  for (const BindingProperty& game : games.Elements()) {
    EXPECT_GE(game.Get("gameId").GetUnsigned(0), 1000000000u) << "never a special id";
    ASSERT_EQ(game.Get("participants").Size(), 1u);
    const BindingProperty& player = game.Get("participantIdentities").At(0).Get("player");
    EXPECT_EQ(player.Get("accountId").GetUnsigned(0), 123456u);
    EXPECT_EQ(player.Get("summonerName").GetString(), summoner);
  }

  const BindingProperty middle = MatchListDocument("EUW1", 123456, 5, 10);
  ASSERT_EQ(middle.Get("games").Get("games").Size(), 5u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(Json(middle.Get("games").Get("games").At(i)), Json(games.At(i + 5)));
}

TEST(StubDocuments, MatchListEndsWithThePlayersHistory) {
  // Every history holds 100 to 400 games.
  const BindingProperty past = MatchListDocument("EUW1", 77, 400, 420);
  const BindingProperty& page = past.Get("games");
  EXPECT_EQ(page.Get("games").Size(), 0u);
  EXPECT_EQ(page.Get("gameCount").GetUnsigned(1), 0u);
  EXPECT_EQ(page.Get("gameIndexBegin").GetUnsigned(0), page.Get("gameIndexEnd").GetUnsigned(1));
  EXPECT_EQ(page.Get("gameTimestampBegin").GetUnsigned(1), 0u);
  EXPECT_EQ(MatchListDocument("EUW1", 77, 80, 100).Get("games").Get("games").Size(), 20u);
}

TEST(StubDocuments, DeltasNameThePlayersTenLatestGames) {
  const BindingProperty deltas = DeltasDocument("EUW1", kAuthenticatedAccountId);
  EXPECT_EQ(deltas.Get("originalAccountId").GetUnsigned(0), kAuthenticatedAccountId);
  EXPECT_EQ(deltas.Get("originalPlatformId").GetString(), "EUW1");
  const BindingProperty list = MatchListDocument("EUW1", kAuthenticatedAccountId, 0, 10);
  ASSERT_EQ(deltas.Get("deltas").Size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    const BindingProperty& delta = deltas.Get("deltas").At(i);
    const uint64_t gameId = list.Get("games").Get("games").At(i).Get("gameId").GetUnsigned(1);
    EXPECT_EQ(delta.Get("gameId").GetUnsigned(0), gameId);
    EXPECT_EQ(delta.Get("ratingDelta").Get("gameId").GetUnsigned(0), gameId);
    const int64_t change = delta.Get("ratingDelta").Get("pointsDelta").GetSigned(99);
    EXPECT_GE(change, -25);
    EXPECT_LE(change, 25);
  }
}

TEST(StubDocuments, RecentChampionsConvertToTheModulesCollection) {
  Binding::BindingRegistry registry;
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    const BindingProperty document = RecentChampionsDocument("EUW1", id);
    Mhx::Api::MhxChampionGamesCollection collection;
    const Binding::ValueResult read =
        Binding::ReadNative(document, collection, "<value>", registry);
    ASSERT_TRUE(read.Ok()) << read.ErrorMessage();
    ASSERT_GE(collection.champions.size(), 5u);
    ASSERT_LE(collection.champions.size(), 20u);
    EXPECT_GE(collection.gameCount, collection.champions.size());
    EXPECT_EQ(collection.gameCount, document.Get("gameCount").GetUnsigned(0));
    std::set<int32_t> champions;
    for (size_t i = 0; i < collection.champions.size(); ++i) {
      const Mhx::Api::MhxChampionGames& entry = collection.champions[i];
      const BindingProperty& source = document.Get("champions").At(i);
      EXPECT_EQ(entry.championId, static_cast<int32_t>(source.Get("championId").GetUnsigned(0)));
      EXPECT_EQ(entry.queue, static_cast<int32_t>(source.Get("queue").GetUnsigned(0)));
      EXPECT_EQ(entry.lane, source.Get("lane").GetString());
      EXPECT_EQ(entry.role, source.Get("role").GetString());
      EXPECT_EQ(entry.timestamp, source.Get("timestamp").GetUnsigned(0));
      EXPECT_FALSE(entry.lane.empty());
      EXPECT_FALSE(entry.role.empty());
      if (i > 0) {
        EXPECT_LT(entry.timestamp, collection.champions[i - 1].timestamp);
      }
      champions.insert(entry.championId);
    }
    EXPECT_EQ(champions.size(), collection.champions.size());
  }
}

TEST(StubDocuments, PlayerLookUpGivesTheTextsTheModuleFormatsTheNextUrlWith) {
  // The module reads both members with ToString() into the match-list template.
  const BindingProperty player = PlayerDocument("EUW1", std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(player.Get("platformId").ToString(), "EUW1");
  EXPECT_EQ(player.Get("accountId").ToString(), "18446744073709551615");
  EXPECT_EQ(Mhx::PlayerMatchListUrl("", player.Get("platformId").ToString(),
                                    player.Get("accountId").ToString()),
            "/v1/stats/player_history/EUW1/18446744073709551615?begIndex=0&endIndex=20");
}

}  // namespace
}  // namespace StubTest
