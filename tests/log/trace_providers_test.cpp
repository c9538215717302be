#include "log/trace_providers.h"

#include <gtest/gtest.h>

namespace Oxle::Client::Log {
namespace {

TEST(TraceProvidersTest, RegisteringWithoutEventTracingLeavesEveryProviderUnregistered) {
  RegisterTraceProviders();
  for (size_t i = 0; i < kTraceProviderCount; ++i) {
    EXPECT_EQ(TraceProviderHandle(i), 0u);
    EXPECT_FALSE(ReadTraceProviderState(i).enabled);
  }
  UnregisterTraceProviders();
}

}  // namespace
}  // namespace Oxle::Client::Log
