#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "host_test_support.h"

namespace {

using namespace Oxle::Client;
using namespace Oxle::Client::Host;
using HostTest::Json;
using HostTest::LoadedHost;

// ---- loading ----

TEST(HostLoad, FillsTheDescriptorWithTheCoreVersionAndReadsBackTheModule) {
  LoadedHost loaded(HostMode::Manual, CoreVersion{18, 4, 7});
  const PluginDescriptor& received = loaded.module->received;
  EXPECT_EQ(received.major, 18u);
  EXPECT_EQ(received.minor, 4u);
  EXPECT_EQ(received.patch, 7u);
  EXPECT_EQ(received.callbacks, nullptr);  // the host leaves the module's words empty
  const ModuleInfo info = loaded.host->Module(loaded.id).Value();
  EXPECT_EQ(info.shortName, "test");
  EXPECT_EQ(info.origin, "linked test module");
  EXPECT_EQ(info.moduleVersion.major, 18u);
  EXPECT_EQ(info.moduleVersion.minor, 1u);
  EXPECT_EQ(info.moduleVersion.patch, 2u);
  EXPECT_EQ(info.exportTable, &loaded.module->table);
  EXPECT_EQ(info.routeCount, TestModule::kRouteCount);
  EXPECT_EQ(info.state, ModuleState::Loaded);
}

TEST(HostLoad, DefaultCoreVersionIs18_0_0) {
  LoadedHost loaded;
  EXPECT_EQ(loaded.module->received.major, 18u);
  EXPECT_EQ(loaded.module->received.minor, 0u);
  EXPECT_EQ(loaded.module->received.patch, 0u);
}

TEST(HostLoad, StartGivesEachModuleItsOwnHandleAndTable) {
  LoadedHost loaded;
  auto second = loaded.host->LoadModule(&tpk_test_module_load, "second");
  ASSERT_TRUE(second.Ok());
  auto* other =
      static_cast<TestModule::Module*>(loaded.host->Module(second.Value()).Value().object);
  ASSERT_TRUE(loaded.Start().Ok());
  ASSERT_TRUE(loaded.host->StartModule(second.Value()).Ok());
  EXPECT_EQ(loaded.module->handle, loaded.id);
  EXPECT_EQ(other->handle, second.Value());
  EXPECT_NE(loaded.module->handle, other->handle);
  EXPECT_NE(loaded.module->api, other->api);
  EXPECT_EQ(loaded.host->Module(loaded.id).Value().state, ModuleState::Started);
  const Status again = loaded.Start();
  EXPECT_EQ(again.ErrorMessage(), "Module 'test' was already started or unloaded");
}

TEST(HostLoad, AStartThatFailsOrThrowsIsReportedAndTheModuleGetsNoCalls) {
  LoadedHost refusing;
  refusing.module->onStart = [](TestModule::Module&) -> uint8_t { return 0; };
  EXPECT_EQ(refusing.Start().ErrorMessage(), "Module 'test' did not start");
  EXPECT_EQ(refusing.host->Module(refusing.id).Value().state, ModuleState::StartFailed);
  const ApiCallResult call = refusing.host->Call(HostTest::Request(2, "/test/v1/echo/x"));
  EXPECT_EQ(call.status, 404u);

  LoadedHost throwing;
  throwing.module->onStart = [](TestModule::Module&) -> uint8_t {
    throw std::runtime_error("start exploded");
  };
  EXPECT_EQ(throwing.Start().ErrorMessage(), "Module 'test' threw from Start: start exploded");
}

TEST(HostLoad, UnloadCallsTheModuleOnceAndForgetsNothingItReported) {
  LoadedHost loaded;
  ASSERT_TRUE(loaded.Start().Ok());
  const int before = TestModule::UnloadCount().load();
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());
  EXPECT_EQ(TestModule::UnloadCount().load(), before + 1);
  const ModuleInfo info = loaded.host->Module(loaded.id).Value();
  EXPECT_EQ(info.state, ModuleState::Unloaded);
  EXPECT_EQ(info.object, nullptr);
  EXPECT_EQ(info.exportTable, nullptr);
  EXPECT_EQ(loaded.host->UnloadModule(loaded.id).ErrorMessage(),
            "Module 'test' is already unloaded");
  EXPECT_EQ(loaded.host->UnloadModule(999).ErrorMessage(), "No module has the id 999");
  EXPECT_EQ(TestModule::UnloadCount().load(), before + 1);
}

