// Shared helpers of the host tests: JSON in and out of values, a manual-mode host with the
// linked-in test module loaded, and a scripted transport for external requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/types/host_value.h"
#include "codec/json.h"
#include "core/host.h"
#include "test_module.h"

namespace HostTest {

using namespace Oxle::Client;

inline Binding::BindingProperty Json(const std::string& text) {
  Binding::ValueResult parsed = Codec::ParseJson(text);
  EXPECT_TRUE(parsed.Ok()) << text;
  return parsed.Value();
}

inline std::string Json(const Binding::BindingProperty& value) {
  return Codec::WriteJson(value, nullptr, nullptr);
}

inline std::string Json(const HostValue& value) {
  Binding::BindingProperty property;
  Binding::ValueResult result;
  if (!Binding::FromHostValue(value, property, result, "v")) return "<bad value>";
  return Json(property);
}

inline Host::ApiCall Request(uint32_t method, std::string target, std::string methodName = "") {
  Host::ApiCall call;
  call.method = method;
  call.target = std::move(target);
  call.methodName = std::move(methodName);
  return call;
}

inline Host::HostOptions ManualOptions() {
  Host::HostOptions options;
  options.mode = Host::HostMode::Manual;
  return options;
}

struct LoadedHost {
  explicit LoadedHost(Host::HostMode mode = Host::HostMode::Manual,
                      Host::CoreVersion version = {}) {
    Host::HostOptions options;
    options.mode = mode;
    options.coreVersion = version;
    options.logSink = logs;
    host = std::make_unique<Host::Host>(options);
    auto loaded = host->LoadModule(&tpk_test_module_load, "linked test module");
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id = loaded.Value();
    module = static_cast<TestModule::Module*>(host->Module(id).Value().object);
  }
  Host::Status Start() { return host->StartModule(id); }

  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::unique_ptr<Host::Host> host;
  Host::ModuleId id = 0;
  TestModule::Module* module = nullptr;
};

// The entries of a log sink as "<level> <module>: <text>" lines.
inline std::vector<std::string> LogLines(const Host::MemoryLogSink& sink) {
  std::vector<std::string> lines;
  for (const Host::LogEntry& entry : sink.Entries())
    lines.push_back(std::to_string(entry.level) + " " + entry.module + ": " + entry.text);
  return lines;
}

// Records every request and answers from a script, in order; throws once the script is empty.
class ScriptedTransport final : public Host::ExternalTransport {
 public:
  Host::ExternalAnswer Send(const Host::ExternalRequest& request) override {
    std::lock_guard lock(mutex_);
    requests.push_back(request);
    if (script.empty()) throw std::runtime_error("script exhausted");
    Host::ExternalAnswer answer = script.front();
    script.erase(script.begin());
    return answer;
  }
  std::vector<Host::ExternalRequest> requests;
  std::vector<Host::ExternalAnswer> script;

 private:
  std::mutex mutex_;  // guards requests and script while the host sends
};

}  // namespace HostTest
