// The stub's documents: each is fixed by its kind, platform and id (a fingerprint of every kind
// shows any change to what the stub serves), the pages of a history agree with each other and
// with the deltas, and the module reads the one document it converts; the others it relays.
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

// FNV-1a over the JSON of each sample id's document in turn; rewrite a row only for a change
// to the documents that is meant.
TEST(StubDocuments, EachKindIsFixedByPlatformAndId) {
  using Build = BindingProperty (*)(uint64_t);
  const std::tuple<const char*, Build, uint64_t> cases[] = {
      {"game", [](uint64_t id) { return GameDocument("NA1", id); }, 11484483339395526541u},
      {"timeline", [](uint64_t id) { return TimelineDocument("EUW1", id); }, 15776547226206917657u},
      {"match list", [](uint64_t id) { return MatchListDocument("EUW1", id, 3, 9); },
       3802903815766557167u},
      {"history's end", [](uint64_t id) { return MatchListDocument("NA1", id, 390, 400); },
       14078999726830288092u},
      {"deltas", [](uint64_t id) { return DeltasDocument("KR", id); }, 7777566856678165861u},
      {"recent", [](uint64_t id) { return RecentChampionsDocument("EUW1", id); },
       6740706614701272246u},
      {"player", [](uint64_t id) { return PlayerDocument("NA1", id); }, 18318722113994371936u},
  };
  for (const auto& [kind, build, expected] : cases) {
    uint64_t hash = 14695981039346656037u;
    for (const uint64_t id : SampleIds())
      for (const char c : Json(build(id)))
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    EXPECT_EQ(hash, expected) << kind;
  }
}

// A page is the slice of a longer one it lies in; the deltas name the own history's games.
TEST(StubDocuments, PagesAgreeWithEachOtherAndTheDeltasWithTheOwnHistory) {
  const auto games = [](uint64_t account, uint32_t begin, uint32_t end) {
    return MatchListDocument("EUW1", account, begin, end).Get("games").Get("games");
  };
  const BindingProperty full = games(123456, 0, 20), middle = games(123456, 5, 10);
  ASSERT_TRUE(full.Size() == 20u && middle.Size() == 5u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(Json(middle.At(i)), Json(full.At(i + 5))) << i;
  const BindingProperty own = games(kAuthenticatedAccountId, 0, 10);
  const BindingProperty deltas = DeltasDocument("EUW1", kAuthenticatedAccountId).Get("deltas");
  ASSERT_EQ(deltas.Size(), 10u);
  for (size_t i = 0; i < 10; ++i)
    EXPECT_EQ(U(deltas.At(i), "gameId"), U(own.At(i), "gameId")) << i;
}

TEST(StubDocuments, RecentChampionsConvertToTheModulesCollectionNewestFirst) {
  Binding::BindingRegistry registry;
  for (const uint64_t id : SampleIds()) {
    SCOPED_TRACE(id);
    Mhx::Api::MhxChampionGamesCollection collection;
    const Binding::ValueResult read =
        Binding::ReadNative(RecentChampionsDocument("EUW1", id), collection, "<value>", registry);
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