TEST(HostLoad, TheHostUnloadsWhatIsStillLoadedWhenItEnds) {
  const int before = TestModule::UnloadCount().load();
  { LoadedHost loaded; }
  EXPECT_EQ(TestModule::UnloadCount().load(), before + 1);
}

TEST(HostLoad, ByPathLoadsTheSharedObjectAndServesItsRoutes) {
  Host::Host host(HostTest::ManualOptions());
  auto loaded = host.LoadModule(TPK_TEST_MODULE_PATH, "tpk_test_module_load");
  ASSERT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
  EXPECT_EQ(host.Module(loaded.Value()).Value().shortName, "test");
  EXPECT_EQ(host.Module(loaded.Value()).Value().origin, TPK_TEST_MODULE_PATH);
  ASSERT_TRUE(host.StartModule(loaded.Value()).Ok());
  const ApiCallResult call = host.Call(HostTest::Request(2, "/test/v1/echo/abc"));
  EXPECT_EQ(call.status, 200u);
  EXPECT_EQ(Json(call.value), "\"GET /test/v1/echo/abc 0\"");
  EXPECT_TRUE(host.UnloadModule(loaded.Value()).Ok());
}

TEST(HostLoad, ByPathFailsWithThePathAndTheLoadersReason) {
  Host::Host host(HostTest::ManualOptions());
  auto missing = host.LoadModule("/nonexistent/module.so", "tpk_test_module_load");
  EXPECT_FALSE(missing.Ok());
  EXPECT_EQ(missing.ErrorMessage(),
            "Couldn't load module '/nonexistent/module.so': /nonexistent/module.so: cannot open "
            "shared object file: No such file or directory");
  auto noExport = host.LoadModule(TPK_TEST_MODULE_PATH, "no_such_export");
  EXPECT_FALSE(noExport.Ok());
  EXPECT_EQ(noExport.ErrorMessage(),
            std::string("Couldn't find export 'no_such_export' in module '") +
                TPK_TEST_MODULE_PATH + "': " + TPK_TEST_MODULE_PATH +
                ": undefined symbol: no_such_export");
}

TEST(HostLoad, BadDescriptorsFailWithAClearErrorAndNothingLeaks) {
  struct Case {
    TestModule::Options options;
    const char* error;
    bool unloaded;  // whether the host could hand the object back through Unload
  };
  const Case cases[] = {
      {{.nullShortName = true}, "Module 'bad' gave no short name", true},
      {{.nullCallbacks = true}, "Module 'bad' filled in no callback table", false},
      {{.nullEntryArray = true}, "Module 'test' exports 4 API entries but no entry array", true},
      {{.throwFromExport = true}, "The export of module 'bad' threw: export exploded", false},
  };
  for (const Case& c : cases) {
    Host::Host host(HostTest::ManualOptions());
    TestModule::NextOptions() = c.options;
    TestModule::LastCreated() = nullptr;
    const int before = TestModule::UnloadCount().load();
    auto loaded = host.LoadModule(&tpk_test_module_load, "bad");
    TestModule::NextOptions() = {};
    EXPECT_FALSE(loaded.Ok());
    EXPECT_EQ(loaded.ErrorMessage(), c.error);
    EXPECT_EQ(TestModule::UnloadCount().load(), before + (c.unloaded ? 1 : 0)) << c.error;
    if (!c.unloaded) delete TestModule::LastCreated();
  }
  Host::Host host(HostTest::ManualOptions());
  EXPECT_EQ(host.LoadModule(nullptr, "none").ErrorMessage(),
            "The export function of module 'none' is null");
}

