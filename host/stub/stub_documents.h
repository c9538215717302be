// The documents of the stub match-history service, as value trees: games, timelines, match
// lists, rating deltas, recently played champions and player look-ups. Every document is a pure
// function of its ids (and of the platform it is asked on): the same request always gets the same
// bytes, and documents that describe one thing agree with each other (a timeline spans its game's
// duration, the deltas name the player's latest games). Realistic in shape and size, invented in
// content. Thread-safe: no state.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/value/binding_property.h"

namespace Oxle::Client::Host::Stub {

// The player that every token stands for: the service does not decode tokens, so the own match
// list and the deltas ("auth" resources) belong to this account on the platform of the REGION
// header.
inline constexpr uint64_t kAuthenticatedAccountId = 2100000001;

// The games a match list may hold per request, and the first index past any player's history.
inline constexpr uint32_t kMaxMatchListGames = 100;
inline constexpr uint32_t kMaxHistoryIndex = 10000;

// One game: its header, two teams with bans and objectives, ten participants with their
// statistics and per-phase deltas, and the ten participants' identities. 20-50 KB as JSON.
[[nodiscard]] Binding::BindingProperty GameDocument(std::string_view platformId, uint64_t gameId);

// The game's timeline: one frame a minute from 0 to the end of the game (the last frame at
// exactly gameDuration seconds), each with the ten participants' frames and the minute's events.
[[nodiscard]] Binding::BindingProperty TimelineDocument(std::string_view platformId,
                                                        uint64_t gameId);

// The player's games [begIndex, endIndex), newest first, cut at the end of the player's history
// (at least 100 games). Requires begIndex <= endIndex <= kMaxHistoryIndex.
[[nodiscard]] Binding::BindingProperty MatchListDocument(std::string_view platformId,
                                                         uint64_t accountId, uint32_t begIndex,
                                                         uint32_t endIndex);

// The rating changes of the player's ten latest games.
[[nodiscard]] Binding::BindingProperty DeltasDocument(std::string_view platformId,
                                                      uint64_t accountId);

// The recently played champions: "gameCount" and 5-20 entries of "championId", "queue",
// "lane", "role" and "timestamp", newest first.
[[nodiscard]] Binding::BindingProperty RecentChampionsDocument(std::string_view platformId,
                                                               uint64_t accountId);

// Where the player is now: "platformId" and "accountId" (the asked ones: no player of the stub
// has moved), with the summoner's id, name and icon.
[[nodiscard]] Binding::BindingProperty PlayerDocument(std::string_view platformId,
                                                      uint64_t accountId);

}  // namespace Oxle::Client::Host::Stub
