// Reading and writing a native record of about ten fields (strings, integers, an enum, a vector
// of 20 nested records) from and to a value, beside nlohmann::json doing the same through its
// from_json / to_json binding, in one run. Names are Operation/Case/Impl; the ratios ours/nlohmann
// are printed at the end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "binding/types/type_binding.h"
#include "ratio_reporter.h"

namespace ConvertBench {

using namespace Oxle::Client::Binding;

enum class Tier : int32_t { Iron = 0, Gold = 3, Diamond = 6 };

struct GameStats {
  int32_t kills = 0;
  int32_t deaths = 0;
  int32_t assists = 0;
  uint32_t gold = 0;
  bool win = false;
  std::string role;
};

struct Player {
  uint64_t accountId = 0;
  std::string name;
  std::string platformId;
  int32_t level = 0;
  uint32_t wins = 0;
  uint32_t losses = 0;
  Tier tier = Tier::Iron;
  bool active = false;
  std::string region;
  std::vector<GameStats> games;
};

void DescribeBinding(TypeDescriber<Tier>& type) {
  type.Name("Tier")
      .Value("Iron", Tier::Iron)
      .Value("Gold", Tier::Gold)
      .Value("Diamond", Tier::Diamond);
}

void DescribeBinding(TypeDescriber<GameStats>& type) {
  type.Name("GameStats")
      .Field("kills", &GameStats::kills)
      .Field("deaths", &GameStats::deaths)
      .Field("assists", &GameStats::assists)
      .Field("gold", &GameStats::gold)
      .Field("win", &GameStats::win)
      .Field("role", &GameStats::role);
}

void DescribeBinding(TypeDescriber<Player>& type) {
  type.Name("Player")
      .Field("accountId", &Player::accountId)
      .Field("name", &Player::name)
      .Field("platformId", &Player::platformId)
      .Field("level", &Player::level)
      .Field("wins", &Player::wins)
      .Field("losses", &Player::losses)
      .Field("tier", &Player::tier)
      .Field("active", &Player::active)
      .Field("region", &Player::region)
      .Field("games", &Player::games);
}

NLOHMANN_JSON_SERIALIZE_ENUM(Tier, {{Tier::Iron, "Iron"},
                                    {Tier::Gold, "Gold"},
                                    {Tier::Diamond, "Diamond"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(GameStats, kills, deaths, assists, gold, win, role)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Player, accountId, name, platformId, level, wins, losses, tier,
                                   active, region, games)

Player MakePlayer() {
  Player player;
  player.accountId = 2411930012345;
  player.name = "Player of the Week";
  player.platformId = "QX1";
  player.level = 312;
  player.wins = 1042;
  player.losses = 998;
  player.tier = Tier::Gold;
  player.active = true;
  player.region = "north-east";
  const char* roles[] = {"north", "south", "east", "west", "centre"};
  for (int i = 0; i < 20; ++i) {
    player.games.push_back(GameStats{i % 13, i % 7, (i * 3) % 17, 9000u + static_cast<uint32_t>(i),
                                     i % 2 == 0, roles[i % 5]});
  }
  return player;
}

BindingRegistry& Registry() {
  static BindingRegistry registry;
  static const bool registered = RegisterType<Player>(registry) != nullptr;
  (void)registered;
  return registry;
}

void WriteOurs(benchmark::State& state) {
  const Player player = MakePlayer();
  BindingRegistry& registry = Registry();
  for (auto _ : state) {
    ValueResult result = WriteNative(player, registry);
    benchmark::DoNotOptimize(result);
  }
}

void WriteNlohmann(benchmark::State& state) {
  const Player player = MakePlayer();
  for (auto _ : state) {
    nlohmann::json json = player;
    benchmark::DoNotOptimize(json);
  }
}

void ReadOurs(benchmark::State& state) {
  BindingRegistry& registry = Registry();
  const ValueResult written = WriteNative(MakePlayer(), registry);
  for (auto _ : state) {
    Player player;
    ValueResult result = ReadNative(written.Value(), player, "<value>", registry);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(player);
  }
}

void ReadNlohmann(benchmark::State& state) {
  const nlohmann::json json = MakePlayer();
  for (auto _ : state) {
    Player player = json.get<Player>();
    benchmark::DoNotOptimize(player);
  }
}

BENCHMARK(WriteOurs)->Name("ConvertWrite/player/ours");
BENCHMARK(WriteNlohmann)->Name("ConvertWrite/player/nlohmann");
BENCHMARK(ReadOurs)->Name("ConvertRead/player/ours");
BENCHMARK(ReadNlohmann)->Name("ConvertRead/player/nlohmann");

}  // namespace ConvertBench

int main(int argc, char** argv) {
  return Oxle::Client::Bench::RunBenchmarksWithRatios(argc, argv, "nlohmann");
}
