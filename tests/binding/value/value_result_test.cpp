#include "binding/value/value_result.h"

#include <gtest/gtest.h>

#include "support/value_shape.h"

namespace Oxle::Client::Binding {
namespace {

TEST(ValueResultTest, SetErrorReplacesTheValueWithTheErrorMember) {
  ValueResult result;
  result.Value().At(3).SetString("data");
  result.SetError("Something failed.");
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.ErrorMessage(), "Something failed.");
  EXPECT_EQ(Shape(result.Value()), "{error:'Something failed.';}");

  // A message taken from the result itself survives the clear.
  result.SetError(result.ErrorMessage());
  EXPECT_EQ(result.ErrorMessage(), "Something failed.");
}

TEST(ValueResultTest, ErrorMessageIsEmptyWhenOkOrWhenTheMemberIsNoStringAndSetOkClears) {
  ValueResult result = ValueResult::Error("boom");
  result.Value().Get("error").SetSigned(5);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.ErrorMessage(), "");
  result.SetOk();
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.Value().Kind(), ValueKind::Empty);
  result.Value().Get("error").SetString("not a failure");
  EXPECT_EQ(result.ErrorMessage(), "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
