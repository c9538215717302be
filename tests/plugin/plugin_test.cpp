// The plugin framework loaded into the host core: registration, start, the log target, jobs,
// memory statistics, stop and unload; resource events; requests and their answers; service-proxy
// answers and telemetry; several host threads at once (bounded rounds and waits, no sleeps); the
// API version and plugin names.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "log/allocation_hooks.h"
#include "log/log_test_support.h"
#include "log/logger.h"
#include "plugin/api_version.h"
#include "plugin/callback_gate.h"
#include "plugin/plugin_name.h"
#include "plugin/telemetry_sink.h"
#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// ---- registration, start, the log target, jobs, memory statistics, stop and unload ----

// The tap's calls from the `from`th, by default those after Start's three service-proxy
// subscriptions.
Lines CallsAfterStart(const Tap& tap, size_t from = 3) {
  Lines calls = tap.Calls();
  calls.erase(calls.begin(), calls.begin() + static_cast<long>(from));
  return calls;
}

TEST_F(PluginTest, RegisterAnswersTheDescriptorAndStartSubscribesFirstAndTakesOverTheLog) {
  Load({18, 4, 2});
  const Host::ModuleInfo info = host->Module(id).Value();
  EXPECT_EQ(info.moduleVersion.minor + info.moduleVersion.patch, 0u);  // its own 18.0.0
  EXPECT_EQ(plugin->ApiName(), "QelMhx");
  EXPECT_EQ(plugin->ApiCategoryPath(), (Lines{"Plugins", "Plugin qel-mhx"}));
  // The framework's types and events come before the feature's API.
  EXPECT_TRUE(plugin->typesBeforeApi);
  EXPECT_EQ(plugin->Api().FindEvent("OnJsonApiEvent")->dataType->fields.at(1).name, "eventType");
  size_t callsBeforeOnStart = 0;
  ASSERT_TRUE(Start([&](TestPlugin&) { callsBeforeOnStart = tap.Calls().size(); }));
  EXPECT_EQ(callsBeforeOnStart, 3u);
  EXPECT_EQ(tap.Calls(),
            (Lines{"Subscribe OnServiceProxyUuidEvent 1", "Subscribe OnServiceProxyMethodEvent 1",
                   "Subscribe OnServiceProxyAsyncEvent 1"}));
  EXPECT_EQ(plugin->UserAgent(), "OxleClient/18.4.2 (qel-mhx)");
  // The start replaced the console targets by the host's log; a second start keeps it.
  Log::Logger& logger = Log::Logger::Instance();
  ASSERT_NE(logger.FindTarget("PluginLogTarget"), nullptr);
  EXPECT_FALSE(logger.StdErrTarget()->IsAttached() || logger.StdOutTarget()->IsAttached() ||
               logger.DebuggerTarget()->IsAttached());
  EXPECT_EQ(std::pair(logger.MinimumLevel(), logger.ExcludedCategories()),
            std::pair(0, uint64_t{4}));
  Log::Log(Log::OKAY, 1, 0, "hello %d", 5);
  Log::Log(Log::ERROR, 4, 0, "excluded");

  logger.SetMinimumLevel(2);
  const std::vector<Log::LogTargetHandle*> before = logger.AttachedTargets();
  const auto other = host->LoadModule(
      [](PluginDescriptor* words) { return ExportPlugin<TestPlugin>(words, "other"); }, "other");
  ASSERT_TRUE(host->StartModule(other.Value()).Ok());
  EXPECT_EQ(std::pair(logger.AttachedTargets(), logger.MinimumLevel()), std::pair(before, 2));
  Log::Log(Log::ERROR, 1, 0, "still to the first plugin");
  EXPECT_EQ(HostValues::LogLines(*logs),
            (Lines{"0 qel-mhx: hello 5", "2 qel-mhx: still to the first plugin"}));
}

TEST(PluginExport, AnIncompatibleCoreEndsTheProcessAfterTheAssertionReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto load = [](uint32_t major, uint32_t minor, uint32_t patch) {
    PluginDescriptor words{major, minor, patch, nullptr, nullptr, nullptr, nullptr};
    (void)ExportPlugin<TestPlugin>(&words, "qel-mhx");
    std::exit(0);  // not reached when refused
  };
#ifdef _WIN32
  const auto refused = ::testing::ExitedWithCode(3);  // abort's exit status there
#else
  const auto refused = ::testing::KilledBySignal(SIGABRT);
#endif
  const char* report = " ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606\n";
  EXPECT_EXIT(load(17, 0, 0), refused, report);
  EXPECT_EXIT(load(17, 9, 9), refused, report);
  EXPECT_EXIT(load(19, 0, 0), refused, report);
}

TEST_F(PluginTest, ScheduleAtPassesTheRemainingDelayAndRunsTheJobOnceOrLogsItsFailure) {
  ASSERT_TRUE(Start());
  int runs = 0;
  plugin->ScheduleAt("past", steady_clock::now() - seconds(5), [&] { ++runs; });
  plugin->ScheduleAt("future", steady_clock::now() + seconds(30), [&] { runs += 10; });
  plugin->ScheduleAt("boom", steady_clock::now(), [] { throw std::runtime_error("kaboom"); });
  plugin->ScheduleAt("empty", steady_clock::now(), Job());
  EXPECT_TRUE(tap.Scheduled(0).delay == 0.0 && !std::signbit(tap.Scheduled(0).delay));
  EXPECT_TRUE(tap.Scheduled(1).delay > 29.0 && tap.Scheduled(1).delay <= 30.0);
  EXPECT_EQ(plugin->PendingJobCount(), 4u);
  EXPECT_EQ(host->RunDueWork(), 3u);
  tap.RunJob(0);  // a host that calls twice runs nothing the second time
  EXPECT_EQ(std::pair(runs, plugin->PendingJobCount()), std::pair(1, size_t{1}));
  EXPECT_TRUE(host->AdvanceClock(seconds(30)));
  EXPECT_EQ(host->RunDueWork(), 1u);
  EXPECT_EQ(std::pair(runs, plugin->PendingJobCount()), std::pair(11, size_t{0}));
  EXPECT_EQ(LogLines(), (Lines{"2 qel-mhx: Job boom failed: kaboom",
                               "2 qel-mhx: Job empty failed: bad_function_call"}));
}