TEST(HostLoad, ExportEntriesWithoutCallbackOrTemplateAreSkippedWithAWarning) {
  LoadedHost loaded;
  // Rebuilt by hand: a second module whose entries 1 and 2 are broken.
  TestModule::LastCreated() = nullptr;
  auto broken = [](PluginDescriptor* descriptor) -> void* {
    void* object = tpk_test_module_load(descriptor);
    auto* module = static_cast<TestModule::Module*>(object);
    module->entries[1].callback = nullptr;
    module->entries[2].pathTemplate = nullptr;
    return object;
  };
  auto id = loaded.host->LoadModule(broken, "broken");
  ASSERT_TRUE(id.Ok());
  EXPECT_EQ(loaded.host->Module(id.Value()).Value().routeCount, 2u);
  const std::vector<LogEntry> expected = {
      {kLogWarn, kHostLogName,
       "Module 'test': export entry 1 (PostTestV1Fail) has no callback; it is not routed"},
      {kLogWarn, kHostLogName,
       "Module 'test': export entry 2 (GetTestV1Throw) has no path template; it is not routed"}};
  EXPECT_EQ(loaded.logs->Entries(), expected);
}

TEST(HostLoad, MemoryStatsCombineLowAndHighWords) {
  LoadedHost loaded;
  auto stats = loaded.host->GetMemoryStats(loaded.id);
  ASSERT_TRUE(stats.Ok());
  EXPECT_EQ(stats.Value(), (ModuleMemoryStats{0x100000001ull, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());
  EXPECT_EQ(loaded.host->GetMemoryStats(loaded.id).ErrorMessage(), "Module 'test' is unloaded");
}

// ---- API calls ----

struct StartedHost : LoadedHost {
  StartedHost() { EXPECT_TRUE(Start().Ok()); }
};

TEST(HostRequests, RouteByMethodAndTemplateWithTheEntrysUserData) {
  StartedHost loaded;
  const ApiCallResult echo = loaded.host->Call(HostTest::Request(2, "/test/v1/echo/a%20b?x=1"));
  EXPECT_FALSE(echo.failed);
  EXPECT_EQ(echo.status, 200u);
  EXPECT_EQ(Json(echo.value), "\"GET /test/v1/echo/a%20b?x=1 0\"");
  EXPECT_EQ(echo.headers, (HeaderList{{"x-test", "yes"}}));
  EXPECT_EQ(echo.text, "");
  EXPECT_FALSE(echo.body.has_value());

  const ApiCallResult fail = loaded.host->Call(HostTest::Request(6, "/test/v1/fail"));
  EXPECT_TRUE(fail.failed);
  EXPECT_EQ(fail.status, 418u);
  EXPECT_EQ(fail.errorMessage, "the test route failed");
  EXPECT_EQ(fail.text, "teapot");
}

TEST(HostRequests, AnUnroutedPathAnswers404AndAPathServedForOtherMethods405WithAllow) {
  StartedHost loaded;
  // A second module serves /test/v1/fail for DELETE and for POST, as the first does.
  auto other = [](PluginDescriptor* descriptor) -> void* {
    void* object = tpk_test_module_load(descriptor);
    auto* module = static_cast<TestModule::Module*>(object);
    module->entries[2] = module->entries[1];
    module->entries[2].method = 1;
    module->entries[2].function.next = &module->entries[3].function;
    return object;
  };
  const auto id = loaded.host->LoadModule(other, "other");
  ASSERT_TRUE(id.Ok());
  ASSERT_TRUE(loaded.host->StartModule(id.Value()).Ok());
  struct Case {
    uint32_t method;
    const char* target;
    const char* methodName;
    uint32_t status;
    const char* allow;
    const char* message;
  };
  const Case cases[] = {
      {6, "/test/v1/echo/a", "", 405, "GET",
       "POST is not served at /test/v1/echo/a (allowed: GET)"},
      {2, "/test/v1/fail?x=1", "", 405, "DELETE, POST",
       "GET is not served at /test/v1/fail (allowed: DELETE, POST)"},
      {8, "/test/v1/echo/a", "BREW", 405, "GET",
       "BREW is not served at /test/v1/echo/a (allowed: GET)"},
      {2, "/test/v1/echo/a/b", "", 404, "",
       "No API function or resource answers GET /test/v1/echo/a/b"},
      {2, "/nowhere", "", 404, "", "No API function or resource answers GET /nowhere"},
      {8, "/nowhere", "BREW", 404, "", "No API function or resource answers BREW /nowhere"},
      {42, "/nowhere", "", 404, "", "No API function or resource answers method 42 /nowhere"},
  };
  for (const Case& c : cases) {
    const ApiCallResult call =
        loaded.host->Call(HostTest::Request(c.method, c.target, c.methodName));
    EXPECT_TRUE(call.failed) << c.target;
    EXPECT_EQ(call.status, c.status) << c.target;
    EXPECT_EQ(call.errorMessage, c.message);
    const HeaderList allow = {{"Allow", c.allow}};
    EXPECT_EQ(call.headers, *c.allow != '\0' ? allow : HeaderList()) << c.target;
  }
}

TEST(HostRequests, AThrowingRouteAnswers500WithTheExceptionText) {
  StartedHost loaded;
  const ApiCallResult call = loaded.host->Call(HostTest::Request(2, "/test/v1/throw"));
  EXPECT_TRUE(call.failed);
  EXPECT_EQ(call.status, 500u);
  EXPECT_EQ(call.errorMessage, "Module 'test' threw from GET /test/v1/throw: route exploded");
}

TEST(HostRequests, ABodyStreamIsReadToItsEndAndReleased) {
  StartedHost loaded;
  const ApiCallResult call = loaded.host->Call(HostTest::Request(2, "/test/v1/body"));
  EXPECT_EQ(call.status, 200u);
  ASSERT_TRUE(call.body.has_value());
  ASSERT_EQ(call.body->size(), TestModule::kBodySize);
  EXPECT_EQ(call.body->substr(0, 12), "012345678901");
  EXPECT_EQ(call.body->substr(TestModule::kBodySize - 3), "789");
}

TEST(HostRequests, AGetOfAStoredResourceAnswersItsValueAndOtherMethodsDoNot) {
  StartedHost loaded;
  (void)loaded.host->SetResource("/qel-login/v1/session", Json(R"({"state":"SUCCEEDED"})"));
  const ApiCallResult get = loaded.host->Call(HostTest::Request(2, "/qel-login/v1/session?x=y"));
  EXPECT_FALSE(get.failed);
  EXPECT_EQ(get.status, 200u);
  EXPECT_EQ(Json(get.value), R"({"state":"SUCCEEDED"})");
  const ApiCallResult put = loaded.host->Call(HostTest::Request(7, "/qel-login/v1/session"));
  EXPECT_EQ(put.status, 404u);
  EXPECT_TRUE(loaded.host->DeleteResource("/qel-login/v1/session"));
  EXPECT_EQ(loaded.host->Call(HostTest::Request(2, "/qel-login/v1/session")).status, 404u);
}

TEST(HostRequests, AModulesSendRequestGetsAHostOwnedCopyThatOutlivesTheCallee) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  ApiRequestRecord request{};
  request.method = 2;
  request.target = "/test/v1/echo/z";
  request.callerContext = reinterpret_cast<void*>(static_cast<uintptr_t>(loaded.module->handle));
  ApiResponseRecord response;
  std::memset(&response, 0xAB, sizeof response);  // the host must not read what was there
  EXPECT_EQ(api->SendRequest(api, &response, &request), 0);
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());  // the callee's memory is gone
  EXPECT_EQ(uint32_t{response.status}, 200u);
  EXPECT_EQ(int{response.error}, 0);
  EXPECT_EQ(Json(response.value), "\"GET /test/v1/echo/z " + std::to_string(loaded.id) + "\"");
  ASSERT_EQ(uint32_t{response.headerCount}, 1u);
  EXPECT_STREQ(response.headers[0].name, "x-test");
  ASSERT_NE(ApiResponseFreeCallback{response.free}, nullptr);
  response.free(&response);
  EXPECT_EQ(ApiResponseFreeCallback{response.free}, nullptr);
}

