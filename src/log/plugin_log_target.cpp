#include "log/plugin_log_target.h"

namespace Oxle::Client::Log {

PluginLogTarget::PluginLogTarget(const HostApi* api) : api_(api) {}

PluginLogTarget::~PluginLogTarget() {
  Detach();
}

bool PluginLogTarget::Write(const LogRecord& record) {
  if (api_ == nullptr || api_->Log == nullptr) return false;
  api_->Log(api_, record.level, record.message != nullptr ? record.message : "");
  return true;
}

}  // namespace Oxle::Client::Log