// Before the start: memory statistics are the six allocation counters; without a host table a
// job leaves no entry and no token; a false OnStart fails the start.
TEST_F(PluginTest, BeforeTheStartStatsAreReadAJobIsRefusedAndAFalseOnStartFailsTheStart) {
  Log::InstallAllocationTracking();
  Log::Free(Log::Allocate(100));
  Load().startResult = false;
  const Host::ModuleMemoryStats stats = host->GetMemoryStats(id).Value();
  const Log::AllocationCounters c = Log::ReadAllocationCounters();
  EXPECT_GE(c.allocations, 1u);
  EXPECT_EQ(stats, (Host::ModuleMemoryStats{c.peakBytes, c.liveAllocationsAtPeak, c.bytesAllocated,
                                            c.allocations, c.bytesFreed, c.frees}));
  const size_t tokens = CallbackGate::LiveTokenCount();
  plugin->ScheduleAt("refused", steady_clock::now(), [] {});
  EXPECT_EQ(std::pair(plugin->PendingJobCount(), CallbackGate::LiveTokenCount()),
            std::pair(size_t{0}, tokens));
  EXPECT_FALSE(Start());
}

TEST_F(PluginTest, StopKeepsCountsAndJobsAndLeavesTheHostNothingToDeliver) {
  const char* kUri = "/qel-login/v1/session";
  int events = 0;
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource(kUri, [&](const PluginResourceEvent&) { ++events; });
    self.Subscribe(kUri);
  }));
  plugin->ScheduleAt("job", steady_clock::now() + seconds(1), [] {});
  const auto held = std::make_shared<int>(0);  // owned by the two callables below
  plugin->AddServiceRequest("waiting", [held](const PluginServiceProxyResponse&) {});
  plugin->AddAsyncServiceHandler("svc.method", [held](const PluginServiceProxyResponse&) {});
  ASSERT_TRUE(tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":"unclaimed"})"));
  ASSERT_EQ(std::pair(plugin->ReceivedServiceResponseCount(), held.use_count()),
            std::pair(size_t{1}, 3l));
  const size_t before = tap.Calls().size();
  plugin->Stop();  // unsubscribes each handled name once
  Lines stopped = CallsAfterStart(tap, before);
  std::sort(stopped.begin(), stopped.end());
  EXPECT_EQ(stopped,
            (Lines{"Unsubscribe OnJsonApiEvent_qel-login_v1_session",
                   "Unsubscribe OnServiceProxyAsyncEvent", "Unsubscribe OnServiceProxyMethodEvent",
                   "Unsubscribe OnServiceProxyUuidEvent"}));
  EXPECT_EQ(std::tuple(held.use_count(), plugin->ReceivedServiceResponseCount(),
                       plugin->PendingJobCount()),
            std::tuple(1l, size_t{0}, size_t{1}));
  (void)host->SetResource(kUri, Json("1"));
  EXPECT_EQ(std::pair(host->RunDueWork(), events), std::pair(size_t{2}, 0));
  // The count of 2 survived: a third Subscribe and two Unsubscribes leave the host alone, the
  // last Unsubscribe unsubscribes.
  const size_t calls = tap.Calls().size();
  plugin->Subscribe(kUri);
  plugin->Unsubscribe(kUri);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(tap.Calls().size(), calls);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(tap.Calls().back(), "Unsubscribe OnJsonApiEvent_qel-login_v1_session");
  const size_t tokens = CallbackGate::LiveTokenCount();
  Unload();
  EXPECT_EQ(CallbackGate::LiveTokenCount(), tokens - 2);  // the events' and the job's
}

// ---- resource events: subscription counts, observing the store, routing, publishing ----

constexpr const char* kSession = "OnJsonApiEvent_qel-login_v1_session";
constexpr const char* kChampions = "OnJsonApiEvent_qel-mhx_v2_recently-played-champions";
const std::string kSubscribe = std::string("Subscribe ") + kSession + " 0";
const std::string kUnsubscribe = std::string("Unsubscribe ") + kSession;

// Every handler call as "<tag> <uri> <event type> <data as JSON>".
ResourceHandler Recording(Lines& seen, std::string tag) {
  return [&seen, tag](const PluginResourceEvent& event) {
    seen.push_back(tag + " " + event.uri + " " + std::to_string(static_cast<int>(event.eventType)) +
                   " " + Json(event.data));
  };
}

TEST_F(PluginTest, UrisSharingAnEventNameShareOneHostSubscriptionCountedFromZero) {
  int calls = 0;
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent&) { ++calls; });
  }));
  plugin->Unsubscribe("/qel-login/v1/session");
  plugin->Unsubscribe("/qel-login/v1/session");  // at zero: changes nothing, does not wrap
  EXPECT_TRUE(tap.Deliver(kSession, R"({"uri":"/qel-login/v1/session","eventType":1})"));
  EXPECT_EQ(calls, 0);  // an event of an unsubscribed name is ignored
  plugin->Subscribe("/qel-login/v1/session");
  plugin->Subscribe("/qel-login/v1/session/extra");
  plugin->Unsubscribe("/qel-login/v1/session/extra");
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_EQ(CallsAfterStart(tap), (Lines{kSubscribe, "SendRequest 2 /qel-login/v1/session by 1",
                                         kUnsubscribe, kSubscribe, kUnsubscribe}));
  EXPECT_TRUE(LogLines().empty());
  // A resource the host cannot take is not published, with the conversion's message.
  BindingProperty value;
  value.SetString("needs a copy");
  RequestResult<> result;
  WithoutMemory([&] { result = plugin->PublishResource("/a/b", value); });
  ASSERT_FALSE(result.Ok());
  EXPECT_EQ(std::to_string(result.Failure().status) + " " + result.Failure().message,
            "0 Couldn't convert value to a host value because memory ran out.");
  EXPECT_FALSE(host->GetResource("/a/b").has_value());
}

