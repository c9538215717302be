// LogRecord, the one message that the logger hands to every target, and the log levels with
// their printed names. Plain C layout so that targets in other modules can read it.
// A record and its message text live only for the duration of one write: targets copy what
// they keep. Not a queue entry; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Oxle::Client::Log {

// Message levels; a logger or target passes messages at or above its minimum level.
enum LogLevel : int32_t { OKAY = 0, WARN = 1, ERROR = 2, ALWAYS = 3 };

// Bytes of every message and line buffer: a message holds at most 4095 characters, a
// formatted line at most 4094 characters and its newline.
inline constexpr size_t kLogBufferSize = 4096;

struct LogRecord {
  int32_t year;  // local time of the message
  int32_t month;
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t millisecond;
  int32_t level;
  uint64_t category;    // bit i set: category i; 0 for an uncategorised message
  const char* message;  // NUL-terminated, at most 4095 characters
};

// The level's name padded to six characters ("  OKAY", "  WARN", " ERROR", "ALWAYS"); any
// other level prints as "   ???".
[[nodiscard]] const char* LevelName(int32_t level) noexcept;

}  // namespace Oxle::Client::Log
