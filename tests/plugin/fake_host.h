// A host of the tests' own: a HostApi table whose every slot records the call (thread-safe)
// and answers from a script, plus helpers that drive a plugin the way a host does: load it
// through the export helper, start it, deliver events to its subscriptions, run its jobs,
// unload it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/types/host_value.h"
#include "codec/json.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_export.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Plugin::Testing {

// A value as compact JSON ("<unreadable>" when the host value does not convert).
inline std::string JsonOf(const HostValue& value) {
  Binding::BindingProperty property;
  Binding::ValueResult result;
  if (!Binding::FromHostValue(value, property, result, "value")) return "<unreadable>";
  return Codec::WriteJson(property, nullptr, nullptr);
}

// An owned host value built from JSON text.
class JsonHostValue {
 public:
  explicit JsonHostValue(const char* json) {
    Binding::ValueResult parsed = Codec::ParseJson(json);
    EXPECT_TRUE(parsed.Ok()) << json;
    EXPECT_TRUE(Binding::ToHostValue(parsed.Value(), nullptr, value));
  }
  JsonHostValue(const JsonHostValue&) = delete;
  JsonHostValue& operator=(const JsonHostValue&) = delete;
  ~JsonHostValue() { Binding::ReleaseHostValue(value); }
  HostValue value{};
};

struct Subscription {
  std::string name;
  uint32_t handle = 0;
  HostEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t flag = 0;
};

struct Published {
  std::string name;
  std::string payload;  // JSON
  uint32_t flags = 0;
  void* context = nullptr;
};

struct ScheduledJob {
  std::string name;
  HostJobCallback callback = nullptr;
  void* context = nullptr;
  double delay = -1;
  uint32_t flag = 0;
};

struct ApiCall {
  uint32_t method = 0;
  std::string target;
  std::vector<std::pair<std::string, std::string>> arguments;  // name, JSON
  void* callerContext = nullptr;
};

struct ExternalCall {
  uint32_t method = 0;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  uint32_t timeout = 0;
  uint32_t flags = 0;
};

// Counts the response records the plugin released.
inline std::atomic<int> gFreedResponses{0};
inline void FreeFakeResponse(ApiResponseRecord* record) {
  ++gFreedResponses;
  Binding::ReleaseHostValue(record->value);
  std::free(record->errorMessage);
  record->errorMessage = nullptr;
}

// Fills a response record as a host would: a value, optionally an error and a status.
inline void AnswerValue(ApiResponseRecord& record, const char* json, uint32_t status = 200) {
  Binding::ValueResult parsed = Codec::ParseJson(json);
  EXPECT_TRUE(Binding::ToHostValue(parsed.Value(), nullptr, record.value));
  record.status = status;
  record.free = &FreeFakeResponse;
}
inline void AnswerError(ApiResponseRecord& record, const char* message, uint32_t status) {
  record.errorMessage = message != nullptr ? strdup(message) : nullptr;
  record.error = 1;
  record.status = status;
  record.free = &FreeFakeResponse;
}

class FakeHost {
 public:
  explicit FakeHost(uint32_t handle = 0x5A5A) {
    table_.self = this;
    table_.api = HostApi{&SendRequestSlot, &SendExternalSlot, &PublishSlot, &SubscribeSlot,
                         &UnsubscribeSlot, &ScheduleSlot,     &YieldSlot,   &MarkWaitSlot,
                         &EndWaitSlot,     &LogSlot};
    context_ = HostContext{&table_.api, handle};
  }
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  [[nodiscard]] const HostContext* Context() const { return &context_; }
  [[nodiscard]] HostApi& Api() { return table_.api; }

  // Scripts; set before the plugin runs.
  std::function<void(ApiResponseRecord&, const ApiRequestRecord&)> answerRequest;
  std::function<void(ExternalResponseRecord&, const ExternalRequestRecord&)> answerExternal;
  // Runs in UnsubscribeEvent before it returns, as a host that waits there for deliveries.
  std::function<void(const char* name)> onUnsubscribe;

