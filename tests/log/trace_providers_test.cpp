#include "log/trace_providers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace Oxle::Client::Log {
namespace {

std::string GuidText(const TraceProviderGuid& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(id.data1), id.data2, id.data3, id.data4[0], id.data4[1],
                id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

TEST(TraceProvidersTest, FourProvidersInRegistrationOrder) {
  const auto& ids = TraceProviderIds();
  EXPECT_EQ(GuidText(ids[0]), "{2F9EFE86-4AF7-4F37-A40F-94B909A157D6}");
  EXPECT_EQ(GuidText(ids[1]), "{EA08C559-95A8-4AA2-AFA6-18738EEC6D37}");
  EXPECT_EQ(GuidText(ids[2]), "{10F6728C-EF92-4BF1-8397-49E693A6EB74}");
  EXPECT_EQ(GuidText(ids[3]), "{46DD7F96-60CB-416B-8085-DA5CD8F491DD}");
}

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
