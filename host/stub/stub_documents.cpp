#include "stub/stub_documents.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "binding/value/interned_string.h"

namespace Oxle::Client::Host::Stub {
namespace {

using Binding::BindingProperty;

// A SplitMix64 sequence seeded from what a document describes, so that each (kind, platform, id)
// has its own stream and the documents never depend on the order they are built in.
class IdRandom {
 public:
  IdRandom(std::string_view kind, std::string_view platformId, uint64_t id, uint64_t salt = 0)
      : state_((uint64_t{Binding::Fnv1a(kind)} << 32 | Binding::Fnv1a(platformId)) ^
               (id * 0x9E3779B97F4A7C15ull) ^ (salt * 0xD1B54A32D192ED03ull)) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number in [low, high].
  uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }
  bool Chance(uint32_t percent) { return Next() % 100 < percent; }
  // A two-decimal number in [low, high]; a whole number of hundredths divided once, so that it
  // is the double nearest its decimal text and writes back as that text.
  double Decimal(int64_t low, int64_t high) {
    const int64_t cents =
        low * 100 + static_cast<int64_t>(Between(0, static_cast<uint64_t>(high - low) * 100));
    return static_cast<double>(cents) / 100.0;
  }
  template <typename T, size_t N>
  T Pick(const std::array<T, N>& from) {
    return from[Next() % N];
  }