TEST_F(PluginTest, ObservingReadsAStoredUriOnceAndRoutesChangesToTheExactHandlerBeforePatterns) {
  Lines seen;
  // Still queued when the plugin subscribes and reads: it belongs to the subscribers of its
  // moment, so the plugin sees one Create.
  Load();
  (void)host->SetResource("/qel-login/v1/session", Json(R"({"state":"SUCCEEDED"})"));
  const std::string champions = "/qel-mhx/v2/recently-played-champions/";
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", Recording(seen, "session"));
    self.ObserveResource("/qel-login/v1/other", Recording(seen, "other"));  // not stored
    self.ObserveResource(champions + "*", Recording(seen, "pattern"));
    // Observing a URI again replaces its handler.
    self.ObserveResource(champions + "7", Recording(seen, "replaced"));
    self.ObserveResource(champions + "7", Recording(seen, "exact"));
    self.ObserveResource(champions + "7/*", Recording(seen, "deeper"));
  }));
  EXPECT_EQ(host->RunDueWork(), 2u);
  (void)host->SetResource("/qel-login/v1/session", Json(R"({"id":7})"));
  for (const char* uri : {"7", "8", "7/x"})
    (void)host->SetResource(champions + uri, Json(R"({"x":1})"));
  EXPECT_TRUE(host->DeleteResource("/qel-login/v1/session"));
  EXPECT_EQ(host->RunDueWork(), 10u);
  // A host that drops the URI's leading slash still reaches the exact handler.
  ASSERT_TRUE(tap.Deliver(kChampions, R"({"uri":"qel-mhx/v2/recently-played-champions/7"})"));
  EXPECT_EQ(seen, (Lines{R"(session /qel-login/v1/session 0 {"state":"SUCCEEDED"})",
                         R"(session /qel-login/v1/session 1 {"id":7})",
                         R"(exact /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                         R"(pattern /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                         R"(pattern /qel-mhx/v2/recently-played-champions/8 0 {"x":1})",
                         R"(deeper /qel-mhx/v2/recently-played-champions/7/x 0 {"x":1})",
                         "session /qel-login/v1/session 2 ",
                         "exact qel-mhx/v2/recently-played-champions/7 0 ",
                         "pattern qel-mhx/v2/recently-played-champions/7 0 "}));
  EXPECT_EQ(CallsAfterStart(tap),
            (Lines{kSubscribe, "SendRequest 2 /qel-login/v1/session by 1",
                   "Subscribe OnJsonApiEvent_qel-login_v1_other 0",
                   "SendRequest 2 /qel-login/v1/other by 1",
                   std::string("Subscribe ") + kChampions + " 0",
                   "SendRequest 2 /qel-mhx/v2/recently-played-champions/7 by 1",
                   "SendRequest 2 /qel-mhx/v2/recently-played-champions/7 by 1"}));
}

TEST_F(PluginTest, APublishedResourceReachesTheStoreUnderItsNameAndOnJsonApiEvent) {
  ASSERT_TRUE(Start());
  HostValues::Recorder published;
  (void)host->AddEventObserver(published.Observer());
  BindingProperty value;
  value.Get("championId").SetUnsigned(17);
  EXPECT_TRUE(plugin->PublishResource("/qel-mhx/v2/recently-played-champions/7", value).Ok());
  const PluginResourceEvent event{"/a/b", PluginResourceEventType::Delete, {}};
  EXPECT_TRUE(plugin->SendEvent("OnJsonApiEvent_a_b", event, 5).Ok());  // names agree: once
  EXPECT_TRUE(
      plugin->PublishResource("/a/b", PluginManagerResource{PluginManagerState::PluginsInitialized})
          .Ok());
  const std::string champion =
      R"(|/qel-mhx/v2/recently-played-champions/7|Update|{"championId":17}|0)";
  const std::string state = R"(|/a/b|Update|{"state":"PluginsInitialized"}|0)";
  EXPECT_EQ(published.lines, (Lines{kChampions + champion, "OnJsonApiEvent" + champion,
                                    "OnJsonApiEvent_a_b|/a/b|Delete||5",
                                    "OnJsonApiEvent_a_b" + state, "OnJsonApiEvent" + state}));
  EXPECT_EQ(Json(*host->GetResource("/qel-mhx/v2/recently-played-champions/7")),
            R"({"championId":17})");
}

TEST_F(PluginTest, BadEventRecordsAreDroppedWithATraceAndAThrowingHandlerIsLogged) {
  int calls = 0;
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.AddEventHandler(kSession, ResourceHandler([&](const PluginResourceEvent& event) {
                           ++calls;
                           if (event.eventType == PluginResourceEventType::Delete)
                             throw std::runtime_error("boom");
                         }),
                         0);
  }));
  const auto [callback, context] = tap.Subscribed(kSession);
  static Lines traces;
  traces.clear();
  SetTraceHook([](const char* text) { traces.emplace_back(text); });
  callback(nullptr);
  HostEvent record{};
  record.context = context;
  callback(&record);  // no name
  record.name = kSession;
  record.payload.kind = HOST_VALUE_COLLECTION;
  record.payload.payload.collection = HostValueArray{nullptr, 3};
  callback(&record);
  EXPECT_TRUE(tap.Deliver(kSession, R"("just text")"));
  record.payload = HostValue{};
  record.context = reinterpret_cast<void*>(uintptr_t{0xDEAD});  // no token of the plugin's
  callback(&record);
  SetTraceHook(nullptr);
  EXPECT_EQ(calls, 0);
  const std::string prefix = "qel-mhx: Couldn't convert payload PluginResourceEvent for event " +
                             std::string(kSession) + ": ";
  EXPECT_EQ(traces,
            (Lines{"qel-mhx: Dropped an event without a name",
                   prefix + "Couldn't assign value to '<result>' because the input collection has "
                            "a null pointer and a size of 3.",
                   prefix + "Couldn't assign value to '<result>' of type PluginResourceEvent "
                            "because the input not a structure."}));
  (void)host->SetResource("/qel-login/v1/session", Json("1"));
  EXPECT_TRUE(host->DeleteResource("/qel-login/v1/session"));
  EXPECT_EQ(host->RunDueWork(), 4u);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(LogLines(),
            Lines{"2 qel-mhx: Handler of event " + std::string(kSession) + " failed: boom"});
}