TEST(HostRequests, NullRecordsAndTargetsFromAModuleAreErrors) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  ApiRequestRecord request{};
  ApiResponseRecord response{};
  EXPECT_EQ(api->SendRequest(api, nullptr, &request), -1);
  EXPECT_EQ(api->SendRequest(api, &response, nullptr), -1);
  EXPECT_EQ(api->SendRequest(api, &response, &request), 0);
  EXPECT_EQ(uint32_t{response.status}, 400u);
  EXPECT_STREQ(response.errorMessage, "The request has no target");
  response.free(&response);
  const std::vector<LogEntry> expected = {
      {kLogError, kHostLogName, "Module 'test': SendRequest called with a null response record"},
      {kLogError, kHostLogName, "Module 'test': SendRequest called with a null request record"}};
  EXPECT_EQ(loaded.logs->Entries(), expected);
}

// ---- events and resources ----

TEST(HostEvents, SubscribersOfTheNameReceiveThePayloadWithTheirContext) {
  StartedHost loaded;
  std::vector<std::string> payloads;
  loaded.module->onEvent = [&](TestModule::Module& module, const HostEvent& event) {
    EXPECT_EQ(event.context, &module);
    EXPECT_EQ(event.flags, 5u);
    payloads.push_back(Json(event.payload));
  };
  ASSERT_EQ(loaded.module->Subscribe("Ping"), 0);
  loaded.host->PublishEvent("Ping", Json(R"({"n":1})"), 5);
  loaded.host->PublishEvent("Pong", Json(R"({"n":2})"), 5);
  EXPECT_EQ(loaded.module->events.load(), 0);  // manual mode: nothing before the pump
  EXPECT_EQ(loaded.host->RunDueWork(), 2u);
  EXPECT_EQ(payloads, std::vector<std::string>{R"({"n":1})"});
  ASSERT_EQ(loaded.module->Unsubscribe("Ping"), 0);
  loaded.host->PublishEvent("Ping", Json("1"), 5);
  (void)loaded.host->RunDueWork();
  EXPECT_EQ(loaded.module->events.load(), 1);
}

