// The stub match-history service without its sockets: which resource a request names, the
// checks it must pass, the ids that answer with a failure, and the answer itself. The HTTP
// server (stub_server.h) only translates to and from this; tests call it directly.
// Checks run in this order: the path (404 "Unknown path"), the method (405), the two headers
// (401), the path's and the query's values (400), then the special ids of kSpecialIds.
// Pure functions of their inputs, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Oxle::Client::Host::Stub {

// The seven resources, by the remote URL template that names each.
enum class Resource : uint8_t {
  Game,             // GET /v1/stats/game/{platformId}/{gameId}
  GameTimeline,     // GET /v1/stats/game/{platformId}/{gameId}/timeline
  OwnMatchList,     // GET /v1/stats/player_history/auth?begIndex=B&endIndex=E
  PlayerLookup,     // GET /v1/players/current?region={platformId}&account={accountId}
  PlayerMatchList,  // GET /v1/stats/player_history/{platformId}/{accountId}?begIndex=B&endIndex=E
  Deltas,           // GET /v1/deltas/auth
  RecentChampions,  // GET /v1/recent_champions/{platformId}/{accountId}
};

// What an id in the table below makes the service do instead of answering its document.
enum class Behaviour : uint8_t {
  Normal,
  Forbidden,    // 403 with a JSON error
  NotFound,     // 404 with a JSON error
  ServerError,  // 500 with a JSON error
  EmptyBody,    // 200 with no body at all
  InvalidJson,  // 200 with the first half of the document: JSON cut off mid-way
  Late,         // the document, after the server's late delay
};

struct SpecialId {
  uint64_t id;
  Behaviour behaviour;
};

// The ids with a special answer, wherever a game id or an account id stands (in the path, or the
// "account" of a look-up). The "auth" resources carry no id and always answer normally. The
// table in host/stub/README.md is this one.
inline constexpr std::array<SpecialId, 6> kSpecialIds = {{{403, Behaviour::Forbidden},
                                                          {404, Behaviour::NotFound},
                                                          {500, Behaviour::ServerError},
                                                          {900, Behaviour::EmptyBody},
                                                          {901, Behaviour::InvalidJson},
                                                          {902, Behaviour::Late}}};

[[nodiscard]] Behaviour BehaviourOf(uint64_t id) noexcept;

// The request as the server saw it. `path` is the decoded path without the query; `query` the
// decoded query pieces in their order (the first of a repeated name counts); a header is absent
// when the request did not send it.
struct StubRequest {
  std::string_view method = "GET";
  std::string_view path;
  std::vector<std::pair<std::string, std::string>> query;
  std::optional<std::string> authorization;
  std::optional<std::string> region;
};

struct StubAnswer {
  int status = 200;
  std::string body;
  std::string_view contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // besides the content type
  std::optional<Resource> resource;                          // the resource the path named
  bool late = false;  // send only after the server's late delay
};

// The resource `path` names, if any.
[[nodiscard]] std::optional<Resource> ResourceOf(std::string_view path);

// The answer to `request`, with the whole body (a late answer holds the document it will send).
[[nodiscard]] StubAnswer AnswerStubRequest(const StubRequest& request);

// The service's error document: {"message": message, "status": status}.
[[nodiscard]] std::string ErrorBody(int status, std::string_view message);

}  // namespace Oxle::Client::Host::Stub
