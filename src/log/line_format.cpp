#include "log/line_format.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "log/log_categories.h"
#include "platform/process.h"

namespace Oxle::Client::Log {
namespace {

constexpr size_t kExecutableNameLimit = 1024;

// Appends to a buffer up to a fixed limit; whatever does not fit is dropped.
class LineWriter {
 public:
  LineWriter(char* buffer, size_t limit) noexcept : buffer_(buffer), limit_(limit) {}

  void Put(char c) noexcept {
    if (length_ < limit_) buffer_[length_++] = c;
  }
  void Put(std::string_view text) noexcept {
    const size_t count = std::min(text.size(), limit_ - length_);
    std::memcpy(buffer_ + length_, text.data(), count);
    length_ += count;
  }
  __attribute__((format(printf, 2, 3))) void Printf(const char* format, ...) noexcept {
    const size_t room = limit_ - length_;
    if (room == 0) return;
    va_list arguments;
    va_start(arguments, format);
    // room + 1 bytes: the C library's NUL lands at most on buffer_[limit_], which callers keep
    // free for it.
    const int written = std::vsnprintf(buffer_ + length_, room + 1, format, arguments);
    va_end(arguments);
    if (written > 0) length_ += std::min(static_cast<size_t>(written), room);
  }
  [[nodiscard]] size_t Length() const noexcept { return length_; }
  [[nodiscard]] bool Full() const noexcept { return length_ == limit_; }

 private:
  char* buffer_;
  size_t limit_;
  size_t length_ = 0;
};

void PutTime(LineWriter& out, const Platform::LocalTime& time) noexcept {
  out.Printf("%04d-%02d-%02dT%02d:%02d:%02d.%03d", time.year, time.month, time.day, time.hour,
             time.minute, time.second, time.millisecond);
}

Platform::LocalTime TimeOf(const LogRecord& record) noexcept {
  return {record.year,   record.month,  record.day,        record.hour,
          record.minute, record.second, record.millisecond};
}

struct ExecutableNameText {
  char text[kExecutableNameLimit + 1];
};

ExecutableNameText ReadExecutableName() noexcept {
  ExecutableNameText name{};
  char path[4096];
  const size_t length = Platform::ReadExecutablePath(path, sizeof path);
  const std::string_view whole(path, length);
  const size_t slash = whole.find_last_of(Platform::kPathSeparators);
  const std::string_view last = slash == std::string_view::npos ? whole : whole.substr(slash + 1);
  const std::string_view chosen = last.empty() ? std::string_view("<unknown>") : last;
  const size_t count = std::min(chosen.size(), kExecutableNameLimit);
  std::memcpy(name.text, chosen.data(), count);
  name.text[count] = '\0';
  return name;
}

}  // namespace

size_t FormatLine(char* buffer, size_t size, const char* format, const LogRecord& record) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  LineWriter out(buffer, size - 2);
  for (const char* p = format != nullptr ? format : ""; *p != '\0' && !out.Full(); ++p) {
    if (*p != '#') {
      out.Put(*p);
      continue;
    }
    const char code = *++p;
    switch (code) {
      case '\0':
        out.Put('#');
        --p;  // let the loop see the end
        break;
      case 'D':
        PutTime(out, TimeOf(record));
        break;
      case 'E':
        out.Put(ExecutableName());
        break;
      case 'G': {
        char names[kCategoryCapacity * 4];
        const size_t length = CategoriesToText(record.category, names, sizeof names);
        out.Put(std::string_view(names, length));
        break;
      }
      case 'H': {
        const uint64_t uptime = UptimeMilliseconds();
        out.Printf("%06d.%03d", static_cast<int>(uptime / 1000), static_cast<int>(uptime % 1000));
        break;
      }
      case 'L':
        out.Put(LevelName(record.level));
        break;
      case 'M':
        out.Put(record.message != nullptr ? record.message : "");
        break;
      case 'T':
        out.Printf("%p",
                   reinterpret_cast<void*>(static_cast<uintptr_t>(Platform::CurrentThreadId())));
        break;
      default:
        out.Put(code);
        break;
    }
  }
  size_t length = out.Length();
  if (length == 0 || buffer[length - 1] != '\n') buffer[length++] = '\n';
  buffer[length] = '\0';
  return length;
}

size_t FormatTimeStamp(char* buffer, size_t size, const Platform::LocalTime& time) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  LineWriter out(buffer, size - 1);
  PutTime(out, time);
  buffer[out.Length()] = '\0';
  return out.Length();
}

size_t FormatFileTimeStamp(char* buffer, size_t size, const Platform::LocalTime& time) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  LineWriter out(buffer, size - 1);
  out.Printf("%04d-%02d-%02d_%02d-%02d-%02d", time.year, time.month, time.day, time.hour,
             time.minute, time.second);
  buffer[out.Length()] = '\0';
  return out.Length();
}

uint64_t UptimeMilliseconds() noexcept {
  static std::atomic<uint64_t> origin{0};
  const uint64_t now = Platform::MonotonicNanoseconds();
  uint64_t start = origin.load(std::memory_order_relaxed);
  if (start == 0 && origin.compare_exchange_strong(start, now, std::memory_order_relaxed)) {
    start = now;
  }
  return now > start ? (now - start) / 1000000u : 0;
}

const char* ExecutableName() noexcept {
  static const ExecutableNameText name = ReadExecutableName();
  return name.text;
}

}  // namespace Oxle::Client::Log
