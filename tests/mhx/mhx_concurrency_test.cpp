// MhxPlugin from several threads at once: session, platform and configuration events, route
// calls and overrides, and recently-played jobs. Under ThreadSanitizer this proves that the job's
// current-summoner check and every other read of shared state happen under their locks, and
// that the two locks never meet (a lock-order inversion is reported too).
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

TEST(MhxConcurrency, EventsRoutesAndJobsFromFourThreads) {
  LoadedMhx mhx;
  mhx.service->Always("https://mhx.test/v1/recent_champions/EUW1/4100",
                      Answer(200, ChampionsJson(3, 11)));
  mhx.service->Always("https://mhx.test/v1/recent_champions/EUW1/8800", Answer(500, "{}"));
  mhx.Ready();
  constexpr int kRounds = 150;
  std::atomic<int> jobsRun{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // the session goes back and forth between two players
    for (int i = 0; i < kRounds; ++i) {
      mhx.Session(SessionJson(i % 3 == 0 ? "LOGGING_OUT" : "SUCCEEDED", i % 2 ? 8800 : 4100, 7700));
    }
  });
  threads.emplace_back([&] {  // jobs of both accounts run as the host would run them
    for (int i = 0; i < kRounds; ++i) {
      mhx.plugin->RunRecentlyPlayedJob(i % 2 ? 8800 : 4100);
      ++jobsRun;
    }
  });
  threads.emplace_back([&] {  // the platform id comes and goes, which empties the cache
    for (int i = 0; i < kRounds; ++i) {
      if (i % 4 == 0) {
        mhx.Event(kPlatformIdUri, "Delete");
      } else {
        mhx.Platform(R"("EUW1")");
      }
      if (i % 10 == 0) mhx.Configure(R"({"Endpoint":"https://mhx.test/"})");
    }
  });
  threads.emplace_back([&] {  // routes of every kind
    for (int i = 0; i < kRounds; ++i) {
      (void)mhx.Get("/qel-mhx/v1/games/" + std::to_string(i));
      (void)mhx.Get("/qel-mhx/v2/recently-played-champions/current-summoner");
      (void)mhx.Get("/qel-mhx/v1/recently-played-champions/4100?force");
      (void)mhx.Get("/qel-mhx/v2/recently-played-champions/4100");
      if (i % 25 == 0) {
        (void)mhx.Call(Client::Api::HttpMethod::Post, "/qel-mhx/v1/mhx-endpoint-override",
                       R"({"url":""})");
      }
    }
  });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(jobsRun.load(), kRounds);
  // Every job published its own account once, whatever happened around it; only 4100's jobs can
  // have been for the current summoner, and at most one publication per job went there.
  EXPECT_EQ(mhx.PublishedAt("/qel-mhx/v2/recently-played-champions/4100").size(),
            static_cast<size_t>(kRounds / 2));
  EXPECT_EQ(mhx.PublishedAt("/qel-mhx/v2/recently-played-champions/8800").size(),
            static_cast<size_t>(kRounds / 2));
  EXPECT_LE(mhx.PublishedAt("/qel-mhx/v2/recently-played-champions/current-summoner").size(),
            static_cast<size_t>(kRounds));
  for (const auto& [level, line] : mhx.Logs()) {
    EXPECT_EQ(line.find("token-1"), std::string::npos) << line;
  }
}

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