TEST(HostEvents, SetResourcePublishesCreateThenUpdateAndDeleteUnderBothNames) {
  StartedHost loaded;
  std::vector<std::string> seen;
  loaded.module->onEvent = [&](TestModule::Module&, const HostEvent& event) {
    seen.push_back(std::string(event.name) + " " + Json(event.payload));
  };
  ASSERT_EQ(loaded.module->Subscribe("OnJsonApiEvent_qel-login_v1_session"), 0);
  ASSERT_EQ(loaded.module->Subscribe("OnJsonApiEvent"), 0);
  EXPECT_EQ(loaded.host->SetResource("qel-login/v1/session", Json("1")), ResourceChange::Create);
  EXPECT_EQ(loaded.host->SetResource("/qel-login/v1/session", Json("2")), ResourceChange::Update);
  EXPECT_TRUE(loaded.host->DeleteResource("/qel-login/v1/session"));
  EXPECT_FALSE(loaded.host->DeleteResource("/qel-login/v1/session"));
  (void)loaded.host->RunDueWork();
  const std::string uri = R"("uri":"/qel-login/v1/session")";
  EXPECT_EQ(
      seen,
      (std::vector<std::string>{
          R"(OnJsonApiEvent_qel-login_v1_session {"data":1,"eventType":"Create",)" + uri + "}",
          R"(OnJsonApiEvent {"data":1,"eventType":"Create",)" + uri + "}",
          R"(OnJsonApiEvent_qel-login_v1_session {"data":2,"eventType":"Update",)" + uri + "}",
          R"(OnJsonApiEvent {"data":2,"eventType":"Update",)" + uri + "}",
          R"(OnJsonApiEvent_qel-login_v1_session {"data":null,"eventType":"Delete",)" + uri + "}",
          R"(OnJsonApiEvent {"data":null,"eventType":"Delete",)" + uri + "}",
      }));
}

TEST(HostEvents, AModulesResourcePublicationUpdatesTheStore) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  HostValue payload{};
  ASSERT_TRUE(Binding::ToHostValue(
      Json(R"({"uri":"/qel-mhx/v2/recently-played-champions/7","eventType":"Update","data":[1]})"),
      nullptr, payload));
  const HostEvent event{"OnJsonApiEvent_qel-mhx_v2_recently-played-champions", payload, 0, nullptr};
  EXPECT_EQ(api->PublishEvent(api, &event), 0);
  Binding::ReleaseHostValue(payload);
  ASSERT_TRUE(loaded.host->GetResource("/qel-mhx/v2/recently-played-champions/7").has_value());
  EXPECT_EQ(Json(*loaded.host->GetResource("/qel-mhx/v2/recently-played-champions/7")), "[1]");
}

