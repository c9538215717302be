// Resources and events between the host core and a PluginBase plugin: the host's store changes
// reaching the plugin's observers, the plugin's publications reaching the store and the other
// subscribers, shared event names, exact URIs before patterns, and handlers that throw.
#include <gtest/gtest.h>

#include "hosted_plugin.h"

namespace PluginHostTest {
namespace {

using namespace Oxle::Client::Host;

TEST(PluginHostEvents, StoreChangesReachTheObserverAsCreateUpdateAndDelete) {
  HostedPair pair;
  pair.StartProbe();
  EXPECT_EQ(pair.host->SetResource(kSessionUri, Json(R"({"state":"IN_PROGRESS"})")),
            ResourceChange::Create);
  EXPECT_EQ(pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED","id":7})")),
            ResourceChange::Update);
  EXPECT_TRUE(pair.host->DeleteResource(kSessionUri));
  EXPECT_EQ(pair.host->RunDueWork(), 6u);  // each change under two names, one of them observed
  EXPECT_EQ(pair.probeSeen->Events(),
            (std::vector<std::string>{
                R"(session /qel-login/v1/session 0 {"state":"IN_PROGRESS"})",
                R"(session /qel-login/v1/session 1 {"id":7,"state":"SUCCEEDED"})",
                "session /qel-login/v1/session 2 ",  // no data
            }));
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostEvents, AResourceStoredBeforeStartReachesTheObserverOnce) {
  // The store's publication is still queued when the plugin subscribes and reads the
  // resource: it belongs to the subscribers of its moment, so the plugin sees one Create.
  HostedPair pair;
  EXPECT_EQ(pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED"})")),
            ResourceChange::Create);
  pair.StartProbe();
  (void)pair.host->RunDueWork();
  EXPECT_EQ(pair.probeSeen->Events(),
            (std::vector<std::string>{R"(session /qel-login/v1/session 0 {"state":"SUCCEEDED"})"}));
}

