#include "binding/format/split_join.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Oxle::Client::Binding {
namespace {

using Parts = std::vector<std::string>;

TEST(SplitTest, KeepsOnlyNonEmptyRuns) {
  EXPECT_EQ(Split("/a//b/", "/"), (Parts{"a", "b"}));
  EXPECT_EQ(Split("a,b;;c", ",;"), (Parts{"a", "b", "c"}));
  EXPECT_EQ(Split("abc", ""), (Parts{"abc"}));
  EXPECT_EQ(Split("///", "/"), Parts{});
  EXPECT_EQ(Split("", "/"), Parts{});
}

TEST(JoinTest, JoinsTheInclusiveRange) {
  const Parts parts{"a", "b", "c"};
  EXPECT_EQ(Join(parts, "_"), "a_b_c");
  EXPECT_EQ(Join(parts, "_", 0, 1), "a_b");
  EXPECT_EQ(Join(parts, "_", 1, -1), "b_c");
  EXPECT_EQ(Join(parts, "", 2, 2), "c");
  EXPECT_EQ(Join(parts, ", ", 0, 0), "a");
}

TEST(JoinTest, OutOfRangeIndicesAreSafe) {
  const Parts parts{"a", "b", "c"};
  EXPECT_EQ(Join(parts, "_", 0, 99), "a_b_c");
  EXPECT_EQ(Join(parts, "_", 2, 0), "");
  EXPECT_EQ(Join(parts, "_", 3, -1), "");
  EXPECT_EQ(Join(parts, "_", SIZE_MAX, PTRDIFF_MAX), "");
  EXPECT_EQ(Join(parts, "_", 1, -7), "b_c");
  EXPECT_EQ(Join(Parts{}, "_"), "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
