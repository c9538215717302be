// The event stream's hub: the message text, the prefix filter, the bounded queues that drop a
// slow client, and the client limit. The console log sink's line rules are here too.
#include "cli/event_hub.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/console_log.h"
#include "host/host_test_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using HostTest::Json;
using std::chrono::milliseconds;

using Messages = std::vector<std::shared_ptr<const std::string>>;

const Oxle::Client::Binding::BindingProperty kData = Json(R"({"n":1,"text":"a\nb"})");

ObservedEvent Resource(std::string_view uri, std::string_view name = "OnJsonApiEvent") {
  return ObservedEvent{name, uri, "Update", kData, 0};
}

std::vector<std::string> Drain(EventHub& hub, EventClient& client) {
  Messages messages;
  EXPECT_TRUE(hub.Next(client, messages, milliseconds(0)));
  std::vector<std::string> texts;
  for (const auto& message : messages)
    texts.push_back(*message);
  return texts;
}

TEST(EventHub, AMessageIsOneDataLineOfCompactJson) {
  EXPECT_EQ(EventHub::FormatEvent(Resource("/qel-mhx/v2/x")),
            "data: {\"data\":{\"n\":1,\"text\":\"a\\nb\"},\"eventType\":\"Update\","
            "\"name\":\"OnJsonApiEvent\",\"uri\":\"/qel-mhx/v2/x\"}\n\n");
  const auto payload = Json("[1,2]");
  EXPECT_EQ(EventHub::FormatEvent(ObservedEvent{"Tick", "", "", payload, 3}),
            "data: {\"data\":[1,2],\"eventType\":\"\",\"name\":\"Tick\",\"uri\":\"\"}\n\n");
}

TEST(EventHub, EachClientGetsWhatItsPrefixSelectsByUriOrName) {
  EventHub hub;
  auto all = hub.Connect("");
  auto champions = hub.Connect("/qel-mhx/v2/");
  auto ticks = hub.Connect("Tick");
  ASSERT_TRUE(all && champions && ticks);
  hub.Publish(Resource("/qel-mhx/v2/recently-played-champions/7"));
  hub.Publish(Resource("/qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"));
  hub.Publish(ObservedEvent{"Tick", "", "", kData, 0});
  EXPECT_EQ(Drain(hub, *all).size(), 3u);
  const std::vector<std::string> selected = Drain(hub, *champions);
  ASSERT_EQ(selected.size(), 1u);
  EXPECT_NE(selected[0].find("recently-played-champions/7"), std::string::npos);
  const std::vector<std::string> named = Drain(hub, *ticks);
  ASSERT_EQ(named.size(), 1u);
  EXPECT_NE(named[0].find("\"name\":\"Tick\""), std::string::npos);
  EXPECT_TRUE(Drain(hub, *all).empty());  // taken once
}

TEST(EventHub, AClientWhoseQueueWouldOverflowIsDroppedAndTheOthersGoOn) {
  EventHub hub(EventHubOptions{4, 3, 1 << 20});
  auto slow = hub.Connect("");
  auto fast = hub.Connect("");
  for (int i = 0; i < 3; ++i) {
    hub.Publish(Resource("/a"));
    EXPECT_EQ(Drain(hub, *fast).size(), 1u);
  }
  EXPECT_EQ(hub.DroppedCount(), 0u);
  hub.Publish(Resource("/a"));  // the slow one's fourth
  EXPECT_EQ(hub.DroppedCount(), 1u);
  Messages messages;
  EXPECT_FALSE(hub.Next(*slow, messages, milliseconds(0)));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Drain(hub, *fast).size(), 1u);
  hub.Publish(Resource("/a"));  // a dropped client is not counted again
  EXPECT_EQ(hub.DroppedCount(), 1u);
  EXPECT_EQ(hub.ClientCount(), 2u);  // until its sender disconnects it
  hub.Disconnect(slow);
  EXPECT_EQ(hub.ClientCount(), 1u);
}

TEST(EventHub, TheByteBoundDropsTooButAnEmptyQueueTakesAnyOneMessage) {
  const size_t size = EventHub::FormatEvent(Resource("/a")).size();
  EventHub hub(EventHubOptions{4, 100, size});  // room for exactly one message
  auto client = hub.Connect("");
  hub.Publish(Resource("/a"));
  EXPECT_EQ(Drain(hub, *client).size(), 1u);
  const auto big = Json("\"" + std::string(10 * size, 'x') + "\"");
  hub.Publish(ObservedEvent{"Big", "/big", "Update", big, 0});
  EXPECT_EQ(hub.DroppedCount(), 0u);
  hub.Publish(Resource("/a"));
  EXPECT_EQ(hub.DroppedCount(), 1u);
}

TEST(EventHub, ConnectionsAreLimitedAndStopClosesEveryClient) {
  EventHub hub(EventHubOptions{2, 10, 1 << 20});
  auto first = hub.Connect("");
  auto second = hub.Connect("");
  EXPECT_EQ(hub.Connect(""), nullptr);
  hub.Disconnect(first);
  auto third = hub.Connect("");
  ASSERT_NE(third, nullptr);
  hub.Publish(Resource("/a"));
  hub.Stop();
  Messages messages;
  EXPECT_FALSE(hub.Next(*second, messages, milliseconds(0)));
  EXPECT_FALSE(hub.Next(*third, messages, milliseconds(0)));
  hub.Disconnect(second);
  EXPECT_EQ(hub.Connect(""), nullptr);
}

TEST(ConsoleLog, LinesShowTheLevelAndModuleFromTheLeastLevelUpWithoutSecretsOrBreaks) {
  std::ostringstream out;
  ConsoleLogSink sink(out, kLogWarn, "s3cr3t");
  sink.Write(LogEntry{kLogOkay, "qel-mhx", "hidden below the least level"});
  sink.Write(LogEntry{kLogWarn, "qel-mhx", "Failed to retrieve recently played champs"});
  sink.Write(LogEntry{kLogError, kHostLogName, "two\r\nlines"});
  sink.Write(LogEntry{kLogAlways, "m", "token s3cr3t and s3cr3ts3cr3t"});
  sink.Host(kLogError, "bad s3cr3t");
  EXPECT_EQ(out.str(),
            "WARN qel-mhx: Failed to retrieve recently played champs\n"
            "ERROR <host>: two  lines\n"
            "ALWAYS m: token <token> and <token><token>\n"
            "ERROR tpk-host: bad <token>\n");
  EXPECT_FALSE(sink.Shows(kLogOkay));
  EXPECT_TRUE(sink.Shows(kLogWarn));
}

}  // namespace
