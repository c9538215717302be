// MhxPlugin: the match-history feature as the module's one plugin object. It follows its
// configuration namespace, the login session and the platform id as published resources, talks
// to the remote match-history service through the host, serves the ten "/qel-mhx/" routes, and
// keeps, fetches and publishes the recently played champions of each account.
//
// Threads: every entry point runs on host threads, several at once. The state lock guards the
// configuration, the session, the platform id and the authorisation headers, and is held for the
// whole of every remote request, so those run one at a time; the cache lock guards the
// recently-played cache only. No path holds both, and neither is held while publishing or
// scheduling. The session's tokens are credentials: no log line, trace or error text shows them.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "api/api_response.h"
#include "api/route_registration.h"
#include "mhx/mhx_service_client.h"
#include "mhx/mhx_types.h"
#include "plugin/plugin_base.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Mhx {

using ChampionsResult = Client::Api::ValueOrError<Api::MhxChampionGamesCollection>;

inline constexpr const char* kSessionUri = "/qel-login/v1/session";
inline constexpr const char* kPlatformIdUri =
    "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId";
inline constexpr const char* kConfigurationUri = "/qel-platform-config/v1/namespaces/KRTMHX";
inline constexpr const char* kRecentlyPlayedJobName = "qel-mhx.get-recently-played-champions";
inline constexpr std::chrono::nanoseconds kRecentlyPlayedJobDelay{10'000'000};

class MhxPlugin final : public Plugin::PluginBase {
 public:
  MhxPlugin();
  ~MhxPlugin() override;

  // Registers the five types and the ten routes.
  void RegisterApi() override;
  // Observes the session, the platform id and the configuration namespace, in that order.
  bool OnStart() override;

  // ---- Resource handlers ----
  void OnConfiguration(const Plugin::PluginResourceEvent& event);
  // `session` is null for a Delete, which carries no data worth converting.
  void OnSession(Plugin::PluginResourceEventType type, const Api::LoginSession* session);
  void OnPlatformId(const Plugin::PluginResourceEvent& event);
  // Rebuilds the headers and asks for the current player's champions, when a complete session,
  // a platform id and a base URL are all known.
  void RefreshSession();

  // ---- Remote service ----
  // Each holds the state lock from the service gate until the answer is mapped.
  [[nodiscard]] Client::Api::ApiResponse GetGame(uint64_t gameId);
  [[nodiscard]] Client::Api::ApiResponse GetGameTimeline(uint64_t gameId);
  // accountId 0 is the logged-in player's own list.
  [[nodiscard]] Client::Api::ApiResponse GetMatchList(uint64_t accountId);
  [[nodiscard]] Client::Api::ApiResponse GetDeltas();
  [[nodiscard]] Client::Api::ApiResponse GetRecentChampions(uint64_t accountId);

  // ---- Routes of their own ----
  // Sets (an empty url clears) the base URL that wins over the configured one, logs it at
  // ALWAYS with the password of its user info masked, and refreshes the session.
  [[nodiscard]] Client::Api::ApiResponse SetEndpointOverride(const Api::MhxEndPoint& endPoint);
  // The current summoner's counterparts of the two calls below: without a complete session the
  // request does nothing and the read answers 500 "No summoner session".
  void RequestCurrentSummonerChampions(bool force);
  [[nodiscard]] ChampionsResult GetCurrentSummonerChampions(bool force);

  // ---- Recently played champions ----
  // Schedules the background fetch unless the account is cached and `force` is false.
  void RequestRecentlyPlayedChampions(uint64_t accountId, bool force);
  // The cached collection, or a synchronous fetch (cached on success, never published); when the
  // fetch fails, the empty collection, or as much of it as the failed conversion filled.
  [[nodiscard]] ChampionsResult GetRecentlyPlayedChampions(uint64_t accountId, bool force);
  // The cached collection or the empty one; never fetches.
  [[nodiscard]] ChampionsResult ReadCachedChampions(uint64_t accountId);
  // The background fetch: caches on success, logs a failure, and publishes either way.
  void RunRecentlyPlayedJob(uint64_t accountId);

  // ---- Reads for diagnostics and tests (each under its lock) ----
  [[nodiscard]] std::string EffectiveEndpoint() const;
  [[nodiscard]] HeaderMap AuthorizationHeaders() const;
  [[nodiscard]] Api::LoginSession StoredSession() const;
  [[nodiscard]] std::string PlatformId() const;
  [[nodiscard]] size_t CachedAccountCount() const;

 private:
  [[nodiscard]] const std::string& EffectiveEndpointLocked() const;  // stateMutex_ held
  // The service gate, the request and the answer mapping; stateMutex_ held.
  [[nodiscard]] Client::Api::ApiResponse RemoteGetLocked(std::string url);
  // Converts a successful answer's body into `collection`; false when the answer failed or the
  // body does not convert (the collection then holds what was read).
  [[nodiscard]] bool ReadChampions(const Client::Api::ApiResponse& answer,
                                   Api::MhxChampionGamesCollection& collection);
  void StoreChampions(uint64_t accountId, const Api::MhxChampionGamesCollection& collection);
  // The session's account id when the session is complete, else 0.
  [[nodiscard]] uint64_t CurrentSummonerAccount() const;

  // Guards enabled_, useIdTokens_, endpoint_, endpointOverride_, session_, platformId_ and
  // authorizationHeaders_; held for the whole of each remote request. Never taken together with
  // cacheMutex_.
  mutable std::mutex stateMutex_;
  bool enabled_ = true;
  bool useIdTokens_ = false;
  std::string endpoint_;
  std::string endpointOverride_;
  Api::LoginSession session_;
  std::string platformId_;
  HeaderMap authorizationHeaders_;

  // Guards recentlyPlayed_ only.
  mutable std::mutex cacheMutex_;
  std::unordered_map<uint64_t, Api::MhxChampionGamesCollection> recentlyPlayed_;
};

}  // namespace Oxle::Client::Mhx

// The module's one export: creates and registers the plugin object.
extern "C" __attribute__((visibility("default"))) void* load_qel_mhx(PluginDescriptor* descriptor);
