// Resource events: subscriptions, delivery, routing to exact and pattern handlers, observing
// and publishing, and records a host should never send.
#include <gtest/gtest.h>

#include <stdexcept>

#include "fake_host.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

constexpr const char* kSession = "OnJsonApiEvent_qel-login_v1_session";
constexpr const char* kChampions = "OnJsonApiEvent_qel-mhx_v2_recently-played-champions";

// The host calls after Start's three service-proxy subscriptions.
std::vector<std::string> CallsAfterStart(const FakeHost& host) {
  std::vector<std::string> calls = host.Calls();
  calls.erase(calls.begin(), calls.begin() + 3);
  return calls;
}

TEST_F(PluginTest, UrisSharingAnEventNameShareOneHostSubscription) {
  Start();
  plugin->Subscribe("/qel-login/v1/session");
  plugin->Subscribe("/qel-login/v1/session/extra");
  EXPECT_EQ(CallsAfterStart(host),
            std::vector<std::string>{"SubscribeEvent:" + std::string(kSession)});
  EXPECT_EQ(host.Latest(kSession).flag, 0u);
  plugin->Unsubscribe("/qel-login/v1/session/extra");
  EXPECT_EQ(CallsAfterStart(host).size(), 1u);
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_EQ(CallsAfterStart(host),
            (std::vector<std::string>{"SubscribeEvent:" + std::string(kSession),
                                      "UnsubscribeEvent:" + std::string(kSession) + ":23130"}));
}

TEST_F(PluginTest, UnsubscribingANameAtZeroChangesNothing) {
  Start();
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_TRUE(CallsAfterStart(host).empty());
  // Had the count wrapped round, this would not subscribe at the host.
  plugin->Subscribe("/qel-login/v1/session");
  plugin->Unsubscribe("/qel-login/v1/session");
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_EQ(CallsAfterStart(host),
            (std::vector<std::string>{"SubscribeEvent:" + std::string(kSession),
                                      "UnsubscribeEvent:" + std::string(kSession) + ":23130"}));
}

TEST_F(PluginTest, ObservingAnExactUriDeliversItsCurrentContentAsCreate) {
  host.answerRequest = [](ApiResponseRecord& record, const ApiRequestRecord&) {
    AnswerValue(record, R"({"state":"SUCCEEDED"})");
  };
  std::vector<std::string> seen;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent& event) {
      seen.push_back(event.uri + " " + std::to_string(static_cast<int>(event.eventType)) + " " +
                     Codec::WriteJson(event.data, nullptr, nullptr));
    });
  });
  EXPECT_EQ(seen, std::vector<std::string>{R"(/qel-login/v1/session 0 {"state":"SUCCEEDED"})"});
  const std::vector<ApiCall> requests = host.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, 2u);
  EXPECT_EQ(requests[0].target, "/qel-login/v1/session");
  EXPECT_EQ(requests[0].callerContext, reinterpret_cast<void*>(uintptr_t{0x5A5A}));
  EXPECT_TRUE(requests[0].arguments.empty());
}

TEST_F(PluginTest, ObservingWhenTheReadFailsOnlySubscribes) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent&) { ++calls; });
  });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(host.Requests().size(), 1u);
  EXPECT_EQ(host.Latest(kSession).name, kSession);
}

TEST_F(PluginTest, ObservingAPatternMakesNoRequest) {
  Start([](TestPlugin& self) {
    self.ObserveResource("/qel-mhx/v2/recently-played-champions/*", [](const auto&) {});
  });
  EXPECT_TRUE(host.Requests().empty());
  EXPECT_EQ(CallsAfterStart(host),
            std::vector<std::string>{"SubscribeEvent:" + std::string(kChampions)});
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
  ASSERT_TRUE(host.DeliverJson(
      kChampions, R"({"uri":"/qel-mhx/v2/recently-played-champions/7","eventType":"Update"})"));
  ASSERT_TRUE(host.DeliverJson(
      kChampions, R"({"uri":"qel-mhx/v2/recently-played-champions/7","eventType":"Update"})"));
  ASSERT_TRUE(host.DeliverJson(
      kChampions, R"({"uri":"/qel-mhx/v2/recently-played-champions/8","eventType":"Delete"})"));
  EXPECT_EQ(order, (std::vector<std::string>{"exact /qel-mhx/v2/recently-played-champions/7",
                                             "pattern /qel-mhx/v2/recently-played-champions/7",
                                             "exact qel-mhx/v2/recently-played-champions/7",
                                             "pattern qel-mhx/v2/recently-played-champions/7",
                                             "pattern /qel-mhx/v2/recently-played-champions/8"}));
}

