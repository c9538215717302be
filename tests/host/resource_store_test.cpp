#include <gtest/gtest.h>

#include "core/resource_store.h"
#include "host_test_support.h"

namespace {

using namespace Oxle::Client::Host;
using HostTest::Json;

TEST(ResourceStore, FirstSetCreatesLaterSetsUpdateAndUrisGetOneLeadingSlash) {
  ResourceStore store;
  EXPECT_EQ(store.Set("/a/b", Json(R"({"n":1})")), ResourceChange::Create);
  EXPECT_EQ(store.Set("a/b", Json(R"({"n":2})")), ResourceChange::Update);
  EXPECT_EQ(store.Set("//a/b", Json(R"({"n":3})")), ResourceChange::Update);
  EXPECT_EQ(store.Size(), 1u);
  ASSERT_TRUE(store.Get("a/b").has_value());
  EXPECT_EQ(Json(*store.Get("/a/b")), R"({"n":3})");
  EXPECT_FALSE(store.Get("/a").has_value());
}

TEST(ResourceStore, DeleteReportsWhetherSomethingWasStored) {
  ResourceStore store;
  EXPECT_FALSE(store.Delete("/x"));
  (void)store.Set("/x", Json("1"));
  EXPECT_TRUE(store.Delete("x"));
  EXPECT_FALSE(store.Get("/x").has_value());
  EXPECT_FALSE(store.Delete("/x"));
  EXPECT_EQ(store.Set("/x", Json("2")), ResourceChange::Create);
}

TEST(ResourceStore, AppliesResourceEventPayloadsByNameOrNumber) {
  ResourceStore store;
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/r","eventType":"Create","data":{"a":1}})")));
  EXPECT_EQ(Json(*store.Get("/r")), R"({"a":1})");
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"r","eventType":1,"data":[2]})")));
  EXPECT_EQ(Json(*store.Get("/r")), "[2]");
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/r","eventType":"Delete","data":null})")));
  EXPECT_FALSE(store.Get("/r").has_value());
  EXPECT_TRUE(store.Apply(Json(R"({"uri":"/s","eventType":0})")));
  EXPECT_EQ(store.Get("/s")->Kind(), Oxle::Client::Binding::ValueKind::Empty);
}

TEST(ResourceStore, IgnoresPayloadsOfAnyOtherShape) {
  ResourceStore store;
  const char* payloads[] = {
      R"([1])",
      R"({"eventType":"Create","data":1})",
      R"({"uri":"","eventType":"Create","data":1})",
      R"({"uri":7,"eventType":"Create","data":1})",
      R"({"uri":"/r","data":1})",
      R"({"uri":"/r","eventType":"Created","data":1})",
      R"({"uri":"/r","eventType":3,"data":1})",
      R"({"uri":"/r","eventType":-1,"data":1})",
      R"({"uri":"/r","eventType":4294967296,"data":1})",
      R"({"uri":"/r","eventType":true,"data":1})",
  };
  for (const char* payload : payloads)
    EXPECT_FALSE(store.Apply(Json(payload))) << payload;
  EXPECT_EQ(store.Size(), 0u);
}

TEST(ResourceStore, MakesThePayloadAModulePublicationCarries) {
  EXPECT_EQ(Json(MakeResourceEvent("/a", ResourceChange::Update, Json(R"({"k":"v"})"))),
            R"({"data":{"k":"v"},"eventType":"Update","uri":"/a"})");
}

}  // namespace
