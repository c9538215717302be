// FakeMatchService: an ExternalTransport that stands in for the remote match-history service. It
// records every request, answers from per-URL scripts (persistent, or queued one-shot answers),
// and otherwise echoes the URL it was asked for as {"echo": url}, so a test sees which template
// a route formatted. Thread-safe; shared by the module tests, the module fuzzer and the route
// benchmark. Also builds the documents the service sends: games, recent champions, lookups.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/transport.h"

namespace ModuleTest {

using Oxle::Client::Host::ExternalAnswer;
using Oxle::Client::Host::ExternalRequest;
using Oxle::Client::Host::ExternalTransport;
using Oxle::Client::Host::HeaderList;

// `text` as a JSON string literal, quotes included.
inline std::string JsonQuote(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

inline ExternalAnswer Answer(uint32_t status, std::string body, HeaderList headers = {}) {
  ExternalAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.headers = std::move(headers);
  return answer;
}

inline ExternalAnswer TransportFailure(std::string description) {
  ExternalAnswer answer;
  answer.transportResult = Oxle::Client::Host::kTransportFailed;
  answer.body = std::move(description);
  return answer;
}

// A recent-champions document with `count` entries; champion ids start at `firstChampion`.
inline std::string ChampionsDocument(uint32_t gameCount, uint32_t count, int32_t firstChampion) {
  std::string out = "{\"gameCount\":" + std::to_string(gameCount) + ",\"champions\":[";
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0) out += ',';
    out += "{\"championId\":" + std::to_string(firstChampion + static_cast<int32_t>(i)) +
           ",\"queue\":420,\"lane\":\"MIDDLE\",\"role\":\"SOLO\",\"timestamp\":" +
           std::to_string(1700000000000ull + i) + "}";
  }
  return out + "]}";
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
    auto queued = queued_.find(request.url);
    if (queued != queued_.end() && !queued->second.empty()) {
      ExternalAnswer answer = std::move(queued->second.front());
      queued->second.pop_front();
      return answer;
    }
    if (auto fixed = fixed_.find(request.url); fixed != fixed_.end()) return fixed->second;
    if (!nextAny_.empty()) {
      ExternalAnswer answer = std::move(nextAny_.front());
      nextAny_.pop_front();
      return answer;
    }
    return Answer(200, "{\"echo\":" + JsonQuote(request.url) + "}");
  }

  // Every request to `url` gets `answer` (after the queued ones for it).
  void Always(const std::string& url, ExternalAnswer answer) {
    std::lock_guard lock(mutex_);
    fixed_[url] = std::move(answer);
  }
  // The next request to `url` gets `answer`.
  void Once(const std::string& url, ExternalAnswer answer) {
    std::lock_guard lock(mutex_);
    queued_[url].push_back(std::move(answer));
  }
  // The next request to a URL without a script gets `answer`.
  void Next(ExternalAnswer answer) {
    std::lock_guard lock(mutex_);
    nextAny_.push_back(std::move(answer));
  }
  void ClearScripts() {
    std::lock_guard lock(mutex_);
    fixed_.clear();
    queued_.clear();
    nextAny_.clear();
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
  [[nodiscard]] size_t RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  void ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

 private:
  mutable std::mutex mutex_;  // guards every member below
  std::vector<ExternalRequest> requests_;
  std::map<std::string, ExternalAnswer> fixed_;
  std::map<std::string, std::deque<ExternalAnswer>> queued_;
  std::deque<ExternalAnswer> nextAny_;
};

}  // namespace ModuleTest
