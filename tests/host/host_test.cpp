// The host core driven by its hand-written test module: loading, routing, the HostApi slots,
// the resource store, events and their observers, jobs on the manual clock, the transport,
// unloading, and the threaded host with several callers at once (every wait bounded, no sleeps).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <set>
#include <thread>

#include "core/host.h"
#include "core/resource_store.h"
#include "core/scheduler.h"
#include "support/host_values.h"
#include "test_module.h"

namespace {

using namespace Oxle::Client;
using namespace Oxle::Client::Host;
using HostValues::Json;
using HostValues::Lines;
using HostValues::Recorder;
using HostValues::Signal;
using TestModule::Module;

// A host with the linked-in test module loaded, and started unless asked (manual mode unless
// asked).
struct TestHost {
  explicit TestHost(bool start = true, HostMode mode = HostMode::Manual, CoreVersion version = {})
      : host(std::make_unique<Host::Host>(HostOptions{version, mode, 2, logs, nullptr})) {
    id = host->LoadModule(&tpk_test_module_load, "linked test module").Value();
    module = static_cast<Module*>(host->Module(id).Value().object);
    EXPECT_TRUE(!start || Start().Ok());
  }
  Status Start() { return host->StartModule(id); }
  ApiCallResult Call(uint32_t method, std::string target, std::string methodName = "") {
    return host->Call({method, std::move(target), std::move(methodName), {}, "", std::nullopt});
  }
  // Another copy of the test module, started, changed by `change` after its export ran.
  Module* LoadAnother(void* (*change)(PluginDescriptor*)) {
    const auto id = host->LoadModule(change, "another");
    EXPECT_TRUE(id.Ok() && host->StartModule(id.Value()).Ok());
    return static_cast<Module*>(host->Module(id.Value()).Value().object);
  }
  [[nodiscard]] Lines LogLines() const { return HostValues::LogLines(*logs); }
  std::shared_ptr<MemoryLogSink> logs = std::make_shared<MemoryLogSink>();
  std::unique_ptr<Host::Host> host;
  ModuleId id = 0;
  Module* module = nullptr;
};

// ---- loading ----

TEST(HostLoad, UnloadCallsTheModuleOnceAndAStartThatFailsOrThrowsIsReported) {
  const int before = TestModule::gUnloads;
  {
    TestHost loaded;
    ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());
    EXPECT_EQ(TestModule::gUnloads, before + 1);
    const ModuleInfo info = loaded.host->Module(loaded.id).Value();
    EXPECT_TRUE(info.state == ModuleState::Unloaded && !info.object && !info.exportTable);
    EXPECT_EQ(loaded.host->UnloadModule(loaded.id).ErrorMessage(),
              "Module 'test' is already unloaded");
    EXPECT_EQ(loaded.host->UnloadModule(999).ErrorMessage(), "No module has the id 999");
    EXPECT_EQ(loaded.host->GetMemoryStats(loaded.id).ErrorMessage(), "Module 'test' is unloaded");
    TestHost left(false);
  }
  EXPECT_EQ(TestModule::gUnloads, before + 2);
  // A start that fails or throws is reported; a started module has its own handle.
  TestHost refusing(false);
  refusing.module->onStart = [] { return uint8_t{0}; };
  EXPECT_EQ(refusing.Start().ErrorMessage(), "Module 'test' did not start");
  EXPECT_EQ(refusing.host->Module(refusing.id).Value().state, ModuleState::StartFailed);
  EXPECT_EQ(refusing.Call(2, "/test/v1/echo/x").status, 404u);
  TestHost throwing(false);
  throwing.module->onStart = []() -> uint8_t { throw std::runtime_error("start exploded"); };
  EXPECT_EQ(throwing.Start().ErrorMessage(), "Module 'test' threw from Start: start exploded");
  // A started module has its own handle and table, and starts once.
  TestHost loaded;
  Module* other = loaded.LoadAnother(&tpk_test_module_load);
  EXPECT_EQ(std::pair(loaded.module->handle, other->handle), std::pair(loaded.id, loaded.id + 1));
  EXPECT_NE(loaded.module->api, other->api);
  EXPECT_EQ(loaded.Start().ErrorMessage(), "Module 'test' was already started or unloaded");
}

