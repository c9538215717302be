// A plugin of the tests' own, built on PluginBase and exported through ExportPlugin, so that the
// host core can load it through its export function and drive it the way it drives a real
// module: routes under "/<short name>/v1/", resources observed in OnStart, jobs, API calls and
// an external request made through the host. What the plugin sees is kept in an Observations
// record that outlives it. SlotRecorder stands between a plugin and the host and records the
// HostApi calls the plugin makes on their way to the host, unchanged.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "codec/json.h"
#include "core/host.h"
#include "host_test_support.h"
#include "plugin/plugin_base.h"
#include "tpk/plugin_abi.h"

namespace PluginHostTest {

using namespace Oxle::Client;

// What the plugin observes in OnStart; the two session URIs share one event name, and so do the
// champion pattern and the exact champion URI.
inline constexpr const char* kSessionUri = "/qel-login/v1/session";
inline constexpr const char* kSessionExtraUri = "/qel-login/v1/session/extra";
inline constexpr const char* kChampionsPattern = "/qel-mhx/v2/recently-played-champions/*";
inline constexpr const char* kChampionSevenUri = "/qel-mhx/v2/recently-played-champions/7";
inline constexpr const char* kSessionEvent = "OnJsonApiEvent_qel-login_v1_session";
inline constexpr const char* kChampionsEvent =
    "OnJsonApiEvent_qel-mhx_v2_recently-played-champions";
// Subscribed and unsubscribed again by the route ".../toggle".
inline constexpr const char* kToggleUri = "/qel-toggle/v1/x";
inline constexpr const char* kToggleEvent = "OnJsonApiEvent_qel-toggle_v1_x";
// Where the route ".../fetch" sends its external request.
inline constexpr const char* kExternalUrl = "https://games.example.invalid/v1/games/7";
inline constexpr const char* kTickJob = "qel-probe.tick";

// The plugin's routes, as the host counts them.
inline constexpr size_t kRouteCount = 11;

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
  std::atomic<bool> throwFromSession{false};  // the session handler throws while set
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
  // Observes the two session URIs, the champion pattern and the exact champion URI, then runs
  // onStart.
  bool OnStart() override;

  // The job kTickJob: counts in seen->ticks.
  void ScheduleTick(std::chrono::steady_clock::time_point deadline);

  std::shared_ptr<Observations> seen = std::make_shared<Observations>();
  std::function<void(HostedPlugin&)> onStart;

 private:
  [[nodiscard]] Plugin::ResourceHandler Recording(std::string tag);
};

// Records every slot call of the plugin it wraps, then passes it to the host's own table.
class SlotRecorder {
 public:
  SlotRecorder() = default;
  SlotRecorder(const SlotRecorder&) = delete;
  SlotRecorder& operator=(const SlotRecorder&) = delete;

  // An export for the host: loads the plugin through `Export` and, if a recorder is armed, puts
  // it between the plugin and the host (and disarms it).
  template <PluginExportFunction Export>
  static void* Load(PluginDescriptor* descriptor) {
    void* object = Export(descriptor);
    SlotRecorder* recorder = Armed();
    Armed() = nullptr;
    if (recorder != nullptr && descriptor->callbacks != nullptr) recorder->Wrap(*descriptor);
    return object;
  }
  // The next Load wraps its plugin with this recorder.
  void Arm() { Armed() = this; }

  // "SubscribeEvent <name> <flag>", "UnsubscribeEvent <name>", "ScheduleJob <name>",
  // "PublishEvent <name>", "SendRequest <target>", "SendExternalRequest <url>", "Yield",
  // "MarkWait <text>", "EndWait", in call order. Log calls are passed on unrecorded.
  [[nodiscard]] std::vector<std::string> Calls() const;
  // The calls that begin with `prefix`.
  [[nodiscard]] std::vector<std::string> Calls(std::string_view prefix) const;
  // The delay of every ScheduleJob call, in call order.
  [[nodiscard]] std::vector<double> Delays() const;
  // Every plugin handle given with a subscribe or unsubscribe, in call order.
  [[nodiscard]] std::vector<uint32_t> Handles() const;

 private:
  struct Table {
    HostApi api;  // first: a slot finds the recorder from the table's address
    SlotRecorder* self;
  };
  static SlotRecorder*& Armed();
  static SlotRecorder& Self(const HostApi* api);
  void Wrap(PluginDescriptor& descriptor);
  void Record(std::string call, uint32_t handle = 0, bool withHandle = false);

  static uint8_t StartSlot(void* context, const HostContext* hostContext);
  static void UnloadSlot(void* context);
  static void MemoryStatsSlot(void* context, uint32_t* words);
  static int32_t SendRequestSlot(const HostApi* api, ApiResponseRecord* response,
                                 const ApiRequestRecord* request);
  static int32_t SendExternalSlot(const HostApi* api, ExternalResponseRecord* response,
                                  const ExternalRequestRecord* request);
  static int32_t PublishSlot(const HostApi* api, const HostEvent* event);
  static int32_t SubscribeSlot(const HostApi* api, const char* name, uint32_t handle,
                               HostEventCallback callback, void* context, uint32_t flag);
  static int32_t UnsubscribeSlot(const HostApi* api, const char* name, uint32_t handle);
  static int32_t ScheduleSlot(const HostApi* api, const char* name, HostJobCallback callback,
                              void* context, double delay, uint32_t flag);
  static int32_t YieldSlot(const HostApi* api);
  static int32_t MarkWaitSlot(const HostApi* api, const char* text, int32_t value);
  static int32_t EndWaitSlot(const HostApi* api);
  static int32_t LogSlot(const HostApi* api, int32_t level, const char* message);

  Table table_{};
  PluginCallbacks callbacks_{};
  PluginCallbacks plugin_{};
  void* pluginContext_ = nullptr;
  const HostApi* host_ = nullptr;
  HostContext context_{};
  mutable std::mutex mutex_;  // guards calls_, delays_ and handles_
  std::vector<std::string> calls_;
  std::vector<double> delays_;
  std::vector<uint32_t> handles_;
};

using HostTest::Json;

inline Host::ApiCall Request(uint32_t method, std::string target) {
  Host::ApiCall call;
  call.method = method;
  call.target = std::move(target);
  return call;
}

}  // namespace PluginHostTest

// The plugin as "qel-probe" and as "qel-peer".
extern "C" void* tpk_probe_load(PluginDescriptor* descriptor);
extern "C" void* tpk_peer_load(PluginDescriptor* descriptor);

namespace PluginHostTest {

// A host with the probe loaded through a SlotRecorder (and, on request, the peer loaded bare),
// each with its plugin object at hand for steering before it starts. The core is 18.3.1 unless
// told otherwise.
struct HostedPair {
  explicit HostedPair(Host::HostMode mode = Host::HostMode::Manual,
                      Host::CoreVersion version = {18, 3, 1}) {
    Host::HostOptions options;
    options.mode = mode;
    options.coreVersion = version;
    options.logSink = logs;
    host = std::make_unique<Host::Host>(options);
    recorder.Arm();
    probeId = LoadInto(&SlotRecorder::Load<&tpk_probe_load>, "probe", probe);
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

  SlotRecorder recorder;  // declared before the host: it outlives the modules it stands before
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
