// Line formatting for log targets: a line format such as "#D| #L| #G| #M" filled from a
// LogRecord, plus the pieces it prints (time stamps, uptime, the executable's name).
// Everything writes into caller buffers and never allocates, so it is safe inside any target's
// Write and from any thread. Not a general formatter: messages themselves are printf-formatted
// by the logger before they reach here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/log_record.h"
#include "platform/clock.h"

namespace Oxle::Client::Log {

// Fills `buffer` from `format`, replacing each code with a piece of `record`:
//   #D time "2021-02-03T04:05:06.007"   #E executable name   #G category names ("DBG;GEN")
//   #H uptime "000012.345"              #L level name        #M message
//   #T calling thread's id, as "%p"
// "#" before any other character writes that character ("##" gives "#"); a "#" that ends the
// format is written as is. The line ends with exactly one newline (none is added when the
// text already ends with one; an empty or null format gives "\n"). The last two bytes of the
// buffer are reserved for that newline and the NUL, so the text is cut at size - 2 characters.
// Returns the line's length; the NUL follows. Needs size >= 2 (else writes at most a NUL and
// returns 0).
[[nodiscard]] size_t FormatLine(char* buffer, size_t size, const char* format,
                                const LogRecord& record) noexcept;

// "%04d-%02d-%02dT%02d:%02d:%02d.%03d" of `time`; returns the characters written (cut at
// size - 1, NUL-terminated).
[[nodiscard]] size_t FormatTimeStamp(char* buffer, size_t size,
                                     const Platform::LocalTime& time) noexcept;
// The same time in a form fit for file names: "2021-02-03_04-05-06".
[[nodiscard]] size_t FormatFileTimeStamp(char* buffer, size_t size,
                                         const Platform::LocalTime& time) noexcept;

// Milliseconds since the first call of this function in the process (monotonic clock).
[[nodiscard]] uint64_t UptimeMilliseconds() noexcept;

// The last path component of the process image's path, at most 1024 characters; "<unknown>"
// when the system does not tell. Read once; the text lives for the whole process.
[[nodiscard]] const char* ExecutableName() noexcept;

}  // namespace Oxle::Client::Log
