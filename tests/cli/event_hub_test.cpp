// The event stream's hub: the message text, the prefix filter, the bounded queues that drop a
// slow client, and the client limit. The console log sink's line rules are here too.
#include "cli/event_hub.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/console_log.h"
#include "support/cli_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using CliSupport::Json;

const Oxle::Client::Binding::BindingProperty kData = Json(R"({"n":1,"text":"a\nb"})");

ObservedEvent Resource(std::string_view uri, std::string_view name = "OnJsonApiEvent") {
  return ObservedEvent{name, uri, "Update", kData, 0};
}

// The messages waiting for `client` (taken), or "closed" when it is closed.
std::string Drain(EventHub& hub, EventClient& client) {
  std::vector<std::shared_ptr<const std::string>> messages;
  if (!hub.Next(client, messages, std::chrono::milliseconds(0))) return "closed";
  std::string texts;
  for (const auto& message : messages)
    texts += *message;
  return texts;
}

TEST(EventHub, EachClientGetsWhatItsPrefixSelectsByUriOrNameAsOneDataLineOfCompactJson) {
  EventHub hub;
  auto all = hub.Connect(""), champions = hub.Connect("/qel-mhx/v2/"), ticks = hub.Connect("Tick");
  ASSERT_TRUE(all && champions && ticks);
  hub.Publish(Resource("/qel-mhx/v2/x"));
  hub.Publish(Resource("/qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"));
  hub.Publish(ObservedEvent{"Tick", "", "", Json("[1,2]"), 3});
  const std::string champion =
      "data: {\"data\":{\"n\":1,\"text\":\"a\\nb\"},\"eventType\":\"Update\","
      "\"name\":\"OnJsonApiEvent\",\"uri\":\"/qel-mhx/v2/x\"}\n\n";
  const std::string tick =
      "data: {\"data\":[1,2],\"eventType\":\"\",\"name\":\"Tick\",\"uri\":\"\"}\n\n";
  EXPECT_EQ(Drain(hub, *champions), champion);
  EXPECT_EQ(Drain(hub, *ticks), tick);
  const std::string everything = Drain(hub, *all);
  EXPECT_TRUE(everything.starts_with(champion) && everything.ends_with(tick)) << everything;
  EXPECT_NE(everything.find("/qel-login/v1/session"), std::string::npos);
  EXPECT_EQ(Drain(hub, *all), "");  // taken once
}

TEST(EventHub, AClientWhoseQueueWouldOverflowIsDroppedAndTheOthersGoOn) {
  EventHub hub(EventHubOptions{4, 3, 1 << 20});
  auto slow = hub.Connect(""), fast = hub.Connect("");
  const std::string one = EventHub::FormatEvent(Resource("/a"));
  for (int i = 0; i < 3; ++i) {
    hub.Publish(Resource("/a"));
    EXPECT_EQ(Drain(hub, *fast), one);
  }
  EXPECT_EQ(hub.DroppedCount(), 0u);
  hub.Publish(Resource("/a"));  // the slow one's fourth
  EXPECT_TRUE(hub.DroppedCount() == 1u && Drain(hub, *slow) == "closed" &&
              Drain(hub, *fast) == one);
  // A dropped client is not counted again, and stays until its sender disconnects it.
  hub.Publish(Resource("/a"));
  EXPECT_TRUE(hub.DroppedCount() == 1u && hub.ClientCount() == 2u);
  hub.Disconnect(slow);
  EXPECT_EQ(hub.ClientCount(), 1u);
}

TEST(EventHub, TheByteBoundDropsTooButAnEmptyQueueTakesAnyOneMessage) {
  const size_t size = EventHub::FormatEvent(Resource("/a")).size();
  EventHub hub(EventHubOptions{4, 100, size});  // room for exactly one message
  auto client = hub.Connect("");
  hub.Publish(Resource("/a"));
  EXPECT_EQ(Drain(hub, *client).size(), size);
  hub.Publish(
      ObservedEvent{"Big", "/big", "Update", Json("\"" + std::string(10 * size, 'x') + "\""), 0});
  EXPECT_EQ(hub.DroppedCount(), 0u);
  hub.Publish(Resource("/a"));
  EXPECT_EQ(hub.DroppedCount(), 1u);
}

TEST(EventHub, ConnectionsAreLimitedAndStopClosesEveryClient) {
  EventHub hub(EventHubOptions{2, 10, 1 << 20});
  auto first = hub.Connect(""), second = hub.Connect("");
  EXPECT_EQ(hub.Connect(""), nullptr);
  hub.Disconnect(first);
  auto third = hub.Connect("");
  ASSERT_NE(third, nullptr);
  hub.Publish(Resource("/a"));
  hub.Stop();
  EXPECT_TRUE(Drain(hub, *second) == "closed" && Drain(hub, *third) == "closed");
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
  EXPECT_TRUE(!sink.Shows(kLogOkay) && sink.Shows(kLogWarn));
}

}  // namespace