TEST(HostEvents, BadEventRecordsFromAModuleAreRefusedWithAClearError) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  HostValue bad{};
  bad.kind = 42;
  const HostEvent unnamed{nullptr, {}, 0, nullptr};
  const HostEvent badPayload{"E", bad, 0, nullptr};
  EXPECT_EQ(api->PublishEvent(api, nullptr), -1);
  EXPECT_EQ(api->PublishEvent(api, &unnamed), -1);
  EXPECT_EQ(api->PublishEvent(api, &badPayload), -1);
  EXPECT_EQ(api->SubscribeEvent(api, nullptr, loaded.id, &TestModule::Module::EventCallback,
                                loaded.module, 0),
            -1);
  EXPECT_EQ(api->SubscribeEvent(api, "E", loaded.id, nullptr, loaded.module, 0), -1);
  EXPECT_EQ(api->SubscribeEvent(api, "E", loaded.id + 1, &TestModule::Module::EventCallback,
                                loaded.module, 0),
            -1);
  EXPECT_EQ(api->UnsubscribeEvent(api, nullptr, loaded.id), -1);
  EXPECT_EQ(api->UnsubscribeEvent(api, "E", loaded.id), -1);
  EXPECT_EQ(api->PublishEvent(nullptr, &unnamed), -1);
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  const std::string handle = std::to_string(loaded.id);
  const std::vector<LogEntry> expected = {
      {kLogError, kHostLogName, "Module 'test': PublishEvent called with a null event"},
      {kLogError, kHostLogName, "Module 'test': PublishEvent called with an event without a name"},
      {kLogError, kHostLogName,
       "Module 'test': PublishEvent of 'E' dropped: Couldn't assign value to 'payload' of type "
       "object because the input is of an incompatible type ''."},
      {kLogError, kHostLogName, "Module 'test': SubscribeEvent called without an event name"},
      {kLogError, kHostLogName, "Module 'test': SubscribeEvent of 'E' called without a callback"},
      {kLogError, kHostLogName,
       "Module 'test': SubscribeEvent of 'E' with plugin handle " + std::to_string(loaded.id + 1) +
           ", not its own " + handle},
      {kLogError, kHostLogName, "Module 'test': UnsubscribeEvent called without an event name"},
      {kLogWarn, kHostLogName,
       "Module 'test': UnsubscribeEvent of 'E', which it has no subscription to"},
  };
  EXPECT_EQ(loaded.logs->Entries(), expected);
}

TEST(HostEvents, ASecondSubscriptionReplacesTheFirstAndAThrowingCallbackIsLogged) {
  StartedHost loaded;
  int first = 0;
  auto firstCallback = [](const HostEvent* event) { ++*static_cast<int*>(event->context); };
  const HostApi* api = loaded.module->api;
  ASSERT_EQ(api->SubscribeEvent(api, "E", loaded.id, firstCallback, &first, 0), 0);
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  loaded.module->onEvent = [](TestModule::Module&, const HostEvent&) {
    throw std::runtime_error("handler exploded");
  };
  loaded.host->PublishEvent("E", Json("1"));
  loaded.host->PublishEvent("E", Json("2"));
  EXPECT_EQ(loaded.host->RunDueWork(), 2u);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(loaded.module->events.load(), 2);
  const LogEntry thrown{kLogError, kHostLogName,
                        "Module 'test' threw from its callback for event 'E': handler exploded"};
  EXPECT_EQ(loaded.logs->Entries(), (std::vector<LogEntry>{thrown, thrown}));
}

TEST(HostEvents, UnloadDropsSubscriptionsTheModuleLeftBehind) {
  StartedHost loaded;
  auto other = loaded.host->LoadModule(&tpk_test_module_load, "other");
  ASSERT_TRUE(loaded.host->StartModule(other.Value()).Ok());
  auto* second =
      static_cast<TestModule::Module*>(loaded.host->Module(other.Value()).Value().object);
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  ASSERT_EQ(second->Subscribe("E"), 0);
  loaded.host->PublishEvent("E", Json("1"));
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());  // the queued delivery must skip it
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(second->events.load(), 1);
}

// ---- jobs ----

