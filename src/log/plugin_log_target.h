// PluginLogTarget: forwards every record it is given, level and message only, to the host's
// Log function (HostApi slot 9). Owned by the plugin, which attaches it at start in place of
// the console targets; the HostApi table must outlive the target. The host is called with
// the logger's and the target's locks held. Not for lines: the host formats what it prints.
#pragma once

#include "log/log_target.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Log {

class PluginLogTarget final : public LogTarget {
 public:
  // `api` may be null (or lack Log); the target then writes nothing.
  explicit PluginLogTarget(const HostApi* api);
  ~PluginLogTarget() override;

  [[nodiscard]] const char* Name() const override { return "PluginLogTarget"; }
  [[nodiscard]] bool Write(const LogRecord& record) override;

 private:
  const HostApi* const api_;
};

}  // namespace Oxle::Client::Log
