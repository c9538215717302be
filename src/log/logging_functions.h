// LoggingFunctions: the logger as a table of C functions, so that other modules of the process
// can share the one logger (hand them GetLoggingFunctions()). The table is static and lives for
// the whole process; every entry is safe from any thread and never throws. Not the everyday
// interface: code of this module calls Log() and Logger directly.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "log/log_record.h"
#include "log/log_target.h"

namespace Oxle::Client::Log {

inline constexpr int32_t kLoggingInterfaceVersion = 1;

// Entries in table order. Text results are static (names) or copied into caller buffers,
// which receive at most size - 1 characters and a NUL; the size_t results count characters.
struct LoggingFunctions {
  int32_t (*InterfaceVersion)();  // 1
  uint32_t (*AddReference)();     // the new reference count
  uint32_t (*Release)();          // the remaining reference count
  void (*SetMinimumLevel)(int32_t level);
  int32_t (*GetMinimumLevel)();
  void (*SetExcludedCategories)(uint32_t low, uint32_t high);
  uint64_t (*GetExcludedCategories)();
  void (*Suspend)();
  void (*Resume)();
  void (*SetReservedFlag)();
  void (*ClearReservedFlag)();
  int32_t (*AttachTarget)(LogTargetHandle* target);  // appends; 0 while no logger exists
  int32_t (*DetachTarget)(LogTargetHandle* target);  // removes every occurrence
  LogTargetHandle* (*FindTarget)(const char* name);
  LogTargetHandle* (*StdOutTarget)();
  LogTargetHandle* (*StdErrTarget)();
  LogTargetHandle* (*DebuggerTarget)();
  uint64_t (*RegisterCategory)(const char* letters);  // the category's mask bit, 0 if refused
  size_t (*CategoriesToText)(uint64_t categories, char* buffer, size_t size);
  size_t (*FormatLine)(const char* format, const LogRecord* record, char* buffer, size_t size);
  const char* (*LevelName)(int32_t level);
  const char* (*ExecutableName)();
  void (*ReadLocalTime)(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
                        int32_t* second, int32_t* millisecond);
  size_t (*FormatTimeStamp)(char* buffer, size_t size);      // now, "2021-02-03T04:05:06.007"
  size_t (*FormatFileTimeStamp)(char* buffer, size_t size);  // now, "2021-02-03_04-05-06"
  void (*Log)(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
              va_list arguments);
};

[[nodiscard]] const LoggingFunctions& GetLoggingFunctions() noexcept;

}  // namespace Oxle::Client::Log