 private:
  uint64_t state_;
};

// The stub's invented catalogue: champion, item, talent and spell numbers mean nothing beyond
// being stable and distinct.
constexpr std::array<int32_t, 48> kChampions = {
    3,   5,   8,   12,  14,  17,  21,  26,  29,  31,  34,  38,  41,  44,  47,  52,
    55,  58,  63,  66,  70,  73,  77,  81,  86,  90,  93,  97,  102, 106, 111, 115,
    118, 123, 127, 131, 136, 140, 144, 149, 153, 158, 162, 167, 171, 176, 180, 185};
constexpr std::array<int32_t, 32> kItems = {501, 504, 507, 511, 514, 518, 521, 525, 528, 532, 535,
                                            539, 542, 546, 549, 553, 556, 560, 563, 567, 570, 574,
                                            577, 581, 584, 588, 591, 595, 598, 602, 605, 609};
constexpr std::array<int32_t, 5> kTalentTrees = {10, 20, 30, 40, 50};
constexpr std::array<int32_t, 6> kSecondSpells = {2, 3, 5, 6, 7, 8};
constexpr std::array<std::string_view, 16> kSyllables = {"Ka",  "ri", "Zo", "mel", "Dan", "tor",
                                                         "Vi",  "ex", "Lu", "na",  "Sha", "dow",
                                                         "Fro", "st", "Ze", "phyr"};
constexpr std::array<std::string_view, 4> kTiers = {"BRONZE", "SILVER", "GOLD", "PLATINUM"};
constexpr std::array<std::string_view, 4> kDivisions = {"1", "2", "3", "4"};

struct Queue {
  int32_t id;
  int32_t mapId;
  std::string_view mode;
};
// Three queues on the standard map, one on the single-lane map.
constexpr std::array<Queue, 4> kQueues = {
    {{100, 1, "STANDARD"}, {110, 1, "STANDARD"}, {120, 1, "STANDARD"}, {200, 2, "SINGLE_LANE"}}};
constexpr int32_t kSingleLaneMap = 2;

struct Position {
  std::string_view lane;
  std::string_view role;
};
// The five places of a team on the standard map, in participant order.
constexpr std::array<Position, 5> kPositions = {{{"TOP", "SOLO"},
                                                 {"JUNGLE", "NONE"},
                                                 {"MIDDLE", "SOLO"},
                                                 {"BOTTOM", "CARRY"},
                                                 {"BOTTOM", "SUPPORT"}}};
constexpr Position kSingleLanePosition{"MIDDLE", "NONE"};

// The time stamps of the stub's world: games are played in the half year after this instant.
constexpr uint64_t kEpochMs = 1700000000000ull;
constexpr uint64_t kDayMs = 86400000ull;
constexpr uint64_t kFirstGameId = 6000000000ull;

void Put(BindingProperty& object, std::string_view key, uint64_t value) {
  object.Get(key).SetUnsigned(value);
}
void PutSigned(BindingProperty& object, std::string_view key, int64_t value) {
  object.Get(key).SetSigned(value);
}
void PutFloat(BindingProperty& object, std::string_view key, double value) {
  object.Get(key).SetFloat(value);
}
void PutBool(BindingProperty& object, std::string_view key, bool value) {
  object.Get(key).SetBool(value);
}
void PutText(BindingProperty& object, std::string_view key, std::string_view value) {
  object.Get(key).SetString(value);
}

// `count` distinct champions.
std::vector<int32_t> DistinctChampions(IdRandom& random, size_t count) {
  std::vector<int32_t> pool(kChampions.begin(), kChampions.end());
  for (size_t i = 0; i < count; ++i) {
    std::swap(pool[i], pool[i + random.Next() % (pool.size() - i)]);
  }
  pool.resize(count);
  return pool;
}

// Who a player is; the same on every document that names them.
struct Player {
  uint64_t accountId = 0;
  uint64_t summonerId = 0;
  std::string summonerName;
  uint32_t profileIcon = 0;
};

Player MakePlayer(std::string_view platformId, uint64_t accountId) {
  IdRandom random("player", platformId, accountId);
  Player player;
  player.accountId = accountId;
  player.summonerId = 30000000 + random.Between(0, 69999999);
  const uint64_t syllables = random.Between(2, 4);
  for (uint64_t i = 0; i < syllables; ++i)
    player.summonerName += random.Pick(kSyllables);
  if (random.Chance(50)) player.summonerName += std::to_string(random.Between(1, 999));
  player.profileIcon = static_cast<uint32_t>(random.Between(0, 5500));
  return player;
}

void PutPlayer(BindingProperty& out, std::string_view platformId, const Player& player) {
  PutText(out, "platformId", platformId);
  Put(out, "accountId", player.accountId);
  PutText(out, "currentPlatformId", platformId);
  Put(out, "currentAccountId", player.accountId);
  Put(out, "summonerId", player.summonerId);
  PutText(out, "summonerName", player.summonerName);
  Put(out, "profileIcon", player.profileIcon);
  PutText(out, "matchHistoryUri",
          "/v1/stats/player_history/" + std::string(platformId) + "/" +
              std::to_string(player.accountId));
}

// What the game document and its timeline share.
struct GameFacts {
  uint64_t creation = 0;
  uint32_t durationSeconds = 0;
  Queue queue{};
  std::string version;
  bool blueWins = false;
  std::vector<int32_t> champions;  // ten picks, then ten bans
  std::array<Player, 10> players;
};

GameFacts MakeGameFacts(std::string_view platformId, uint64_t gameId) {
  IdRandom random("game", platformId, gameId);
  GameFacts facts;
  facts.creation = kEpochMs + random.Between(0, 180 * kDayMs);
  facts.durationSeconds = static_cast<uint32_t>(random.Between(960, 2700));
  facts.queue = random.Pick(kQueues);
  facts.version = "4." + std::to_string(random.Between(1, 24)) + "." +
                  std::to_string(random.Between(400, 600)) + "." +
                  std::to_string(random.Between(1000, 9999));
  facts.blueWins = random.Chance(50);
  facts.champions = DistinctChampions(random, 20);
  for (size_t p = 0; p < facts.players.size(); ++p) {
    facts.players[p] = MakePlayer(platformId, 200000000 + random.Between(0, 1799999999));
  }
  return facts;
}

// The per-phase numbers of a participant's timeline ("0-10", "10-20", ...), as far as the
// game lasted.
void PutPhaseDeltas(BindingProperty& out, IdRandom& random, uint32_t durationSeconds, int64_t low,
                    int64_t high) {
  static constexpr std::array<std::string_view, 4> kPhases = {"0-10", "10-20", "20-30", "30-end"};
  const size_t phases = std::min<size_t>(kPhases.size(), durationSeconds / 600);
  out.MakeStructure();
  for (size_t i = 0; i < std::max<size_t>(phases, 1); ++i)
    PutFloat(out, kPhases[i], random.Decimal(low, high));
}

void PutParticipantStats(BindingProperty& stats, IdRandom& random, uint32_t participantId, bool win,
                         uint32_t minutes) {
  Put(stats, "participantId", participantId);
  PutBool(stats, "win", win);
  for (int i = 0; i < 7; ++i) {
    const bool empty = i < 6 && random.Chance(10);
    Put(stats, "item" + std::to_string(i), empty ? 0 : static_cast<uint64_t>(random.Pick(kItems)));
  }
  const uint64_t kills = random.Between(0, 15);
  Put(stats, "kills", kills);
  Put(stats, "deaths", random.Between(0, 12));
  Put(stats, "assists", random.Between(0, 25));
  Put(stats, "largestKillingSpree", kills / 2);
  Put(stats, "largestMultiKill", std::min<uint64_t>(kills, random.Between(0, 3)));
  Put(stats, "killingSprees", kills / 3);
  Put(stats, "longestTimeSpentLiving", random.Between(0, minutes * 60));
  Put(stats, "doubleKills", kills / 4);
  Put(stats, "tripleKills", kills / 8);
  Put(stats, "quadraKills", kills / 12);
  Put(stats, "pentaKills", kills / 15);
  static constexpr std::array<std::string_view, 19> kPerMinute = {"totalDamageDealt",
                                                                  "magicDamageDealt",
                                                                  "physicalDamageDealt",
                                                                  "trueDamageDealt",
                                                                  "totalDamageDealtToChampions",
                                                                  "magicDamageDealtToChampions",
                                                                  "physicalDamageDealtToChampions",
                                                                  "trueDamageDealtToChampions",
                                                                  "totalHeal",
                                                                  "totalShielding",
                                                                  "damageSelfMitigated",
                                                                  "damageDealtToObjectives",
                                                                  "damageDealtToTowers",
                                                                  "totalDamageTaken",
                                                                  "magicDamageTaken",
                                                                  "physicalDamageTaken",
                                                                  "trueDamageTaken",
                                                                  "largestCriticalStrike",
                                                                  "crowdControlTime"};
  for (std::string_view key : kPerMinute)
    Put(stats, key, random.Between(0, 6000) * minutes);
  Put(stats, "totalUnitsHealed", random.Between(1, 5));
  Put(stats, "visionScore", random.Between(5, 3 * minutes));
  const uint64_t gold = random.Between(300, 520) * minutes;
  Put(stats, "goldEarned", gold);
  Put(stats, "goldSpent", gold - random.Between(0, gold / 10));
  Put(stats, "towerKills", random.Between(0, 4));
  Put(stats, "gateKills", random.Between(0, 2));
  Put(stats, "totalMinionsKilled", random.Between(0, 9) * minutes);
  Put(stats, "neutralMinionsKilled", random.Between(0, 6) * minutes);
  Put(stats, "neutralMinionsKilledOwnSide", random.Between(0, 4) * minutes);
  Put(stats, "neutralMinionsKilledEnemySide", random.Between(0, 2) * minutes);
  Put(stats, "champLevel", std::min<uint64_t>(18, 6 + minutes / 3 + random.Between(0, 2)));
  Put(stats, "wardsBought", random.Between(0, 8));
  Put(stats, "wardsPlaced", random.Between(3, minutes + 3));
  Put(stats, "wardsKilled", random.Between(0, minutes / 2));
  PutBool(stats, "firstBloodKill", random.Chance(10));
  PutBool(stats, "firstBloodAssist", random.Chance(15));
  PutBool(stats, "firstTowerKill", random.Chance(10));
  PutBool(stats, "firstTowerAssist", random.Chance(15));
  PutBool(stats, "firstGateKill", random.Chance(10));
  PutBool(stats, "firstGateAssist", random.Chance(15));
  const int32_t primary = random.Pick(kTalentTrees);
  int32_t secondary = random.Pick(kTalentTrees);
  if (secondary == primary) secondary = primary == 10 ? 20 : 10;
  Put(stats, "talentTreePrimary", static_cast<uint64_t>(primary));
  Put(stats, "talentTreeSecondary", static_cast<uint64_t>(secondary));
  for (int i = 0; i < 6; ++i) {
    const std::string talent = "talent" + std::to_string(i);
    const int32_t tree = i < 4 ? primary : secondary;
    Put(stats, talent,
        static_cast<uint64_t>(tree * 100 + static_cast<int32_t>(random.Between(1, 12))));
    for (int v = 1; v <= 3; ++v)
      Put(stats, talent + "Value" + std::to_string(v),
          random.Chance(50) ? random.Between(0, 3000) : 0);
  }
  for (int i = 0; i < 3; ++i)
    Put(stats, "attributeBonus" + std::to_string(i), random.Between(1, 9));
}

void PutTeam(BindingProperty& team, IdRandom& random, uint32_t teamId, bool win,
             std::span<const int32_t> bans, uint32_t firstPickTurn) {
  Put(team, "teamId", teamId);
  PutText(team, "win", win ? "Win" : "Fail");
  PutBool(team, "firstBlood", random.Chance(50));
  PutBool(team, "firstTower", win ? random.Chance(70) : random.Chance(30));
  PutBool(team, "firstGate", win);
  PutBool(team, "firstBoss", win && random.Chance(60));
  PutBool(team, "firstBeast", random.Chance(50));
  Put(team, "towerKills", win ? random.Between(6, 11) : random.Between(0, 5));
  Put(team, "gateKills", win ? random.Between(1, 3) : random.Between(0, 1));
  Put(team, "bossKills", random.Between(0, win ? 2 : 1));
  Put(team, "beastKills", random.Between(0, 4));
  BindingProperty& banList = team.Get("bans").MakeCollection();
  for (size_t i = 0; i < bans.size(); ++i) {
    BindingProperty& ban = banList.Append();
    Put(ban, "championId", static_cast<uint64_t>(bans[i]));
    Put(ban, "pickTurn", firstPickTurn + 2 * i);
  }
}

std::string SummaryVersion(IdRandom& random) {
  return "4." + std::to_string(random.Between(1, 24)) + ".1";
}

// The game at `index` of a player's history, newest first: ids and times fall as the index
// grows, the same for every page that reaches it.
struct HistoryGame {
  uint64_t gameId = 0;
  uint64_t creation = 0;
};

HistoryGame HistoryGameAt(std::string_view platformId, uint64_t accountId, uint32_t index) {
  IdRandom player("history", platformId, accountId);
  const uint64_t newestId = kFirstGameId + player.Between(kMaxHistoryIndex * 10000, 999999999);
  const uint64_t newestCreation = kEpochMs + 150 * kDayMs + player.Between(0, 30 * kDayMs);
  IdRandom game("history-game", platformId, accountId, index);
  HistoryGame at;
  at.gameId = newestId - uint64_t{index} * 10000 - game.Between(0, 9999);
  at.creation = newestCreation - uint64_t{index} * (kDayMs / 2) - game.Between(0, kDayMs / 4);
  return at;
}

uint32_t HistoryLength(std::string_view platformId, uint64_t accountId) {
  IdRandom random("history-length", platformId, accountId);
  return static_cast<uint32_t>(random.Between(100, 400));
}

void PutHistoryGame(BindingProperty& out, std::string_view platformId, const Player& player,
                    uint32_t index) {
  const HistoryGame at = HistoryGameAt(platformId, player.accountId, index);
  IdRandom random("history-detail", platformId, player.accountId, index);
  const Queue queue = random.Pick(kQueues);
  const uint32_t durationSeconds = static_cast<uint32_t>(random.Between(960, 2700));
  const uint32_t minutes = durationSeconds / 60;
  Put(out, "gameId", at.gameId);
  PutText(out, "platformId", platformId);
  Put(out, "gameCreation", at.creation);
  Put(out, "gameDuration", durationSeconds);
  Put(out, "queueId", static_cast<uint64_t>(queue.id));
  Put(out, "mapId", static_cast<uint64_t>(queue.mapId));
  Put(out, "seasonId", 4);
  PutText(out, "gameVersion", SummaryVersion(random));
  PutText(out, "gameMode", queue.mode);
  PutText(out, "gameType", "MATCHMADE");

  const uint32_t participantId = static_cast<uint32_t>(random.Between(1, 10));
  BindingProperty& participant = out.Get("participants").Append();
  Put(participant, "participantId", participantId);
  Put(participant, "teamId", participantId <= 5 ? 100 : 200);
  Put(participant, "championId", static_cast<uint64_t>(random.Pick(kChampions)));
  Put(participant, "spell1Id", 4);
  Put(participant, "spell2Id", static_cast<uint64_t>(random.Pick(kSecondSpells)));
  BindingProperty& stats = participant.Get("stats");
  Put(stats, "participantId", participantId);
  PutBool(stats, "win", random.Chance(52));
  for (int i = 0; i < 7; ++i)
    Put(stats, "item" + std::to_string(i), static_cast<uint64_t>(random.Pick(kItems)));
  Put(stats, "kills", random.Between(0, 15));
  Put(stats, "deaths", random.Between(0, 12));
  Put(stats, "assists", random.Between(0, 25));
  Put(stats, "champLevel", std::min<uint64_t>(18, 6 + minutes / 3));
  Put(stats, "goldEarned", random.Between(300, 520) * minutes);
  Put(stats, "totalMinionsKilled", random.Between(0, 9) * minutes);
  Put(stats, "neutralMinionsKilled", random.Between(0, 6) * minutes);
  Put(stats, "visionScore", random.Between(5, 3 * minutes));
  const Position position =
      queue.mapId == kSingleLaneMap ? kSingleLanePosition : kPositions[(participantId - 1) % 5];
  BindingProperty& timeline = participant.Get("timeline");
  Put(timeline, "participantId", participantId);
  PutText(timeline, "lane", position.lane);
  PutText(timeline, "role", position.role);

  BindingProperty& identity = out.Get("participantIdentities").Append();
  Put(identity, "participantId", participantId);
  PutPlayer(identity.Get("player"), platformId, player);
}

}  // namespace

