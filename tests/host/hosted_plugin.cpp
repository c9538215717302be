#include "hosted_plugin.h"

#include <utility>

#include "api/route_registration.h"
#include "log/log_record.h"
#include "log/logger.h"
#include "plugin/plugin_export.h"

namespace PluginHostTest {

namespace ClientApi = Oxle::Client::Api;
using Binding::BindingProperty;
using ClientApi::ApiResponse;
using ClientApi::ArgumentLocation;
using ClientApi::HttpMethod;
using ClientApi::RequestInfo;

namespace {

ApiResponse Answer(BindingProperty value, uint32_t status = 200) {
  ApiResponse response = ApiResponse::FromValue(std::move(value));
  response.status = status;
  return response;
}

ApiResponse Failed(const Plugin::RequestError& error) {
  return ApiResponse::Error(error.message, error.status);
}

}  // namespace

Plugin::ResourceHandler HostedPlugin::Recording(std::string tag) {
  return [seen = seen, tag = std::move(tag)](const Plugin::PluginResourceEvent& event) {
    if (tag == "pattern") ++seen->patternEvents;
    seen->Add(tag + " " + event.uri + " " + std::to_string(static_cast<int>(event.eventType)) +
              " " + Json(event.data));
  };
}

void HostedPlugin::RegisterApi() {
  ClientApi::ApiRegistry& api = Api();
  const std::string prefix = "/" + Name().shortName + "/v1/";
  using L = ArgumentLocation;

  ClientApi::RegisterRoute(
      api, HttpMethod::Get, prefix + "echo/{text}",
      [this](const RequestInfo& request, std::string text) {
        Log::Log(Log::WARN, 1, 0, "%s: echo %s", ShortName().c_str(), text.c_str());
        BindingProperty value;
        value.Get("text").SetString(text);
        value.Get("target").SetString(request.target);
        value.Get("caller").SetUnsigned(reinterpret_cast<uintptr_t>(request.callerContext));
        return Answer(std::move(value));
      },
      {{"text", L::Path}});
  ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "items/{id}",
                           [](uint64_t id) {
                             BindingProperty value;
                             value.Get("item").SetUnsigned(id);
                             return Answer(std::move(value));
                           },
                           {{"id", L::Path}});
  ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "items/current", [] {
    BindingProperty value;
    value.Get("item").SetString("current");
    return Answer(std::move(value));
  });
  ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "fail",
                           [] { return ApiResponse::Error("the probe refused", 409); });
  ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "sum",
                           [](int32_t a, int32_t b) {
                             BindingProperty value;
                             value.Get("sum").SetSigned(int64_t{a} + b);
                             return Answer(std::move(value));
                           },
                           {{"a", L::Any}, {"b", L::Any}});
  ClientApi::RegisterRoute(api, HttpMethod::Get, prefix + "relay",
                           [this](std::string target) {
                             Plugin::RequestResult<BindingProperty> read =
                                 GetResource<BindingProperty>(HttpMethod::Get, target);
                             if (!read.Ok()) return Failed(read.Error());
                             return Answer(std::move(read.Value()));
                           },
                           {{"target", L::Query}});
  ClientApi::RegisterRoute(
      api, HttpMethod::Get, prefix + "sum-via",
      [this](std::string target) {
        Plugin::ApiParameters parameters;
        parameters["a"].SetSigned(2);
        parameters["b"].SetSigned(40);
        Plugin::ApiCallResponse response;
        Plugin::RequestResult<> sent = CallApi(response, HttpMethod::Post, target, parameters);
        if (!sent.Ok()) return Failed(sent.Error());
        BindingProperty value;
        Binding::ValueResult converted;
        if (!Binding::FromHostValue(response.record.value, value, converted, "<result>")) {
          return ApiResponse::Error(converted.ErrorMessage(), 500);
        }
        return Answer(std::move(value));
      },
      {{"target", L::Query}});
  ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "fetch", [this] {
    Plugin::ExternalRequest request;
    request.method = HttpMethod::Post;
    request.url = kExternalUrl;
    request.headers["REGION"] = "EUW1";
    request.body = R"({"n":1})";
    request.timeout = 30;
    request.flags = 2;
    const Plugin::ExternalResponse answer = SendExternal(request);
    BindingProperty value;
    value.Get("connectionError").SetSigned(answer.connectionError);
    value.Get("status").SetUnsigned(answer.status);
    value.Get("mark").SetSigned(answer.bodyMark);
    value.Get("error").SetString(answer.error);
    BindingProperty& headers = value.Get("headers");
    headers.MakeStructure();
    for (const auto& [name, text] : answer.headers)
      headers.Get(name).SetString(text);
    value.Get("body") = answer.body;
    return Answer(std::move(value));
  });
  ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "state/{n}",
                           [this, prefix](int64_t n) {
                             BindingProperty state;
                             state.Get("n").SetSigned(n);
                             Plugin::RequestResult<> published =
                                 PublishResource(prefix + "state", state);
                             if (!published.Ok()) return Failed(published.Error());
                             return Answer(BindingProperty());
                           },
                           {{"n", L::Path}});
  ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "ticks", [this] {
    ScheduleTick(std::chrono::steady_clock::now());
    return Answer(BindingProperty(), 202);
  });
  ClientApi::RegisterRoute(api, HttpMethod::Post, prefix + "toggle", [this] {
    Subscribe(kToggleUri);
    Unsubscribe(kToggleUri);
    ++seen->toggles;
    return Answer(BindingProperty());
  });
}

bool HostedPlugin::OnStart() {
  ObserveResource(kSessionUri, Recording("session"));
  ObserveResource(kChampionsPattern, Recording("pattern"));
  ObserveResource(kChampionSevenUri, Recording("exact"));
  if (onStart) onStart(*this);
  return true;
}

void HostedPlugin::ScheduleTick(std::chrono::steady_clock::time_point deadline) {
  ScheduleAt(ShortName() + ".tick", deadline, [observations = seen] { ++observations->ticks; });
}

}  // namespace PluginHostTest

extern "C" void* tpk_probe_load(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<PluginHostTest::HostedPlugin>(descriptor, "qel-probe");
}

extern "C" void* tpk_peer_load(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<PluginHostTest::HostedPlugin>(descriptor, "qel-peer");
}