TEST(HostJobs, RunOnceWhenTheirDelayHasPassedOnTheManualClock) {
  StartedHost loaded;
  ASSERT_EQ(loaded.module->Schedule("later", 1.5), 0);
  ASSERT_EQ(loaded.module->Schedule("now", 0.0), 0);
  ASSERT_EQ(loaded.module->Schedule("negative", -3.0), 0);
  ASSERT_EQ(loaded.module->Schedule("nan", std::nan("")), 0);
  ASSERT_EQ(loaded.module->Schedule("forever", std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(loaded.host->RunDueWork(), 3u);
  EXPECT_EQ(loaded.module->jobs.load(), 3);
  EXPECT_EQ(loaded.host->PendingJobCount(), 2u);
  EXPECT_TRUE(loaded.host->AdvanceClock(std::chrono::milliseconds(1499)));
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  EXPECT_TRUE(loaded.host->AdvanceClock(std::chrono::milliseconds(1)));
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
  EXPECT_EQ(loaded.module->jobs.load(), 4);
  EXPECT_EQ(loaded.host->PendingJobCount(), 1u);  // "forever", clamped, never overflowed
}

TEST(HostJobs, AThrowingJobIsLoggedAndBadJobRecordsAreRefused) {
  StartedHost loaded;
  loaded.module->onJob = [](TestModule::Module&) { throw std::runtime_error("job exploded"); };
  ASSERT_EQ(loaded.module->Schedule("boom", 0), 0);
  const HostApi* api = loaded.module->api;
  EXPECT_EQ(api->ScheduleJob(api, nullptr, &TestModule::Module::JobCallback, loaded.module, 0, 0),
            -1);
  EXPECT_EQ(api->ScheduleJob(api, "j", nullptr, loaded.module, 0, 0), -1);
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  const std::vector<LogEntry> expected = {
      {kLogError, kHostLogName, "Module 'test': ScheduleJob called without a job name"},
      {kLogError, kHostLogName, "Module 'test': ScheduleJob of 'j' called without a callback"},
      {kLogError, kHostLogName, "Module 'test' threw from job 'boom': job exploded"}};
  EXPECT_EQ(loaded.logs->Entries(), expected);
}

TEST(HostJobs, AJobScheduledJustBeforeUnloadNeverRuns) {
  StartedHost loaded;
  ASSERT_EQ(loaded.module->Schedule("pending", 0), 0);
  ASSERT_EQ(loaded.module->Schedule("later", 10), 0);
  int scheduledWhileUnloading = 0;
  loaded.module->onUnload = [&](TestModule::Module& module) {
    scheduledWhileUnloading = module.Schedule("during unload", 0);
  };
  ASSERT_TRUE(loaded.host->UnloadModule(loaded.id).Ok());
  EXPECT_EQ(scheduledWhileUnloading, -1);
  EXPECT_EQ(loaded.host->PendingJobCount(), 0u);
  (void)loaded.host->AdvanceClock(std::chrono::seconds(20));
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);
}

TEST(HostJobs, AModuleCannotBeUnloadedFromInsideItsOwnJob) {
  StartedHost loaded;
  std::string error;
  loaded.module->onJob = [&](TestModule::Module&) {
    error = loaded.host->UnloadModule(loaded.id).ErrorMessage();
  };
  ASSERT_EQ(loaded.module->Schedule("self-unload", 0), 0);
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(error, "Module 'test' can't be unloaded from inside one of its own callbacks");
  EXPECT_EQ(loaded.host->Module(loaded.id).Value().state, ModuleState::Started);
}

// ---- the other slots ----

TEST(HostSlots, LogKeepsLevelModuleAndText) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  EXPECT_EQ(api->Log(api, 1, "careful"), 0);
  EXPECT_EQ(api->Log(api, 3, ""), 0);
  EXPECT_EQ(api->Log(api, 2, nullptr), -1);
  const std::vector<LogEntry> expected = {
      {1, "test", "careful"},
      {3, "test", ""},
      {kLogError, kHostLogName, "Module 'test': Log called with a null message"}};
  EXPECT_EQ(loaded.logs->Entries(), expected);
}

TEST(HostSlots, WaitMarksBalancePerThreadAndYieldReturns) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  EXPECT_EQ(api->MarkWait(api, "Wait: yield", 0), 0);
  EXPECT_EQ(api->MarkWait(api, "Wait: yield", 0), 0);
  EXPECT_EQ(loaded.host->WaitingThreads(), 2u);
  EXPECT_EQ(api->Yield(api), 0);
  EXPECT_EQ(api->EndWait(api), 0);
  EXPECT_EQ(api->EndWait(api), 0);
  EXPECT_EQ(api->EndWait(api), -1);
  EXPECT_EQ(loaded.host->WaitingThreads(), 0u);
  EXPECT_EQ(
      loaded.logs->Entries(),
      (std::vector<LogEntry>{{kLogWarn, kHostLogName, "Module 'test': EndWait without MarkWait"}}));
}