TEST(HostLoad, ByPathLoadsTheSharedObjectAndABadPathExportOrDescriptorFailsWithAClearError) {
  Host::Host host({{}, HostMode::Manual, 1, nullptr, nullptr});
  auto loaded = host.LoadModule(TPK_TEST_MODULE_PATH, "tpk_test_module_load");
  ASSERT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
  EXPECT_EQ(host.Module(loaded.Value()).Value().origin, TPK_TEST_MODULE_PATH);
  ASSERT_TRUE(host.StartModule(loaded.Value()).Ok());
  EXPECT_EQ(Json(host.Call({2, "/test/v1/echo/abc", "", {}, "", std::nullopt}).value),
            "\"GET /test/v1/echo/abc 0\"");
  EXPECT_TRUE(host.UnloadModule(loaded.Value()).Ok());
  const std::string missing =
      host.LoadModule("/nonexistent/module.so", "tpk_test_module_load").ErrorMessage();
  const std::string noExport =
      host.LoadModule(TPK_TEST_MODULE_PATH, "no_such_export").ErrorMessage();
  const std::string noExportPrefix =
      std::string("Couldn't find export 'no_such_export' in module '") + TPK_TEST_MODULE_PATH +
      "': ";
#ifdef _WIN32
  // The system's wording differs between versions (and Wine); its error codes do not.
  EXPECT_TRUE(missing.starts_with("Couldn't load module '/nonexistent/module.so': ") &&
              missing.ends_with(" (error 126)"))
      << missing;
  EXPECT_TRUE(noExport.starts_with(noExportPrefix) && noExport.ends_with(" (error 127)"))
      << noExport;
#else
  EXPECT_EQ(missing,
            "Couldn't load module '/nonexistent/module.so': /nonexistent/module.so: cannot open "
            "shared object file: No such file or directory");
  EXPECT_EQ(noExport, noExportPrefix + TPK_TEST_MODULE_PATH + ": undefined symbol: no_such_export");
#endif
  // Bad descriptors fail with a clear error, and nothing leaks.
  // Rows: the fault, the error, whether the host could hand the object back through Unload.
  const std::tuple<TestModule::Options, const char*, bool> cases[] = {
      {{.nullShortName = true}, "Module 'bad' gave no short name", true},
      {{.nullCallbacks = true}, "Module 'bad' filled in no callback table", false},
      {{.nullEntryArray = true}, "Module 'test' exports 4 API entries but no entry array", true},
      {{.throws = true}, "The export of module 'bad' threw: export exploded", false},
  };
  for (const auto& [options, error, unloaded] : cases) {
    TestModule::gNext = options;
    const int before = TestModule::gUnloads;
    EXPECT_EQ(host.LoadModule(&tpk_test_module_load, "bad").ErrorMessage(), error);
    TestModule::gNext = {};
    EXPECT_EQ(TestModule::gUnloads, before + (unloaded ? 1 : 0)) << error;
    if (!unloaded && !options.throws) delete TestModule::gLast;
  }
  EXPECT_EQ(host.LoadModule(nullptr, "none").ErrorMessage(),
            "The export function of module 'none' is null");
}

TEST(HostLoad, TheDescriptorCarriesTheVersionsBrokenEntriesAreSkippedWithAWarningAndStatsAreRead) {
  TestHost loaded(false, HostMode::Manual, CoreVersion{18, 4, 7});
  // The module got the core's version and empty words of its own, and the host its version.
  const PluginDescriptor& in = loaded.module->received;
  const ModuleInfo info = loaded.host->Module(loaded.id).Value();
  const CoreVersion& v = info.moduleVersion;
  EXPECT_EQ(std::tuple(in.major, in.minor, in.patch, in.callbacks, v.major, v.minor, v.patch),
            std::tuple(18u, 4u, 7u, nullptr, 18u, 1u, 2u));
  EXPECT_EQ(info.shortName + " " + info.origin, "test linked test module");
  EXPECT_EQ(std::tuple(info.exportTable, info.routeCount, info.state),
            std::tuple(&loaded.module->table, TestModule::kRouteCount, ModuleState::Loaded));
  auto id = loaded.host->LoadModule(
      [](PluginDescriptor* descriptor) {
        void* object = tpk_test_module_load(descriptor);
        static_cast<Module*>(object)->entries[1].callback = nullptr;
        static_cast<Module*>(object)->entries[2].pathTemplate = nullptr;
        return object;
      },
      "broken");
  EXPECT_EQ(loaded.host->Module(id.Value()).Value().routeCount, 2u);
  EXPECT_EQ(loaded.LogLines(),
            (Lines{"1 <host>: Module 'test': export entry 1 (PostTestV1Fail) has no callback; it "
                   "is not routed",
                   "1 <host>: Module 'test': export entry 2 (GetTestV1Throw) has no path "
                   "template; it is not routed"}));
  // The counters combine the low and the high word.
  EXPECT_EQ(loaded.host->GetMemoryStats(loaded.id).Value(),
            (ModuleMemoryStats{0x100000001ull, 2, 3, 4, 5, 6}));
}

// ---- API calls ----