// ---- API calls, resources as native values, streamed bodies, external requests ----

using Script = std::function<void(ApiResponseRecord&)>;

// A response record of the tap's: a value, an error flag with its message, a status; and how
// many of them the plugin released.
int gFreed = 0;
void Fill(ApiResponseRecord& record, uint32_t status, const char* json = "null",
          const char* error = nullptr, bool failed = false) {
  EXPECT_TRUE(Binding::ToHostValue(Json(json), nullptr, record.value));
  record.errorMessage = error != nullptr ? strdup(error) : nullptr;
  record.error = failed || error != nullptr ? 1 : 0;
  record.status = status;
  record.free = [](ApiResponseRecord* r) {
    ++gFreed;
    Binding::ReleaseHostValue(r->value);
    std::free(r->errorMessage);
  };
}

// A body stream read out one piece per call, each but the last followed by more; the piece
// "fail" fails its read and "long" claims more bytes than the buffer holds.
struct Stream {
  Lines pieces;
  size_t next = 0;
  int released = 0;

  void Attach(ApiResponseRecord& record) {
    Fill(record, 0);
    record.readBody = [](void* object, void* buffer, uint32_t* length, uint8_t* more) {
      auto& stream = *static_cast<Stream*>(object);
      EXPECT_TRUE(*length == 4096u && *more == 1u);
      const std::string& piece = stream.pieces.at(stream.next++);
      std::memcpy(buffer, piece.data(), piece.size());
      *length = piece == "long" ? 5000 : static_cast<uint32_t>(piece.size());
      *more = stream.next < stream.pieces.size() ? 1 : 0;
      return uint8_t{piece != "fail"};
    };
    record.releaseBody = [](void* object) { ++static_cast<Stream*>(object)->released; };
    record.bodyStream = this;
    record.bodySize = 123;
  }
};

class RequestTest : public PluginTest {
 protected:
  void SetUp() override { ASSERT_TRUE(Start()); }
  // Answers the plugin's next requests by `script`, or by the host core itself when null.
  void Answer(const Script& script) {
    gFreed = 0;
    tap.answerRequest = nullptr;
    if (script) tap.answerRequest = [script](auto& record, const auto&) { script(record); };
  }
};

// The named parameters of an error as "name=value" texts, sorted.
Lines ParametersOf(const RequestError& error) {
  Lines texts;
  for (const auto& [name, value] : error.parameters)
    texts.push_back(name + "=" + value.ToString());
  std::sort(texts.begin(), texts.end());
  return texts;
}

TEST_F(RequestTest, ApiCallsCarryTheirArgumentsAndFailuresTheCalleesStatusAndMessage) {
  // Rows: the target, the tap's answer (null: the host core answers), and what the caller gets:
  // the value as JSON, or "<status> <message> [<error parameters>]".
  const std::tuple<const char*, Script, std::string> cases[] = {
      {"/qel-mhx/v1/sum", {}, R"({"sum":42})"},
      {"/x", [](auto& r) { Fill(r, 500, "null", nullptr, true); },
       "500 Error response for POST /x: the response is marked failed but has no message"},
      {"/x", [](auto& r) { Fill(r, 200, "null", "odd"); }, "200 Error response for POST /x: odd"},
      {"/x", [](auto& r) { Fill(r, 404, "1"); }, "1"},
  };
  ApiParameters arguments;
  arguments["a"].SetSigned(2);
  arguments["b"].SetUnsigned(40);
  for (const auto& [target, script, expected] : cases) {
    Answer(script);
    {
      ApiCallResponse response;
      RequestResult<> result = plugin->CallApi(response, HttpMethod::Post, target, arguments);
      EXPECT_EQ(result.Ok()
                    ? Json(response.record.value)
                    : std::to_string(result.Failure().status) + " " + result.Failure().message,
                expected);
      if (!result.Ok()) {
        EXPECT_EQ(ParametersOf(result.Failure())[1] + ParametersOf(result.Failure())[2],
                  std::string("method=POSTurl=") + target);
      }
      EXPECT_EQ(gFreed, 0);  // the caller still reads the record
    }
    EXPECT_EQ(gFreed, script ? 1 : 0);
  }
  ApiParameters parameters;
  parameters["name"].SetString("text needs memory");
  ApiCallResponse refused;
  RequestResult<> result;
  WithoutMemory([&] { result = plugin->CallApi(refused, HttpMethod::Post, "/t", parameters); });
  const std::string memory = "Couldn't convert value to a host value because memory ran out.";
  EXPECT_EQ(std::to_string(result.Failure().status) + " " + result.Failure().message,
            "400 Request not sent: Error converting parameters for POST /t: " + memory);
  EXPECT_EQ(ParametersOf(result.Failure()), (Lines{"error=" + memory, "method=POST", "url=/t"}));
  EXPECT_EQ(tap.Calls().size(), 3u + 4u);  // Start's subscriptions and the requests above
}

