#include "mhx/mhx_plugin.h"

#include <utility>
#include <vector>

#include "binding/format/positional_format.h"
#include "log/allocation_hooks.h"
#include "log/logger.h"
#include "log/trace_providers.h"
#include "plugin/plugin_export.h"
#include "plugin/plugin_types.h"
#include "plugin/trace_hook.h"

namespace Oxle::Client::Mhx {

namespace {

using Client::Api::ApiResponse;
using Client::Api::ArgumentLocation;
using Client::Api::HttpMethod;
using Client::Api::RegisterRoute;
using Plugin::PluginResourceEvent;
using Plugin::PluginResourceEventType;

constexpr uint32_t kCategory = 1;

// Module load and unload: the counting allocation hooks, through which the host reads the
// module's memory use, and the event-tracing providers.
struct ModuleLifetime {
  ModuleLifetime() noexcept {
    Log::InstallAllocationTracking();
    Log::RegisterTraceProviders();
  }
  ~ModuleLifetime() { Log::UnregisterTraceProviders(); }
  ModuleLifetime(const ModuleLifetime&) = delete;
  ModuleLifetime& operator=(const ModuleLifetime&) = delete;
};
const ModuleLifetime kModuleLifetime;

[[nodiscard]] bool CarriesContent(PluginResourceEventType type) noexcept {
  return type == PluginResourceEventType::Create || type == PluginResourceEventType::Update;
}

}  // namespace

MhxPlugin::MhxPlugin() : recentlyPlayed_(8) {}

MhxPlugin::~MhxPlugin() = default;

void MhxPlugin::RegisterApi() {
  Binding::BindingRegistry& registry = Api();
  Binding::RegisterType<Api::MhxChampionGames>(registry);
  Binding::RegisterType<Api::MhxChampionGamesCollection>(registry);
  Binding::RegisterType<Api::MhxEndPoint>(registry);
  Binding::RegisterType<Api::LoginSessionStates>(registry);
  Binding::RegisterType<Api::LoginSession>(registry);

  constexpr ArgumentLocation kPath = ArgumentLocation::Path;
  constexpr ArgumentLocation kQuery = ArgumentLocation::Query;
  constexpr ArgumentLocation kBody = ArgumentLocation::Body;
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/matchlists/{accountId}", this,
                &MhxPlugin::GetMatchList, {{"accountId", kPath}});
  RegisterRoute(
      Api(), HttpMethod::Get, "/qel-mhx/v2/request-recently-played-champions/{accountId}",
      [this](uint64_t accountId, bool force) { RequestRecentlyPlayedChampions(accountId, force); },
      {{"accountId", kPath}, {"force", kQuery}});
  RegisterRoute(
      Api(), HttpMethod::Get, "/qel-mhx/v2/request-recently-played-champions/current-summoner",
      [this](bool force) { RequestCurrentSummonerChampions(force); }, {{"force", kQuery}});
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v2/recently-played-champions/{accountId}",
                [this](uint64_t accountId) { return ReadCachedChampions(accountId); },
                {{"accountId", kPath}});
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v2/recently-played-champions/current-summoner",
                [this](bool force) { return GetCurrentSummonerChampions(force); },
                {{"force", kQuery}});
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/recently-played-champions/{accountId}",
                [this](uint64_t accountId, bool force) {
                  return GetRecentlyPlayedChampions(accountId, force);
                },
                {{"accountId", kPath}, {"force", kQuery}});
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/delta", [this] { return GetDeltas(); });
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/games/{gameId}", this, &MhxPlugin::GetGame,
                {{"gameId", kPath}});
  RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/gametimelines/{gameId}", this,
                &MhxPlugin::GetGameTimeline, {{"gameId", kPath}});
  RegisterRoute(Api(), HttpMethod::Post, "/qel-mhx/v1/mhx-endpoint-override",
                [this](Api::MhxEndPoint data) { return SetEndpointOverride(data); },
                {{"data", kBody}});
}

bool MhxPlugin::OnStart() {
  ObserveResource(kSessionUri, [this](const PluginResourceEvent& event) {
    if (event.eventType == PluginResourceEventType::Delete) {
      OnSession(event.eventType, nullptr);
      return;
    }
    Api::LoginSession session;
    const Binding::ValueResult read =
        Plugin::FromProperty(event.data, session, "<value>", *Registry());
    if (!read.Ok()) {
      // Only the type and the URI: the data holds the tokens.
      Plugin::Trace("Couldn't convert resource %s to C++ while handling update for URL: %s",
                    Binding::TypeIdOf<Api::LoginSession>().Name(), event.uri.c_str());
      return;
    }
    OnSession(event.eventType, &session);
  });
  ObserveResource(kPlatformIdUri,
                  [this](const PluginResourceEvent& event) { OnPlatformId(event); });
  ObserveResource(kConfigurationUri,
                  [this](const PluginResourceEvent& event) { OnConfiguration(event); });
  return true;
}

