#include "api/route_registration.h"

#include <gtest/gtest.h>

#include "api/host_request.h"
#include "binding/types/type_binding.h"

namespace Oxle::Client::Api {
namespace {

using C = Binding::BindingCode;
using L = ArgumentLocation;
using Testing::HostRequest;
using Testing::HostResponse;

struct Pick {
  int32_t championId = 0;
  std::string lane;
};
void DescribeBinding(Binding::TypeDescriber<Pick>& type) {
  type.Name("Pick").Field("championId", &Pick::championId).Field("lane", &Pick::lane);
}

// A member function, to be registered through its object.
struct Service {
  ApiResponse Game(uint64_t id) {
    Binding::BindingProperty body;
    body.Get("gameId").SetUnsigned(id);
    return ApiResponse::FromValue(std::move(body));
  }
};

// One handler of every signature the feature registers.
class RouteRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto cached = [](uint64_t id) -> ValueOrError<Pick> {
      if (id != 0) return Pick{static_cast<int32_t>(id), "mid"};
      ApiResponse error = ApiResponse::Error("No session", 500);
      error.headers["retry"] = "later";
      return error;
    };
    const auto fetch = [](uint64_t id, bool force) -> ValueOrError<Pick> {
      return Pick{static_cast<int32_t>(id), force ? "top" : "bot"};
    };
    RegisterRoute(registry, HttpMethod::Get, "/v1/games/{id}", &service, &Service::Game,
                  {{"id", L::Path}});
    RegisterRoute(
        registry, HttpMethod::Get, "/v2/request/{id}",
        [this](uint64_t id, bool force) { requests += std::to_string(id) + (force ? "!" : ""); },
        {{"id", L::Path}, {"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/v2/request/current",
                  [this](bool force) { requests += force ? "7!" : "7"; }, {{"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/v2/cached/{id}", cached, {{"id", L::Path}});
    RegisterRoute(registry, HttpMethod::Get, "/v2/cached/current",
                  [fetch](bool force) { return fetch(7, force); }, {{"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/v1/cached/{id}/", fetch,
                  {{"id", L::Path}, {"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/v1/delta", [] {
      Binding::BindingProperty body;
      body.Get("delta").SetSigned(-1);
      return ApiResponse::FromValue(std::move(body));
    });
    RegisterRoute(registry, HttpMethod::Post, "/v1/endpoint-override",
                  [this](Pick data) { return url = data.lane, ApiResponse(); },
                  {{"data", L::Body}});
  }

  std::string Call(const char* name, HostRequest request) {
    HostResponse response;
    Testing::Send(registry.BuildExportTable(), name, request, response);
    return response.Describe();
  }

  ApiRegistry registry;
  Service service;
  std::string url, requests;
};

TEST_F(RouteRegistrationTest, RecordsDescribeEveryHandlerSignature) {
  const std::tuple<const char*, std::vector<std::pair<std::string, C>>, C, const char*> cases[] = {
      {"GetV1GamesById", {{"id", C::Uint64}}, C::Object, ""},
      {"GetV2RequestById", {{"id", C::Uint64}, {"force", C::Bool}}, C::None, ""},
      {"GetV2RequestCurrent", {{"force", C::Bool}}, C::None, ""},
      {"GetV2CachedById", {{"id", C::Uint64}}, C::Struct, "Pick"},
      {"GetV2CachedCurrent", {{"force", C::Bool}}, C::Struct, "Pick"},
      {"GetV1CachedById", {{"id", C::Uint64}, {"force", C::Bool}}, C::Struct, "Pick"},
      {"GetV1Delta", {}, C::Object, ""},
      {"PostV1EndpointOverride", {{"data", C::Struct}}, C::Object, ""},
  };
  for (const auto& [name, expected, returns, returnType] : cases) {
    const Binding::FunctionRecord* function = registry.FindFunction(name);
    ASSERT_NE(function, nullptr) << name;
    std::vector<std::pair<std::string, C>> arguments;
    for (const auto& argument : function->arguments) {
      arguments.emplace_back(argument.name, argument.type.code);
      EXPECT_FALSE(argument.optional);
    }
    EXPECT_EQ(arguments, expected) << name;
    EXPECT_EQ(function->returns.code, returns) << name;
    EXPECT_EQ(function->returns.record ? function->returns.record->name : "", returnType);
    const RouteBinding* binding = registry.FindRouteBinding(*function);
    ASSERT_NE(binding, nullptr);
    EXPECT_NE(binding->handler.get(), function->callable.get());  // two invokers
  }
}

// A native conversion that fails in Prepare is the caller's fault: 400. The error of a
// ValueOrError passes through with its status and headers.
TEST_F(RouteRegistrationTest, RoutesAnswerThroughTheExportTable) {
  const std::tuple<const char*, HostRequest, std::string> cases[] = {
      {"GetV1GamesById", {2, "/v1/games/42"}, "{gameId:u42;}"},
      {"GetV1GamesById",
       {2, "/v1/games/x"},
       "error 400: Value x for 'id' of type uint64 is in an incorrect format"},
      {"GetV1Delta", {2, "/v1/delta"}, "{delta:i-1;}"},
      {"GetV2CachedById", {2, "/v2/cached/3"}, "{championId:i3;lane:'mid';}"},
      {"GetV2CachedById", {2, "/v2/cached/0"}, "error 500: No session"},
      {"GetV1CachedById", {2, "/v1/cached/3?force"}, "{championId:i3;lane:'top';}"},
      {"GetV2CachedCurrent", {2, "/v2/cached/current?force=false"}, "{championId:i7;lane:'bot';}"},
      {"GetV2RequestById", {2, "/v2/request/5?force=true"}, "~"},
      {"GetV2RequestCurrent", {2, "/v2/request/current"}, "~"},
      {"PostV1EndpointOverride",
       HostRequest(6, "/v1/endpoint-override").Body("application/json", R"({"lane":"x"})"), "~"},
      {"PostV1EndpointOverride",
       HostRequest(6, "/v1/endpoint-override").Body("application/json", R"({"lane":[1]})"),
       "error 400: Couldn't assign value to 'lane' because the input is not a string."},
  };
  for (const auto& [name, request, expected] : cases)
    EXPECT_EQ(Call(name, request), expected) << request.target;
  EXPECT_EQ(requests, "5!7");
  EXPECT_EQ(url, "x");
  HostResponse response;
  HostRequest request(2, "/v2/cached/0");
  Testing::Send(registry.BuildExportTable(), "GetV2CachedById", request, response);
  ASSERT_EQ(+response.record.headerCount, 1u);
  EXPECT_STREQ(response.record.headers[0].name, "retry");
}

// The function record's invoker keeps only the struct side of a ValueOrError: an empty value.
TEST_F(RouteRegistrationTest, TheFunctionInvokerOfAValueOrErrorKeepsTheStructSide) {
  auto* invoker =
      dynamic_cast<ApiHandler*>(registry.FindFunction("GetV2CachedById")->callable.get());
  ASSERT_NE(invoker, nullptr);
  std::vector<Binding::BindingProperty> arguments(1);
  arguments[0].SetUnsigned(0);
  ApiResponse result;
  auto call = invoker->Prepare(result, arguments, nullptr);
  invoker->Invoke(result, nullptr, call.get(), nullptr);
  invoker->Release(std::move(call));
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.status, 0u);
  EXPECT_EQ(Client::Shape(result.result.Value()), "{championId:i0;lane:'';}");
}

// A repeated registration keeps the first; request-aware handlers get the request.
TEST_F(RouteRegistrationTest, RepeatsKeepTheFirstAndRequestAwareHandlersGetTheRequest) {
  const Binding::FunctionRecord* first = registry.FindFunction("GetV1Delta");
  EXPECT_EQ(RegisterRoute(registry, HttpMethod::Get, "/v1/delta", [] { return ApiResponse(); }),
            first);
  EXPECT_EQ(Call("GetV1Delta", {2, "/v1/delta"}), "{delta:i-1;}");
  std::string seen;
  RegisterRoute(registry, HttpMethod::Get, "/who/{name}",
                [&](const RequestInfo& request, std::string name) {
                  return seen = request.target + " " + name, ApiResponse();
                },
                {{"name", L::Path}});
  RegisterRoute(registry, HttpMethod::Get, "/ping",
                [&](const RequestInfo& request) { seen += "|" + request.target; });
  EXPECT_EQ(Call("GetWhoByName", {2, "/who/ann"}), "~");
  EXPECT_EQ(Call("GetPing", {2, "/ping"}), "~");
  EXPECT_EQ(seen, "/who/ann ann|/ping");
}

}  // namespace
}  // namespace Oxle::Client::Api