TEST_F(RequestTest, GetResourceConvertsTheResultOrNamesTheStepThatFailed) {
  (void)host->SetResource("/r", Json(R"({"state":"PluginsInitialized"})"));
  (void)host->SetResource("/bogus", Json(R"({"state":"Bogus"})"));
  RequestResult<PluginManagerResource> native =
      plugin->GetResource<PluginManagerResource>(HttpMethod::Get, "/r");
  ASSERT_TRUE(native.Ok());
  EXPECT_EQ(native.Value().state, PluginManagerState::PluginsInitialized);

  Stream failing{{"fail", ""}}, overlong{{"long", ""}};
  const std::string reading = "Error reading streamed response for GET /r: Stream read error";
  const std::string converting = "Error converting response for GET ";
  const std::tuple<const char*, Script, uint32_t, std::string> cases[] = {
      {"/qel-mhx/v1/fail", {}, 409, "Error response for GET /qel-mhx/v1/fail: refused"},
      {"/r",
       [](auto& r) {
         r.value.kind = 42;
         r.free = [](ApiResponseRecord*) { ++gFreed; };
       },
       0,
       converting + "/r: Couldn't assign value to '<result>' of type object because the input is "
                    "of an incompatible type ''."},
      {"/bogus",
       {},
       0,
       converting + "/bogus: Bogus is not a valid PluginManagerState enumeration value for "
                    "'state'."},
      {"/r", [&](auto& r) { failing.Attach(r); }, 0, reading},
      {"/r", [&](auto& r) { overlong.Attach(r); }, 0, reading},
  };
  for (const auto& [target, script, status, message] : cases) {
    Answer(script);
    RequestResult<PluginManagerResource> result =
        plugin->GetResource<PluginManagerResource>(HttpMethod::Get, target);
    ASSERT_FALSE(result.Ok()) << message;
    EXPECT_EQ(std::pair(result.Failure().status, result.Failure().message),
              std::pair(status, message));
    EXPECT_EQ(gFreed, script ? 1 : 0);
  }
  EXPECT_EQ(failing.released + overlong.released, 2);
}

TEST_F(RequestTest, AStreamedBodyIsReadWithYieldsWhileDataIsMissing) {
  const std::string first = "[\"" + std::string(4096 - 2, 'a');
  Stream stream{{first, "\",", "1]"}};
  Answer([&](ApiResponseRecord& record) { stream.Attach(record); });
  RequestResult<BindingProperty> value =
      plugin->GetResource<BindingProperty>(HttpMethod::Get, "/stream");
  ASSERT_TRUE(value.Ok()) << value.Failure().message;
  EXPECT_EQ(std::tuple(value.Value().At(0).GetString().size(), value.Value().At(1).GetUnsigned(0),
                       stream.released, gFreed),
            std::tuple(size_t{4094}, size_t{1}, 1, 1));
  EXPECT_EQ(CallsAfterStart(tap),
            (Lines{"SendRequest 2 /stream by 1", "MarkWait Wait: yield 0", "Yield", "EndWait"}));
}

TEST_F(RequestTest, TheUserAgentComesFirstUnlessTheRequestHasOneInAnyCase) {
  for (const char* own : {"", "User-Agent", "USER-AGENT", "user-agent"}) {
    ExternalRequest request{HttpMethod::Post, "https://h/x", {{"REGION", "EU"}}, "{}", "", 30, 9};
    if (*own != '\0') request.headers[own] = "mine";
    ExternalRequestRecord record{};
    std::vector<ApiHeader> pairs;
    plugin->FillExternalRequest(request, record, pairs);
    EXPECT_EQ(std::to_string(record.method) + record.url + std::to_string(record.timeout) +
                  std::to_string(record.flags) +
                  std::string(reinterpret_cast<const char*>(record.body), record.bodyLength),
              "6https://h/x309{}");
    EXPECT_EQ(record.headers, pairs.data());
    Lines headers;
    for (uint32_t i = 0; i < record.headerCount; ++i)
      headers.push_back(std::string(pairs[i].name) + "=" + pairs[i].value);
    if (*own != '\0') std::sort(headers.begin(), headers.end());  // the map's order
    EXPECT_EQ(headers, (*own == '\0' ? Lines{"user-agent=OxleClient/18.0.0 (qel-mhx)", "REGION=EU"}
                                     : Lines{"REGION=EU", std::string(own) + "=mine"}));
  }
}

int gReleased = 0;

TEST_F(RequestTest, ExternalAnswersGetTheirMarksAndMessages) {
  // Rows: transport result, status, header count (of the two headers below; 3 is a null array
  // claiming two), body, and "<connection error> <status> <body mark> <header count>|<error>|
  // <body as JSON>".
  struct Case {
    int32_t transport;
    uint32_t status, headerCount;
    const char *body, *answer;
  };
  const Case cases[] = {
      {7, 0, 0, "connection refused", "1 0 -1 0|connection refused|"},
      {-1, 0, 0, "cancelled", "-1 0 -1 0|cancelled|"},
      {2, 0, 0, nullptr, "2 0 -1 0||"},
      {0, 200, 1, "", "0 200 1 1|{c}body was empty|"},
      {0, 204, 0, nullptr, "0 204 1 0|{c}body was empty|"},
      {0, 404, 2, R"({"x":[1]})", R"(0 404 0 2||{"x":[1]})"},
      {0, 200, 0, "[1]", "0 200 0 0||[1]"},
      {0, 200, 3, "[true]", "0 200 0 0|{c}headers was null|[true]"},
      {0, 500, 0, "oops",
       "0 500 1 0|Error deserializing json response for GET https://h/x: Error: Invalid value. at "
       "offset 0. given body oops|\"oops\""},
  };
  static const ApiHeader kHeaders[] = {{"a", "1"}, {"b", "2"}};
  for (const Case& c : cases) {
    gReleased = 0;
    tap.answerExternal = [&](ExternalResponseRecord& record, const ExternalRequestRecord& request) {
      EXPECT_EQ(std::to_string(request.method) + " " + request.url + " " + request.headers[0].name +
                    "=" + request.headers[0].value,
                "2 https://h/x user-agent=OxleClient/18.0.0 (qel-mhx)");
      record.transportResult = c.transport;
      record.status = c.status;
      record.headers = c.headerCount % 3 == 0 ? nullptr : kHeaders;  // null when none
      record.headerCount = c.headerCount == 3 ? 2 : c.headerCount;
      record.body = reinterpret_cast<const uint8_t*>(c.body);
      record.bodyLength = c.body != nullptr ? static_cast<uint32_t>(std::strlen(c.body)) : 0;
      record.release = [](ExternalResponseRecord*) { ++gReleased; };
    };
    ExternalRequest request;
    request.url = "https://h/x";
    const ExternalResponse answer = plugin->SendExternal(request);
    EXPECT_EQ(answer.secondMark, -1);
    const std::string body =
        answer.body.Kind() == Binding::ValueKind::Empty ? std::string() : Json(answer.body);
    std::string expected = c.answer;
    if (const size_t at = expected.find("{c}"); at != std::string::npos)
      expected.replace(at, 3, "Error converting response for GET https://h/x: ");
    EXPECT_EQ(std::to_string(answer.connectionError) + " " + std::to_string(answer.status) + " " +
                  std::to_string(answer.bodyMark) + " " + std::to_string(answer.headers.size()) +
                  "|" + answer.error + "|" + body,
              expected);
    EXPECT_EQ(gReleased, 1);
  }
}

