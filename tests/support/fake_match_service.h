// FakeMatchService: an ExternalTransport that stands in for the remote match-history service. It
// records every request, answers from per-URL scripts or from a queue of answers for any URL,
// and otherwise echoes the URL it was asked for as {"echo": url}. Thread-safe; shared by the
// module and feature tests, the module fuzzer and the route benchmark.
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

  // The next request to a URL without a script gets `answer` (the module fuzzer's queue).
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
