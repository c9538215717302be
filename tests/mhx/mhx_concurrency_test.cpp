// MhxPlugin's two locks from several threads at once: the state lock held for the whole of each
// remote request, and the job's current-summoner check ordered with session changes. Under
// ThreadSanitizer this proves those reads happen under their locks and that the two locks never
// meet (a lock-order inversion is reported too). tests/module drives events, routes, overrides
// and jobs together from four threads through the host's workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mhx_test_support.h"

namespace Oxle::Client::Mhx::Testing {
namespace {

// The state lock is held from the service gate until the answer is mapped: remote requests run
// one at a time, an override or a namespace update waits for a running request, and the two
// requests of a match list go to one base URL whatever changes meanwhile.
TEST(MhxConcurrency, TheStateLockIsHeldForTheWholeOfEachRemoteRequest) {
  constexpr auto kPatience = std::chrono::seconds(5);
  LoadedMhx mhx;
  mhx.Ready();
  std::mutex mutex;
  std::condition_variable changed;
  int arrived = 0;
  int inFlight = 0;
  int mostInFlight = 0;
  int permits = 0;
  // Each remote request waits at the transport for a permit, then the service answers it.
  struct HeldTransport final : Host::ExternalTransport {
    std::function<void()> hold;
    std::shared_ptr<Host::ExternalTransport> service;
    Host::ExternalAnswer Send(const Host::ExternalRequest& request) override {
      hold();
      return service->Send(request);
    }
  };
  auto held = std::make_shared<HeldTransport>();
  held->service = mhx.service;
  held->hold = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    ++arrived;
    mostInFlight = std::max(mostInFlight, ++inFlight);
    changed.notify_all();
    changed.wait_for(lock, kPatience, [&] { return permits > 0; });
    --permits;
    --inFlight;
  };
  mhx.host.SetTransport(held);
  std::thread game([&] { (void)mhx.Get("/qel-mhx/v1/games/1"); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return arrived == 1; }));
  }
  std::atomic<int> done{0};
  std::vector<std::thread> waiting;
  waiting.emplace_back([&] {
    (void)mhx.Get("/qel-mhx/v1/matchlists/5");
    ++done;
  });
  waiting.emplace_back([&] {
    mhx.Configure(R"({"Endpoint":"https://n.test"})");
    ++done;
  });
  waiting.emplace_back([&] {
    (void)mhx.Call(Client::Api::HttpMethod::Post, "/qel-mhx/v1/mhx-endpoint-override",
                   R"({"url":"https://o.test"})");
    ++done;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done, 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(arrived, 1);
    permits = 3;  // the game, the look-up and the match list
    changed.notify_all();
  }
  game.join();
  for (std::thread& thread : waiting)
    thread.join();
  EXPECT_EQ(mostInFlight, 1);
  const std::vector<std::string> urls = mhx.RemoteUrls();
  ASSERT_EQ(urls.size(), 3u);
  const std::string lookupBase = urls[1].substr(0, urls[1].find("/v1/players/current"));
  EXPECT_EQ(urls[2].rfind(lookupBase + "/v1/stats/player_history/", 0), 0u) << urls[2];
}

// Only the state lock may order the job's read of the session's account with a session change:
// the session is changed directly, so no lock of the host joins the two threads.
TEST(MhxConcurrency, TheJobsCurrentSummonerCheckIsOrderedWithSessionChanges) {
  LoadedMhx mhx;
  mhx.service->Always("https://mhx.test/v1/recent_champions/EUW1/4100",
                      Answer(200, ChampionsJson(3, 11)));
  mhx.Ready();
  constexpr int kRounds = 400;
  std::thread jobs([&] {
    for (int i = 0; i < kRounds; ++i)
      mhx.plugin->RunRecentlyPlayedJob(4100);
  });
  std::thread sessions([&] {
    Api::LoginSession session;
    session.state = Api::LoginSessionStates::SUCCEEDED;
    session.summonerId = 7700;
    for (int i = 0; i < kRounds; ++i) {
      session.accountId = i % 2 ? 8800 : 4100;
      mhx.plugin->OnSession(Plugin::PluginResourceEventType::Update, &session);
    }
  });
  jobs.join();
  sessions.join();
  EXPECT_EQ(mhx.PublishedAt("/qel-mhx/v2/recently-played-champions/4100").size(),
            static_cast<size_t>(kRounds));
}

}  // namespace
}  // namespace Oxle::Client::Mhx::Testing