BindingProperty GameDocument(std::string_view platformId, uint64_t gameId) {
  const GameFacts facts = MakeGameFacts(platformId, gameId);
  IdRandom random("game-detail", platformId, gameId);
  const uint32_t minutes = facts.durationSeconds / 60;
  BindingProperty game;
  Put(game, "gameId", gameId);
  PutText(game, "platformId", platformId);
  Put(game, "gameCreation", facts.creation);
  Put(game, "gameDuration", facts.durationSeconds);
  Put(game, "queueId", static_cast<uint64_t>(facts.queue.id));
  Put(game, "mapId", static_cast<uint64_t>(facts.queue.mapId));
  Put(game, "seasonId", 4);
  PutText(game, "gameVersion", facts.version);
  PutText(game, "gameMode", facts.queue.mode);
  PutText(game, "gameType", "MATCHMADE");

  const std::span<const int32_t> bans = std::span(facts.champions).subspan(10);
  BindingProperty& teams = game.Get("teams").MakeCollection();
  PutTeam(teams.Append(), random, 100, facts.blueWins, bans.subspan(0, 5), 1);
  PutTeam(teams.Append(), random, 200, !facts.blueWins, bans.subspan(5), 2);

  BindingProperty& participants = game.Get("participants").MakeCollection();
  BindingProperty& identities = game.Get("participantIdentities").MakeCollection();
  for (uint32_t p = 0; p < 10; ++p) {
    const uint32_t participantId = p + 1;
    const bool blue = p < 5;
    BindingProperty& participant = participants.Append();
    Put(participant, "participantId", participantId);
    Put(participant, "teamId", blue ? 100 : 200);
    Put(participant, "championId", static_cast<uint64_t>(facts.champions[p]));
    Put(participant, "spell1Id", 4);
    Put(participant, "spell2Id", static_cast<uint64_t>(random.Pick(kSecondSpells)));
    PutParticipantStats(participant.Get("stats"), random, participantId, blue == facts.blueWins,
                        minutes);

    const Position position =
        facts.queue.mapId == kSingleLaneMap ? kSingleLanePosition : kPositions[p % 5];
    BindingProperty& timeline = participant.Get("timeline");
    Put(timeline, "participantId", participantId);
    PutText(timeline, "lane", position.lane);
    PutText(timeline, "role", position.role);
    PutPhaseDeltas(timeline.Get("creepsPerMinDeltas"), random, facts.durationSeconds, 0, 10);
    PutPhaseDeltas(timeline.Get("xpPerMinDeltas"), random, facts.durationSeconds, 250, 750);
    PutPhaseDeltas(timeline.Get("goldPerMinDeltas"), random, facts.durationSeconds, 150, 650);
    PutPhaseDeltas(timeline.Get("damageTakenPerMinDeltas"), random, facts.durationSeconds, 200,
                   1400);
    PutPhaseDeltas(timeline.Get("csDiffPerMinDeltas"), random, facts.durationSeconds, -3, 3);
    PutPhaseDeltas(timeline.Get("xpDiffPerMinDeltas"), random, facts.durationSeconds, -150, 150);
    PutPhaseDeltas(timeline.Get("damageTakenDiffPerMinDeltas"), random, facts.durationSeconds, -300,
                   300);

    BindingProperty& identity = identities.Append();
    Put(identity, "participantId", participantId);
    PutPlayer(identity.Get("player"), platformId, facts.players[p]);
  }
  return game;
}

