#include "plugin/api_version.h"

#include <gtest/gtest.h>

#include "log/log_test_support.h"
#include "plugin/plugin_name.h"

namespace Oxle::Client::Plugin {
namespace {

TEST(ApiVersion, TextFormAddsPreReleaseAndBuildOnlyWhenSet) {
  const std::pair<ApiVersion, const char*> cases[] = {
      {{18, 2, 1, "", ""}, "18.2.1"},
      {{18, 0, 0, "beta.1", ""}, "18.0.0-beta.1"},
      {{18, 0, 0, "", "abc"}, "18.0.0+abc"},
      {{4294967295u, 4294967295u, 4294967295u, "rc", "7"}, "4294967295.4294967295.4294967295-rc+7"},
  };
  for (const auto& [version, text] : cases)
    EXPECT_EQ(version.ToString(), text);
}

// A core of another major version is refused by the plugin's export (see the death test there).
TEST(ApiVersion, CoreIsCompatibleWithSameMajorAndNoOlderMinorPatch) {
  const ApiVersion plugin{18, 3, 4, "", ""};
  const std::pair<ApiVersion, bool> cases[] = {
      {{18, 3, 4, "", ""}, true},  {{18, 3, 5, "", ""}, true},       {{18, 4, 0, "", ""}, true},
      {{18, 3, 3, "", ""}, false}, {{18, 2, 99, "", ""}, false},     {{19, 3, 4, "", ""}, false},
      {{17, 9, 9, "", ""}, false}, {{18, 3, 4, "alpha", "x"}, true},
  };
  for (const auto& [core, compatible] : cases)
    EXPECT_EQ(IsCompatible(plugin, core), compatible) << core.ToString();
}

class PluginNameTest : public Log::Testing::LoggerTest {};

TEST_F(PluginNameTest, UnknownKindGetsTheNeutralPrefixAndOneErrorLine) {
  Log::Testing::RecordingTarget recorder;
  ASSERT_TRUE(recorder.Configure(0, 0, 0, "#M"));
  EXPECT_EQ(MakePluginName("x", "frontend").fullName, "tpk-fe-x");
  EXPECT_TRUE(recorder.written.empty());
  EXPECT_EQ(MakePluginName("qel-mhx", "Backend").fullName, "tpk-xx-qel-mhx");
  ASSERT_EQ(recorder.written.size(), 1u);
  EXPECT_EQ(recorder.written[0].level, 2);
  EXPECT_EQ(recorder.written[0].category, 1u);
  EXPECT_EQ(recorder.written[0].message,
            "            Plugin Manager| GetFullNameFromShortNameAndType(\"qel-mhx\", \"Backend\") "
            "called with an unknown type");
}

}  // namespace
}  // namespace Oxle::Client::Plugin
