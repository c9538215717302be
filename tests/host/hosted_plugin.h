// A plugin of the tests' own, built on PluginBase and exported through ExportPlugin, so that the
// host core can load it through its export function and drive it the way it drives a real
// module: routes under "/<short name>/v1/", resources observed in OnStart, jobs, API calls and
// an external request made through the host. What the plugin sees is kept in an Observations
// record that outlives it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host_test_support.h"
#include "plugin/plugin_base.h"

namespace PluginHostTest {

using namespace Oxle::Client;
using HostTest::Json;

// What the plugin observes in OnStart.
inline constexpr const char* kSessionUri = "/qel-login/v1/session";
inline constexpr const char* kChampionsPattern = "/qel-mhx/v2/recently-played-champions/*";
inline constexpr const char* kChampionSevenUri = "/qel-mhx/v2/recently-played-champions/7";
// Subscribed and unsubscribed again by the route ".../toggle".
inline constexpr const char* kToggleUri = "/qel-toggle/v1/x";
// Where the route ".../fetch" sends its external request.
inline constexpr const char* kExternalUrl = "https://games.example.invalid/v1/games/7";

// What one plugin saw; shared with the test, so it survives the plugin's unload.
struct Observations {
  void Add(std::string line) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(line));
  }
  [[nodiscard]] std::vector<std::string> Events() const {
    std::lock_guard lock(mutex);
    return events;
  }

  mutable std::mutex mutex;         // guards events
  std::vector<std::string> events;  // "<handler> <uri> <event type> <data as JSON>"
  std::atomic<int> patternEvents{0};
  std::atomic<int> ticks{0};
  std::atomic<int> toggles{0};
};

class HostedPlugin final : public Plugin::PluginBase {
 public:
  // Routes, "<prefix>" being "/<short name>/v1/":
  //   GET  <prefix>echo/{text}     {"text", "target", "caller"}, status 200; logs a WARN line
  //   GET  <prefix>items/{id}      {"item": id}; GET <prefix>items/current {"item": "current"}
  //   GET  <prefix>fail            error "the probe refused", status 409
  //   POST <prefix>sum             a + b (named arguments) as {"sum"}
  //   GET  <prefix>relay?target=   GetResource of the target through the host, or its error
  //   GET  <prefix>sum-via?target= CallApi POST of the target with a = 2 and b = 40
  //   POST <prefix>fetch           the external request, answered as its ExternalResponse
  //   POST <prefix>state/{n}       PublishResource("<prefix>state", {"n": n})
  //   POST <prefix>ticks           schedules the tick job now, status 202
  //   POST <prefix>toggle          Subscribe and Unsubscribe kToggleUri
  void RegisterApi() override;
  // Observes the session URI, the champion pattern and the exact champion URI, then runs onStart.
  bool OnStart() override;

  // The job "<short name>.tick": counts in seen->ticks.
  void ScheduleTick(std::chrono::steady_clock::time_point deadline);
  // A handler that records what it sees under `tag`.
  [[nodiscard]] Plugin::ResourceHandler Recording(std::string tag);

  std::shared_ptr<Observations> seen = std::make_shared<Observations>();
  std::function<void(HostedPlugin&)> onStart;
};

inline Host::ApiCall Request(uint32_t method, std::string target) {
  return HostTest::Request(method, std::move(target));
}

}  // namespace PluginHostTest

// The plugin as "qel-probe" and as "qel-peer".
extern "C" void* tpk_probe_load(PluginDescriptor* descriptor);
extern "C" void* tpk_peer_load(PluginDescriptor* descriptor);

namespace PluginHostTest {

// A host with the probe loaded (and, on request, the peer), each with its plugin object at hand
// for steering before it starts. The core is 18.3.1 unless told otherwise.
struct HostedPair {
  explicit HostedPair(Host::HostMode mode = Host::HostMode::Manual,
                      Host::CoreVersion version = {18, 3, 1}) {
    Host::HostOptions options;
    options.mode = mode;
    options.coreVersion = version;
    options.logSink = logs;
    host = std::make_unique<Host::Host>(options);
    probeId = LoadInto(&tpk_probe_load, "probe", probe);
    probeSeen = probe->seen;
  }
  void LoadPeer() {
    peerId = LoadInto(&tpk_peer_load, "peer", peer);
    peerSeen = peer->seen;
  }
  void StartProbe() { ASSERT_TRUE(host->StartModule(probeId).Ok()); }
  void StartPeer() { ASSERT_TRUE(host->StartModule(peerId).Ok()); }
  Host::ApiCallResult Call(uint32_t method, std::string target) {
    return host->Call(Request(method, std::move(target)));
  }

  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::unique_ptr<Host::Host> host;
  Host::ModuleId probeId = 0;
  Host::ModuleId peerId = 0;
  HostedPlugin* probe = nullptr;  // valid until the probe is unloaded
  HostedPlugin* peer = nullptr;
  std::shared_ptr<Observations> probeSeen;
  std::shared_ptr<Observations> peerSeen;

 private:
  Host::ModuleId LoadInto(PluginExportFunction exportFunction, std::string_view label,
                          HostedPlugin*& plugin) {
    auto loaded = host->LoadModule(exportFunction, label);
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    if (!loaded.Ok()) return 0;
    plugin = static_cast<HostedPlugin*>(host->Module(loaded.Value()).Value().object);
    return loaded.Value();
  }
};

}  // namespace PluginHostTest