namespace {

// One event of a timeline minute, after its time: what a participant did.
void PutTimelineEvent(BindingProperty& event, IdRandom& random) {
  const uint64_t participantId = random.Between(1, 10);
  switch (random.Next() % 4) {
    case 0:
      PutText(event, "type", "ITEM_PURCHASED");
      Put(event, "participantId", participantId);
      Put(event, "itemId", static_cast<uint64_t>(random.Pick(kItems)));
      break;
    case 1:
      PutText(event, "type", "SKILL_LEVEL_UP");
      Put(event, "participantId", participantId);
      Put(event, "skillSlot", random.Between(1, 4));
      PutText(event, "levelUpType", "NORMAL");
      break;
    case 2:
      PutText(event, "type", "WARD_PLACED");
      Put(event, "creatorId", participantId);
      PutText(event, "wardType", random.Chance(70) ? "SIGHT" : "CONTROL");
      break;
    default: {
      PutText(event, "type", "CHAMPION_KILL");
      Put(event, "killerId", participantId);
      const uint64_t victim = participantId <= 5 ? random.Between(6, 10) : random.Between(1, 5);
      Put(event, "victimId", victim);
      BindingProperty& assists = event.Get("assistingParticipantIds").MakeCollection();
      const uint64_t teamBase = participantId <= 5 ? 1 : 6;
      for (uint64_t mate = teamBase; mate < teamBase + 5; ++mate) {
        if (mate != participantId && random.Chance(40)) assists.Append().SetUnsigned(mate);
      }
      BindingProperty& position = event.Get("position");
      Put(position, "x", random.Between(0, 15000));
      Put(position, "y", random.Between(0, 15000));
      break;
    }
  }
}

}  // namespace