// ---- service-proxy answers, waiting requests and their bound, telemetry ----

class ServiceProxyTest : public RequestTest {
 protected:
  void SendUuid(const std::string& uuid, const std::string& payload = "p") {
    ASSERT_TRUE(tap.Deliver("OnServiceProxyUuidEvent",
                            R"({"uuid":")" + uuid + R"(","payload":")" + payload + R"("})"));
  }
  void SendMethod(const char* event, const std::string& service, const std::string& method) {
    ASSERT_TRUE(tap.Deliver(event, R"({"serviceName":")" + service + R"(","methodName":")" +
                                       method + R"(","status":"ok"})"));
  }
  // Waits for `key`; the answers it gets as "<uuid>/<service>.<method>/<payload>/<status>".
  void Await(const char* key, Lines& answers) {
    plugin->AddServiceRequest(key, [&answers](const PluginServiceProxyResponse& response) {
      answers.push_back(response.uuid + "/" + response.serviceName + "." + response.methodName +
                        "/" + response.payload + "/" + response.status);
    });
  }
};

TEST_F(ServiceProxyTest, AsyncEventsGoToTheirHandlerAndResponsesWaitUnderUuidOrServiceDotMethod) {
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");  // no handler yet: one error
  int calls = 0;
  plugin->AddAsyncServiceHandler("s.m",
                                 [&](const auto& response) { calls += response.status == "ok"; });
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(std::pair(calls, plugin->ReceivedServiceResponseCount()), std::pair(1, size_t{0}));
  // The newest response of a key wins.
  SendMethod("OnServiceProxyMethodEvent", "a", "b");
  SendUuid("u1", "first");
  SendUuid("u2");
  SendUuid("u1", "second");
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);
  Lines answers;
  Await("a.b", answers);
  Await("u1", answers);
  EXPECT_EQ(std::pair(answers, plugin->ReceivedServiceResponseCount()),
            std::pair(Lines{"/a.b//ok", "u1/./second/"}, size_t{1}));
  EXPECT_EQ(LogLines(),
            (Lines{"2 qel-mhx: Could not find registered handler for async service proxy event s.m",
                   "3 qel-mhx: Fulfilled service proxy request: a.b",
                   "3 qel-mhx: Fulfilled service proxy request: u1"}));
}

TEST_F(ServiceProxyTest, AWaitingRequestIsAnsweredOnceAndAThrowingOneIsLoggedAndRemoved) {
  Lines answers;
  Await("u9", answers);
  int thrown = 0;
  plugin->AddServiceRequest("u1", [&](const auto&) {
    ++thrown;
    throw std::runtime_error("nope");
  });
  SendUuid("u8");  // answers nobody
  for (const char* uuid : {"u9", "u9", "u1", "u1"})
    SendUuid(uuid);
  EXPECT_EQ(std::pair(answers, thrown), std::pair(Lines{"u9/./p/"}, 1));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);  // u8 and the second u9 and u1
  EXPECT_EQ(LogLines(),
            (Lines{"3 qel-mhx: Fulfilled service proxy request: u9",
                   "2 qel-mhx: Handler of event OnServiceProxyUuidEvent failed: nope"}));
}

TEST_F(ServiceProxyTest, UnansweredResponsesAreBoundedDroppingTheOldestWithOneWarning) {
  for (size_t i = 0; i <= kMaxReceivedServiceResponses + 5; ++i)
    SendUuid("u" + std::to_string(i));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), kMaxReceivedServiceResponses);
  EXPECT_EQ(LogLines(), Lines{"1 qel-mhx: More than 1024 service proxy responses wait for a "
                              "request; dropping the oldest"});
  Lines answered;
  for (const char* key : {"u5", "u6", "u1029"})
    plugin->AddServiceRequest(key,
                              [&](const auto& response) { answered.push_back(response.uuid); });
  EXPECT_EQ(answered, (Lines{"u6", "u1029"}));
}

TEST_F(ServiceProxyTest, TelemetryPostsToTheEventsRouteAndReturnsAReadyFuture) {
  Lines arguments;
  tap.answerRequest = [&](ApiResponseRecord& record, const ApiRequestRecord& request) {
    for (uint32_t i = 0; i < request.nativeArgumentCount; ++i)
      arguments.push_back(request.nativeArguments[i].name);
    const bool broken = std::string_view(request.target) == "/telemetry/v1/events/broken";
    Fill(record, broken ? 503 : 204, "null", broken ? "refused" : nullptr);
  };
  ApiParameters parameters;
  parameters["seconds"].SetUnsigned(12);
  std::future<RequestResult<>> sent = plugin->Telemetry()->Post("started", parameters);
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(sent.get().Ok());
  RequestResult<> refused = plugin->Telemetry()->Post("broken", {}).get();
  ASSERT_FALSE(refused.Ok());
  EXPECT_EQ(std::to_string(refused.Failure().status) + " " + refused.Failure().message,
            "503 Error response for POST /telemetry/v1/events/broken: refused");
  EXPECT_EQ(arguments, Lines{"seconds"});
  EXPECT_EQ(tap.Calls().at(3), "SendRequest 6 /telemetry/v1/events/started by 1");
}

