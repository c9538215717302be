#include "cli_test_plugin.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "api/route_registration.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_export.h"

namespace CliTest {

namespace ClientApi = Oxle::Client::Api;
using ClientApi::ApiResponse;
using ClientApi::ArgumentLocation;
using ClientApi::HttpMethod;
using Oxle::Client::Binding::BindingProperty;

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

class CliTestPlugin final : public Oxle::Client::Plugin::PluginBase {
 public:
  void RegisterApi() override {
    ClientApi::ApiRegistry& api = Api();
    const std::string prefix = "/qel-clitest/v1/";
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "zero", [] {
      BindingProperty value;
      value.Get("ok").SetBool(true);
      return ApiResponse::FromValue(std::move(value));
    });
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "zero-error",
                             [] { return ApiResponse::Error("nothing set the status", 0); });
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "low-error",
                             [] { return ApiResponse::Error("an error that says 201", 201); });
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "teapot", [] {
      ApiResponse response = ApiResponse::Error("short and stout", 418);
      response.headers["x-teapot"] = "yes";
      return response;
    });
    ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "echo",
                             [](const ClientApi::RequestInfo& request, BindingProperty data,
                                std::string x, std::string y) {
                               BindingProperty value;
                               value.Get("method").SetString(ClientApi::MethodText(request.method));
                               value.Get("target").SetString(request.target);
                               BindingProperty& headers = value.Get("headers").MakeStructure();
                               for (const auto& [name, text] : request.headers)
                                 headers.Get(name).SetString(text);
                               value.Get("data") = data;
                               value.Get("x").SetString(x);
                               value.Get("y").SetString(y);
                               ApiResponse response = ApiResponse::FromValue(std::move(value));
                               response.status = 201;
                               response.headers["x-echo"] = "passed on";
                               response.headers["Content-Length"] = "999";
                               response.headers["Access-Control-Allow-Origin"] = "*";
                               response.headers["x-split"] = "a\r\nInjected: 1";
                               response.headers["bad name"] = "dropped";
                               return response;
                             },
                             {{"data", ArgumentLocation::Body},
                              {"x", ArgumentLocation::Query},
                              {"y", ArgumentLocation::Query}});
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "stream", [] {
      ApiResponse response;
      response.status = 200;
      response.headers["Content-Type"] = "text/plain";
      response.body = std::make_unique<Stream>();
      return response;
    });
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "relay-stream", [this, prefix] {
      Oxle::Client::Plugin::RequestResult<BindingProperty> read =
          GetResource<BindingProperty>(HttpMethod::Get, prefix + "stream");
      if (!read.Ok()) return ApiResponse::Error(read.Error().message, 502);
      return ApiResponse::FromValue(std::move(read.Value()));
    });
    ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "wait", [] {
      Hooks().entered.set_value();
      const bool released =
          Hooks().release.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
      BindingProperty value;
      value.Get("released").SetBool(released);
      return ApiResponse::FromValue(std::move(value));
    });
    ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "publish/{n}",
                             [this](int64_t n) {
                               BindingProperty state;
                               state.Get("n").SetSigned(n);
                               if (!PublishResource("/qel-clitest/v1/state", state).Ok()) {
                                 return ApiResponse::Error("publishing failed", 500);
                               }
                               return ApiResponse::FromValue(BindingProperty());
                             },
                             {{"n", ArgumentLocation::Path}});
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
