// A host with the linked-in test module loaded (manual mode unless asked), for the host tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/host.h"
#include "support/host_values.h"
#include "test_module.h"

namespace HostTest {

using namespace Oxle::Client;
using HostValues::Lines;

using HostValues::Json;

struct LoadedHost {
  explicit LoadedHost(Host::HostMode mode = Host::HostMode::Manual, Host::CoreVersion version = {})
      : host(std::make_unique<Host::Host>(Host::HostOptions{version, mode, 2, logs, nullptr})) {
    auto loaded = host->LoadModule(&tpk_test_module_load, "linked test module");
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id = loaded.Value();
    module = static_cast<TestModule::Module*>(host->Module(id).Value().object);
  }
  Host::Status Start() { return host->StartModule(id); }
  Host::ApiCallResult Call(uint32_t method, std::string target, std::string methodName = "") {
    return host->Call({method, std::move(target), std::move(methodName), {}, "", std::nullopt});
  }
  // The log as "<level> <module>: <text>" lines.
  [[nodiscard]] Lines LogLines() const {
    Lines lines;
    for (const Host::LogEntry& entry : logs->Entries())
      lines.push_back(std::to_string(entry.level) + " " + entry.module + ": " + entry.text);
    return lines;
  }

  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::unique_ptr<Host::Host> host;
  Host::ModuleId id = 0;
  TestModule::Module* module = nullptr;
};

}  // namespace HostTest
