#include "core/log_sink.h"

namespace Oxle::Client::Host {

void MemoryLogSink::Write(LogEntry entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<LogEntry> MemoryLogSink::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void MemoryLogSink::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace Oxle::Client::Host
