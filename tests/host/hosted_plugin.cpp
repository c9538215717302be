#include "hosted_plugin.h"

#include <stdexcept>
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
  return [this, tag = std::move(tag)](const Plugin::PluginResourceEvent& event) {
    if (tag == "session" && seen->throwFromSession.load()) {
      throw std::runtime_error("session handler exploded");
    }
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
  ObserveResource(kSessionExtraUri, Recording("extra"));
  ObserveResource(kChampionsPattern, Recording("pattern"));
  ObserveResource(kChampionSevenUri, Recording("exact"));
  if (onStart) onStart(*this);
  return true;
}

void HostedPlugin::ScheduleTick(std::chrono::steady_clock::time_point deadline) {
  ScheduleAt(kTickJob, deadline, [observations = seen] { ++observations->ticks; });
}

// ---- SlotRecorder ----

SlotRecorder*& SlotRecorder::Armed() {
  static SlotRecorder* armed = nullptr;  // set and read by the loading thread only
  return armed;
}

SlotRecorder& SlotRecorder::Self(const HostApi* api) {
  return *reinterpret_cast<const Table*>(api)->self;
}

void SlotRecorder::Wrap(PluginDescriptor& descriptor) {
  plugin_ = *descriptor.callbacks;
  pluginContext_ = descriptor.context;
  callbacks_ = PluginCallbacks{&StartSlot, &UnloadSlot, &MemoryStatsSlot};
  descriptor.callbacks = &callbacks_;
  descriptor.context = this;
  table_.self = this;
  table_.api =
      HostApi{&SendRequestSlot, &SendExternalSlot, &PublishSlot,  &SubscribeSlot, &UnsubscribeSlot,
              &ScheduleSlot,    &YieldSlot,        &MarkWaitSlot, &EndWaitSlot,   &LogSlot};
}

void SlotRecorder::Record(std::string call, uint32_t handle, bool withHandle) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  if (withHandle) handles_.push_back(handle);
}

std::vector<std::string> SlotRecorder::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> SlotRecorder::Calls(std::string_view prefix) const {
  std::vector<std::string> matching;
  for (std::string& call : Calls())
    if (call.starts_with(prefix)) matching.push_back(std::move(call));
  return matching;
}

std::vector<double> SlotRecorder::Delays() const {
  std::lock_guard lock(mutex_);
  return delays_;
}

std::vector<uint32_t> SlotRecorder::Handles() const {
  std::lock_guard lock(mutex_);
  return handles_;
}

uint8_t SlotRecorder::StartSlot(void* context, const HostContext* hostContext) {
  SlotRecorder& self = *static_cast<SlotRecorder*>(context);
  self.host_ = hostContext->api;
  self.context_ = HostContext{&self.table_.api, hostContext->pluginHandle};
  return self.plugin_.Start(self.pluginContext_, &self.context_);
}

void SlotRecorder::UnloadSlot(void* context) {
  SlotRecorder& self = *static_cast<SlotRecorder*>(context);
  self.plugin_.Unload(self.pluginContext_);
}

void SlotRecorder::MemoryStatsSlot(void* context, uint32_t* words) {
  SlotRecorder& self = *static_cast<SlotRecorder*>(context);
  self.plugin_.GetMemoryStats(self.pluginContext_, words);
}

int32_t SlotRecorder::SendRequestSlot(const HostApi* api, ApiResponseRecord* response,
                                      const ApiRequestRecord* request) {
  SlotRecorder& self = Self(api);
  self.Record("SendRequest " + std::string(request->target));
  return self.host_->SendRequest(self.host_, response, request);
}

int32_t SlotRecorder::SendExternalSlot(const HostApi* api, ExternalResponseRecord* response,
                                       const ExternalRequestRecord* request) {
  SlotRecorder& self = Self(api);
  self.Record("SendExternalRequest " + std::string(request->url));
  return self.host_->SendExternalRequest(self.host_, response, request);
}

int32_t SlotRecorder::PublishSlot(const HostApi* api, const HostEvent* event) {
  SlotRecorder& self = Self(api);
  self.Record("PublishEvent " + std::string(event->name));
  return self.host_->PublishEvent(self.host_, event);
}

int32_t SlotRecorder::SubscribeSlot(const HostApi* api, const char* name, uint32_t handle,
                                    HostEventCallback callback, void* context, uint32_t flag) {
  SlotRecorder& self = Self(api);
  self.Record("SubscribeEvent " + std::string(name) + " " + std::to_string(flag), handle, true);
  return self.host_->SubscribeEvent(self.host_, name, handle, callback, context, flag);
}

int32_t SlotRecorder::UnsubscribeSlot(const HostApi* api, const char* name, uint32_t handle) {
  SlotRecorder& self = Self(api);
  self.Record("UnsubscribeEvent " + std::string(name), handle, true);
  return self.host_->UnsubscribeEvent(self.host_, name, handle);
}

int32_t SlotRecorder::ScheduleSlot(const HostApi* api, const char* name, HostJobCallback callback,
                                   void* context, double delay, uint32_t flag) {
  SlotRecorder& self = Self(api);
  {
    std::lock_guard lock(self.mutex_);
    self.calls_.push_back("ScheduleJob " + std::string(name));
    self.delays_.push_back(delay);
  }
  return self.host_->ScheduleJob(self.host_, name, callback, context, delay, flag);
}

int32_t SlotRecorder::YieldSlot(const HostApi* api) {
  SlotRecorder& self = Self(api);
  self.Record("Yield");
  return self.host_->Yield(self.host_);
}

int32_t SlotRecorder::MarkWaitSlot(const HostApi* api, const char* text, int32_t value) {
  SlotRecorder& self = Self(api);
  self.Record("MarkWait " + std::string(text));
  return self.host_->MarkWait(self.host_, text, value);
}

int32_t SlotRecorder::EndWaitSlot(const HostApi* api) {
  SlotRecorder& self = Self(api);
  self.Record("EndWait");
  return self.host_->EndWait(self.host_);
}

int32_t SlotRecorder::LogSlot(const HostApi* api, int32_t level, const char* message) {
  SlotRecorder& self = Self(api);
  return self.host_->Log(self.host_, level, message);
}

}  // namespace PluginHostTest

extern "C" void* tpk_probe_load(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<PluginHostTest::HostedPlugin>(descriptor, "qel-probe");
}

extern "C" void* tpk_peer_load(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<PluginHostTest::HostedPlugin>(descriptor, "qel-peer");
}
