#include "api/dispatch.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "api/api_handler.h"
#include "api/api_registry.h"
#include "api/host_request.h"
#include "binding/types/builtin_types.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Api {
namespace {

using Binding::BindingCode;
using Binding::BindingProperty;
using Testing::HostRequest;
using Testing::HostResponse;
using Testing::Send;

constexpr uint32_t kGet = 2;
constexpr uint32_t kPost = 6;

// Answers with the bound argument values as they reached the handler, as a collection; or with
// what the test sets in `answer`.
class EchoHandler final : public ApiHandler {
 public:
  struct Call final : PreparedCall {
    std::vector<BindingProperty> arguments;
  };

  std::unique_ptr<PreparedCall> Prepare(ApiResponse&, std::span<BindingProperty> arguments,
                                        void*) override {
    ++prepared;
    auto call = std::make_unique<Call>();
    call->arguments.assign(arguments.begin(), arguments.end());
    return call;
  }
  void Invoke(ApiResponse& response, const RequestInfo* request, PreparedCall* call,
              void* context) override {
    if (request != nullptr) seen = *request;
    seenContext = context;
    if (answer) {
      response = answer();
      return;
    }
    BindingProperty& list = response.result.Value();
    list.MakeCollection();
    for (const BindingProperty& value : static_cast<Call*>(call)->arguments)
      list.Append() = value;
  }
  const Binding::TypeId& ResultType() const noexcept override {
    return requestAware ? Binding::TypeIdOf<RequestAwareResponse>()
                        : Binding::TypeIdOf<ApiResponse>();
  }

  std::function<ApiResponse()> answer;
  bool requestAware = false;
  int prepared = 0;
  RequestInfo seen;
  void* seenContext = nullptr;
};

struct Argument {
  const char* name;
  BindingCode code;
  ArgumentLocation location;
  bool optional = false;
};

class DispatchTest : public ::testing::Test {
 protected:
  // Registers an echoing function for `path`, named as routes are.
  EchoHandler& Add(HttpMethod method, const std::string& path, std::vector<Argument> arguments) {
    auto handler = std::make_shared<EchoHandler>();
    AddHandler(handler, method, path, std::move(arguments));
    return *handler;
  }

  // The same with `handler`.
  void AddHandler(std::shared_ptr<ApiHandler> handler, HttpMethod method, const std::string& path,
                  std::vector<Argument> arguments) {
    Binding::FunctionRecord* function =
        registry.RegisterFunction(MakeFunctionName(method, path), arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i) {
      function->arguments[i].type.code = arguments[i].code;
      function->arguments[i].optional = arguments[i].optional;
    }
    RouteBinding& binding = registry.CreateRouteBinding(*function);
    binding.handler = std::move(handler);
    SetRoutePath(binding, path);
    SetRouteMethod(binding, method);
    for (const Argument& argument : arguments) {
      DeclareArgument(registry, *function, argument.name, "", argument.location);
    }
  }

  const ApiExportTable& Table() { return registry.BuildExportTable(); }

  // GET `target` on the function `name`; gives the response's shape or its error.
  std::string Get(const std::string& name, const std::string& target) {
    HostRequest request(kGet, target);
    HostResponse response;
    Send(Table(), name, request, response);
    return response.Failed()
               ? "error " + std::to_string(response.Status()) + ": " + response.Error()
               : response.Shape();
  }

  // The same through Dispatch over the function's pattern, which binds path parameters from
  // the map MatchRoutes fills.
  std::string GetMatched(const std::string& name, const std::string& target) {
    const Binding::FunctionRecord* function = registry.FindFunction(name);
    const RoutePattern pattern = BuildRoutePattern(*registry.FindRouteBinding(*function));
    HostRequest request(kGet, target);
    HostResponse response;
    Dispatch(nullptr, response.record, request.Record(nullptr),
             std::span<const RoutePattern>(&pattern, 1));
    return response.Failed()
               ? "error " + std::to_string(response.Status()) + ": " + response.Error()
               : response.Shape();
  }

