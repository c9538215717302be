#include "api/route_registration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/host_request.h"
#include "binding/types/type_binding.h"

namespace Oxle::Client::Api {
namespace {

using Binding::BindingCode;
using Binding::TypeDescriber;
using Testing::HostRequest;
using Testing::HostResponse;
using Testing::Send;

struct Pick {
  int32_t championId = 0;
  std::string lane;
};
struct Picks {
  uint32_t count = 0;
  std::vector<Pick> picks;
};
struct EndPoint {
  std::string url;
};

void DescribeBinding(TypeDescriber<Pick>& type) {
  type.Name("Pick").Field("championId", &Pick::championId).Field("lane", &Pick::lane);
}
void DescribeBinding(TypeDescriber<Picks>& type) {
  type.Name("Picks").Field("count", &Picks::count).Field("picks", &Picks::picks);
}
void DescribeBinding(TypeDescriber<EndPoint>& type) {
  type.Name("EndPoint").Field("url", &EndPoint::url);
}

// One handler of every signature the feature registers.
class Service {
 public:
  ValueOrError<Picks> Cached(uint64_t id) {
    if (id == 0) {
      ApiResponse error = ApiResponse::Error("No session", 500);
      error.headers["retry"] = "later";
      return error;
    }
    return Picks{1, {{static_cast<int32_t>(id), "mid"}}};
  }
  ValueOrError<Picks> Fetch(uint64_t id, bool force) {
    return Picks{force ? 2u : 1u, {{static_cast<int32_t>(id), force ? "top" : "bot"}}};
  }
  ValueOrError<Picks> Current(bool force) { return Fetch(7, force); }
  ApiResponse Override(EndPoint data) {
    url = data.url;
    return {};
  }
  ApiResponse Delta() {
    Binding::BindingProperty body;
    body.Get("delta").SetSigned(-1);
    return ApiResponse::FromValue(std::move(body));
  }
  ApiResponse Game(uint64_t id) {
    Binding::BindingProperty body;
    body.Get("gameId").SetUnsigned(id);
    return ApiResponse::FromValue(std::move(body));
  }
  void Request(uint64_t id, bool force) {
    requests.push_back(std::to_string(id) + (force ? "!" : ""));
  }
  void RequestCurrent(bool force) { Request(7, force); }

