#include "stub/stub_service.h"

#include <algorithm>
#include <charconv>

#include "binding/value/binding_property.h"
#include "codec/json.h"
#include "stub/stub_documents.h"

namespace Oxle::Client::Host::Stub {
namespace {

using Binding::BindingProperty;

constexpr size_t kMaxPlatformIdLength = 16;
constexpr uint32_t kDefaultEndIndex = 20;

[[nodiscard]] std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> segments;
  if (path.empty() || path.front() != '/') return segments;
  path.remove_prefix(1);
  for (;;) {
    const size_t slash = path.find('/');
    segments.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return segments;
}

// The resource a path names, and where its platform and id segments are.
struct PathMatch {
  Resource resource;
  std::string_view platformId;
  std::string_view id;
  std::string_view idName;
};

[[nodiscard]] std::optional<PathMatch> MatchPath(std::string_view path) {
  const std::vector<std::string_view> s = SplitPath(path);
  if (s.size() < 3 || s[0] != "v1") return std::nullopt;
  if (s[1] == "stats" && s[2] == "game") {
    if (s.size() == 5) return PathMatch{Resource::Game, s[3], s[4], "gameId"};
    if (s.size() == 6 && s[5] == "timeline")
      return PathMatch{Resource::GameTimeline, s[3], s[4], "gameId"};
    return std::nullopt;
  }
  if (s[1] == "stats" && s[2] == "player_history") {
    if (s.size() == 4 && s[3] == "auth") return PathMatch{Resource::OwnMatchList, {}, {}, {}};
    if (s.size() == 5) return PathMatch{Resource::PlayerMatchList, s[3], s[4], "accountId"};
    return std::nullopt;
  }
  if (s.size() == 3 && s[1] == "players" && s[2] == "current")
    return PathMatch{Resource::PlayerLookup, {}, {}, {}};
  if (s.size() == 3 && s[1] == "deltas" && s[2] == "auth")
    return PathMatch{Resource::Deltas, {}, {}, {}};
  if (s.size() == 4 && s[1] == "recent_champions")
    return PathMatch{Resource::RecentChampions, s[2], s[3], "accountId"};
  return std::nullopt;
}

// An unsigned decimal number of at most 64 bits: digits only, no sign, no spaces.
[[nodiscard]] std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  uint64_t value = 0;
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Platform ids such as "EUW1" or "NA1": 1-16 letters, digits or underscores.
[[nodiscard]] bool IsPlatformId(std::string_view text) {
  return !text.empty() && text.size() <= kMaxPlatformIdLength &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_';
         });
}

[[nodiscard]] const std::string* QueryValue(const StubRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.query) {
    if (key == name) return &value;
  }
  return nullptr;
}

[[nodiscard]] StubAnswer Error(int status, std::string_view message) {
  StubAnswer answer;
  answer.status = status;
  answer.body = ErrorBody(status, message);
  return answer;
}

// The validated inputs of one resource.
struct Inputs {
  std::string platformId;
  uint64_t id = 0;
  uint32_t begIndex = 0;
  uint32_t endIndex = kDefaultEndIndex;
};

// The match-list window of the query; both pieces are optional (0 and 20).
[[nodiscard]] std::optional<StubAnswer> ReadWindow(const StubRequest& request, Inputs& inputs) {
  uint64_t window[2] = {0, kDefaultEndIndex};
  static constexpr std::array<std::string_view, 2> kNames = {"begIndex", "endIndex"};
  for (size_t i = 0; i < kNames.size(); ++i) {
    const std::string* text = QueryValue(request, kNames[i]);
    if (text == nullptr) continue;
    const std::optional<uint64_t> value = ParseUnsigned(*text);
    if (!value.has_value() || *value > kMaxHistoryIndex)
      return Error(400, "Invalid " + std::string(kNames[i]));
    window[i] = *value;
  }
  if (window[1] < window[0]) return Error(400, "endIndex must not be less than begIndex");
  if (window[1] - window[0] > kMaxMatchListGames)
    return Error(400, "A match list holds at most 100 games");
  inputs.begIndex = static_cast<uint32_t>(window[0]);
  inputs.endIndex = static_cast<uint32_t>(window[1]);
  return std::nullopt;
}