TEST(HostRequests, RouteByMethodAndTemplateOrAnswer404Or405WithAllow) {
  TestHost loaded;
  // A second module serves /test/v1/fail for DELETE and for POST, as the first does.
  loaded.LoadAnother([](PluginDescriptor* descriptor) {
    void* object = tpk_test_module_load(descriptor);
    ApiExportEntry* entries = static_cast<Module*>(object)->entries;
    entries[2] = entries[1];
    entries[2].method = 1;
    entries[2].function.next = &entries[3].function;
    return object;
  });
  (void)loaded.host->SetResource("/qel-login/v1/session", Json(R"({"state":"SUCCEEDED"})"));
  // Rows: method, target, method name, status, the value as JSON (or the error message and the
  // text), the headers.
  using Case = std::tuple<uint32_t, const char*, const char*, uint32_t, const char*, const char*>;
  const Case cases[] = {
      {2, "/test/v1/echo/a%20b?x=1", "", 200, "\"GET /test/v1/echo/a%20b?x=1 0\"", "x-test: yes"},
      {6, "/test/v1/fail", "", 418, "the test route failed / teapot", ""},
      {2, "/test/v1/throw", "", 500, "Module 'test' threw from GET /test/v1/throw: route exploded",
       ""},
      {2, "/qel-login/v1/session?x=y", "", 200, R"({"state":"SUCCEEDED"})", ""},
      {7, "/qel-login/v1/session", "", 404,
       "No API function or resource answers PUT /qel-login/v1/session", ""},
      {2, "/test/v1/fail?x=1", "", 405,
       "GET is not served at /test/v1/fail (allowed: DELETE, POST)", "Allow: DELETE, POST"},
      {8, "/test/v1/echo/a", "BREW", 405, "BREW is not served at /test/v1/echo/a (allowed: GET)",
       "Allow: GET"},
      {2, "/test/v1/echo/a/b", "", 404, "No API function or resource answers GET /test/v1/echo/a/b",
       ""},
      {42, "/nowhere", "", 404, "No API function or resource answers method 42 /nowhere", ""},
  };
  for (const auto& [method, target, methodName, status, answer, expectedHeaders] : cases) {
    const ApiCallResult call = loaded.Call(method, target, methodName);
    EXPECT_EQ(call.failed, status >= 400) << target;
    EXPECT_EQ(call.status, status) << target;
    EXPECT_EQ(call.failed ? call.errorMessage + (call.text.empty() ? "" : " / " + call.text)
                          : Json(call.value) + call.text,
              answer);
    std::string headers;
    for (const auto& [name, value] : call.headers)
      headers += name + ": " + value;
    EXPECT_EQ(headers, expectedHeaders) << target;
    EXPECT_FALSE(call.body.has_value());
  }
  // A body stream is read to its end and released.
  const ApiCallResult body = loaded.Call(2, "/test/v1/body");
  ASSERT_EQ(body.body.value_or("").size(), TestModule::kBodySize);
  EXPECT_EQ(body.body->substr(0, 12) + body.body->substr(TestModule::kBodySize - 3),
            "012345678901789");
}

TEST(HostRequests, AModulesSendRequestGetsAHostOwnedCopyAndNullRecordsAreErrors) {
  TestHost loaded;
  const HostApi* api = loaded.module->api;
  ApiRequestRecord request{};
  ApiResponseRecord response{};
  EXPECT_EQ(api->SendRequest(api, nullptr, &request) + api->SendRequest(api, &response, nullptr),
            -2);
  EXPECT_EQ(api->SendRequest(api, &response, &request), 0);
  EXPECT_EQ(uint32_t{response.status}, 400u);
  EXPECT_STREQ(response.errorMessage, "The request has no target");
  response.free(&response);
  EXPECT_EQ(loaded.LogLines(),
            (Lines{"2 <host>: Module 'test': SendRequest called with a null response record",
                   "2 <host>: Module 'test': SendRequest called with a null request record"}));
  request.method = 2;
  request.target = "/test/v1/echo/z";
  request.callerContext = reinterpret_cast<void*>(static_cast<uintptr_t>(loaded.module->handle));
  std::memset(&response, 0xAB, sizeof response);  // the host must not read what was there
  EXPECT_EQ(api->SendRequest(api, &response, &request), 0);
  ApiResponseRecord body{};
  request.target = "/test/v1/body";
  EXPECT_EQ(api->SendRequest(api, &body, &request), 0);
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());  // the callee's memory is gone
  // The copied body is read whole in one call, then released and freed.
  std::string bytes(TestModule::kBodySize + 1, '-');
  uint32_t length = static_cast<uint32_t>(bytes.size());
  uint8_t more = 1;
  EXPECT_EQ(body.readBody(body.bodyStream, bytes.data(), &length, &more), 1);
  EXPECT_EQ(std::tuple(length, more, bytes.substr(TestModule::kBodySize - 3)),
            std::tuple(TestModule::kBodySize, uint8_t{0}, std::string("789-")));
  body.releaseBody(body.bodyStream);
  body.free(&body);
  EXPECT_EQ(uint32_t{response.status} + response.error, 200u);
  EXPECT_EQ(Json(response.value), "\"GET /test/v1/echo/z " + std::to_string(loaded.id) + "\"");
  ASSERT_EQ(uint32_t{response.headerCount}, 1u);
  EXPECT_STREQ(response.headers[0].name, "x-test");
  response.free(&response);
  EXPECT_EQ(ApiResponseFreeCallback{response.free}, nullptr);
}