BindingProperty TimelineDocument(std::string_view platformId, uint64_t gameId) {
  const GameFacts facts = MakeGameFacts(platformId, gameId);
  IdRandom random("timeline", platformId, gameId);
  const uint64_t endMs = uint64_t{facts.durationSeconds} * 1000;

  struct Progress {
    uint64_t totalGold = 500;
    uint64_t xp = 0;
    uint64_t level = 1;
    uint64_t minions = 0;
    uint64_t jungle = 0;
  };
  std::array<Progress, 10> progress{};

  BindingProperty timeline;
  Put(timeline, "frameInterval", 60000);
  BindingProperty& frames = timeline.Get("frames").MakeCollection();
  uint64_t previousAt = 0;
  for (uint64_t at = 0;; previousAt = at, at = std::min(at + 60000, endMs)) {
    BindingProperty& frame = frames.Append();
    Put(frame, "timestamp", at);
    BindingProperty& participantFrames = frame.Get("participantFrames").MakeStructure();
    for (uint32_t p = 0; p < 10; ++p) {
      Progress& mine = progress[p];
      if (at != 0) {
        mine.totalGold += random.Between(250, 480);
        mine.xp += random.Between(250, 700);
        mine.level = std::min<uint64_t>(18, 1 + mine.xp / 1000);
        mine.minions += random.Between(0, 10);
        mine.jungle += p % 5 == 1 ? random.Between(3, 6) : random.Between(0, 1);
      }
      BindingProperty& participant = participantFrames.Get(std::to_string(p + 1));
      Put(participant, "participantId", p + 1);
      BindingProperty& position = participant.Get("position");
      Put(position, "x", random.Between(0, 15000));
      Put(position, "y", random.Between(0, 15000));
      Put(participant, "currentGold", random.Between(0, std::min<uint64_t>(mine.totalGold, 3000)));
      Put(participant, "totalGold", mine.totalGold);
      Put(participant, "level", mine.level);
      Put(participant, "xp", mine.xp);
      Put(participant, "minionsKilled", mine.minions);
      Put(participant, "jungleMinionsKilled", mine.jungle);
    }

    BindingProperty& events = frame.Get("events").MakeCollection();
    if (at != 0) {
      // The minute's events fall after the frame before.
      std::vector<uint64_t> times(random.Between(2, 6));
      for (uint64_t& time : times)
        time = previousAt + random.Between(1, at - previousAt);
      std::sort(times.begin(), times.end());
      for (const uint64_t time : times) {
        BindingProperty& event = events.Append();
        Put(event, "timestamp", time);
        PutTimelineEvent(event, random);
      }
    }
    if (at == endMs) break;
  }
  return timeline;
}