  // The order of host calls, one word per call ("Subscribe:<name>", "Yield", ...).
  [[nodiscard]] std::vector<std::string> Calls() const { return Locked(calls_); }
  [[nodiscard]] std::vector<Subscription> Subscriptions() const { return Locked(subscriptions_); }
  [[nodiscard]] std::vector<std::string> Unsubscriptions() const {
    return Locked(unsubscriptions_);
  }
  [[nodiscard]] std::vector<Published> PublishedEvents() const { return Locked(published_); }
  [[nodiscard]] std::vector<ScheduledJob> Jobs() const { return Locked(jobs_); }
  [[nodiscard]] std::vector<ApiCall> Requests() const { return Locked(requests_); }
  [[nodiscard]] std::vector<ExternalCall> Externals() const { return Locked(externals_); }
  [[nodiscard]] std::vector<std::pair<int32_t, std::string>> Logs() const { return Locked(logs_); }

  // The latest subscription of `name` (empty when there is none).
  [[nodiscard]] Subscription Latest(std::string_view name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Subscription latest;
    for (const Subscription& subscription : subscriptions_) {
      if (subscription.name == name) latest = subscription;
    }
    return latest;
  }

  // Calls the callback of the latest subscription of `name` with `payload`, as the host does;
  // false when nothing subscribed that name.
  bool Deliver(std::string_view name, const HostValue& payload, const char* recordName = nullptr) {
    const Subscription target = Latest(name);
    if (target.callback == nullptr) return false;
    HostEvent event{};
    event.name = recordName != nullptr ? recordName : target.name.c_str();
    event.payload = payload;
    event.context = target.context;
    target.callback(&event);
    return true;
  }
  bool DeliverJson(std::string_view name, const char* json) {
    JsonHostValue payload(json);
    return Deliver(name, payload.value);
  }

  // Runs the job scheduled `index`-th, as the host does when its delay has passed.
  void RunJob(size_t index) {
    ScheduledJob job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ASSERT_LT(index, jobs_.size());
      job = jobs_[index];
    }
    job.callback(job.context);
  }

 private:
  struct SlotTable {
    HostApi api;  // first: the plugin passes the table's address back
    FakeHost* self;
  };
  static FakeHost& Self(const HostApi* api) {
    return *reinterpret_cast<const SlotTable*>(api)->self;
  }
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }
  // Records `call` and, when given, appends `item` to `list`, under the lock.
  template <typename T = int>
  void Record(std::string call, std::vector<T>* list = nullptr, T item = T()) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    if (list != nullptr) list->push_back(std::move(item));
  }

  static int32_t SendRequestSlot(const HostApi* api, ApiResponseRecord* response,
                                 const ApiRequestRecord* request) {
    FakeHost& host = Self(api);
    ApiCall call{request->method, request->target, {}, request->callerContext};
    for (uint32_t i = 0; i < request->nativeArgumentCount; ++i) {
      call.arguments.emplace_back(request->nativeArguments[i].name,
                                  JsonOf(request->nativeArguments[i].value));
    }
    host.Record("SendRequest:" + std::string(request->target), &host.requests_, std::move(call));
    if (host.answerRequest) {
      host.answerRequest(*response, *request);
    } else {
      AnswerError(*response, "no such route", 404);
    }
    return 0;
  }
  static int32_t SendExternalSlot(const HostApi* api, ExternalResponseRecord* response,
                                  const ExternalRequestRecord* request) {
    FakeHost& host = Self(api);
    ExternalCall call{request->method, request->url, {}, {}, request->timeout, request->flags};
    for (uint32_t i = 0; i < request->headerCount; ++i)
      call.headers.emplace_back(request->headers[i].name, request->headers[i].value);
    call.body.assign(reinterpret_cast<const char*>(request->body), request->bodyLength);
    host.Record("SendExternalRequest", &host.externals_, std::move(call));
    if (host.answerExternal) host.answerExternal(*response, *request);
    return 0;
  }
  static int32_t PublishSlot(const HostApi* api, const HostEvent* event) {
    FakeHost& host = Self(api);
    host.Record("PublishEvent:" + std::string(event->name), &host.published_,
                Published{event->name, JsonOf(event->payload), event->flags, event->context});
    return 0;
  }
  static int32_t SubscribeSlot(const HostApi* api, const char* name, uint32_t handle,
                               HostEventCallback callback, void* context, uint32_t flag) {
    FakeHost& host = Self(api);
    host.Record("SubscribeEvent:" + std::string(name), &host.subscriptions_,
                Subscription{name, handle, callback, context, flag});
    return 0;
  }
  static int32_t UnsubscribeSlot(const HostApi* api, const char* name, uint32_t handle) {
    FakeHost& host = Self(api);
    if (host.onUnsubscribe) host.onUnsubscribe(name);
    host.Record("UnsubscribeEvent:" + std::string(name) + ":" + std::to_string(handle),
                &host.unsubscriptions_, std::string(name));
    return 0;
  }
  static int32_t ScheduleSlot(const HostApi* api, const char* name, HostJobCallback callback,
                              void* context, double delay, uint32_t flag) {
    FakeHost& host = Self(api);
    host.Record("ScheduleJob:" + std::string(name), &host.jobs_,
                ScheduledJob{name, callback, context, delay, flag});
    return 0;
  }
  static int32_t YieldSlot(const HostApi* api) {
    Self(api).Record("Yield");
    return 0;
  }
  static int32_t MarkWaitSlot(const HostApi* api, const char* text, int32_t value) {
    Self(api).Record("MarkWait:" + std::string(text) + ":" + std::to_string(value));
    return 0;
  }
  static int32_t EndWaitSlot(const HostApi* api) {
    Self(api).Record("EndWait");
    return 0;
  }
  static int32_t LogSlot(const HostApi* api, int32_t level, const char* message) {
    FakeHost& host = Self(api);
    std::lock_guard<std::mutex> lock(host.mutex_);
    host.logs_.emplace_back(level, message);
    return 0;
  }

  SlotTable table_{};
  HostContext context_{};
  mutable std::mutex mutex_;  // guards every recorded list below
  std::vector<std::string> calls_;
  std::vector<Subscription> subscriptions_;
  std::vector<std::string> unsubscriptions_;
  std::vector<Published> published_;
  std::vector<ScheduledJob> jobs_;
  std::vector<ApiCall> requests_;
  std::vector<ExternalCall> externals_;
  std::vector<std::pair<int32_t, std::string>> logs_;
};