// ---- events, resources and observers ----

// A removed observer is not called and handles are not reused; store changes are published under
// both names and observed once, as they happen; an unload drops the subscriptions its module left
// behind.
TEST(HostEvents, ObserversAndSubscriptionsComeAndGoAndStoreChangesGoOutUnderBothNames) {
  TestHost loaded;
  Recorder first, second;
  const ObserverHandle a = loaded.host->AddEventObserver(first.Observer());
  const ObserverHandle b = loaded.host->AddEventObserver(second.Observer());
  int selfCalls = 0;
  ObserverHandle self = 0;
  self = loaded.host->AddEventObserver([&](const ObservedEvent&) {
    ++selfCalls;
    EXPECT_TRUE(loaded.host->RemoveEventObserver(self));  // from inside its own call
  });
  EXPECT_NE(a, b);
  loaded.host->PublishEvent("One", Json("1"));
  EXPECT_TRUE(loaded.host->RemoveEventObserver(a) && !loaded.host->RemoveEventObserver(a) &&
              !loaded.host->RemoveEventObserver(self + 100));
  loaded.host->PublishEvent("Two", Json("2"));
  EXPECT_GT(loaded.host->AddEventObserver(first.Observer()), self);
  EXPECT_EQ(first.lines, (Lines{"One|||1|0"}));
  EXPECT_EQ(second.lines, (Lines{"One|||1|0", "Two|||2|0"}));
  EXPECT_EQ(selfCalls, 1);
  Recorder recorder;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  ASSERT_EQ(loaded.module->Subscribe("OnJsonApiEvent_qel-login_v1_session"), 0);
  ASSERT_EQ(loaded.module->Subscribe("OnJsonApiEvent"), 0);
  EXPECT_EQ(loaded.host->SetResource("qel-login/v1/session", Json("1")), ResourceChange::Create);
  EXPECT_EQ(loaded.host->SetResource("//qel-login/v1/session", Json("2")), ResourceChange::Update);
  EXPECT_TRUE(loaded.host->DeleteResource("qel-login/v1/session"));
  EXPECT_FALSE(loaded.host->DeleteResource("/qel-login/v1/session"));  // nothing stored: unseen
  const std::string name = "OnJsonApiEvent_qel-login_v1_session|/qel-login/v1/session|";
  EXPECT_EQ(recorder.lines, (Lines{name + "Create|1|0", name + "Update|2|0", name + "Delete||0"}));
  // Six deliveries and One and Two; the deliveries themselves are not observed again.
  EXPECT_EQ(loaded.host->RunDueWork(), 8u);
  EXPECT_EQ(std::pair(recorder.lines.size(), loaded.module->events.load()),
            std::pair(size_t{3}, 6));
  // An unload drops the subscriptions its module left behind.
  Module* other = loaded.LoadAnother(&tpk_test_module_load);
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  // Found after another module's subscription, then not found among them.
  const int32_t results[] = {other->Subscribe("E"), other->Unsubscribe("E"),
                             other->Unsubscribe("E"), other->Subscribe("E")};
  EXPECT_EQ(std::vector<int32_t>(results, results + 4), (std::vector<int32_t>{0, 0, -1, 0}));
  loaded.host->PublishEvent("E", Json("1"));
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());  // the queued delivery must skip it
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(other->events, 1);
}

TEST(HostEvents, BadEventRecordsFromAModuleAreRefusedWithAClearError) {
  TestHost loaded;
  const HostApi* api = loaded.module->api;
  HostValue bad{};
  bad.kind = 42;
  const HostEvent unnamed{nullptr, {}, 0, nullptr}, badPayload{"E", bad, 0, nullptr};
  const auto callback = &Module::EventCallback;
  Module* module = loaded.module;
  const int32_t results[] = {api->PublishEvent(api, nullptr),
                             api->PublishEvent(api, &unnamed),
                             api->PublishEvent(api, &badPayload),
                             api->SubscribeEvent(api, nullptr, loaded.id, callback, module, 0),
                             api->SubscribeEvent(api, "E", loaded.id, nullptr, module, 0),
                             api->SubscribeEvent(api, "E", loaded.id + 1, callback, module, 0),
                             api->UnsubscribeEvent(api, nullptr, loaded.id),
                             api->UnsubscribeEvent(api, "E", loaded.id + 1),
                             api->UnsubscribeEvent(api, "E", loaded.id),
                             api->PublishEvent(nullptr, &unnamed)};
  EXPECT_EQ(std::set<int32_t>(results, results + 10), std::set<int32_t>{-1});
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  const std::string error = "2 <host>: Module 'test': ";
  const std::string handles = " with plugin handle " + std::to_string(loaded.id + 1) +
                              ", not its own " + std::to_string(loaded.id);
  EXPECT_EQ(loaded.LogLines(),
            (Lines{error + "PublishEvent called with a null event",
                   error + "PublishEvent called with an event without a name",
                   error + "PublishEvent of 'E' dropped: Couldn't assign value to 'payload' of "
                           "type object because the input is of an incompatible type ''.",
                   error + "SubscribeEvent called without an event name",
                   error + "SubscribeEvent of 'E' called without a callback",
                   error + "SubscribeEvent of 'E'" + handles,
                   error + "UnsubscribeEvent called without an event name",
                   error + "UnsubscribeEvent of 'E'" + handles,
                   "1 <host>: Module 'test': UnsubscribeEvent of 'E', which it has no "
                   "subscription to"}));
}

