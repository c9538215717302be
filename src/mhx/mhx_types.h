// The match-history feature's registered records: the recently played champions and their
// collection, the endpoint-override body, and the login session with its states. Each record is
// declared once here, with its fixed type hash and its description to the type registry beside
// it. Plain values: copied freely, no locking of their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/types/type_binding.h"
#include "binding/types/type_identity.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Mhx::Api {

// One entry of the service's list of recently played champions.
struct MhxChampionGames {
  int32_t championId = 0;
  int32_t queue = 0;
  std::string lane;
  std::string role;
  uint64_t timestamp = 0;
};
void DescribeBinding(Binding::TypeDescriber<MhxChampionGames>& type);

// The recently played champions of one account; the default value is the empty collection.
struct MhxChampionGamesCollection {
  uint32_t gameCount = 0;
  std::vector<MhxChampionGames> champions;
};
void DescribeBinding(Binding::TypeDescriber<MhxChampionGamesCollection>& type);

// The body of the endpoint override.
struct MhxEndPoint {
  std::string url;
};
void DescribeBinding(Binding::TypeDescriber<MhxEndPoint>& type);

// The login plugin's session states; the upper-case names are those of the published resource.
enum class LoginSessionStates : int32_t {
  IN_PROGRESS = 0,
  ERROR = 3,
  SUCCEEDED = 1,
  LOGGING_OUT = 2
};
void DescribeBinding(Binding::TypeDescriber<LoginSessionStates>& type);

// The login session as the login plugin publishes it. The tokens are credentials: they go into
// the authorisation header and nowhere else.
struct LoginSession {
  LoginSessionStates state = LoginSessionStates::IN_PROGRESS;
  uint64_t summonerId = 0;
  uint64_t accountId = 0;
  Binding::BindingProperty vekToken;
  std::string idToken;
};
void DescribeBinding(Binding::TypeDescriber<LoginSession>& type);

// A session is complete, and has a current summoner, when it succeeded with both ids set.
[[nodiscard]] bool IsComplete(const LoginSession& session) noexcept;

}  // namespace Oxle::Client::Mhx::Api

namespace Oxle::Client::Binding {

template <>
struct FixedTypeHash<Mhx::Api::MhxChampionGames> {
  static constexpr uint32_t kHash = 0x881A5076u;
};
template <>
struct FixedTypeHash<Mhx::Api::MhxChampionGamesCollection> {
  static constexpr uint32_t kHash = 0x62A4B376u;
};
template <>
struct FixedTypeHash<Mhx::Api::MhxEndPoint> {
  static constexpr uint32_t kHash = 0x19995495u;
};
template <>
struct FixedTypeHash<Mhx::Api::LoginSessionStates> {
  static constexpr uint32_t kHash = 0x78922D8Du;
};
template <>
struct FixedTypeHash<Mhx::Api::LoginSession> {
  static constexpr uint32_t kHash = 0x2E4A92D8u;
};

}  // namespace Oxle::Client::Binding