// ---- Resource handlers ----

void MhxPlugin::OnConfiguration(const PluginResourceEvent& event) {
  if (event.eventType == PluginResourceEventType::Delete) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    endpoint_.clear();
    enabled_ = true;
    return;
  }
  if (!CarriesContent(event.eventType)) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    endpoint_ = event.data.Get("Endpoint").ToString();
    if (!endpoint_.empty() && endpoint_.back() == '/') endpoint_.pop_back();
    if (event.data.Has("Enabled")) enabled_ = event.data.Get("Enabled").ToBool();
    if (event.data.Has("UseIdTokens")) useIdTokens_ = event.data.Get("UseIdTokens").ToBool();
  }
  RefreshSession();
}

void MhxPlugin::OnSession(PluginResourceEventType type, const Api::LoginSession* session) {
  if (type == PluginResourceEventType::Delete) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    session_ = Api::LoginSession{};
    return;
  }
  if (!CarriesContent(type) || session == nullptr) return;
  bool completed = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const bool wasComplete = Api::IsComplete(session_);
    session_ = *session;
    completed = !wasComplete && Api::IsComplete(session_);
  }
  if (completed) RefreshSession();
}

void MhxPlugin::OnPlatformId(const PluginResourceEvent& event) {
  if (event.eventType == PluginResourceEventType::Delete) {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      platformId_.clear();
    }
    std::lock_guard<std::mutex> lock(cacheMutex_);
    std::unordered_map<uint64_t, Api::MhxChampionGamesCollection> emptied(8);
    recentlyPlayed_.swap(emptied);
    return;
  }
  if (!CarriesContent(event.eventType)) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    platformId_ = event.data.ToString();
  }
  RefreshSession();
}

void MhxPlugin::RefreshSession() {
  uint64_t accountId = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!Api::IsComplete(session_) || platformId_.empty()) return;
    if (EffectiveEndpointLocked().empty()) return;
    RebuildAuthorizationHeaders(authorizationHeaders_, useIdTokens_, session_, platformId_);
    accountId = session_.accountId;
  }
  RequestRecentlyPlayedChampions(accountId, false);
}

// ---- Remote service ----

const std::string& MhxPlugin::EffectiveEndpointLocked() const {
  return endpointOverride_.empty() ? endpoint_ : endpointOverride_;
}

ApiResponse MhxPlugin::RemoteGetLocked(std::string url) {
  if (!enabled_) return ApiResponse::Error("MHX Service is disabled", 500);
  if (EffectiveEndpointLocked().empty()) {
    return ApiResponse::Error("MHX Service endpoint is not configured", 500);
  }
  Plugin::ExternalResponse answer =
      SendExternal(MakeServiceRequest(std::move(url), authorizationHeaders_));
  const std::vector<std::string> secrets = CollectSecrets(session_, authorizationHeaders_);
  return MapServiceAnswer(std::move(answer), secrets);
}

ApiResponse MhxPlugin::GetGame(uint64_t gameId) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return RemoteGetLocked(GameUrl(EffectiveEndpointLocked(), platformId_, gameId));
}

ApiResponse MhxPlugin::GetGameTimeline(uint64_t gameId) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return RemoteGetLocked(GameTimelineUrl(EffectiveEndpointLocked(), platformId_, gameId));
}

ApiResponse MhxPlugin::GetMatchList(uint64_t accountId) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  const std::string& base = EffectiveEndpointLocked();
  if (accountId == 0) return RemoteGetLocked(OwnMatchListUrl(base));
  ApiResponse lookup = RemoteGetLocked(PlayerLookupUrl(base, platformId_, accountId));
  std::string url;
  if (lookup.Ok()) {
    const Binding::BindingProperty& player = lookup.result.Value();
    url = PlayerMatchListUrl(base, player.Get("platformId").ToString(),
                             player.Get("accountId").ToString());
  } else {
    url = PlayerMatchListUrl(base, platformId_, std::to_string(accountId));
  }
  return RemoteGetLocked(std::move(url));
}

ApiResponse MhxPlugin::GetDeltas() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return RemoteGetLocked(DeltasUrl(EffectiveEndpointLocked()));
}

