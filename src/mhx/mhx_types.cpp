#include "mhx/mhx_types.h"

namespace Oxle::Client::Mhx::Api {

void DescribeBinding(Binding::TypeDescriber<MhxChampionGames>& type) {
  type.Name("MhxChampionGames")
      .Field("championId", &MhxChampionGames::championId)
      .Field("queue", &MhxChampionGames::queue)
      .Field("lane", &MhxChampionGames::lane)
      .Field("role", &MhxChampionGames::role)
      .Field("timestamp", &MhxChampionGames::timestamp);
}

void DescribeBinding(Binding::TypeDescriber<MhxChampionGamesCollection>& type) {
  type.Name("MhxChampionGamesCollection")
      .Field("gameCount", &MhxChampionGamesCollection::gameCount)
      .Field("champions", &MhxChampionGamesCollection::champions);
}

void DescribeBinding(Binding::TypeDescriber<MhxEndPoint>& type) {
  type.Name("MhxEndPoint").Field("url", &MhxEndPoint::url);
}

void DescribeBinding(Binding::TypeDescriber<LoginSessionStates>& type) {
  type.Name("LoginSessionStates")
      .Value("IN_PROGRESS", LoginSessionStates::IN_PROGRESS)
      .Value("ERROR", LoginSessionStates::ERROR)
      .Value("SUCCEEDED", LoginSessionStates::SUCCEEDED)
      .Value("LOGGING_OUT", LoginSessionStates::LOGGING_OUT);
}

void DescribeBinding(Binding::TypeDescriber<LoginSession>& type) {
  type.Name("LoginSession")
      .Field("state", &LoginSession::state)
      .Field("summonerId", &LoginSession::summonerId)
      .Field("accountId", &LoginSession::accountId)
      .Field("vekToken", &LoginSession::vekToken)
      .Field("idToken", &LoginSession::idToken);
}

bool IsComplete(const LoginSession& session) noexcept {
  return session.state == LoginSessionStates::SUCCEEDED && session.accountId != 0 &&
         session.summonerId != 0;
}

}  // namespace Oxle::Client::Mhx::Api
