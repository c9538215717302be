// ConsoleLogSink: the host's log lines on a stream (standard error in tpk-host), one line per
// message, "<LEVEL> <module>: <text>", from a least level up. Line breaks in a message become
// spaces, so a module cannot forge lines, and every occurrence of a secret the sink was given
// (the API token) is written as "<token>". Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

#include "core/log_sink.h"

namespace Oxle::Client::Host::Cli {

class ConsoleLogSink final : public LogSink {
 public:
  ConsoleLogSink(std::ostream& out, int32_t leastLevel, std::string secret);

  void Write(LogEntry entry) override;
  // A line of the host itself (module "tpk-host"), at `level`.
  void Host(int32_t level, std::string text);
  [[nodiscard]] bool Shows(int32_t level) const noexcept { return level >= leastLevel_; }

  // The line Write would print for `entry`, without its line end.
  [[nodiscard]] std::string Line(const LogEntry& entry) const;

 private:
  std::ostream& out_;
  const int32_t leastLevel_;
  const std::string secret_;
  std::mutex mutex_;  // guards out_
};

}  // namespace Oxle::Client::Host::Cli