// Records every request and answers from a script, in order.
class ScriptedTransport final : public ExternalTransport {
 public:
  ExternalAnswer Send(const ExternalRequest& request) override {
    requests.push_back(request);
    if (script.empty()) throw std::runtime_error("script exhausted");
    ExternalAnswer answer = script.front();
    script.erase(script.begin());
    return answer;
  }
  std::vector<ExternalRequest> requests;
  std::vector<ExternalAnswer> script;
};

TEST(HostSlots, ExternalRequestsGoThroughThePluggedTransport) {
  StartedHost loaded;
  const HostApi* api = loaded.module->api;
  const ApiHeader headers[] = {{"user-agent", "OxleClient/18.0.0 (test)"}, {"REGION", "EUW"}};
  const char body[] = "{}";
  ExternalRequestRecord request{
      6, "https://example.invalid/x", headers, 2, reinterpret_cast<const uint8_t*>(body), 2, 30, 7};
  ExternalResponseRecord response{};

  EXPECT_EQ(api->SendExternalRequest(api, &response, &request), 0);
  EXPECT_EQ(response.transportResult, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.body), response.bodyLength),
            "No transport is configured for external requests");
  response.release(&response);

  auto transport = std::make_shared<ScriptedTransport>();
  transport->script.push_back({0, 200, {{"content-type", "application/json"}}, R"({"ok":true})"});
  loaded.host->SetTransport(transport);
  EXPECT_EQ(api->SendExternalRequest(api, &response, &request), 0);
  ASSERT_EQ(transport->requests.size(), 1u);
  EXPECT_EQ(transport->requests[0],
            (ExternalRequest{6,
                             "https://example.invalid/x",
                             {{"user-agent", "OxleClient/18.0.0 (test)"}, {"REGION", "EUW"}},
                             "{}",
                             30,
                             7}));
  EXPECT_EQ(response.transportResult, 0);
  EXPECT_EQ(uint32_t{response.status}, 200u);
  ASSERT_EQ(response.headerCount, 1u);
  EXPECT_STREQ(response.headers[0].name, "content-type");
  EXPECT_STREQ(response.headers[0].value, "application/json");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.body), response.bodyLength),
            R"({"ok":true})");
  ExternalResponseRecord copy = response;
  response.release(&response);
  EXPECT_EQ(response.release, nullptr);
  copy.release(&response);  // a second release of the record does nothing

  EXPECT_EQ(api->SendExternalRequest(api, &response, &request), 0);  // the script is empty
  EXPECT_EQ(response.transportResult, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.body), response.bodyLength),
            "The transport failed: script exhausted");
  response.release(&response);
}

TEST(HostSlots, BadExternalRequestRecordsFailWithoutReachingTheTransport) {
  StartedHost loaded;
  auto transport = std::make_shared<ScriptedTransport>();
  loaded.host->SetTransport(transport);
  const HostApi* api = loaded.module->api;
  const ApiHeader nullValue[] = {{"a", nullptr}};
  struct Case {
    ExternalRequestRecord request;
    const char* error;
  };
  const Case cases[] = {
      {{2, nullptr, nullptr, 0, nullptr, 0, 0, 0}, "The external request has no URL"},
      {{2, "u", nullptr, 3, nullptr, 0, 0, 0},
       "The external request for u has 3 headers but no header array"},
      {{2, "u", nullValue, 1, nullptr, 0, 0, 0},
       "Header 0 of the external request for u has a null name or value"},
      {{2, "u", nullptr, 0, nullptr, 5, 0, 0},
       "The external request for u has a body length of 5 but no body"},
  };
  for (const Case& c : cases) {
    ExternalResponseRecord response{};
    EXPECT_EQ(api->SendExternalRequest(api, &response, &c.request), -1);
    EXPECT_EQ(response.transportResult, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.body), response.bodyLength),
              c.error);
    response.release(&response);
  }
  ExternalRequestRecord request{};
  EXPECT_EQ(api->SendExternalRequest(api, nullptr, &request), -1);
  EXPECT_TRUE(transport->requests.empty());
}

}  // namespace