TEST_F(PluginTest, AnEventOfAnUnsubscribedNameIsIgnored) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent&) { ++calls; });
  });
  plugin->Unsubscribe("/qel-login/v1/session");
  EXPECT_TRUE(
      host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":"Update"})"));
  EXPECT_EQ(calls, 0);
}

TEST_F(PluginTest, APublishedResourceReachesTheHostTwiceDifferingOnlyInName) {
  Start();
  Binding::BindingProperty value;
  value.Get("championId").SetUnsigned(17);
  EXPECT_TRUE(plugin->PublishResource("/qel-mhx/v2/recently-played-champions/7", value).Ok());
  const std::vector<Published> published = host.PublishedEvents();
  ASSERT_EQ(published.size(), 2u);
  const char* payload =
      R"({"data":{"championId":17},"eventType":"Update","uri":"/qel-mhx/v2/recently-played-champions/7"})";
  EXPECT_EQ(published[0].name, kChampions);
  EXPECT_EQ(published[1].name, "OnJsonApiEvent");
  for (const Published& event : published) {
    EXPECT_EQ(event.payload, payload);
    EXPECT_EQ(event.flags, 0u);
    EXPECT_EQ(event.context, nullptr);
  }
}

TEST_F(PluginTest, SendEventPublishesOnceWhenTheNamesAgreeAndConvertsStructs) {
  Start();
  const PluginResourceEvent event{"/a/b", PluginResourceEventType::Delete, {}};
  EXPECT_TRUE(plugin->SendEvent("OnJsonApiEvent_a_b", event, 5).Ok());
  EXPECT_TRUE(
      plugin->PublishResource("/a/b", PluginManagerResource{PluginManagerState::PluginsInitialized})
          .Ok());
  const std::vector<Published> published = host.PublishedEvents();
  ASSERT_EQ(published.size(), 3u);
  EXPECT_EQ(published[0].name, "OnJsonApiEvent_a_b");
  EXPECT_EQ(published[0].flags, 5u);
  EXPECT_EQ(published[0].payload, R"({"data":null,"eventType":"Delete","uri":"/a/b"})");
  EXPECT_EQ(published[2].payload,
            R"({"data":{"state":"PluginsInitialized"},"eventType":"Update","uri":"/a/b"})");
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

TEST_F(PluginTest, BadEventRecordsAreDroppedWithATrace) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.AddEventHandler("OnJsonApiEvent_qel-login_v1_session",
                         ResourceHandler([&](const PluginResourceEvent&) { ++calls; }), 0);
  });
  const Subscription subscription = host.Latest(kSession);
  TraceCapture traces;
  subscription.callback(nullptr);

  HostEvent unnamed{};
  unnamed.context = subscription.context;
  subscription.callback(&unnamed);

  HostEvent broken{};
  broken.name = kSession;
  broken.context = subscription.context;
  broken.payload.kind = HOST_VALUE_COLLECTION;
  broken.payload.payload.collection = HostValueArray{nullptr, 3};
  subscription.callback(&broken);

  JsonHostValue text(R"("just text")");
  EXPECT_TRUE(host.Deliver(kSession, text.value));
  JsonHostValue wrongField(R"({"uri":"/x","eventType":"Sideways"})");
  EXPECT_TRUE(host.Deliver(kSession, wrongField.value));

  HostEvent stranger{};
  stranger.name = kSession;
  stranger.context = reinterpret_cast<void*>(uintptr_t{0xDEAD});
  subscription.callback(&stranger);

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
}

TEST_F(PluginTest, AThrowingHandlerIsLoggedAndTheNextEventStillArrives) {
  int calls = 0;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/qel-login/v1/session", [&](const PluginResourceEvent& event) {
      ++calls;
      if (event.eventType == PluginResourceEventType::Delete) throw std::runtime_error("boom");
    });
  });
  EXPECT_TRUE(
      host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":"Delete"})"));
  EXPECT_TRUE(
      host.DeliverJson(kSession, R"({"uri":"/qel-login/v1/session","eventType":"Update"})"));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(host.Logs(),
            (std::vector<std::pair<int32_t, std::string>>{
                {2, "qel-mhx: Handler of event " + std::string(kSession) + " failed: boom"}}));
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