TEST(HostEvents,
     SubscribersGetThePayloadAtThePumpASecondSubscriptionReplacesTheFirstAndThrowsAreLogged) {
  TestHost loaded;
  int first = 0;
  auto firstCallback = [](const HostEvent* event) { ++*static_cast<int*>(event->context); };
  const HostApi* api = loaded.module->api;
  ASSERT_EQ(api->SubscribeEvent(api, "E", loaded.id, firstCallback, &first, 0), 0);
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  loaded.module->onEvent = [&](const HostEvent& event) {
    EXPECT_EQ(event.context, loaded.module);
    throw std::runtime_error(Json(event.payload) + " " + std::to_string(event.flags));
  };
  Recorder recorder;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  loaded.host->PublishEvent("Pong", Json("2"), 5);
  (void)loaded.host->AddEventObserver(
      [](const ObservedEvent&) { throw std::runtime_error("observer exploded"); });
  (void)loaded.host->AddEventObserver([](const ObservedEvent&) { throw 7; });
  loaded.host->PublishEvent("E", Json(R"({"n":1})"), 5);
  EXPECT_EQ(recorder.lines, (Lines{"Pong|||2|5", R"(E|||{"n":1}|5)"}));
  EXPECT_EQ(loaded.module->events, 0);  // manual mode: nothing before the pump
  EXPECT_EQ(loaded.host->RunDueWork(), 2u);
  EXPECT_EQ(std::pair(first, loaded.module->events.load()), std::pair(0, 1));
  EXPECT_EQ(loaded.LogLines(),
            (Lines{"2 <host>: An event observer threw for event 'E': observer exploded",
                   "2 <host>: An event observer threw for event 'E'",
                   R"(2 <host>: Module 'test' threw from its callback for event 'E': {"n":1} 5)"}));
}

TEST(ResourceStore, AppliesResourceEventPayloadsByNameOrNumberAndIgnoresAnyOtherShape) {
  ResourceStore store;
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/r","eventType":"Create","data":{"a":1}})")));
  EXPECT_EQ(Json(*store.Get("r")), R"({"a":1})");
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"r","eventType":1,"data":[2]})")));
  EXPECT_EQ(Json(*store.Get("/r")), "[2]");
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/r","eventType":"Delete","data":null})")));
  EXPECT_FALSE(store.Get("/r").has_value());
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/s","eventType":0})")));
  EXPECT_EQ(store.Get("/s")->Kind(), Binding::ValueKind::Empty);
  EXPECT_TRUE(store.Delete("/s"));
  for (const char* ignored :
       {R"([1])", R"({"eventType":"Create","data":1})", R"({"uri":"","eventType":"Create"})",
        R"({"uri":7,"eventType":"Create"})", R"({"uri":"/r","data":1})",
        R"({"uri":"/r","eventType":"Created"})", R"({"uri":"/r","eventType":3})",
        R"({"uri":"/r","eventType":-1})", R"({"uri":"/r","eventType":4294967296})",
        R"({"uri":"/r","eventType":true})"}) {
    EXPECT_FALSE(store.Apply(Json(ignored))) << ignored;
  }
  EXPECT_EQ(store.Size(), 0u);
}

// ---- jobs and the scheduler ----