ApiResponse MhxPlugin::GetRecentChampions(uint64_t accountId) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return RemoteGetLocked(RecentChampionsUrl(EffectiveEndpointLocked(), platformId_, accountId));
}

// ---- Routes of their own ----

ApiResponse MhxPlugin::SetEndpointOverride(const Api::MhxEndPoint& endPoint) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    Log::Log(Log::ALWAYS, kCategory, 0, "Mhx Endpoint Override: '%s'",
             MaskUrlPassword(endPoint.url).c_str());
    endpointOverride_ = endPoint.url;
  }
  RefreshSession();
  return ApiResponse{};
}

uint64_t MhxPlugin::CurrentSummonerAccount() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return Api::IsComplete(session_) ? session_.accountId : 0;
}

void MhxPlugin::RequestCurrentSummonerChampions(bool force) {
  const uint64_t accountId = CurrentSummonerAccount();
  if (accountId != 0) RequestRecentlyPlayedChampions(accountId, force);
}

ChampionsResult MhxPlugin::GetCurrentSummonerChampions(bool force) {
  const uint64_t accountId = CurrentSummonerAccount();
  if (accountId == 0) return ApiResponse::Error("No summoner session", 500);
  return GetRecentlyPlayedChampions(accountId, force);
}

// ---- Recently played champions ----

void MhxPlugin::RequestRecentlyPlayedChampions(uint64_t accountId, bool force) {
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (!force && recentlyPlayed_.contains(accountId)) return;
  }
  ScheduleAt(kRecentlyPlayedJobName, std::chrono::steady_clock::now() + kRecentlyPlayedJobDelay,
             [this, accountId] { RunRecentlyPlayedJob(accountId); });
}

bool MhxPlugin::ReadChampions(const ApiResponse& answer,
                              Api::MhxChampionGamesCollection& collection) {
  if (!answer.Ok()) return false;
  return Plugin::FromProperty(answer.result.Value(), collection, "<value>", *Registry()).Ok();
}

void MhxPlugin::StoreChampions(uint64_t accountId,
                               const Api::MhxChampionGamesCollection& collection) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  recentlyPlayed_.insert_or_assign(accountId, collection);
}

void MhxPlugin::RunRecentlyPlayedJob(uint64_t accountId) {
  ApiResponse answer = GetRecentChampions(accountId);
  Api::MhxChampionGamesCollection collection;
  if (ReadChampions(answer, collection)) {
    StoreChampions(accountId, collection);
  } else {
    Log::Log(Log::WARN, kCategory, 0, "Failed to retrieve recently played champs");
  }
  (void)PublishResource(
      Binding::FormatToString("/qel-mhx/v2/recently-played-champions/%1", accountId), collection);
  // The session may have changed during the fetch: compare with the one of this moment.
  uint64_t sessionAccount = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    sessionAccount = session_.accountId;
  }
  if (sessionAccount != 0 && sessionAccount == accountId) {
    (void)PublishResource("/qel-mhx/v2/recently-played-champions/current-summoner", collection);
  }
}

ChampionsResult MhxPlugin::GetRecentlyPlayedChampions(uint64_t accountId, bool force) {
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (!force) {
      const auto cached = recentlyPlayed_.find(accountId);
      if (cached != recentlyPlayed_.end()) return cached->second;
    }
  }
  ApiResponse answer = GetRecentChampions(accountId);
  Api::MhxChampionGamesCollection collection;
  if (ReadChampions(answer, collection)) StoreChampions(accountId, collection);
  return collection;
}

ChampionsResult MhxPlugin::ReadCachedChampions(uint64_t accountId) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  const auto cached = recentlyPlayed_.find(accountId);
  if (cached == recentlyPlayed_.end()) return Api::MhxChampionGamesCollection{};
  return cached->second;
}

// ---- Reads for diagnostics and tests ----

std::string MhxPlugin::EffectiveEndpoint() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return EffectiveEndpointLocked();
}

HeaderMap MhxPlugin::AuthorizationHeaders() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return authorizationHeaders_;
}

Api::LoginSession MhxPlugin::StoredSession() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return session_;
}

std::string MhxPlugin::PlatformId() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return platformId_;
}

size_t MhxPlugin::CachedAccountCount() const {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return recentlyPlayed_.size();
}

}  // namespace Oxle::Client::Mhx

void* load_qel_mhx(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<Oxle::Client::Mhx::MhxPlugin>(descriptor, "qel-mhx");
}
