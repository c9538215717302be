#include "binding/format/split_join.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace Oxle::Client::Binding {
namespace {

using Parts = std::vector<std::string>;

TEST(SplitJoinTest, SplitKeepsOnlyNonEmptyRunsAndJoinTakesTheInclusiveRangeSafely) {
  EXPECT_EQ(Split("/a//b/", "/"), (Parts{"a", "b"}));
  EXPECT_EQ(Split("a,b;;c", ",;"), (Parts{"a", "b", "c"}));
  EXPECT_EQ(Split("abc", ""), (Parts{"abc"}));
  EXPECT_EQ(Split("///", "/"), Parts{});
  EXPECT_EQ(Split("", "/"), Parts{});
  const Parts parts{"a", "b", "c"};
  const std::tuple<size_t, ptrdiff_t, const char*> cases[] = {
      {0, 1, "a_b"},    {1, -1, "b_c"}, {2, 2, "c"}, {0, 0, "a"},
      {0, 99, "a_b_c"}, {2, 0, ""},     {3, -1, ""}, {SIZE_MAX, PTRDIFF_MAX, ""},
      {1, -7, "b_c"}};
  for (const auto& [first, last, joined] : cases)
    EXPECT_EQ(Join(parts, "_", first, last), joined) << first << " " << last;
  EXPECT_EQ(Join(parts, ", "), "a, b, c");
  EXPECT_EQ(Join(Parts{}, "_"), "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
