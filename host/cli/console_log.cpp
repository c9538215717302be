#include "cli/console_log.h"

#include <utility>

namespace Oxle::Client::Host::Cli {

namespace {

[[nodiscard]] const char* LevelLabel(int32_t level) noexcept {
  switch (level) {
    case kLogOkay:
      return "OKAY";
    case kLogWarn:
      return "WARN";
    case kLogError:
      return "ERROR";
    case kLogAlways:
      return "ALWAYS";
    default:
      return "LOG";
  }
}

}  // namespace

ConsoleLogSink::ConsoleLogSink(std::ostream& out, int32_t leastLevel, std::string secret)
    : out_(out), leastLevel_(leastLevel), secret_(std::move(secret)) {}

std::string ConsoleLogSink::Line(const LogEntry& entry) const {
  std::string line = std::string(LevelLabel(entry.level)) + " " + entry.module + ": " + entry.text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  if (!secret_.empty()) {
    for (size_t at = line.find(secret_); at != std::string::npos; at = line.find(secret_, at + 7)) {
      line.replace(at, secret_.size(), "<token>");
    }
  }
  return line;
}

void ConsoleLogSink::Write(LogEntry entry) {
  if (!Shows(entry.level)) return;
  const std::string line = Line(entry) + "\n";
  std::lock_guard lock(mutex_);
  out_ << line << std::flush;
}

void ConsoleLogSink::Host(int32_t level, std::string text) {
  Write(LogEntry{level, "tpk-host", std::move(text)});
}

}  // namespace Oxle::Client::Host::Cli