  ApiRegistry registry;
};

TEST_F(DispatchTest, QueryArgumentsBindByTheirRules) {
  Add(HttpMethod::Get, "/flags",
      {{"force", BindingCode::Bool, ArgumentLocation::Query},
       {"quiet", BindingCode::Bool, ArgumentLocation::Query, true},
       {"a", BindingCode::String, ArgumentLocation::Any}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/flags", "[F,~,~]"},  // a required bool not mentioned is false, an optional one empty
      {"/flags?force", "[T,~,~]"},
      {"/flags?force=&quiet", "[T,T,~]"},
      {"/flags?force=true", "['true',~,~]"},  // text: the handler's conversion reads it
      {"/flags?a=1&a=2", "[F,~,'2']"},
      {"/flags?a=x%26y+z&", "error 400: Unknown argument '' for 'GetFlags'."},
      {"/flags?a=x%26y+z", "[F,~,'x&y z']"},
      {"/flags?zz=1", "error 400: Unknown argument 'zz' for 'GetFlags'."},
      {"/flags?%61=%7B%7D", "[F,~,'{}']"},  // a string argument is never sniffed
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(Get("GetFlags", target), expected) << target;
  }
}

TEST_F(DispatchTest, IndexPathsGrowCollectionsAndStructures) {
  Add(HttpMethod::Get, "/items",
      {{"items", BindingCode::Vector, ArgumentLocation::Query},
       {"n", BindingCode::Uint64, ArgumentLocation::Query}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/items?items.2=5", "[[~,~,'5'],~]"},
      {"/items?items.x2=5", "[{x2:'5';},~]"},
      {"/items?items.0x1=a", "[[~,'a'],~]"},                            // base 0: hexadecimal
      {"/items?items.010=a&items.0=b", "[['b',~,~,~,~,~,~,~,'a'],~]"},  // octal
      {"/items?items.1.k=v", "[[~,{k:'v';}],~]"},
      {"/items?items.2z=5", "error 400: Index 2z is in an incorrect format"},
      {"/items?items.0x=5", "error 400: Index 0x is in an incorrect format"},
      {"/items?items.4294967296=5", "error 400: Index 4294967296 is out of range"},
      {"/items?items.2147483648=5", "error 400: Index 2147483648 is out of range"},
      {"/items?items.65536=5", "error 400: Index 65536 is out of range"},
      {"/items?items=", "[[],~]"},
      {"/items?n=", "error 400: Expected value for argument 'n'."},
      {"/items?items.=5", "['5',~]"},  // an empty index path is no path
      {"/items?items.=", "[[],~]"},
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(Get("GetItems", target), expected) << target;
  }
  // The largest index is accepted.
  const std::string largest = Get("GetItems", "/items?items.65535=z");
  EXPECT_EQ(largest.substr(largest.size() - 8), ",'z'],~]");
}

TEST_F(DispatchTest, DeepIndexPathsFailWithoutRecursion) {
  Add(HttpMethod::Get, "/deep", {{"obj", BindingCode::Object, ArgumentLocation::Query}});
  auto path = [](size_t segments) {
    std::string key = "obj";
    for (size_t i = 0; i < segments; ++i)
      key += ".x";
    return "/deep?" + key + "=1";
  };
  {
    HostRequest request(kGet, path(512));
    HostResponse response;
    Send(Table(), "GetDeep", request, response);
    EXPECT_FALSE(response.Failed()) << response.Error();
  }
  const std::string tooDeep =
      "error 400: Couldn't assign value to 'x' because the input is nested too deeply.";
  EXPECT_EQ(Get("GetDeep", path(513)), tooDeep);
  EXPECT_EQ(Get("GetDeep", path(10000)), tooDeep);
}

TEST_F(DispatchTest, ArgumentsComeOnlyFromTheirDeclaredLocation) {
  Add(HttpMethod::Get, "/items/{id}",
      {{"id", BindingCode::Uint64, ArgumentLocation::Path},
       {"q", BindingCode::String, ArgumentLocation::Query}});
  // The query is not part of the path the route is matched against.
  EXPECT_EQ(Get("GetItemsById", "/items/5?q=x"), "['5','x']");
  EXPECT_EQ(Get("GetItemsById", "/items/5?id=6"),
            "error 400: Argument 'id' for 'GetItemsById' was specified in an invalid location.");
  EXPECT_EQ(Get("GetItemsById", "/items/a%2Fb"), "['a/b',~]");
  EXPECT_EQ(Get("GetItemsById", "/other/5"), "error 404: Invalid function");
}

// The export callback binds path parameters without building their map: in the map's order
// all the same (so the first failure reported is the same), and a repeated name takes its last
// value.
TEST_F(DispatchTest, ExportedAndMatchedDispatchesBindPathParametersAlike) {
  const std::vector<std::string> names = {"alpha",   "beta", "gamma", "delta",
                                          "epsilon", "zeta", "eta"};
  std::string path = "/p";
  std::vector<Argument> arguments;
  for (const std::string& name : names) {
    path += "/{" + name + "}";
    arguments.push_back({name.c_str(), BindingCode::Object, ArgumentLocation::Path});
  }
  Add(HttpMethod::Get, path, arguments);
  const std::string function = MakeFunctionName(HttpMethod::Get, path);
  {
    // The case tells the orders apart only when the map's is not the template's.
    PathParameterMap map = MakePathParameterMap();
    for (const std::string& name : names)
      map.insert_or_assign(name, std::string());
    ASSERT_NE(map.begin()->first, names.front());
  }
  // Every parameter fails to decode, or every second one, or only the last.
  for (const size_t failEvery : {1, 2, 7}) {
    std::string target = "/p";
    for (size_t i = 0; i < names.size(); ++i)
      target += (i + 1) % failEvery == 0 ? "/%5B1" : "/%7B%7D";
    const std::string exported = Get(function, target);
    EXPECT_EQ(exported.substr(0, 56), "error 400: Couldn't deserialize JSON value for parameter")
        << target;
    EXPECT_EQ(exported, GetMatched(function, target)) << target;
  }
  const std::string all = "/p/%7B%7D/%7B%7D/%7B%7D/%7B%7D/%7B%7D/%7B%7D/%7B%7D";
  EXPECT_EQ(Get(function, all), "[{},{},{},{},{},{},{}]");
  EXPECT_EQ(GetMatched(function, all), "[{},{},{},{},{},{},{}]");

  Add(HttpMethod::Get, "/d/{a}/{b}/{a}",
      {{"a", BindingCode::Object, ArgumentLocation::Path},
       {"b", BindingCode::String, ArgumentLocation::Path}});
  const std::string repeated = MakeFunctionName(HttpMethod::Get, "/d/{a}/{b}/{a}");
  for (const auto& [target, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/d/%5B1/x/%7B%7D", "[{},'x']"},
           {"/d/%7B%7D/x/%5B1",
            "error 400: Couldn't deserialize JSON value for parameter 'a' of '" + repeated +
                "': Error: Missing a comma or ']' after an array element. at offset 2."}}) {
    EXPECT_EQ(Get(repeated, target), expected) << target;
    EXPECT_EQ(GetMatched(repeated, target), expected) << target;
  }

  // A stray "}" takes a parameter slot without a group: the group is stored under its name.
  Add(HttpMethod::Get, "/s}/{v}", {{"v", BindingCode::String, ArgumentLocation::Path}});
  const std::string stray = MakeFunctionName(HttpMethod::Get, "/s}/{v}");
  const std::string unknown = "error 400: Unknown argument '' for '" + stray + "'.";
  EXPECT_EQ(Get(stray, "/s/1"), unknown);
  EXPECT_EQ(GetMatched(stray, "/s/1"), unknown);
}

TEST_F(DispatchTest, HeadersBindByTheLowerCasedArgumentName) {
  Add(HttpMethod::Get, "/h",
      {{"x-id", BindingCode::String, ArgumentLocation::Any},
       {"X-Id", BindingCode::String, ArgumentLocation::Header},
       {"x-q", BindingCode::String, ArgumentLocation::Query}});
  const auto call = [&](const char* header) {
    HostRequest request(kGet, "/h");
    request.Header(header, "7").Header("x-q", "9");
    HostResponse response;
    Send(Table(), "GetH", request, response);
    return response.Shape();
  };
  EXPECT_EQ(call("x-id"), "['7','7',~]");  // a query-only argument ignores headers
  EXPECT_EQ(call("X-Id"), "[~,~,~]");
}

TEST_F(DispatchTest, BodiesDecodeByContentTypePrefix) {
  Add(HttpMethod::Post, "/body",
      {{"data", BindingCode::Object, ArgumentLocation::Body},
       {"q", BindingCode::String, ArgumentLocation::Query}});
  const auto post = [&](std::string contentType, std::string body) {
    HostRequest request(kPost, "/body");
    request.Body(std::move(contentType), std::move(body));
    HostResponse response;
    Send(Table(), "PostBody", request, response);
    return response.Failed() ? "error: " + response.Error() : response.Shape();
  };
  EXPECT_EQ(post("Application/JSON; charset=utf-8", R"({"a":1})"), "[{a:u1;},~]");
  EXPECT_EQ(post("application/vnd.api+json", "[true]"), "[[T],~]");
  EXPECT_EQ(post("application/json", std::string("[1]\0garbage", 11)), "[[u1],~]");
  EXPECT_EQ(post("application/x-msgpack",
                 "\x81\xA1"
                 "a\x01"),
            "[{a:i1;},~]");
  EXPECT_EQ(post("application/x-yaml", "a: [1]\n"), "[{a:[u1];},~]");
}

TEST_F(DispatchTest, MalformedBodiesAnswerTheDecodersOwnMessage) {
  EchoHandler& handler =
      Add(HttpMethod::Post, "/body", {{"data", BindingCode::Object, ArgumentLocation::Body}});
  const struct {
    std::string contentType;
    std::string body;
    std::string message;
    uint32_t status;
  } cases[] = {
      {"application/x-msgpack", "\xC1", "Invalid MessagePack data at position 1.", 400},
      {"application/x-msgpack; v=5", "\x92\x01\xA4x",
       "Invalid MessagePack data. String of size 4 at position 3 is truncated.", 400},
      {"application/x-msgpack", "\x81\x01\x02",
       "Invalid MessagePack data at position 2. Map keys must be strings.", 400},
      {"application/x-msgpack",
       "\x81\xA1"
       "a\x01\xC0",
       "Extra MessgePack data found in body", 400},
      {"application/json", "{\"a\":}", "Error: Invalid value. at offset 5.", 400},
      {"application/vnd.api+json", "[1] 2",
       "Error: The document root must not be followed by other values. at offset 4.", 400},
      {"application/x-yaml", "a: *nothing",
       "Undefined alias encountered: \"nothing\". At line: 1 col: 4", 400},
      {"Application/X-Yaml", "a: &x 1\nb: &x 2",
       "Duplicate occurrence of anchor \"x\". At line: 2 col: 4", 400},
      {"text/x-yaml", "a: 1", "Unsupported body content type", 415},  // a parameter type only
      {"", "{}", "Unsupported body content type", 415},
  };
  for (const auto& c : cases) {
    HostRequest request(kPost, "/body");
    request.Body(c.contentType, c.body);
    HostResponse response;
    Send(Table(), "PostBody", request, response);
    EXPECT_TRUE(response.Failed()) << c.contentType;
    EXPECT_EQ(response.Error(), c.message) << c.contentType;
    EXPECT_EQ(response.Status(), c.status) << c.contentType;
    EXPECT_EQ(+response.record.value.kind, static_cast<uint32_t>(HOST_VALUE_EMPTY));
  }
  EXPECT_EQ(handler.prepared, 0);

  // YAML is read as text, up to the first NUL.
  HostRequest request(kPost, "/body");
  request.Body("application/x-yaml", std::string("a: [1]\0: : [", 12));
  HostResponse response;
  Send(Table(), "PostBody", request, response);
  EXPECT_EQ(response.Shape(), "[{a:[u1];}]") << response.Error();
}

TEST_F(DispatchTest, TheFirstFailingStepIsReportedAndNothingRuns) {
  EchoHandler& handler = Add(HttpMethod::Post, "/f/{id}",
                             {{"h", BindingCode::Uint64, ArgumentLocation::Header},
                              {"id", BindingCode::Object, ArgumentLocation::Path},
                              {"q", BindingCode::String, ArgumentLocation::Query},
                              {"n", BindingCode::Object, ArgumentLocation::Any},
                              {"data", BindingCode::Object, ArgumentLocation::Body}});
  HostValue one{};
  one.kind = HOST_VALUE_UNSIGNED;
  one.payload.unsignedValue = 1;
  const std::string headerError = "Expected value for argument 'h'.";
  const std::string pathError =
      "Couldn't deserialize JSON value for parameter 'id' of 'PostFById': Error: Missing a comma "
      "or ']' after an array element. at offset 2.";
  const std::string queryError = "Unknown argument 'zz' for 'PostFById'.";
  const std::string nativeError = "Unknown argument 'nn' for 'PostFById'.";
  const std::string bodyError =
      "Error: Missing a comma or ']' after an array element. at offset 2.";
  // Which steps get a failing input, in binding order: header, path, query, native, body.
  const struct {
    bool header, path, query, native, body;
    std::string expected;
  } cases[] = {
      {true, true, true, true, true, headerError},
      {true, false, true, false, false, headerError},
      {true, false, false, false, true, headerError},
      {false, true, true, true, true, pathError},
      {false, true, false, false, true, pathError},
      {false, false, true, true, true, queryError},
      {false, false, true, false, false, queryError},
      {false, false, false, true, true, nativeError},
      {false, false, false, false, true, bodyError},
  };
  for (const auto& c : cases) {
    HostRequest request(
        kPost, std::string(c.path ? "/f/%5B1" : "/f/%7B%7D") + (c.query ? "?q=x&zz=1" : "?q=x"));
    request.Header("h", c.header ? "" : "3")
        .Native(c.native ? "nn" : "n", one)
        .Body("application/json", c.body ? "[1" : "[2]");
    HostResponse response;
    Send(Table(), "PostFById", request, response);
    EXPECT_TRUE(response.Failed());
    EXPECT_EQ(response.Error(), c.expected) << c.header << c.path << c.query << c.native << c.body;
    EXPECT_EQ(response.Status(), 400u);  // the caller's fault, whichever step found it
  }
  EXPECT_EQ(handler.prepared, 0);

  HostRequest request(kPost, "/f/%7B%7D?q=x");
  request.Header("h", "3").Native("n", one).Body("application/json", "[2]");
  HostResponse response;
  Send(Table(), "PostFById", request, response);
  EXPECT_EQ(response.Shape(), "['3',{},'x',u1,[u2]]") << response.Error();
  EXPECT_EQ(handler.prepared, 1);
}

TEST_F(DispatchTest, QueryFailuresAreReportedInDeliveryOrder) {
  Add(HttpMethod::Get, "/q", {{"a", BindingCode::Uint64, ArgumentLocation::Query}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/q?zz=1&yy=2", "error 400: Unknown argument 'zz' for 'GetQ'."},
      {"/q?yy=2&zz=1", "error 400: Unknown argument 'yy' for 'GetQ'."},
      {"/q?a=&zz=1", "error 400: Expected value for argument 'a'."},
      // A repeated key keeps its first place and takes the last value.
      {"/q?zz=1&a=&zz=2", "error 400: Unknown argument 'zz' for 'GetQ'."},
      {"/q?a=&zz=1&a=5", "error 400: Unknown argument 'zz' for 'GetQ'."},
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(Get("GetQ", target), expected) << target;
  }
}

TEST_F(DispatchTest, ContainerArgumentsSniffTheirText) {
  Add(HttpMethod::Get, "/sniff",
      {{"obj", BindingCode::Object, ArgumentLocation::Query},
       {"s", BindingCode::String, ArgumentLocation::Query}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/sniff?obj=%7B%7D", "[{},~]"},
      {"/sniff?obj=+%5B1%5D", "[[u1],~]"},
      {"/sniff?obj=%81%A1a%01%C0", "[{a:i1;},~]"},  // bytes after the first value are ignored
      {"/sniff?obj=---%0Ak%3A+v", "[{k:'v';},~]"},
      {"/sniff?obj=plain", "['plain',~]"},
      {"/sniff?s=%7B%7D", "[~,'{}']"},
      {"/sniff?obj=%5B1",
       "error 400: Couldn't deserialize JSON value for parameter 'obj' of 'GetSniff': Error: "
       "Missing a comma or ']' after an array element. at offset 2."},
      {"/sniff?obj=%81%A1",
       "error 400: Couldn't deserialize MessagePack value for parameter 'obj' of 'GetSniff': "
       "Invalid MessagePack data. String of size 1 at position 2 is truncated."},
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(Get("GetSniff", target), expected) << target;
  }
}

// DecodeParameter on its own: the dispatcher's own binding passes no content type, so the
// explicit types are reached only by callers that pass one.
std::string DecodeAs(std::string_view contentType, const std::string& text, bool sniff) {
  Binding::FunctionRecord function;
  function.name = "GetF";
  ApiResponse call;
  BindingProperty target;
  target.SetString("before");
  DecodeParameter(call, target, function, "p", text, contentType, sniff);
  if (!call.Ok()) {
    return "error: " + std::string(call.result.ErrorMessage()) + " status " +
           std::to_string(call.status);
  }
  return Client::Shape(target);
}

TEST(DecodeParameterTest, ExplicitContentTypesChooseTheDecoder) {
  const struct {
    std::string_view contentType;
    std::string text;
    bool sniff;
    std::string expected;
  } cases[] = {
      {"application/x-msgpack", "\x81\xA1k\x01", false, "{k:i1;}"},
      {"application/x-msgpack-ext", "\x92\x01\xC3", false, "[i1,T]"},
      {"APPLICATION/X-MsgPack", "\x05\xC0\xC1", false, "i5"},  // bytes after the value ignored
      {"application/x-msgpack", "", false, "~"},
      {"application/json", "5", false, "u5"},  // no "{" or "[" needed with a content type
      {"Application/Json; charset=utf-8", R"({"a":[true]})", true, "{a:[T];}"},
      {"text/x-yaml", "a: [1]", false, "{a:[u1];}"},
      {"TEXT/X-YAML", "k", false, "'k'"},
      {"application/octet-stream", std::string("\0\xFF{", 3), true, "b'00ff7b'"},
      // Types that only bodies know, and unknown types, keep the text; a content type turns
      // sniffing off.
      {"application/vnd.api+json", "[1]", true, "'[1]'"},
      {"application/x-yaml", "a: 1", true, "'a: 1'"},
      {"text/plain", "{}", true, "'{}'"},
      {"application/jso", "[1]", true, "'[1]'"},
      {"", "{}", false, "'{}'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAs(c.contentType, c.text, c.sniff), c.expected) << c.contentType;
  }
}

TEST(DecodeParameterTest, SniffingRecognisesMessagePackByItsFirstByte) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"\x7F", "'\x7F'"},
      {"\x80", "{}"},
      {"\x9F", "[]"},  // the declared elements are missing: the collection ends early
      {"\xA1x", "'\xA1x'"},
      {std::string("\xDB\0\0\0\0", 5), "'\xDB\\0\\0\\0\\0'"},
      {std::string("\xDC\0\x01\x07", 4), "[i7]"},
      {std::string("\xDF\0\0\0\0", 5), "{}"},
      {"\xE0", "'\xE0'"},
      {"\n---\nk: v", "{k:'v';}"},  // spaces are skipped before "---"
      {"--", "'--'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAs("", c.text, true), c.expected) << c.text;
  }
}

TEST(DecodeParameterTest, MalformedTextsNameTheFormatParameterAndFunction) {
  const struct {
    std::string_view contentType;
    std::string text;
    std::string expected;
  } cases[] = {
      {"application/x-msgpack", "\xC1",
       "Couldn't deserialize MessagePack value for parameter 'p' of 'GetF': Invalid MessagePack "
       "data at position 1."},
      {"application/x-msgpack", "\x81\x01\x02",
       "Couldn't deserialize MessagePack value for parameter 'p' of 'GetF': Invalid MessagePack "
       "data at position 2. Map keys must be strings."},
      {"", "\x91\xA3xy",
       "Couldn't deserialize MessagePack value for parameter 'p' of 'GetF': Invalid MessagePack "
       "data. String of size 3 at position 2 is truncated."},
      {"application/json", "[1",
       "Couldn't deserialize JSON value for parameter 'p' of 'GetF': Error: Missing a comma or "
       "']' after an array element. at offset 2."},
      {"", " {",
       "Couldn't deserialize JSON value for parameter 'p' of 'GetF': Error: Missing a "
       "name for object member. at offset 2."},
      {"text/x-yaml", "a: *nothing",
       "Couldn't deserialize YAML value for parameter 'p' of 'GetF': Undefined alias "
       "encountered: \"nothing\". At line: 1 col: 4"},
      {"", "---\n? [a]\n: 1",
       "Couldn't deserialize YAML value for parameter 'p' of 'GetF': Unexpected start of "
       "sequence. At line: 2 col: 3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAs(c.contentType, c.text, true), "error: " + c.expected + " status 0")
        << c.text;
  }
}

TEST_F(DispatchTest, NativeArgumentsBindByNameOrPositionAfterThePath) {
  Add(HttpMethod::Get, "/n/{id}",
      {{"id", BindingCode::String, ArgumentLocation::Path},
       {"a", BindingCode::Object, ArgumentLocation::Any},
       {"b", BindingCode::Object, ArgumentLocation::Any}});
  HostValue one{};
  one.kind = HOST_VALUE_UNSIGNED;
  one.payload.unsignedValue = 1;
  HostValue text{};
  text.kind = HOST_VALUE_STRING_BORROWED;
  text.payload.string.text = "t";
  const auto call = [&](std::vector<std::pair<const char*, HostValue>> natives) {
    HostRequest request(kGet, "/n/x");
    for (const auto& [name, value] : natives)
      request.Native(name, value);
    HostResponse response;
    Send(Table(), "GetNById", request, response);
    return response.Failed() ? "error: " + response.Error() : response.Shape();
  };
  EXPECT_EQ(call({{nullptr, text}, {"b", one}}), "['x','t',u1]");
  EXPECT_EQ(call({{"zz", one}}), "error: Unknown argument 'zz' for 'GetNById'.");
  EXPECT_EQ(call({{nullptr, one}, {nullptr, one}, {nullptr, one}}),
            "error: Unknown argument '3' for 'GetNById'.");
}

TEST_F(DispatchTest, MethodsMustMatchTheBinding) {
  Add(HttpMethod::Post, "/m", {});
  HostRequest get(kGet, "/m");
  HostResponse response;
  Send(Table(), "PostM", get, response);
  EXPECT_TRUE(response.Failed());
  EXPECT_EQ(response.Error(), "Invalid function");
  EXPECT_EQ(response.Status(), 404u);

  HostRequest post(kPost, "/m");
  HostResponse ok;
  Send(Table(), "PostM", post, ok);
  EXPECT_FALSE(ok.Failed());
  EXPECT_EQ(ok.Shape(), "[]");
}

TEST_F(DispatchTest, ExceptionsFromHandlersBecomeServerErrors) {
  EchoHandler& handler = Add(HttpMethod::Get, "/throw", {});
  const std::vector<std::tuple<std::function<ApiResponse()>, std::string>> cases = {
      {[]() -> ApiResponse { throw std::runtime_error("broken"); }, "broken"},
      {[]() -> ApiResponse { throw 7; }, "Unknown error"},
      {[]() -> ApiResponse { throw std::bad_alloc(); }, "std::bad_alloc"},
  };
  for (const auto& [thrower, message] : cases) {
    handler.answer = thrower;
    HostRequest request(kGet, "/throw");
    HostResponse response;
    Send(Table(), "GetThrow", request, response);
    EXPECT_TRUE(response.Failed());
    EXPECT_EQ(response.Error(), message);
    EXPECT_EQ(response.Status(), 500u);
    EXPECT_STREQ(response.record.text, "");
  }
}

// Dispatches share buffers and value trees between calls: nothing of one call may reach the next.
TEST_F(DispatchTest, NothingOfADispatchReachesTheNext) {
  EchoHandler& handler = Add(HttpMethod::Get, "/n",
                             {{"q", BindingCode::String, ArgumentLocation::Query},
                              {"h", BindingCode::String, ArgumentLocation::Header}});
  const ApiExportTable& table = Table();
  const auto plain = [&](const std::string& target) {
    HostRequest request(kGet, target);
    HostResponse response;
    Send(table, "GetN", request, response);
    const ApiResponseRecord& record = response.record;
    EXPECT_EQ(+record.status, response.Failed() ? 400u : 0u) << target;
    EXPECT_STREQ(record.text, "") << target;
    EXPECT_EQ(+record.headerCount, 0u) << target;
    EXPECT_EQ(+record.settingByte, 0) << target;
    EXPECT_EQ(+record.settingCode, 0u) << target;
    EXPECT_EQ(+record.bodyStream, nullptr) << target;
    return response.Failed() ? "error: " + response.Error() : response.Shape();
  };
  handler.answer = [] {
    ApiResponse response;
    response.result.Value().Get("k").SetString("v");
    response.status = 201;
    response.text = std::string(5000, 't');
    response.settingByte = 9;
    response.settingCode = 2;
    response.headers["h1"] = "v1";
    return response;
  };
  {
    HostRequest request(kGet, "/n?q=" + std::string(3000, 'x'));
    request.Header("h", "1");
    HostResponse response;
    Send(table, "GetN", request, response);
    EXPECT_EQ(+response.record.status, 201u);
  }
  handler.answer = nullptr;
  EXPECT_EQ(plain("/n"), "[~,~]");
  {
    HostRequest request(kGet, "/n?q=x");
    request.Header("h", "1");
    HostResponse response;
    Send(table, "GetN", request, response);
    EXPECT_EQ(response.Shape(), "['x','1']");
  }
  EXPECT_EQ(plain("/n"), "[~,~]");
  EXPECT_EQ(plain("/n?zz=1"), "error: Unknown argument 'zz' for 'GetN'.");
  EXPECT_EQ(plain("/n"), "[~,~]");
  handler.answer = []() -> ApiResponse { throw std::runtime_error("broken"); };
  {
    HostRequest request(kGet, "/n?q=x");
    HostResponse response;
    Send(table, "GetN", request, response);
    EXPECT_EQ(response.Error(), "broken");
    EXPECT_EQ(response.Status(), 500u);
  }
  handler.answer = nullptr;
  EXPECT_EQ(plain("/n"), "[~,~]");
}

// Runs `inner` between binding its arguments and answering with them: a handler may dispatch
// another request while its own call is in progress.
class NestingHandler final : public ApiHandler {
 public:
  struct Call final : PreparedCall {
    std::span<BindingProperty> arguments;
  };

  std::unique_ptr<PreparedCall> Prepare(ApiResponse&, std::span<BindingProperty> arguments,
                                        void*) override {
    auto call = std::make_unique<Call>();
    call->arguments = arguments;
    return call;
  }
  void Invoke(ApiResponse& response, const RequestInfo*, PreparedCall* call, void*) override {
    response.result.Value().Get("before").SetString("outer");
    response.text = "outer";
    inner();
    BindingProperty& list = response.result.Value().Get("arguments");
    list.MakeCollection();
    for (const BindingProperty& value : static_cast<Call*>(call)->arguments)
      list.Append() = value;
  }
  const Binding::TypeId& ResultType() const noexcept override {
    return Binding::TypeIdOf<ApiResponse>();
  }

  std::function<void()> inner;
};

TEST_F(DispatchTest, AHandlerMayDispatchAnotherRequestWhileItRuns) {
  Add(HttpMethod::Get, "/inner/{id}",
      {{"id", BindingCode::String, ArgumentLocation::Path},
       {"v", BindingCode::String, ArgumentLocation::Query}});
  auto outer = std::make_shared<NestingHandler>();
  AddHandler(outer, HttpMethod::Get, "/outer/{id}",
             {{"id", BindingCode::String, ArgumentLocation::Path},
              {"w", BindingCode::String, ArgumentLocation::Query}});
  const ApiExportTable& table = Table();
  std::string inner;
  outer->inner = [&] {
    HostRequest request(kGet, "/inner/9?v=in");
    HostResponse response;
    Send(table, "GetInnerById", request, response);
    inner = response.Shape();
  };
  HostRequest request(kGet, "/outer/7?w=out");
  HostResponse response;
  Send(table, "GetOuterById", request, response);
  ASSERT_FALSE(response.Failed()) << response.Error();
  EXPECT_EQ(inner, "['9','in']");
  EXPECT_EQ(response.Shape(), "{arguments:['7','out'];before:'outer';}");
  EXPECT_STREQ(response.record.text, "outer");
}

// A body of `size` bytes of 'b', read in pieces.
class PiecewiseBody final : public BodyStream {
 public:
  explicit PiecewiseBody(uint32_t size, bool* destroyed) : left_(size), destroyed_(destroyed) {}
  ~PiecewiseBody() override { *destroyed_ = true; }
  bool Read(void* buffer, uint32_t& length, bool& moreData) override {
    length = length < left_ ? length : left_;
    std::memset(buffer, 'b', length);
    left_ -= length;
    moreData = left_ > 0;
    return true;
  }
  uint32_t Size() const override { return 5; }

 private:
  uint32_t left_;
  bool* destroyed_;
};

TEST_F(DispatchTest, ResponsesCarryEverythingAndTheFreeCallbackReleasesIt) {
  Log::InstallAllocationTracking();
  EchoHandler& handler = Add(HttpMethod::Get, "/r", {});
  bool destroyed = false;
  handler.answer = [&] {
    ApiResponse response;
    response.result.Value().Get("k").SetString("v");
    response.status = 201;
    response.text = "Created";
    response.settingByte = 9;
    response.settingCode = 2;
    response.headers["h1"] = "v1";
    response.body = std::make_unique<PiecewiseBody>(5, &destroyed);
    return response;
  };
  const ApiExportTable& table = Table();
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  {
    HostRequest request(kGet, "/r");
    HostResponse response;
    Send(table, "GetR", request, response);
    const ApiResponseRecord& record = response.record;
    EXPECT_FALSE(response.Failed());
    EXPECT_EQ(+record.errorMessage, nullptr);
    EXPECT_EQ(response.Shape(), "{k:'v';}");
    EXPECT_EQ(+record.status, 201u);
    EXPECT_STREQ(record.text, "Created");
    EXPECT_EQ(+record.settingByte, 9);
    EXPECT_EQ(+record.settingCode, 2u);
    ASSERT_EQ(+record.headerCount, 1u);
    EXPECT_STREQ(record.headers[0].name, "h1");
    EXPECT_STREQ(record.headers[0].value, "v1");
    EXPECT_EQ(+record.bodySize, 5u);
    EXPECT_EQ(+record.reserved, 0u);
    char buffer[4];
    uint32_t length = sizeof buffer;
    uint8_t more = 0;
    ASSERT_EQ(record.readBody(record.bodyStream, buffer, &length, &more), 1);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(more, 1);
    length = sizeof buffer;
    ASSERT_EQ(record.readBody(record.bodyStream, buffer, &length, &more), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(more, 0);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);  // the free callback destroys a body the host did not release
  const Log::AllocationCounters after = Log::ReadAllocationCounters();
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);

  handler.answer = [] {
    ApiResponse response = ApiResponse::Error("gone", 410);
    response.settingCode = 4;  // outside 1 to 3: sent as 0
    return response;
  };
  HostRequest request(kGet, "/r");
  HostResponse failed;
  Send(table, "GetR", request, failed);
  EXPECT_TRUE(failed.Failed());
  EXPECT_EQ(failed.Error(), "gone");
  EXPECT_EQ(failed.Status(), 410u);
  EXPECT_EQ(+failed.record.settingCode, 0u);
  EXPECT_STREQ(failed.record.text, "");
  EXPECT_EQ(+failed.record.value.kind, static_cast<uint32_t>(HOST_VALUE_EMPTY));
  // A handler's own failure without a status keeps 0: the host chooses.
  handler.answer = [] { return ApiResponse::Error("refused", 0); };
  EXPECT_EQ(Get("GetR", "/r"), "error 0: refused");
}

TEST_F(DispatchTest, RequestAwareHandlersSeeTheRequest) {
  EchoHandler& handler =
      Add(HttpMethod::Other, "/info", {{"x", BindingCode::String, ArgumentLocation::Query}});
  handler.requestAware = true;
  int context = 0;
  HostRequest request(8, "/info?x=1");
  request.MethodName("PURGE").Header("h", "1").Context(&context);
  HostResponse response;
  Send(Table(), "Info", request, response);
  // A method-8 binding with an empty name accepts only requests naming no method.
  EXPECT_EQ(response.Error(), "Invalid function");

  HostRequest plain(8, "/info?x=1");
  plain.Header("h", "1").Context(&context);
  HostResponse ok;
  Send(Table(), "Info", plain, ok);
  ASSERT_FALSE(ok.Failed()) << ok.Error();
  EXPECT_EQ(ok.Shape(), "['1']");
  EXPECT_EQ(handler.seen.target, "/info?x=1");
  EXPECT_EQ(handler.seen.method, HttpMethod::Other);
  EXPECT_EQ(handler.seen.headers.at("h"), "1");
  EXPECT_EQ(handler.seen.callerContext, &context);
  EXPECT_EQ(handler.seenContext, &context);
  EXPECT_EQ(handler.seen.registry, &registry);
  EXPECT_GT(handler.seen.time, 16'000'000'000'000'000ull);  // after 2020
}

TEST_F(DispatchTest, BuiltinsRunOnlyWhenDispatchedWithARegistry) {
  Binding::RegisterBuiltinEvents(registry);
  for (const char* name : {"Help", "help"}) {
    Binding::FunctionRecord* function = registry.RegisterFunction(name, 0);
    function->tags.push_back("$builtin");
    RouteBinding& binding = registry.CreateRouteBinding(*function);
    binding.handler = std::make_shared<EchoHandler>();
  }
  const auto dispatch = [&](const char* name, bool withRegistry) {
    const Binding::FunctionRecord* function = registry.FindFunction(name);
    const RoutePattern pattern = BuildRoutePattern(*registry.FindRouteBinding(*function));
    HostRequest request(kGet, name);
    ApiResponseRecord record;
    Dispatch(withRegistry ? &registry : nullptr, record, request.Record(nullptr),
             std::span<const RoutePattern>(&pattern, 1));
    HostResponse response;
    response.record = record;
    return response.Failed() ? "error: " + response.Error() : response.Shape();
  };
  const std::string help = dispatch("Help", true);
  EXPECT_EQ(help.substr(0, 13), "{events:[{des");
  EXPECT_NE(help.find("name:'OnCallback'"), std::string::npos);
  EXPECT_EQ(dispatch("help", true), "error: Unsupported builtin function");
  EXPECT_EQ(dispatch("Help", false), "[]");
  EXPECT_EQ(dispatch("help", false), "[]");
}

// A registry as a plugin's: the builtin types and event, a "Help" builtin and one route.
class HelpDispatchTest : public DispatchTest {
 protected:
  void SetUp() override {
    Binding::RegisterBuiltinEvents(registry);
    Binding::FunctionRecord* help = registry.RegisterFunction("Help", 0);
    help->tags.push_back("$builtin");
    registry.CreateRouteBinding(*help).handler = std::make_shared<EchoHandler>();

    Binding::FunctionRecord* items = registry.RegisterFunction("GetItemsById", 1);
    items->description = "Reads {one} item.";
    items->tags = {"a", "b"};
    items->returns.code = BindingCode::String;
    items->arguments[0].type.code = BindingCode::Uint64;
    items->arguments[0].optional = true;
    RouteBinding& binding = registry.CreateRouteBinding(*items);
    binding.handler = std::make_shared<EchoHandler>();
    SetRoutePath(binding, "/items/{id}");
    DeclareArgument(registry, *items, "id", "the id", ArgumentLocation::Path);
  }

  // Dispatches `target` to the Help function with the registry and reads the listing.
  BindingProperty Listing(const std::string& target) {
    const RoutePattern pattern =
        BuildRoutePattern(*registry.FindRouteBinding(*registry.FindFunction("Help")));
    HostRequest request(kGet, target);
    HostResponse response;
    Dispatch(&registry, response.record, request.Record(nullptr),
             std::span<const RoutePattern>(&pattern, 1));
    EXPECT_FALSE(response.Failed()) << response.Error();
    EXPECT_EQ(response.Status(), 0u);
    EXPECT_STREQ(response.record.text, "");
    EXPECT_EQ(+response.record.headerCount, 0u);
    EXPECT_EQ(+response.record.bodyStream, nullptr);
    EXPECT_EQ(+response.record.value.kind, static_cast<uint32_t>(HOST_VALUE_STRUCTURE));
    BindingProperty listing;
    Binding::ValueResult result;
    EXPECT_TRUE(Binding::FromHostValue(response.record.value, listing, result, "listing"));
    return listing;
  }

  static std::vector<std::string> Keys(const BindingProperty& value) {
    std::vector<std::string> keys;
    for (const auto& member : value.Members())
      keys.emplace_back(member.key);
    return keys;
  }
  // The "name" of every element of a Full list.
  static std::vector<std::string> Names(const BindingProperty& list) {
    std::vector<std::string> names;
    for (const BindingProperty& item : list.Elements())
      names.emplace_back(item.Get("name").GetString("<none>"));
    return names;
  }

  const std::vector<std::string> typeNames = {
      "BindingAsyncCancelEvent",  "BindingAsyncFailureEvent", "BindingAsyncState",
      "BindingCallbackEvent",     "BindingFullApiHelp",       "BindingFullArgumentHelp",
      "BindingFullEnumValueHelp", "BindingFullEventHelp",     "BindingFullFieldHelp",
      "BindingFullFunctionHelp",  "BindingFullTypeHelp",      "BindingFullTypeIdentifier",
      "BindingGenericAsyncEvent", "BindingGenericEvent",      "BindingHelpFormat"};
};

TEST_F(HelpDispatchTest, FullListingDescribesTheWholeRegistry) {
  for (const char* target : {"Help", "Help?format=Full", "Help?format=1"}) {
    SCOPED_TRACE(target);
    const BindingProperty listing = Listing(target);
    ASSERT_EQ(listing.Kind(), Binding::ValueKind::Structure);
    EXPECT_EQ(Keys(listing), (std::vector<std::string>{"events", "functions", "types"}));
    const BindingProperty& functions = listing.Get("functions");
    ASSERT_EQ(functions.Kind(), Binding::ValueKind::Collection);
    EXPECT_EQ(Names(functions), (std::vector<std::string>{"GetItemsById", "Help"}));
    EXPECT_EQ(Client::Shape(functions.At(0)),
              "{arguments:[{description:'the id';name:'id';optional:T;"
              "type:{elementType:'';type:'uint64';};}];async:'';description:'Reads {one} item.';"
              "help:'';name:'GetItemsById';nameSpace:'';returns:{elementType:'';type:'string';};"
              "tags:['a','b'];threadSafe:F;}");
    EXPECT_EQ(Client::Shape(functions.At(1).Get("tags")), "['$builtin']");
    EXPECT_EQ(Names(listing.Get("types")), typeNames);
    const BindingProperty& format = listing.Get("types").At(14);
    EXPECT_EQ(Client::Shape(format.Get("values")),
              "[{description:'Python epytext format';name:'Epytext';value:i2;},"
              "{description:'Native help format';name:'Full';value:i1;}]");
    EXPECT_EQ(Client::Shape(format.Get("fields")), "[]");
    EXPECT_EQ(Client::Shape(format.Get("size")), "u4");
    EXPECT_EQ(Client::Shape(listing.Get("events")),
              "[{description:'Fired when a callback is invoked.';name:'OnCallback';nameSpace:'';"
              "tags:['$builtin'];type:{elementType:'';type:'BindingCallbackEvent';};}]");
  }
}

TEST_F(HelpDispatchTest, EpytextListingMapsEveryNameToItsText) {
  for (const char* target : {"Help?format=Epytext", "Help?format=2"}) {
    SCOPED_TRACE(target);
    const BindingProperty listing = Listing(target);
    ASSERT_EQ(listing.Kind(), Binding::ValueKind::Structure);
    EXPECT_EQ(Keys(listing), (std::vector<std::string>{"events", "functions", "types"}));
    const BindingProperty& functions = listing.Get("functions");
    ASSERT_EQ(functions.Kind(), Binding::ValueKind::Structure);
    EXPECT_EQ(Keys(functions), (std::vector<std::string>{"GetItemsById", "Help"}));
    EXPECT_EQ(functions.Get("GetItemsById").GetString("<none>"),
              "Reads E{lb}oneE{rb} item.\r\n\r\n@param id: (optional) the id\r\n"
              "@type id: uint64\r\n@rtype: string\r\n@tags: a,b\r\n");
    EXPECT_EQ(functions.Get("Help").GetString("<none>"), "@tags: $builtin\r\n");
    EXPECT_EQ(Keys(listing.Get("types")), typeNames);
    EXPECT_EQ(listing.Get("types").Get("BindingHelpFormat").GetString("<none>"),
              "Help format for binding functions and types.\r\n\r\n"
              "@cvar Full: (1) Native help format\r\n@cvar Epytext: (2) Python epytext format\r\n"
              "@tags: $builtin,help\r\n@size: 4\r\n");
    EXPECT_EQ(Client::Shape(listing.Get("events")),
              "{OnCallback:'Fired when a callback is invoked.\r\n\r\n@tags: $builtin\r\n';}");
  }
}

}  // namespace
}  // namespace Oxle::Client::Api