// Jobs run once when due on the manual clock; a throwing one is logged and bad records refused;
// a job scheduled before or during an unload never runs, and no module unloads itself.
TEST(HostJobs, RunOnceWhenDueAndNeverAfterTheirModulesUnloadWhichNoJobOfItsOwnCanDo) {
  TestHost loaded;
  for (const double delay : {1.5, 0.0, -3.0, std::nan(""), std::numeric_limits<double>::infinity()})
    ASSERT_EQ(loaded.module->Schedule("job", delay), 0);
  EXPECT_EQ(loaded.host->RunDueWork(), 3u);
  EXPECT_EQ(loaded.host->PendingJobCount(), 2u);
  EXPECT_TRUE(loaded.host->AdvanceClock(std::chrono::milliseconds(1499)));
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  EXPECT_TRUE(loaded.host->AdvanceClock(std::chrono::milliseconds(1)));
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  EXPECT_EQ(loaded.module->jobs, 4);
  EXPECT_EQ(loaded.host->PendingJobCount(), 1u);  // the infinite one, clamped, never overflowed
  loaded.module->onJob = [] { throw std::runtime_error("job exploded"); };
  ASSERT_EQ(loaded.module->Schedule("boom", 0), 0);
  const HostApi* api = loaded.module->api;
  EXPECT_EQ(api->ScheduleJob(api, nullptr, &Module::JobCallback, loaded.module, 0, 0), -1);
  EXPECT_EQ(api->ScheduleJob(api, "j", nullptr, loaded.module, 0, 0), -1);
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(loaded.LogLines(),
            (Lines{"2 <host>: Module 'test': ScheduleJob called without a job name",
                   "2 <host>: Module 'test': ScheduleJob of 'j' called without a callback",
                   "2 <host>: Module 'test' threw from job 'boom': job exploded"}));
  std::string error;
  loaded.module->onJob = [&] { error = loaded.host->UnloadModule(loaded.id).ErrorMessage(); };
  ASSERT_EQ(loaded.module->Schedule("self-unload", 0), 0);
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(error, "Module 'test' can't be unloaded from inside one of its own callbacks");
  EXPECT_EQ(loaded.host->Module(loaded.id).Value().state, ModuleState::Started);
  ASSERT_EQ(loaded.module->Schedule("pending", 0), 0);
  ASSERT_EQ(loaded.module->Schedule("later", 10), 0);
  int scheduledWhileUnloading = 0;
  loaded.module->onUnload = [&] {
    scheduledWhileUnloading = loaded.module->Schedule("during unload", 0);
  };
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());
  EXPECT_EQ(std::pair(scheduledWhileUnloading, loaded.host->PendingJobCount()),
            std::pair(-1, size_t{0}));
  (void)loaded.host->AdvanceClock(std::chrono::seconds(20));
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
}

TEST(Scheduler, RunsEventsInOrderThenDueJobsByDueTimeWithinTheLimit) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  Lines ran;
  const auto note = [&](const char* text) { return [&ran, text] { ran.push_back(text); }; };
  scheduler.Schedule(1, std::chrono::seconds(2), note("job at 2"));
  scheduler.Schedule(1, std::chrono::seconds(1), note("job at 1"));
  scheduler.Schedule(2, std::chrono::seconds(0), note("job a at 0"));
  scheduler.Schedule(2, std::chrono::seconds(0), note("job b at 0"));
  scheduler.Schedule(3, std::chrono::seconds(0), note("cancelled"));
  scheduler.Post([&] {
    ran.push_back("event 1");
    scheduler.Post(note("event 3, posted by event 1"));
  });
  scheduler.Post([] { throw std::runtime_error("boom"); });
  scheduler.Post(note("event 2"));
  EXPECT_EQ(scheduler.Cancel(3), 1u);
  EXPECT_EQ(scheduler.Cancel(3), 0u);
  EXPECT_EQ(scheduler.RunDue(5), 5u);
  EXPECT_EQ(ran, (Lines{"event 1", "event 2", "event 3, posted by event 1", "job a at 0"}));
  EXPECT_EQ(scheduler.RunDue(100), 1u);
  EXPECT_EQ(ran.back(), "job b at 0");
  EXPECT_EQ(scheduler.PendingJobs(), 2u);
  clock.Advance(std::chrono::seconds(1) - std::chrono::nanoseconds(1));
  EXPECT_EQ(scheduler.RunDue(100), 0u);
  clock.Advance(std::chrono::nanoseconds(1));
  EXPECT_EQ(scheduler.RunDue(100), 1u);
  EXPECT_EQ(ran.back(), "job at 1");
  scheduler.Stop();  // drops the pending job and later posts
  scheduler.Post(note("after stop"));
  clock.Advance(std::chrono::seconds(5));
  EXPECT_EQ(scheduler.RunDue(100), 0u);
  EXPECT_EQ(scheduler.PendingJobs(), 0u);
  EXPECT_EQ(ran.back(), "job at 1");
}

// ---- the other slots ----

// Records every external request; answers the first with a JSON body and fails the others.
struct Transport final : ExternalTransport {
  ExternalAnswer Send(const ExternalRequest& request) override {
    requests.push_back(request);
    if (requests.size() > 1) throw std::runtime_error("script exhausted");
    return {0, 200, {{"content-type", "application/json"}}, R"({"ok":true})"};
  }
  std::vector<ExternalRequest> requests;
};