BindingProperty MatchListDocument(std::string_view platformId, uint64_t accountId,
                                  uint32_t begIndex, uint32_t endIndex) {
  const Player player = MakePlayer(platformId, accountId);
  const uint32_t history = HistoryLength(platformId, accountId);
  const uint32_t begin = std::min(begIndex, history);
  const uint32_t end = std::min(endIndex, history);
  BindingProperty list;
  PutText(list, "platformId", platformId);
  Put(list, "accountId", accountId);
  BindingProperty& page = list.Get("games");
  Put(page, "gameIndexBegin", begin);
  Put(page, "gameIndexEnd", end);
  Put(page, "gameCount", end - begin);
  BindingProperty& games = page.Get("games").MakeCollection();
  for (uint32_t index = begin; index < end; ++index)
    PutHistoryGame(games.Append(), platformId, player, index);
  Put(page, "gameTimestampBegin",
      end > begin ? HistoryGameAt(platformId, accountId, end - 1).creation : 0);
  Put(page, "gameTimestampEnd",
      end > begin ? HistoryGameAt(platformId, accountId, begin).creation : 0);
  return list;
}

BindingProperty DeltasDocument(std::string_view platformId, uint64_t accountId) {
  IdRandom random("deltas", platformId, accountId);
  BindingProperty document;
  Put(document, "originalAccountId", accountId);
  PutText(document, "originalPlatformId", platformId);
  BindingProperty& deltas = document.Get("deltas").MakeCollection();
  uint64_t points = random.Between(0, 99);
  const std::string_view tier = random.Pick(kTiers);
  const std::string_view division = random.Pick(kDivisions);
  for (uint32_t index = 0; index < 10; ++index) {
    const HistoryGame game = HistoryGameAt(platformId, accountId, index);
    BindingProperty& delta = deltas.Append();
    PutText(delta, "gamePlatformId", platformId);
    Put(delta, "gameId", game.gameId);
    BindingProperty& rating = delta.Get("ratingDelta");
    PutText(rating, "gamePlatformId", platformId);
    Put(rating, "gameId", game.gameId);
    const int64_t change = static_cast<int64_t>(random.Between(0, 50)) - 25;
    PutSigned(rating, "pointsDelta", change);
    Put(rating, "pointsBefore", points);
    PutText(rating, "tierBefore", tier);
    PutText(rating, "divisionBefore", division);
    Put(rating, "timestamp", game.creation + random.Between(900000, 2700000));
    // Near the top of a division the player plays a three-game promotion series.
    BindingProperty& series = rating.Get("promotionProgress").MakeCollection();
    if (points >= 100 - 25 && random.Chance(50)) {
      series.Append().SetString(change >= 0 ? "W" : "L");
      series.Append().SetString("N");
      series.Append().SetString("N");
    }
    points =
        static_cast<uint64_t>(std::clamp<int64_t>(static_cast<int64_t>(points) + change, 0, 99));
  }
  return document;
}