  std::string url;
  std::vector<std::string> requests;
};

class RouteRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using L = ArgumentLocation;
    RegisterRoute(registry, HttpMethod::Get, "/svc/v1/games/{id}", &service, &Service::Game,
                  {{"id", L::Path}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v2/request/{id}",
                  [this](uint64_t id, bool force) { service.Request(id, force); },
                  {{"id", L::Path}, {"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v2/request/current",
                  [this](bool force) { service.RequestCurrent(force); }, {{"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v2/cached/{id}",
                  [this](uint64_t id) { return service.Cached(id); }, {{"id", L::Path}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v2/cached/current",
                  [this](bool force) { return service.Current(force); }, {{"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v1/cached/{id}/",
                  [this](uint64_t id, bool force) { return service.Fetch(id, force); },
                  {{"id", L::Path}, {"force", L::Query}});
    RegisterRoute(registry, HttpMethod::Get, "/svc/v1/delta", [this] { return service.Delta(); });
    RegisterRoute(registry, HttpMethod::Post, "/svc/v1/endpoint-override",
                  [this](EndPoint data) { return service.Override(std::move(data)); },
                  {{"data", L::Body}});
  }

  std::string Call(const char* name, HostRequest request, uint32_t* status = nullptr) {
    HostResponse response;
    Send(registry.BuildExportTable(), name, request, response);
    if (status != nullptr) *status = response.Status();
    return response.Failed() ? "error: " + response.Error() : response.Shape();
  }
  std::string Get(const char* name, const char* target, uint32_t* status = nullptr) {
    return Call(name, HostRequest(2, target), status);
  }

  ApiRegistry registry;
  Service service;
};

TEST_F(RouteRegistrationTest, RecordsDescribeEveryHandlerSignature) {
  using C = BindingCode;
  const struct {
    const char* name;
    std::vector<std::pair<std::string, BindingCode>> arguments;
    BindingCode returns;
    const char* returnType;
  } table[] = {
      {"GetSvcV1GamesById", {{"id", C::Uint64}}, C::Object, ""},
      {"GetSvcV2RequestById", {{"id", C::Uint64}, {"force", C::Bool}}, C::None, ""},
      {"GetSvcV2RequestCurrent", {{"force", C::Bool}}, C::None, ""},
      {"GetSvcV2CachedById", {{"id", C::Uint64}}, C::Struct, "Picks"},
      {"GetSvcV2CachedCurrent", {{"force", C::Bool}}, C::Struct, "Picks"},
      {"GetSvcV1CachedById", {{"id", C::Uint64}, {"force", C::Bool}}, C::Struct, "Picks"},
      {"GetSvcV1Delta", {}, C::Object, ""},
      {"PostSvcV1EndpointOverride", {{"data", C::Struct}}, C::Object, ""},
  };
  for (const auto& expected : table) {
    const Binding::FunctionRecord* function = registry.FindFunction(expected.name);
    ASSERT_NE(function, nullptr) << expected.name;
    std::vector<std::pair<std::string, BindingCode>> arguments;
    for (const auto& argument : function->arguments) {
      arguments.emplace_back(argument.name, argument.type.code);
      EXPECT_FALSE(argument.optional);
    }
    EXPECT_EQ(arguments, expected.arguments) << expected.name;
    EXPECT_EQ(function->returns.code, expected.returns) << expected.name;
    EXPECT_EQ(function->returns.record ? function->returns.record->name : "", expected.returnType);
    const RouteBinding* binding = registry.FindRouteBinding(*function);
    ASSERT_NE(binding, nullptr);
    EXPECT_NE(binding->handler.get(), function->callable.get());  // two invokers
  }
}

TEST_F(RouteRegistrationTest, RoutesAnswerThroughTheExportTable) {
  EXPECT_EQ(Get("GetSvcV1GamesById", "/svc/v1/games/42"), "{gameId:u42;}");
  // A native conversion that fails in Prepare is the caller's fault: 400.
  uint32_t status = 0;
  EXPECT_EQ(Get("GetSvcV1GamesById", "/svc/v1/games/x", &status),
            "error: Value x for 'id' of type uint64 is in an incorrect format");
  EXPECT_EQ(status, 400u);
  EXPECT_EQ(Get("GetSvcV1Delta", "/svc/v1/delta"), "{delta:i-1;}");
  EXPECT_EQ(Get("GetSvcV2CachedById", "/svc/v2/cached/3"),
            "{count:u1;picks:[{championId:i3;lane:'mid';}];}");
  EXPECT_EQ(Get("GetSvcV1CachedById", "/svc/v1/cached/3?force"),
            "{count:u2;picks:[{championId:i3;lane:'top';}];}");
  EXPECT_EQ(Get("GetSvcV2CachedCurrent", "/svc/v2/cached/current?force=false"),
            "{count:u1;picks:[{championId:i7;lane:'bot';}];}");
  EXPECT_EQ(Get("GetSvcV2CachedCurrent", "/svc/v2/cached/current?force=maybe", &status),
            "error: Value maybe for 'force' of type bool is in an incorrect format. Options are "
            "\"true\", \"false\", \"1\", \"0\".");
  EXPECT_EQ(status, 400u);

  EXPECT_EQ(Get("GetSvcV2RequestById", "/svc/v2/request/5?force=true"), "~");
  EXPECT_EQ(Get("GetSvcV2RequestCurrent", "/svc/v2/request/current"), "~");
  EXPECT_EQ(service.requests, (std::vector<std::string>{"5!", "7"}));

  HostRequest post(6, "/svc/v1/endpoint-override");
  post.Body("application/json", R"({"url":"https://example.test"})");
  EXPECT_EQ(Call("PostSvcV1EndpointOverride", post), "~");
  EXPECT_EQ(service.url, "https://example.test");
  HostRequest bad(6, "/svc/v1/endpoint-override");
  bad.Body("application/json", R"({"url":[1]})");
  EXPECT_EQ(Call("PostSvcV1EndpointOverride", bad, &status).substr(0, 38),
            "error: Couldn't assign value to 'url' ");
  EXPECT_EQ(status, 400u);
}

TEST_F(RouteRegistrationTest, ErrorsOfValueOrErrorPassThroughOnlyTheRoute) {
  HostResponse response;
  HostRequest request(2, "/svc/v2/cached/0");
  Send(registry.BuildExportTable(), "GetSvcV2CachedById", request, response);
  EXPECT_TRUE(response.Failed());
  EXPECT_EQ(response.Error(), "No session");
  EXPECT_EQ(response.Status(), 500u);
  ASSERT_EQ(+response.record.headerCount, 1u);
  EXPECT_STREQ(response.record.headers[0].name, "retry");

  // The function record's invoker keeps only the struct side: an empty collection.
  const Binding::FunctionRecord* function = registry.FindFunction("GetSvcV2CachedById");
  auto* invoker = dynamic_cast<ApiHandler*>(function->callable.get());
  ASSERT_NE(invoker, nullptr);
  std::vector<Binding::BindingProperty> arguments(1);
  arguments[0].SetUnsigned(0);
  ApiResponse result;
  auto call = invoker->Prepare(result, arguments, nullptr);
  invoker->Invoke(result, nullptr, call.get(), nullptr);
  invoker->Release(std::move(call));
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.status, 0u);
  EXPECT_EQ(Client::Shape(result.result.Value()), "{count:u0;picks:[];}");
}

TEST_F(RouteRegistrationTest, ARepeatedRegistrationKeepsTheFirst) {
  const Binding::FunctionRecord* first = registry.FindFunction("GetSvcV1Delta");
  const Binding::FunctionRecord* again =
      RegisterRoute(registry, HttpMethod::Get, "/svc/v1/delta", [] { return ApiResponse(); });
  EXPECT_EQ(again, first);
  EXPECT_EQ(Get("GetSvcV1Delta", "/svc/v1/delta"), "{delta:i-1;}");
}

TEST_F(RouteRegistrationTest, RequestAwareHandlersGetTheRequest) {
  std::string seen;
  RegisterRoute(registry, HttpMethod::Get, "/svc/who/{name}",
                [&](const RequestInfo& request, std::string name) {
                  seen = request.target + " " + name;
                  return ApiResponse();
                },
                {{"name", ArgumentLocation::Path}});
  EXPECT_EQ(Get("GetSvcWhoByName", "/svc/who/ann"), "~");
  EXPECT_EQ(seen, "/svc/who/ann ann");

  RegisterRoute(registry, HttpMethod::Get, "/svc/ping",
                [&](const RequestInfo& request) { seen = request.target; });
  EXPECT_EQ(Get("GetSvcPing", "/svc/ping"), "~");
  EXPECT_EQ(seen, "/svc/ping");
}

}  // namespace
}  // namespace Oxle::Client::Api
