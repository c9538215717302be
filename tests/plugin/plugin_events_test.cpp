// Resource events: subscriptions counted per event name, observing, routing to exact and pattern
// handlers, publishing, and records a host should never send.
#include <gtest/gtest.h>

#include <stdexcept>

#include "fake_host.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

constexpr const char* kSession = "OnJsonApiEvent_qel-login_v1_session";
constexpr const char* kChampions = "OnJsonApiEvent_qel-mhx_v2_recently-played-champions";
const std::string kSubscribe = std::string("SubscribeEvent:") + kSession;
const std::string kUnsubscribe = std::string("UnsubscribeEvent:") + kSession + ":23130";

// The host calls after Start's three service-proxy subscriptions.
std::vector<std::string> CallsAfterStart(const FakeHost& host) {
  std::vector<std::string> calls = host.Calls();
  calls.erase(calls.begin(), calls.begin() + 3);
  return calls;
}

TEST_F(PluginTest, UrisSharingAnEventNameShareOneHostSubscriptionCountedFromZero) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent&) { ++calls; });
  });
  EXPECT_EQ(host.Latest(kSession).flag, 0u);
  plugin->Unsubscribe("/qel-login/v1/session");
  plugin->Unsubscribe("/qel-login/v1/session");  // at zero: changes nothing, does not wrap
  EXPECT_TRUE(host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":1})"));
  EXPECT_EQ(calls, 0);  // an event of an unsubscribed name is ignored
  plugin->Subscribe("/qel-login/v1/session");
  plugin->Subscribe("/qel-login/v1/session/extra");
  plugin->Unsubscribe("/qel-login/v1/session/extra");
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_EQ(CallsAfterStart(host),
            (std::vector<std::string>{kSubscribe, "SendRequest:/qel-login/v1/session", kUnsubscribe,
                                      kSubscribe, kUnsubscribe}));
}

TEST_F(PluginTest, ObservingAnExactUriReadsItAndDeliversItsContentAsCreateAPatternOnlySubscribes) {
  host.answerRequest = [](ApiResponseRecord& record, const ApiRequestRecord& request) {
    if (std::string_view(request.target) == "/qel-login/v1/session") {
      AnswerValue(record, R"({"state":"SUCCEEDED"})");
    } else {
      AnswerError(record, "not found", 404);
    }
  };
  std::vector<std::string> seen;
  const ResourceHandler record = [&](const PluginResourceEvent& event) {
    seen.push_back(event.uri + " " + std::to_string(static_cast<int>(event.eventType)) + " " +
                   Codec::WriteJson(event.data, nullptr, nullptr));
  };
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", record);
    self.ObserveResource("/qel-login/v1/other", record);  // the read fails: only subscribed
    self.ObserveResource("/qel-mhx/v2/recently-played-champions/*", record);
  });
  EXPECT_EQ(seen, std::vector<std::string>{R"(/qel-login/v1/session 0 {"state":"SUCCEEDED"})"});
  const std::vector<ApiCall> requests = host.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, 2u);
  EXPECT_EQ(requests[0].target, "/qel-login/v1/session");
  EXPECT_EQ(requests[0].callerContext, reinterpret_cast<void*>(uintptr_t{0x5A5A}));
  EXPECT_TRUE(requests[0].arguments.empty());
  EXPECT_EQ(requests[1].target, "/qel-login/v1/other");
  EXPECT_EQ(CallsAfterStart(host),
            (std::vector<std::string>{kSubscribe, "SendRequest:/qel-login/v1/session",
                                      "SubscribeEvent:OnJsonApiEvent_qel-login_v1_other",
                                      "SendRequest:/qel-login/v1/other",
                                      std::string("SubscribeEvent:") + kChampions}));
}