// ---- several host threads at once ----

constexpr auto kLimit = std::chrono::seconds(60);

using HostValues::RunTogether;

TEST_F(PluginTest, EventsJobsCallsAndSubscriptionChangesFromSeveralThreadsKeepExactCounts) {
  constexpr int kRounds = 100;
  std::atomic<int> events{0}, jobs{0}, read{0}, ticks{0}, toggles{0};
  // The latest value seen from each of the two numbering publishers (of /c/v1/e/2 and /c/v1/e/4):
  // the core delivers one event of a name at a time, in order.
  int last[2] = {-1, -1};
  bool ordered = true;
  Load({}, Host::HostMode::Threaded);
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource("/c/v1/e/*", [&](const PluginResourceEvent& event) {
      ++events;
      if (event.uri != "/c/v1/e/2" && event.uri != "/c/v1/e/4") return;
      const int n = std::stoi(Json(event.data)), at = event.uri == "/c/v1/e/4";
      ordered = ordered && n > last[at];
      last[at] = n;
    });
  }));
  // Due at once: the host's workers and the test's threads race to run each of them.
  for (int i = 0; i < kRounds; ++i)
    plugin->ScheduleAt("job", steady_clock::now(), [&] { ++jobs; });
  const auto each = [](auto step) {
    return [step] {
      for (int i = 0; i < kRounds; ++i)
        step(i);
    };
  };
  // Two threads change one name's subscription, so that one meets the other's host call.
  const auto toggle = each([&](int) {
    plugin->Subscribe("/other/v1/x");
    plugin->Unsubscribe("/other/v1/x/y");
  });
  const auto deliver = each([&](int) {
    tap.Deliver("OnJsonApiEvent_c_v1_e", R"({"uri":"/c/v1/e/1","eventType":"Update"})");
  });
  RunTogether({
      deliver,
      deliver,
      each([&](int i) { (void)host->SetResource("/c/v1/e/2", Json(std::to_string(i))); }),
      each([&](int i) {
        host->PublishEvent(
            "OnJsonApiEvent_c_v1_e",
            Json(R"({"uri":"/c/v1/e/4","eventType":1,"data":)" + std::to_string(i) + "}"));
      }),
      each([&](int i) { tap.RunJob(static_cast<size_t>(i)); }),
      each([&](int i) { tap.RunJob(static_cast<size_t>(kRounds - 1 - i)); }),
      toggle,
      toggle,
      each([&](int i) {
        tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":")" + std::to_string(i) + R"("})");
      }),
      each([&](int i) {
        if (i % 2 == 0 && Call(6, "/qel-mhx/v1/ticks").status == 202) ++ticks;
        if (i % 2 == 1 && Call(6, "/qel-mhx/v1/toggle").status == 200) ++toggles;
        const auto item =
            plugin->GetResource<BindingProperty>(HttpMethod::Get, "/qel-mhx/v1/items/5");
        if (item.Ok() && Json(item.Value()) == R"({"item":5})") ++read;
      }),
  });
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(host->RunDueWork(), 0u);  // the workers own the queues
  // Events (in order), jobs, reads, ticks and toggles (answered and run), pending jobs, unclaimed
  // answers.
  EXPECT_EQ(std::tuple(events.load(), ordered, jobs.load(), read.load(), ticks.load(),
                       gTicks.load(), toggles.load(), gToggles.load(), plugin->PendingJobCount(),
                       plugin->ReceivedServiceResponseCount()),
            std::tuple(4 * kRounds, true, kRounds, kRounds, kRounds / 2, kRounds / 2, kRounds / 2,
                       kRounds / 2, size_t{0}, size_t{kRounds}));
  // The host saw the toggled name's subscriptions strictly alternate, ending unsubscribed; one
  // out of order would have left a warning of an unsubscription it had no subscription for.
  std::string sequence;
  for (const std::string& call : tap.Calls()) {
    if (call == "Subscribe OnJsonApiEvent_other_v1_x 0") sequence += 'S';
    if (call == "Unsubscribe OnJsonApiEvent_other_v1_x") sequence += 'U';
  }
  size_t pairs = 0;
  while (sequence.compare(2 * pairs, 2, "SU") == 0)
    ++pairs;
  EXPECT_TRUE(pairs > 0 && 2 * pairs == sequence.size()) << sequence;
  EXPECT_TRUE(LogLines().empty());

  // Then an unload amid calls, publications and jobs ends them cleanly: a call made after it
  // began finds no route (or one unloading), and nothing reaches the plugin once it returned.
  std::atomic<int> calls{0}, bad{0};
  std::atomic<bool> unloaded{false};
  const auto work = each([&](int i) {
    const bool after = unloaded;
    if (i % 3 == 0) (void)host->SetResource("/c/v1/e/3", Json("1"));
    const uint32_t status = i % 3 == 0   ? 404
                            : i % 3 == 1 ? Call(6, "/qel-mhx/v1/ticks").status
                                         : Call(2, "/qel-mhx/v1/items/3").status;
    if (status != 404 && (after || (status != 200 && status != 202 && status != 503))) ++bad;
    ++calls;
  });
  RunTogether({work, work, work, [&] {
                 while (calls < 40)
                   std::this_thread::yield();
                 EXPECT_TRUE(host->UnloadModule(id).Ok());
                 unloaded = true;
               }});
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(bad, 0);
  const int seen = events + gTicks;
  (void)host->SetResource("/c/v1/e/last", Json("1"));
  EXPECT_EQ(Call(6, "/qel-mhx/v1/ticks").status, 404u);
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(events + gTicks, seen);
  // A tick route already running when the unload began may still ask for its job; the host
  // refuses it, and says so.
  for (const std::string& line : LogLines())
    EXPECT_EQ(line,
              "2 Module 'qel-mhx': ScheduleJob of 'tick' while unloading; the job will not run");
  plugin = nullptr;
}

