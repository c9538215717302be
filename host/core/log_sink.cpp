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

void AppendPrintable(std::string& line, std::string_view text, size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7f || byte == '\\') {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 15];
    } else {
      line += static_cast<char>(byte);
    }
  }
  if (text.size() > limit) line += "...";
}

}  // namespace Oxle::Client::Host