TEST_F(PluginTest, TheExactHandlerRunsBeforeMatchingPatternsAndTheSlashIsRepaired) {
  std::vector<std::string> order;
  Start([&](TestPlugin& self) {
    self.ObserveResource(
        "/qel-mhx/v2/recently-played-champions/*",
        [&](const PluginResourceEvent& event) { order.push_back("pattern " + event.uri); });
    // Observing a URI again replaces its handler.
    self.ObserveResource("/qel-mhx/v2/recently-played-champions/7",
                         [&](const PluginResourceEvent&) { order.push_back("replaced"); });
    self.ObserveResource(
        "/qel-mhx/v2/recently-played-champions/7",
        [&](const PluginResourceEvent& event) { order.push_back("exact " + event.uri); });
    self.ObserveResource("/qel-mhx/v2/recently-played-champions/7/*",
                         [&](const PluginResourceEvent&) { order.push_back("deeper"); });
  });
  for (const char* uri :
       {"/qel-mhx/v2/recently-played-champions/7", "qel-mhx/v2/recently-played-champions/7",
        "/qel-mhx/v2/recently-played-champions/8",
        "/qel-mhx/v2/recently-played-champions/7/deeper"}) {
    const std::string json = std::string(R"({"uri":")") + uri + R"(","eventType":"Update"})";
    ASSERT_TRUE(host.DeliverJson(kChampions, json.c_str()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"exact /qel-mhx/v2/recently-played-champions/7",
                                             "pattern /qel-mhx/v2/recently-played-champions/7",
                                             "exact qel-mhx/v2/recently-played-champions/7",
                                             "pattern qel-mhx/v2/recently-played-champions/7",
                                             "pattern /qel-mhx/v2/recently-played-champions/8",
                                             "deeper"}));
}

TEST_F(PluginTest, APublishedResourceReachesTheHostUnderItsNameAndOnJsonApiEvent) {
  Start();
  Binding::BindingProperty value;
  value.Get("championId").SetUnsigned(17);
  EXPECT_TRUE(plugin->PublishResource("/qel-mhx/v2/recently-played-champions/7", value).Ok());
  const PluginResourceEvent event{"/a/b", PluginResourceEventType::Delete, {}};
  EXPECT_TRUE(plugin->SendEvent("OnJsonApiEvent_a_b", event, 5).Ok());  // names agree: once
  EXPECT_TRUE(
      plugin->PublishResource("/a/b", PluginManagerResource{PluginManagerState::PluginsInitialized})
          .Ok());
  std::vector<std::string> published;
  for (const Published& p : host.PublishedEvents()) {
    EXPECT_EQ(p.context, nullptr);
    published.push_back(p.name + " " + std::to_string(p.flags) + " " + p.payload);
  }
  const std::string champion =
      R"( 0 {"data":{"championId":17},"eventType":"Update","uri":"/qel-mhx/v2/recently-played-champions/7"})";
  const std::string state =
      R"( 0 {"data":{"state":"PluginsInitialized"},"eventType":"Update","uri":"/a/b"})";
  EXPECT_EQ(published,
            (std::vector<std::string>{
                kChampions + champion, "OnJsonApiEvent" + champion,
                R"(OnJsonApiEvent_a_b 5 {"data":null,"eventType":"Delete","uri":"/a/b"})",
                "OnJsonApiEvent_a_b" + state, "OnJsonApiEvent" + state}));
}

TEST_F(PluginTest, AResourceTheHostCannotTakeIsNotPublishedWithTheConversionsMessage) {
  Start();
  Binding::BindingProperty value;
  value.SetString("needs a copy");
  const Log::AllocationHooks previous = Log::GetAllocationHooks();
  Log::AllocationHooks failing = previous;
  failing.allocate = [](size_t, void*) -> void* { return nullptr; };
  failing.duplicate = [](const char*, void*) -> char* { return nullptr; };
  Log::SetAllocationHooks(failing);
  RequestResult<> result = plugin->PublishResource("/a/b", value);
  Log::SetAllocationHooks(previous);
  ASSERT_FALSE(result.Ok());
  EXPECT_EQ(result.Error().status, 0u);
  EXPECT_EQ(result.Error().message,
            "Couldn't convert value to a host value because memory ran out.");
  EXPECT_TRUE(host.PublishedEvents().empty());
}

TEST_F(PluginTest, BadEventRecordsAreDroppedWithATraceAndAThrowingHandlerIsLogged) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.AddEventHandler(kSession, ResourceHandler([&](const PluginResourceEvent& event) {
                           ++calls;
                           if (event.eventType == PluginResourceEventType::Delete)
                             throw std::runtime_error("boom");
                         }),
                         0);
  });
  const Subscription subscription = host.Latest(kSession);
  TraceCapture traces;
  subscription.callback(nullptr);
  HostEvent record{};
  record.context = subscription.context;
  subscription.callback(&record);  // no name
  record.name = kSession;
  record.payload.kind = HOST_VALUE_COLLECTION;
  record.payload.payload.collection = HostValueArray{nullptr, 3};
  subscription.callback(&record);
  EXPECT_TRUE(host.DeliverJson(kSession, R"("just text")"));
  EXPECT_TRUE(host.DeliverJson(kSession, R"({"uri":"/x","eventType":"Sideways"})"));
  record.payload = HostValue{};
  record.context = reinterpret_cast<void*>(uintptr_t{0xDEAD});  // no token of the plugin's
  subscription.callback(&record);
  EXPECT_EQ(calls, 0);
  const std::string prefix = "qel-mhx: Couldn't convert payload PluginResourceEvent for event " +
                             std::string(kSession) + ": ";
  EXPECT_EQ(TraceCapture::Taken(),
            (std::vector<std::string>{
                "qel-mhx: Dropped an event without a name",
                prefix + "Couldn't assign value to '<result>' because the input collection has a "
                         "null pointer and a size of 3.",
                prefix + "Couldn't assign value to '<result>' of type PluginResourceEvent because "
                         "the input not a structure.",
                prefix + "Sideways is not a valid PluginResourceEventType enumeration value for "
                         "'eventType'.",
            }));

  EXPECT_TRUE(host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":2})"));
  EXPECT_TRUE(host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":1})"));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(host.Logs(),
            (std::vector<std::pair<int32_t, std::string>>{
                {2, "qel-mhx: Handler of event " + std::string(kSession) + " failed: boom"}}));
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