// A host waits in UnsubscribeEvent for the deliveries of that name on other threads. A handler
// that subscribes meanwhile must not wait for the unsubscribing thread in turn.
TEST_F(PluginTest, AHandlerSubscribesWhileAnotherThreadUnsubscribesItsName) {
  constexpr auto kPatience = std::chrono::seconds(5);
  const char* kUri = "/c/v1/e/x";
  const std::string name = "OnJsonApiEvent_c_v1_e";
  HostValues::Signal delivering, unsubscribing, delivered;
  std::atomic<bool> waitedInVain{false};
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource(kUri, [&](const PluginResourceEvent&) {
      delivering.Set();
      EXPECT_TRUE(unsubscribing.Wait(kPatience));
      // Each meets the other thread's claim on the name's host subscription.
      plugin->Subscribe(kUri);
      plugin->Unsubscribe(kUri);
      plugin->Subscribe(kUri);
      delivered.Set();
    });
  }));
  tap.onUnsubscribe = [&](const char* unsubscribed) {
    if (unsubscribed != name) return;
    unsubscribing.Set();
    waitedInVain = !delivered.Wait(kPatience);
  };
  std::thread delivery([&] { tap.Deliver(name, R"({"uri":"/c/v1/e/x","eventType":"Update"})"); });
  EXPECT_TRUE(delivering.Wait(kPatience));
  plugin->Unsubscribe(kUri);
  delivery.join();
  tap.onUnsubscribe = nullptr;
  EXPECT_FALSE(waitedInVain);
  // The name ends subscribed at the host, as its count of 1 says.
  EXPECT_EQ(tap.Calls().back(), "Subscribe " + name + " 0");
}

TEST_F(PluginTest, UnloadWaitsForARunningJobAndRefusesLateOnes) {
  constexpr int kLateJobs = 50;
  std::atomic<bool> entered{false};
  std::atomic<uint32_t> handleSeen{0};
  std::atomic<int> lateRuns{0};
  ASSERT_TRUE(Start());
  TestPlugin* const self = plugin;
  // Not yet due for the host: only the test's threads run them.
  const auto later = steady_clock::now() + std::chrono::hours(1);
  for (int i = 0; i <= kLateJobs; ++i)
    plugin->ScheduleAt("late", later, [&] { ++lateRuns; });
  const size_t tokens = CallbackGate::LiveTokenCount();
  plugin->ScheduleAt("running", later, [&] {
    entered = true;
    // The unload withdraws the plugin's tokens, then waits for this call to return.
    while (CallbackGate::LiveTokenCount() > tokens - kLateJobs)
      std::this_thread::yield();
    handleSeen = self->PluginHandle();  // the plugin must still exist here
  });
  RunTogether({[&] { tap.RunJob(kLateJobs + 1); },
               [&] {
                 while (!entered)
                   std::this_thread::yield();
                 Unload();
               }});
  const auto late = [&] {
    for (int i = 0; i <= kLateJobs; ++i)
      tap.RunJob(static_cast<size_t>(i));
    tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":"x"})");
  };
  RunTogether({late, late, late, late});
  EXPECT_EQ(std::pair(handleSeen.load(), lateRuns.load()), std::pair(id, 0));
}

// ---- the API version and plugin names ----

TEST(ApiVersion, TextFormAddsPreReleaseAndBuildOnlyWhenSetAndCompatibilityNeedsNoOlderCore) {
  const std::pair<ApiVersion, const char*> cases[] = {
      {{18, 2, 1, "", ""}, "18.2.1"},
      {{18, 0, 0, "beta.1", ""}, "18.0.0-beta.1"},
      {{18, 0, 0, "", "abc"}, "18.0.0+abc"},
      {{4294967295u, 4294967295u, 4294967295u, "rc", "7"}, "4294967295.4294967295.4294967295-rc+7"},
  };
  for (const auto& [version, text] : cases)
    EXPECT_EQ(version.ToString(), text);
  // A core is compatible with the same major and no older minor and patch (another major is
  // refused by the plugin's export, see the death test there).
  const ApiVersion plugin{18, 3, 4, "", ""};
  const std::pair<ApiVersion, bool> compatible[] = {
      {{18, 3, 4, "", ""}, true},  {{18, 3, 5, "", ""}, true},       {{18, 4, 0, "", ""}, true},
      {{18, 3, 3, "", ""}, false}, {{18, 2, 99, "", ""}, false},     {{19, 3, 4, "", ""}, false},
      {{17, 9, 9, "", ""}, false}, {{18, 3, 4, "alpha", "x"}, true},
  };
  for (const auto& [core, expected] : compatible)
    EXPECT_EQ(IsCompatible(plugin, core), expected) << core.ToString();
}

class PluginNameTest : public Log::Testing::LoggerTest {};

TEST_F(PluginNameTest, UnknownKindGetsTheNeutralPrefixAndOneErrorLine) {
  Log::Testing::RecordingTarget recorder;
  ASSERT_TRUE(recorder.Configure(0, 0, 0, "#M"));
  EXPECT_EQ(MakePluginName("x", "frontend").fullName, "tpk-fe-x");
  EXPECT_EQ(MakePluginName("qel-mhx", "Backend").fullName, "tpk-xx-qel-mhx");
  ASSERT_EQ(recorder.written.size(), 1u);
  EXPECT_EQ(recorder.written[0].level + 10 * recorder.written[0].category, 12u);
  EXPECT_EQ(recorder.written[0].message,
            "            Plugin Manager| GetFullNameFromShortNameAndType(\"qel-mhx\", \"Backend\") "
            "called with an unknown type");
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
