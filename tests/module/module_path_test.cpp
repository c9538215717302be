// The module as a host loads it: from the built shared object by path. Its logger is its own (the
// host's copy of the framework keeps its targets). Its routes and counters by path are tested
// with the linked-in ones in module_test; its export table by export_table.cmake.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/logger.h"
#include "log/logging_functions.h"
#include "module_test_support.h"

namespace ModuleTest {
namespace {

#ifdef TPK_MODULE_PATH
TEST(ModuleFile, ByPathTheModulesLoggerIsItsOwnAndInProcessItIsShared) {
  struct Case {
    Load load;
    bool hostLineReachesTheSink;
  };
  const Case cases[] = {{Load::ByPath, false}, {Load::Tapped, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.load == Load::ByPath ? "by path" : "in process");
    LoadedMhx mhx(c.load);
    ASSERT_FALSE(
        mhx.Call(Api::HttpMethod::Post, "/qel-mhx/v1/mhx-endpoint-override", R"({"url":"u"})")
            .failed);
    Log::Log(Log::ALWAYS, 1, 0, "from the test's own logger");
    const std::vector<Host::LogEntry> entries = mhx.logs->Entries();
    const Host::LogEntry moduleLine{Host::kLogAlways, "qel-mhx", "Mhx Endpoint Override: 'u'"};
    const Host::LogEntry hostLine{Host::kLogAlways, "qel-mhx", "from the test's own logger"};
    EXPECT_NE(std::find(entries.begin(), entries.end(), moduleLine), entries.end());
    EXPECT_EQ(std::find(entries.begin(), entries.end(), hostLine) != entries.end(),
              c.hostLineReachesTheSink);
    ASSERT_TRUE(mhx.host.UnloadModule(mhx.id).Ok());
  }
}

#endif

}  // namespace
}  // namespace ModuleTest
