#include "log/plugin_log_target.h"

#include <gtest/gtest.h>

#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

// A host whose only working slot is Log; it records the calls.
struct HostLogCall {
  const HostApi* api;
  int32_t level;
  std::string message;
};
std::vector<HostLogCall> gHostCalls;

int32_t HostLog(const HostApi* api, int32_t level, const char* message) {
  gHostCalls.push_back({api, level, message});
  return 0;
}

class PluginLogTargetTest : public Testing::LoggerTest {};

TEST_F(PluginLogTargetTest, ForwardsLevelAndMessageToHostSlotNine) {
  gHostCalls.clear();
  HostApi host{};
  host.Log = &HostLog;
  PluginLogTarget target(&host);
  ASSERT_TRUE(target.Configure(OKAY, 0, 0, "#D| #L| #G| #M"));
  logger.SetMinimumLevel(OKAY);
  Log(OKAY, 0, 0, "count=%d", 3);
  Log(ALWAYS, 8, 0, "line\n");
  // The message as logged, not a formatted line.
  ASSERT_EQ(gHostCalls.size(), 2u);
  EXPECT_EQ(std::tuple(gHostCalls[0].api, gHostCalls[0].level, gHostCalls[0].message,
                       gHostCalls[1].level, gHostCalls[1].message),
            std::tuple(&host, OKAY, "count=3", ALWAYS, "line\n"));

  // Without a host or its Log function nothing is written.
  const HostApi empty{};
  const LogRecord record = Testing::FixedRecord(WARN, 0, "m");
  for (const HostApi* api : {static_cast<const HostApi*>(nullptr), &empty}) {
    PluginLogTarget silent(api);
    EXPECT_EQ(silent.Handle()->functions->Write(silent.Handle(), &record), 0);
  }
}

}  // namespace
}  // namespace Oxle::Client::Log
