// FakeMatchService: an ExternalTransport that stands in for the remote match-history service. It
// records every request, answers from per-URL scripts or from a queue of answers for any URL,
// and otherwise echoes the URL it was asked for as {"echo": url}. Thread-safe; shared by the
// module tests, the module fuzzer and the route benchmark, which takes its game document from
// GameDocument.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "codec/json.h"
#include "core/transport.h"

namespace ModuleTest {

using Oxle::Client::Host::ExternalAnswer;
using Oxle::Client::Host::ExternalRequest;
using Oxle::Client::Host::ExternalTransport;
using Oxle::Client::Host::HeaderList;

inline ExternalAnswer Answer(uint32_t status, std::string body, HeaderList headers = {}) {
  ExternalAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.headers = std::move(headers);
  return answer;
}

// A game record as the service sends it: the game's header, ten participants with their
// identities and statistics, and two teams; participants' item and stat blocks repeat until the
// text reaches at least `minimumBytes`.
inline std::string GameDocument(uint64_t gameId, size_t minimumBytes) {
  std::string out = "{\"gameId\":" + std::to_string(gameId) +
                    ",\"platformId\":\"EUW1\",\"gameCreation\":1700000000000,"
                    "\"gameDuration\":1834,\"queueId\":420,\"mapId\":11,\"seasonId\":13,"
                    "\"gameVersion\":\"13.24.548.1234\",\"gameMode\":\"CLASSIC\","
                    "\"gameType\":\"MATCHED_GAME\",\"teams\":[";
  for (int team = 0; team < 2; ++team) {
    if (team != 0) out += ',';
    out += "{\"teamId\":" + std::to_string(100 + 100 * team) + ",\"win\":\"" +
           (team == 0 ? "Win" : "Fail") +
           "\",\"firstBlood\":true,\"towerKills\":7,\"inhibitorKills\":1,\"baronKills\":1,"
           "\"dragonKills\":3,\"bans\":[{\"championId\":157,\"pickTurn\":1},"
           "{\"championId\":64,\"pickTurn\":2}]}";
  }
  out += "],\"participants\":[";
  size_t round = 0;
  const size_t perParticipantFloor = minimumBytes / 10;
  for (int p = 0; p < 10; ++p) {
    if (p != 0) out += ',';
    const size_t start = out.size();
    out +=
        "{\"participantId\":" + std::to_string(p + 1) +
        ",\"teamId\":" + std::to_string(p < 5 ? 100 : 200) +
        ",\"championId\":" + std::to_string(10 + p * 7) +
        ",\"spell1Id\":4,\"spell2Id\":14,\"player\":{\"accountId\":" + std::to_string(200000 + p) +
        ",\"summonerName\":\"Player " + std::to_string(p) +
        "\",\"profileIcon\":" + std::to_string(3000 + p) + "},\"timeline\":[";
    bool first = true;
    while (out.size() - start < perParticipantFloor || first) {
      if (!first) out += ',';
      first = false;
      ++round;
      out += "{\"minute\":" + std::to_string(round) +
             ",\"stats\":{\"kills\":3,\"deaths\":2,\"assists\":11,\"goldEarned\":12450,"
             "\"totalDamageDealt\":154321.5,\"visionScore\":27,\"win\":" +
             (p < 5 ? "true" : "false") + ",\"items\":[3157,3020,3089,3135,3165,0,3340]}}";
    }
    out += "]}";
  }
  return out + "]}";
}

class FakeMatchService final : public ExternalTransport {
 public:
  ExternalAnswer Send(const ExternalRequest& request) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (auto fixed = fixed_.find(request.url); fixed != fixed_.end()) return fixed->second;
    if (!nextAny_.empty()) {
      ExternalAnswer answer = std::move(nextAny_.front());
      nextAny_.pop_front();
      return answer;
    }
    Oxle::Client::Binding::BindingProperty echo;
    echo.Get("echo").SetString(request.url);
    return Answer(200, Oxle::Client::Codec::WriteJson(echo, nullptr, nullptr));
  }

  // Every request to `url` gets `answer`.
  void Always(const std::string& url, ExternalAnswer answer) {
    std::lock_guard lock(mutex_);
    fixed_[url] = std::move(answer);
  }
  // The next request to a URL without a script gets `answer`.
  void Next(ExternalAnswer answer) {
    std::lock_guard lock(mutex_);
    nextAny_.push_back(std::move(answer));
  }

  [[nodiscard]] std::vector<ExternalRequest> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  [[nodiscard]] std::vector<std::string> Urls() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> urls;
    for (const ExternalRequest& request : requests_)
      urls.push_back(request.url);
    return urls;
  }
  void ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

 private:
  mutable std::mutex mutex_;  // guards every member below
  std::vector<ExternalRequest> requests_;
  std::map<std::string, ExternalAnswer> fixed_;
  std::deque<ExternalAnswer> nextAny_;
};

}  // namespace ModuleTest