TEST(HostSlots, LogWaitMarksAndExternalRequestsThroughThePluggedTransport) {
  TestHost loaded;
  const HostApi* api = loaded.module->api;
  const int32_t results[] = {api->Log(api, 1, "careful"), api->Log(api, 3, ""),
                             api->Log(api, 2, nullptr), api->MarkWait(api, "Wait: yield", 0),
                             api->MarkWait(api, "Wait: yield", 0)};
  EXPECT_EQ(loaded.host->WaitingThreads(), 2u);
  const int32_t ends[] = {api->Yield(api), api->EndWait(api), api->EndWait(api), api->EndWait(api)};
  EXPECT_EQ(loaded.host->WaitingThreads(), 0u);
  EXPECT_EQ(std::vector<int32_t>(results, results + 5), (std::vector<int32_t>{0, 0, -1, 0, 0}));
  EXPECT_EQ(std::vector<int32_t>(ends, ends + 4), (std::vector<int32_t>{0, 0, 0, -1}));
  EXPECT_EQ(loaded.LogLines(), (Lines{"1 test: careful", "3 test: ",
                                      "2 <host>: Module 'test': Log called with a null message",
                                      "1 <host>: Module 'test': EndWait without MarkWait"}));
  // External requests go through the plugged transport.
  const ApiHeader headers[] = {{"user-agent", "OxleClient/18.0.0 (test)"}, {"REGION", "EUW"}};
  const char body[] = "{}";
  const ExternalRequestRecord request{
      6, "https://example.invalid/x", headers, 2, reinterpret_cast<const uint8_t*>(body), 2, 30, 7};
  ExternalResponseRecord response{};
  // "<send result> <transport result> <status> <headers> <body>", then releases the response.
  const auto send = [&](const ExternalRequestRecord* record) {
    const int32_t sent = api->SendExternalRequest(api, &response, record);
    std::string text = std::to_string(sent) + " " + std::to_string(response.transportResult) + " " +
                       std::to_string(response.status);
    for (uint32_t i = 0; i < response.headerCount; ++i)
      text += std::string(" ") + response.headers[i].name + "=" + response.headers[i].value;
    text += " " + std::string(reinterpret_cast<const char*>(response.body), response.bodyLength);
    ExternalResponseRecord copy = response;
    response.release(&response);
    EXPECT_EQ(response.release, nullptr);
    copy.release(&response);  // a second release of the record does nothing
    return text;
  };
  const ExternalRequestRecord bare{2, "u", nullptr, 0, nullptr, 0, 0, 0};  // no headers, no body
  EXPECT_EQ(send(&bare), "0 1 0 No transport is configured for external requests");
  auto transport = std::make_shared<Transport>();
  loaded.host->SetTransport(transport);
  EXPECT_EQ(send(&request), R"(0 0 200 content-type=application/json {"ok":true})");
  ExternalRequest expected{6, "https://example.invalid/x", {}, "{}", 30, 7};
  expected.headers = {{"user-agent", "OxleClient/18.0.0 (test)"}, {"REGION", "EUW"}};
  EXPECT_EQ(transport->requests.at(0), expected);
  EXPECT_EQ(send(&request), "0 1 0 The transport failed: script exhausted");
  // Bad records fail without reaching the transport.
  const ApiHeader nullValue[] = {{"a", nullptr}};
  const std::pair<ExternalRequestRecord, const char*> bad[] = {
      {{2, nullptr, nullptr, 0, nullptr, 0, 0, 0}, "The external request has no URL"},
      {{2, "u", nullptr, 3, nullptr, 0, 0, 0},
       "The external request for u has 3 headers but no header array"},
      {{2, "u", nullValue, 1, nullptr, 0, 0, 0},
       "Header 0 of the external request for u has a null name or value"},
      {{2, "u", nullptr, 0, nullptr, 5, 0, 0},
       "The external request for u has a body length of 5 but no body"},
  };
  for (const auto& [record, error] : bad)
    EXPECT_EQ(send(&record), std::string("-1 1 0 ") + error);
  EXPECT_EQ(api->SendExternalRequest(api, nullptr, &request), -1);
  EXPECT_EQ(transport->requests.size(), 2u);
}

// ---- the threaded host ----

constexpr auto kLimit = std::chrono::seconds(30);

// A callback that, the first time, signals `entered` and holds its thread until `release`;
// `done` tells whether that call has returned.
struct Held {
  Signal entered, release;
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  void operator()() {
    if (calls++ != 0) return;
    entered.Set();
    EXPECT_TRUE(release.Wait(kLimit));
    done = true;
  }
  // Runs `call` on another thread while the held callback waits; `call` must not return before
  // the callback does. Its result, and whether the callback had ended when it returned.
  auto WhileHeld(auto call) {
    EXPECT_TRUE(entered.Wait());
    std::atomic<bool> returned{false};
    auto result = std::async(std::launch::async, [&] {
      auto value = call();
      returned = true;
      return std::pair(value, done.load());
    });
    EXPECT_FALSE(returned.load());
    release.Set();
    EXPECT_EQ(result.wait_for(kLimit), std::future_status::ready);
    return result.get();
  }
};