BindingProperty RecentChampionsDocument(std::string_view platformId, uint64_t accountId) {
  IdRandom random("recent", platformId, accountId);
  const size_t count = random.Between(5, 20);
  const std::vector<int32_t> champions = DistinctChampions(random, count);
  BindingProperty document;
  Put(document, "gameCount", count + random.Between(0, 40));
  BindingProperty& list = document.Get("champions").MakeCollection();
  uint64_t timestamp = HistoryGameAt(platformId, accountId, 0).creation;
  for (const int32_t championId : champions) {
    BindingProperty& entry = list.Append();
    const Queue queue = random.Pick(kQueues);
    const Position position =
        queue.mapId == kSingleLaneMap ? kSingleLanePosition : random.Pick(kPositions);
    Put(entry, "championId", static_cast<uint64_t>(championId));
    Put(entry, "queue", static_cast<uint64_t>(queue.id));
    PutText(entry, "lane", position.lane);
    PutText(entry, "role", position.role);
    Put(entry, "timestamp", timestamp);
    timestamp -= random.Between(kDayMs / 24, 3 * kDayMs);
  }
  return document;
}

BindingProperty PlayerDocument(std::string_view platformId, uint64_t accountId) {
  const Player player = MakePlayer(platformId, accountId);
  BindingProperty document;
  PutText(document, "platformId", platformId);
  Put(document, "accountId", accountId);
  Put(document, "summonerId", player.summonerId);
  PutText(document, "summonerName", player.summonerName);
  Put(document, "profileIcon", player.profileIcon);
  return document;
}

}  // namespace Oxle::Client::Host::Stub
