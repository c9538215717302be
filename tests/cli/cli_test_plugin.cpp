#include "cli_test_plugin.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "api/route_registration.h"
#include "codec/json.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_export.h"

namespace CliTest {

namespace ClientApi = Oxle::Client::Api;
using ClientApi::ApiResponse;
using ClientApi::HttpMethod;
using Oxle::Client::Binding::BindingProperty;
constexpr auto kPath = ClientApi::ArgumentLocation::Path;
constexpr auto kQuery = ClientApi::ArgumentLocation::Query;

namespace {

class Stream final : public ClientApi::BodyStream {
 public:
  bool Read(void* buffer, uint32_t& length, bool& moreData) override {
    const uint32_t count = std::min(length, kStreamSize - sent_);
    for (uint32_t i = 0; i < count; ++i)
      static_cast<char*>(buffer)[i] = StreamByte(sent_ + i);
    sent_ += count;
    length = count;
    moreData = sent_ < kStreamSize;
    return true;
  }
  [[nodiscard]] uint32_t Size() const override { return kStreamSize; }

 private:
  uint32_t sent_ = 0;
};

ApiResponse Value(const std::string& json) {
  return ApiResponse::FromValue(Oxle::Client::Codec::ParseJson(json).Value());
}

ApiResponse With(ApiResponse response, uint32_t status,
                 std::initializer_list<std::pair<const char*, const char*>> headers) {
  if (status != 0) response.status = status;
  for (const auto& [name, value] : headers)
    response.headers[name] = value;
  return response;
}

class CliTestPlugin final : public Oxle::Client::Plugin::PluginBase {
 public:
  void RegisterApi() override {
    ClientApi::ApiRegistry& api = Api();
    const std::string p = "/qel-clitest/v1/";
    using ClientApi::RegisterRoute;
    RegisterRoute(api, HttpMethod::Get, p + "zero", [] { return Value(R"({"ok":true})"); });
    RegisterRoute(api, HttpMethod::Get, p + "zero-error",
                  [] { return ApiResponse::Error("nothing set the status", 0); });
    RegisterRoute(api, HttpMethod::Get, p + "low-error",
                  [] { return ApiResponse::Error("an error that says 201", 201); });
    RegisterRoute(api, HttpMethod::Get, p + "teapot", [] {
      return With(ApiResponse::Error("short and stout", 418), 0, {{"x-teapot", "yes"}});
    });
    RegisterRoute(api, HttpMethod::Post, p + "echo",
                  [](const ClientApi::RequestInfo& request, BindingProperty data, std::string x,
                     std::string y) {
                    BindingProperty value;
                    value.Get("method").SetString(ClientApi::MethodText(request.method));
                    value.Get("target").SetString(request.target);
                    BindingProperty& headers = value.Get("headers").MakeStructure();
                    for (const auto& [name, text] : request.headers)
                      headers.Get(name).SetString(text);
                    value.Get("data") = data;
                    value.Get("x").SetString(x);
                    value.Get("y").SetString(y);
                    return With(ApiResponse::FromValue(std::move(value)), 201,
                                {{"x-echo", "passed on"},
                                 {"Content-Length", "999"},
                                 {"Access-Control-Allow-Origin", "*"},
                                 {"x-split", "a\r\nInjected: 1"},
                                 {"bad name", "dropped"}});
                  },
                  {{"data", ClientApi::ArgumentLocation::Body}, {"x", kQuery}, {"y", kQuery}});
    RegisterRoute(api, HttpMethod::Get, p + "stream", [] {
      ApiResponse response = With(ApiResponse(), 200, {{"Content-Type", "text/plain"}});
      response.body = std::make_unique<Stream>();
      return response;
    });
    RegisterRoute(api, HttpMethod::Get, p + "wait", [] {
      Hooks().entered.set_value();
      const auto released = Hooks().release.wait_for(std::chrono::seconds(30));
      return Value(released == std::future_status::ready ? R"({"released":true})"
                                                         : R"({"released":false})");
    });
    RegisterRoute(api, HttpMethod::Post, p + "publish/{n}",
                  [this, p](int64_t n) {
                    BindingProperty state;
                    state.Get("n").SetSigned(n);
                    return PublishResource(p + "state", state).Ok()
                               ? ApiResponse::FromValue(BindingProperty())
                               : ApiResponse::Error("publishing failed", 500);
                  },
                  {{"n", kPath}});
  }
};

}  // namespace

WaitHooks& Hooks() {
  static WaitHooks hooks;
  return hooks;
}

}  // namespace CliTest

extern "C" void* tpk_cli_test_load(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<CliTest::CliTestPlugin>(descriptor, "qel-clitest");
}