// Unsubscribing and removing an observer wait for a call in progress on another thread, not for
// one on their own; an unload waits for a running job and drops the pending ones.
TEST(HostConcurrency, UnsubscribeRemoveAndUnloadWaitForACallInProgressOnAnotherThread) {
  TestHost loaded(true, HostMode::Threaded);
  Held event, observer, job;
  loaded.module->onEvent = [&](const HostEvent&) { event(); };
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  loaded.host->PublishEvent("E", Json("1"));
  EXPECT_EQ(event.WhileHeld([&] { return loaded.module->Unsubscribe("E"); }), std::pair(0, true));
  loaded.host->PublishEvent("E", Json("2"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.module->events, 1);
  // From inside the callback it returns, and no further call comes.
  std::atomic<int> unsubscribed{1};
  loaded.module->onEvent = [&](const HostEvent&) {
    unsubscribed = loaded.module->Unsubscribe("F");
  };
  ASSERT_EQ(loaded.module->Subscribe("F"), 0);
  for (int i = 0; i < 20; ++i)
    loaded.host->PublishEvent("F", Json("1"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));  // a deadlock would time out here
  EXPECT_EQ(std::pair(unsubscribed.load(), loaded.module->events.load()), std::pair(0, 2));

  const ObserverHandle handle =
      loaded.host->AddEventObserver([&](const ObservedEvent&) { observer(); });
  std::thread publisher([&] { loaded.host->PublishEvent("O", Json("1")); });
  EXPECT_EQ(observer.WhileHeld([&] { return loaded.host->RemoveEventObserver(handle); }),
            std::pair(true, true));
  publisher.join();
  loaded.host->PublishEvent("O", Json("2"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(observer.calls, 1);

  std::atomic<bool> unloadSawJobDone{false};
  const int unloadsBefore = TestModule::gUnloads;
  loaded.module->onJob = [&] { job(); };
  loaded.module->onUnload = [&] { unloadSawJobDone = job.done.load(); };
  ASSERT_EQ(loaded.module->Schedule("running", 0), 0);
  ASSERT_TRUE(job.entered.Wait());
  // Not yet due, so no free worker can start them before the unload.
  ASSERT_EQ(loaded.module->Schedule("pending", 3600), 0);
  ASSERT_EQ(loaded.module->Schedule("later", 7200), 0);
  EXPECT_EQ(loaded.host->PendingJobCount(), 2u);
  EXPECT_TRUE(job.WhileHeld([&] { return loaded.host->UnloadModule(loaded.id).Ok(); }).first);
  EXPECT_EQ(std::tuple(unloadSawJobDone.load(), loaded.host->PendingJobCount(),
                       TestModule::gUnloads.load()),
            std::tuple(true, size_t{0}, unloadsBefore + 1));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
}

TEST(HostConcurrency, SubscriptionAndObserverChangesRacePublishersWithoutALateCall) {
  TestHost loaded(true, HostMode::Threaded);
  std::atomic<bool> stop{false};
  std::atomic<int> observed{0}, published{0}, afterUnsubscribe{0};
  (void)loaded.host->AddEventObserver([&](const ObservedEvent&) { ++observed; });
  const auto publisher = [&](bool store) {
    return [&, store] {
      for (int i = 0; !stop && i < 100000; ++i, ++published) {
        if (store) (void)loaded.host->SetResource("/race/v1/x", Json(std::to_string(i)));
        if (!store) loaded.host->PublishEvent("E", Json("1"));
      }
    };
  };
  HostValues::RunTogether(
      {publisher(true), publisher(false), [&] {
         for (int i = 0; i < 100; ++i) {
           EXPECT_EQ(loaded.module->Subscribe("E") + loaded.module->Unsubscribe("E"), 0);
           auto removed = std::make_shared<std::atomic<bool>>(false);
           const ObserverHandle handle =
               loaded.host->AddEventObserver([removed](const ObservedEvent&) {
                 EXPECT_FALSE(removed->load()) << "called after removal";
               });
           EXPECT_TRUE(loaded.host->RemoveEventObserver(handle));
           removed->store(true);
         }
         // From here on a delivery of "E" would be a late call.
         afterUnsubscribe = loaded.module->events.load();
         stop = true;
       }});
  ASSERT_EQ(loaded.module->Schedule("later", 3600), 0);  // pending, not due: the host is idle
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(std::pair(loaded.module->events.load(), observed.load()),
            std::pair(afterUnsubscribe.load(), published.load()));
}

}  // namespace
