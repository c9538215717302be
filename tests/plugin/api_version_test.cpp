#include "plugin/api_version.h"

#include <gtest/gtest.h>

#include "log/log_test_support.h"
#include "plugin/plugin_name.h"

namespace Oxle::Client::Plugin {
namespace {

TEST(ApiVersion, TextFormAddsPreReleaseAndBuildOnlyWhenSet) {
  struct Case {
    ApiVersion version;
    const char* text;
  };
  const Case cases[] = {
      {{18, 2, 1, "", ""}, "18.2.1"},
      {{18, 0, 0, "beta.1", ""}, "18.0.0-beta.1"},
      {{18, 0, 0, "", "abc"}, "18.0.0+abc"},
      {{4294967295u, 4294967295u, 4294967295u, "rc", "7"}, "4294967295.4294967295.4294967295-rc+7"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.version.ToString(), c.text);
}

TEST(ApiVersion, CoreIsCompatibleWithSameMajorAndNoOlderMinorPatch) {
  const ApiVersion plugin{18, 0, 0, "", ""};
  const ApiVersion pluginAt{18, 3, 4, "", ""};
  struct Case {
    ApiVersion plugin;
    ApiVersion core;
    bool compatible;
  };
  const Case cases[] = {
      {plugin, {18, 0, 0, "", ""}, true},       {plugin, {18, 5, 0, "", ""}, true},
      {plugin, {18, 0, 7, "", ""}, true},       {plugin, {17, 0, 0, "", ""}, false},
      {plugin, {17, 9, 9, "", ""}, false},      {plugin, {19, 0, 0, "", ""}, false},
      {pluginAt, {18, 3, 3, "", ""}, false},    {pluginAt, {18, 3, 4, "", ""}, true},
      {pluginAt, {18, 2, 99, "", ""}, false},   {pluginAt, {18, 4, 0, "", ""}, true},
      {plugin, {18, 0, 0, "alpha", "x"}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCompatible(c.plugin, c.core), c.compatible)
        << c.core.ToString() << " for " << c.plugin.ToString();
  }
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
