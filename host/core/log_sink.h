// Where the host puts log messages: those modules send through the Log slot and the host's own
// diagnostics about bad records (module "<host>"). MemoryLogSink keeps them for tests and for a
// host that prints them later. Sinks are called from any thread and must be thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Oxle::Client::Host {

// Levels as modules send them: 0 OKAY, 1 WARN, 2 ERROR, 3 ALWAYS.
inline constexpr int32_t kLogOkay = 0;
inline constexpr int32_t kLogWarn = 1;
inline constexpr int32_t kLogError = 2;
inline constexpr int32_t kLogAlways = 3;

// The module name of the host's own messages; no module short name has angle brackets.
inline constexpr const char* kHostLogName = "<host>";

struct LogEntry {
  int32_t level = kLogOkay;
  std::string module;  // the sender's short name, or kHostLogName
  std::string text;

  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

// Appends `text` to `line` with every byte outside printable ASCII (and the backslash) as \xNN,
// cut at `limit` bytes with "...", so that what a client sent can neither break a log line nor
// flood it.
void AppendPrintable(std::string& line, std::string_view text, size_t limit);

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(LogEntry entry) = 0;
};

class MemoryLogSink final : public LogSink {
 public:
  void Write(LogEntry entry) override;
  [[nodiscard]] std::vector<LogEntry> Entries() const;
  void Clear();

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<LogEntry> entries_;
};

}  // namespace Oxle::Client::Host
