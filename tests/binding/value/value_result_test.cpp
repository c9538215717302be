#include "binding/value/value_result.h"

#include <gtest/gtest.h>

namespace Oxle::Client::Binding {
namespace {

TEST(ValueResultTest, SetErrorReplacesTheValueWithTheErrorMember) {
  ValueResult result;
  result.Value().At(3).SetString("data");
  result.SetError("Something failed.");
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.ErrorMessage(), "Something failed.");
  ASSERT_EQ(result.Value().Kind(), ValueKind::Structure);
  EXPECT_EQ(result.Value().Size(), 1u);
  EXPECT_EQ(result.Value().Get("error").GetString(), "Something failed.");

  // A message taken from the result itself survives the clear.
  result.SetError(result.ErrorMessage());
  EXPECT_EQ(result.ErrorMessage(), "Something failed.");
}

TEST(ValueResultTest, ErrorMessageIsEmptyWhenOkOrWhenTheMemberIsNoString) {
  ValueResult result = ValueResult::Error("boom");
  result.Value().Get("error").SetSigned(5);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.ErrorMessage(), "");

  ValueResult okWithErrorMember;
  okWithErrorMember.Value().Get("error").SetString("not a failure");
  EXPECT_EQ(okWithErrorMember.ErrorMessage(), "");
}

TEST(ValueResultTest, SetOkClearsTheValue) {
  ValueResult result = ValueResult::Error("boom");
  result.SetOk();
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.Value().Kind(), ValueKind::Empty);
}

}  // namespace
}  // namespace Oxle::Client::Binding