TEST(PluginHostEvents, UrisSharingAnEventNameShareOneSubscriptionAndKeepTheirOwnHandlers) {
  HostedPair pair;
  pair.StartProbe();
  (void)pair.host->SetResource(kSessionExtraUri, Json("1"));
  (void)pair.host->SetResource(kSessionUri, Json("2"));
  (void)pair.host->RunDueWork();
  EXPECT_EQ(pair.probeSeen->Events(),
            (std::vector<std::string>{"extra /qel-login/v1/session/extra 0 1",
                                      "session /qel-login/v1/session 0 2"}));
  // One of the two URIs goes: the name stays subscribed at the host for the other.
  pair.probe->Unsubscribe(kSessionExtraUri);
  EXPECT_TRUE(pair.recorder.Calls("UnsubscribeEvent").empty());
  (void)pair.host->SetResource(kSessionUri, Json("3"));
  (void)pair.host->RunDueWork();
  EXPECT_EQ(pair.probeSeen->Events().back(), "session /qel-login/v1/session 1 3");
  pair.probe->Unsubscribe(kSessionUri);
  EXPECT_EQ(pair.recorder.Calls("UnsubscribeEvent"),
            std::vector<std::string>{std::string("UnsubscribeEvent ") + kSessionEvent});
  (void)pair.host->SetResource(kSessionUri, Json("4"));
  (void)pair.host->RunDueWork();
  EXPECT_EQ(pair.probeSeen->Events().size(), 3u);
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostEvents, TheExactUrisHandlerRunsBeforeTheMatchingPattern) {
  HostedPair pair;
  pair.StartProbe();
  (void)pair.host->SetResource(kChampionSevenUri, Json(R"({"x":1})"));
  (void)pair.host->SetResource("/qel-mhx/v2/recently-played-champions/8", Json(R"({"x":2})"));
  (void)pair.host->SetResource("/qel-mhx/v2/recently-played-champions/7/deeper", Json("3"));
  (void)pair.host->RunDueWork();
  EXPECT_EQ(pair.probeSeen->Events(),
            (std::vector<std::string>{
                R"(exact /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                R"(pattern /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                R"(pattern /qel-mhx/v2/recently-played-champions/8 0 {"x":2})",
            }));
}

TEST(PluginHostEvents, EventsPublishedByNameAreRoutedByTheirUriOrDroppedWhenTheyDoNotConvert) {
  HostedPair pair;
  pair.StartProbe();
  pair.host->PublishEvent(kSessionEvent,
                          Json(R"({"uri":"qel-login/v1/session","eventType":"Update","data":7})"));
  pair.host->PublishEvent(kSessionEvent, Json("42"));
  pair.host->PublishEvent(kSessionEvent, Json(R"({"uri":"/qel-login/v1/session","eventType":9})"));
  pair.host->PublishEvent("OnJsonApiEvent_qel-login_v1_other",
                          Json(R"({"uri":"/qel-login/v1/session","eventType":"Update"})"));
  EXPECT_EQ(pair.host->RunDueWork(), 4u);
  EXPECT_EQ(pair.probeSeen->Events(), std::vector<std::string>{"session qel-login/v1/session 1 7"});
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostEvents, APublishedResourceReachesTheStoreAndIsPublishedUnderBothNames) {
  HostedPair pair;
  pair.LoadPeer();
  pair.peer->onStart = [](HostedPlugin& self) {
    std::shared_ptr<Observations> seen = self.seen;
    auto record = [seen](std::string tag) {
      return Plugin::ResourceHandler([seen, tag](const Plugin::PluginResourceEvent& event) {
        seen->Add(tag + " " + event.uri + " " + std::to_string(static_cast<int>(event.eventType)) +
                  " " + Json(event.data));
      });
    };
    self.ObserveResource("/qel-probe/v1/state", record("state"));
    self.AddEventHandler("OnJsonApiEvent", record("any"), 0);
  };
  pair.StartProbe();
  pair.StartPeer();
  EXPECT_TRUE(pair.peerSeen->Events().empty());  // nothing stored yet: the read found nothing

  const ApiCallResult published = pair.Call(6, "/qel-probe/v1/state/5");
  ASSERT_FALSE(published.failed) << published.errorMessage;
  EXPECT_EQ(pair.recorder.Calls("PublishEvent"),
            (std::vector<std::string>{"PublishEvent OnJsonApiEvent_qel-probe_v1_state",
                                      "PublishEvent OnJsonApiEvent"}));
  const std::optional<Binding::BindingProperty> stored =
      pair.host->GetResource("/qel-probe/v1/state");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(Json(*stored), R"({"n":5})");
  EXPECT_EQ(pair.host->RunDueWork(), 2u);
  EXPECT_EQ(pair.peerSeen->Events(),
            (std::vector<std::string>{R"(state /qel-probe/v1/state 1 {"n":5})",
                                      R"(any /qel-probe/v1/state 1 {"n":5})"}));

  // The host answers a GET of the stored URI itself, to its user and to a plugin.
  const ApiCallResult get = pair.Call(2, "/qel-probe/v1/state");
  EXPECT_EQ(get.status, 200u);
  EXPECT_EQ(Json(get.value), R"({"n":5})");
  EXPECT_EQ(Json(pair.Call(2, "/qel-peer/v1/relay?target=/qel-probe/v1/state").value),
            R"({"n":5})");
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostEvents, AThrowingHandlerIsLoggedAtErrorAndTheNextEventsStillArrive) {
  HostedPair pair;
  pair.StartProbe();
  pair.probeSeen->throwFromSession = true;
  (void)pair.host->SetResource(kSessionUri, Json("1"));
  (void)pair.host->SetResource(kSessionExtraUri, Json("2"));
  EXPECT_EQ(pair.host->RunDueWork(), 4u);
  pair.probeSeen->throwFromSession = false;
  (void)pair.host->SetResource(kSessionUri, Json("3"));
  EXPECT_EQ(pair.host->RunDueWork(), 2u);
  EXPECT_EQ(pair.probeSeen->Events(),
            (std::vector<std::string>{"extra /qel-login/v1/session/extra 0 2",
                                      "session /qel-login/v1/session 1 3"}));
  // The plugin's own line, and no report from the host of a callback that threw.
  EXPECT_EQ(
      pair.logs->Entries(),
      (std::vector<LogEntry>{{kLogError, "qel-probe",
                              "qel-probe: Handler of event OnJsonApiEvent_qel-login_v1_session "
                              "failed: session handler exploded"}}));
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Started);
}

TEST(PluginHostEvents, ServiceProxyEventsArriveThroughTheHostsFlaggedSubscriptions) {
  HostedPair pair;
  pair.StartProbe();
  const char* response =
      R"({"uuid":"u-1","serviceName":"a","methodName":"b","payload":"p","status":"ok","error":""})";
  pair.host->PublishEvent("OnServiceProxyUuidEvent", Json(response));
  pair.host->PublishEvent("OnServiceProxyMethodEvent", Json(response));
  pair.host->PublishEvent("OnServiceProxyAsyncEvent", Json(response));
  EXPECT_EQ(pair.host->RunDueWork(), 3u);
  EXPECT_EQ(pair.probe->ReceivedServiceResponseCount(), 2u);  // under "u-1" and "a.b"
  EXPECT_EQ(
      pair.logs->Entries(),
      (std::vector<LogEntry>{
          {kLogError, "qel-probe",
           "qel-probe: Could not find registered handler for async service proxy event a.b"}}));
}

}  // namespace
}  // namespace PluginHostTest
