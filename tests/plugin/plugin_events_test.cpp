// Resource events: subscriptions counted per event name, observing the store, routing to exact
// and pattern handlers, publishing, and records a host should never send.
#include <gtest/gtest.h>

#include <stdexcept>

#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

constexpr const char* kSession = "OnJsonApiEvent_qel-login_v1_session";
constexpr const char* kChampions = "OnJsonApiEvent_qel-mhx_v2_recently-played-champions";
const std::string kSubscribe = std::string("Subscribe ") + kSession + " 0";
const std::string kUnsubscribe = std::string("Unsubscribe ") + kSession;

// The tap's calls after Start's three service-proxy subscriptions.
Lines CallsAfterStart(const Tap& tap) {
  Lines calls = tap.Calls();
  calls.erase(calls.begin(), calls.begin() + 3);
  return calls;
}

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
  Lines published;
  (void)host->AddEventObserver([&](const Host::ObservedEvent& event) {
    published.push_back(std::string(event.name) + " " + std::to_string(event.flags) + " " +
                        std::string(event.eventType) + " " + std::string(event.uri) + " " +
                        Json(event.data));
  });
  BindingProperty value;
  value.Get("championId").SetUnsigned(17);
  EXPECT_TRUE(plugin->PublishResource("/qel-mhx/v2/recently-played-champions/7", value).Ok());
  const PluginResourceEvent event{"/a/b", PluginResourceEventType::Delete, {}};
  EXPECT_TRUE(plugin->SendEvent("OnJsonApiEvent_a_b", event, 5).Ok());  // names agree: once
  EXPECT_TRUE(
      plugin->PublishResource("/a/b", PluginManagerResource{PluginManagerState::PluginsInitialized})
          .Ok());
  const std::string champion =
      R"( 0 Update /qel-mhx/v2/recently-played-champions/7 {"championId":17})";
  const std::string state = R"( 0 Update /a/b {"state":"PluginsInitialized"})";
  EXPECT_EQ(published, (Lines{kChampions + champion, "OnJsonApiEvent" + champion,
                              "OnJsonApiEvent_a_b 5 Delete /a/b ", "OnJsonApiEvent_a_b" + state,
                              "OnJsonApiEvent" + state}));
  EXPECT_EQ(Json(*host->GetResource("/qel-mhx/v2/recently-played-champions/7")),
            R"({"championId":17})");
}

TEST_F(PluginTest, AResourceTheHostCannotTakeIsNotPublishedWithTheConversionsMessage) {
  ASSERT_TRUE(Start());
  BindingProperty value;
  value.SetString("needs a copy");
  RequestResult<> result;
  WithoutMemory([&] { result = plugin->PublishResource("/a/b", value); });
  ASSERT_FALSE(result.Ok());
  EXPECT_EQ(result.Error().status, 0u);
  EXPECT_EQ(result.Error().message,
            "Couldn't convert value to a host value because memory ran out.");
  EXPECT_FALSE(host->GetResource("/a/b").has_value());
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
  Lines traces;
  static Lines* collected = nullptr;
  collected = &traces;
  SetTraceHook([](const char* text) { collected->emplace_back(text); });
  callback(nullptr);
  HostEvent record{};
  record.context = context;
  callback(&record);  // no name
  record.name = kSession;
  record.payload.kind = HOST_VALUE_COLLECTION;
  record.payload.payload.collection = HostValueArray{nullptr, 3};
  callback(&record);
  EXPECT_TRUE(tap.Deliver(kSession, R"("just text")"));
  EXPECT_TRUE(tap.Deliver(kSession, R"({"uri":"/x","eventType":"Sideways"})"));
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
                            "because the input not a structure.",
                   prefix + "Sideways is not a valid PluginResourceEventType enumeration value "
                            "for 'eventType'."}));
  (void)host->SetResource("/qel-login/v1/session", Json("1"));
  EXPECT_TRUE(host->DeleteResource("/qel-login/v1/session"));
  EXPECT_EQ(host->RunDueWork(), 4u);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(LogLines(),
            Lines{"2 qel-mhx: Handler of event " + std::string(kSession) + " failed: boom"});
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