// Fills `inputs` from the path, the query and the REGION header; an answer when one is invalid.
[[nodiscard]] std::optional<StubAnswer> ReadInputs(const StubRequest& request,
                                                   const PathMatch& match, Inputs& inputs) {
  switch (match.resource) {
    case Resource::OwnMatchList:
    case Resource::Deltas:
      if (!IsPlatformId(*request.region)) return Error(400, "Invalid REGION header");
      inputs.platformId = *request.region;
      inputs.id = kAuthenticatedAccountId;
      break;
    case Resource::PlayerLookup: {
      const std::string* region = QueryValue(request, "region");
      const std::string* account = QueryValue(request, "account");
      if (region == nullptr) return Error(400, "Missing query parameter region");
      if (account == nullptr) return Error(400, "Missing query parameter account");
      if (!IsPlatformId(*region)) return Error(400, "Invalid region");
      const std::optional<uint64_t> id = ParseUnsigned(*account);
      if (!id.has_value()) return Error(400, "Invalid account");
      inputs.platformId = *region;
      inputs.id = *id;
      break;
    }
    default: {
      if (!IsPlatformId(match.platformId)) return Error(400, "Invalid platformId");
      const std::optional<uint64_t> id = ParseUnsigned(match.id);
      if (!id.has_value()) return Error(400, "Invalid " + std::string(match.idName));
      inputs.platformId = match.platformId;
      inputs.id = *id;
      break;
    }
  }
  if (match.resource == Resource::OwnMatchList || match.resource == Resource::PlayerMatchList)
    return ReadWindow(request, inputs);
  return std::nullopt;
}

[[nodiscard]] BindingProperty Document(Resource resource, const Inputs& in) {
  switch (resource) {
    case Resource::Game:
      return GameDocument(in.platformId, in.id);
    case Resource::GameTimeline:
      return TimelineDocument(in.platformId, in.id);
    case Resource::OwnMatchList:
    case Resource::PlayerMatchList:
      return MatchListDocument(in.platformId, in.id, in.begIndex, in.endIndex);
    case Resource::PlayerLookup:
      return PlayerDocument(in.platformId, in.id);
    case Resource::Deltas:
      return DeltasDocument(in.platformId, in.id);
    case Resource::RecentChampions:
      return RecentChampionsDocument(in.platformId, in.id);
  }
  return BindingProperty();
}

[[nodiscard]] bool IdBearing(Resource resource) {
  return resource != Resource::OwnMatchList && resource != Resource::Deltas;
}

}  // namespace

Behaviour BehaviourOf(uint64_t id) noexcept {
  for (const SpecialId& special : kSpecialIds) {
    if (special.id == id) return special.behaviour;
  }
  return Behaviour::Normal;
}

std::optional<Resource> ResourceOf(std::string_view path) {
  const std::optional<PathMatch> match = MatchPath(path);
  if (!match.has_value()) return std::nullopt;
  return match->resource;
}

std::string ErrorBody(int status, std::string_view message) {
  BindingProperty body;
  body.Get("status").SetSigned(status);
  body.Get("message").SetString(message);
  return Codec::WriteJson(body, nullptr, nullptr);
}

StubAnswer AnswerStubRequest(const StubRequest& request) {
  const std::optional<PathMatch> match = MatchPath(request.path);
  if (!match.has_value()) return Error(404, "Unknown path");
  if (request.method != "GET" && request.method != "HEAD") {
    StubAnswer answer = Error(405, "Method not allowed");
    answer.headers.emplace_back("Allow", "GET, HEAD");
    answer.resource = match->resource;
    return answer;
  }

  StubAnswer answer = [&]() -> StubAnswer {
    for (const auto& [header, value] : {std::pair{"AUTHORIZATION", &request.authorization},
                                        std::pair{"REGION", &request.region}}) {
      if (!value->has_value() || (*value)->empty()) {
        StubAnswer refused = Error(401, "Missing header " + std::string(header));
        refused.headers.emplace_back("WWW-Authenticate", "JwtBearer, VekTokenRaw");
        return refused;
      }
    }
    Inputs inputs;
    if (std::optional<StubAnswer> invalid = ReadInputs(request, *match, inputs))
      return std::move(*invalid);

    const Behaviour behaviour =
        IdBearing(match->resource) ? BehaviourOf(inputs.id) : Behaviour::Normal;
    switch (behaviour) {
      case Behaviour::Forbidden:
        return Error(403, "Forbidden");
      case Behaviour::NotFound:
        return Error(404, "Not found");
      case Behaviour::ServerError:
        return Error(500, "Internal server error");
      case Behaviour::EmptyBody:
        return StubAnswer{};
      default:
        break;
    }
    StubAnswer found;
    found.body = Codec::WriteJson(Document(match->resource, inputs), nullptr, nullptr);
    if (behaviour == Behaviour::InvalidJson) found.body.resize(found.body.size() / 2);
    found.late = behaviour == Behaviour::Late;
    return found;
  }();
  answer.resource = match->resource;
  return answer;
}

}  // namespace Oxle::Client::Host::Stub