// A plugin whose feature hooks are set by the test.
class TestPlugin final : public PluginBase {
 public:
  void RegisterApi() override {
    if (registerApi) registerApi(*this);
  }
  bool OnStart() override {
    if (onStart) onStart(*this);
    return startResult;
  }

  std::function<void(TestPlugin&)> registerApi;
  std::function<void(TestPlugin&)> onStart;
  bool startResult = true;
};

// Loads, starts and finally unloads one TestPlugin against a FakeHost.
class PluginTest : public ::testing::Test {
 protected:
  void TearDown() override { Unload(); }

  TestPlugin& Load(uint32_t major = 18, uint32_t minor = 0, uint32_t patch = 0) {
    descriptor = PluginDescriptor{};
    descriptor.major = major;
    descriptor.minor = minor;
    descriptor.patch = patch;
    void* loaded = ExportPlugin<TestPlugin>(&descriptor, "qel-mhx");
    EXPECT_NE(loaded, nullptr);
    plugin = static_cast<TestPlugin*>(loaded);
    return *plugin;
  }
  // Loads (unless loaded), sets the start hook and starts.
  TestPlugin& Start(std::function<void(TestPlugin&)> onStart = {}) {
    if (plugin == nullptr) Load();
    plugin->onStart = std::move(onStart);
    EXPECT_EQ(descriptor.callbacks->Start(descriptor.context, host.Context()), 1);
    return *plugin;
  }
  void Unload() {
    if (plugin == nullptr) return;
    descriptor.callbacks->Unload(descriptor.context);
    plugin = nullptr;
  }

  FakeHost host;
  PluginDescriptor descriptor{};
  TestPlugin* plugin = nullptr;
};

// Collects trace lines while alive (one at a time per process).
class TraceCapture {
 public:
  TraceCapture() {
    Lines().clear();
    SetTraceHook(&Collect);
  }
  ~TraceCapture() { SetTraceHook(nullptr); }
  [[nodiscard]] static std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }

 private:
  static void Collect(const char* text) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(text);
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
};

}  // namespace Oxle::Client::Plugin::Testing
