// Logger: the process-wide logger. It filters messages by level and category, counts warnings
// and errors, and hands each accepted message to every attached target in attachment order.
// Reference counted: the first AddReference (or the first Log) creates it with the three
// console targets, the last Release detaches every target and restores the built-ins. The
// object itself is never freed, so a target or pointer obtained from it never dangles. Every
// member is safe from any thread; see "Locks" below for the order that keeps it deadlock-free.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "log/console_log_target.h"
#include "log/log_record.h"
#include "log/log_target.h"
#include "platform/clock.h"

namespace Oxle::Client::Log {

// Given every message before any filtering (called outside every lock). It must not log.
using PreLogHook = void (*)(int32_t level, uint64_t category, const char* format,
                            va_list arguments);
// Where message times come from (the local clock unless replaced, e.g. by tests).
using TimeSource = Platform::LocalTime (*)();

// Locks. There are three, always taken in this order and never in reverse:
//   1. lifetimeMutex_ (creation and destruction),
//   2. mutex_, the logger's lock (the target list, the counters, every write),
//   3. one target's own lock (its line format and output).
// Logging takes 2 and, per target, 3. Configuring a target (level, filter, line format,
// attach, detach) also takes 2 before 3, rather than its own lock first: that way a
// configuration simply waits for a write in progress, instead of each thread holding the lock
// the other wants. Destruction holds 1 and takes 2 and 3 only briefly, one target at a time,
// never calling a target with 2 held. A target's Write runs under 2 and 3, so a Log or a
// configuration call made from inside a Write on the same thread is refused, not deadlocked.
class Logger {
 public:
  [[nodiscard]] static Logger& Instance() noexcept;

  // Creates the logger on the first reference; returns the new count.
  uint32_t AddReference() noexcept;
  // Destroys the logger when the last reference goes; returns the remaining count. A release
  // without a reference does nothing.
  uint32_t Release() noexcept;
  [[nodiscard]] uint32_t ReferenceCount() const noexcept;
  // True between creation (first reference or first Log) and destruction.
  [[nodiscard]] bool Exists() const noexcept;

  // Filters applied before any formatting. Minimum level 1 and excluded mask 4 at creation.
  void SetMinimumLevel(int32_t level) noexcept;
  [[nodiscard]] int32_t MinimumLevel() const noexcept;
  void SetExcludedCategories(uint64_t categories) noexcept;
  [[nodiscard]] uint64_t ExcludedCategories() const noexcept;
  void Suspend() noexcept;
  void Resume() noexcept;
  [[nodiscard]] bool IsSuspended() const noexcept;
  // A flag kept for the logging table's sake; nothing reads it.
  void SetReservedFlag(bool value) noexcept;

  // The raw list: Attach appends the handle, Detach removes every occurrence. They do not
  // touch the target's own attached flag (LogTarget::Attach and Detach do). Both return false
  // while no logger exists.
  bool AttachHandle(LogTargetHandle* target) noexcept;
  bool DetachHandle(LogTargetHandle* target) noexcept;
  // The first attached target of that name, else the built-in of that name; null if none or
  // while no logger exists.
  [[nodiscard]] LogTargetHandle* FindTarget(std::string_view name) noexcept;
  // The attached handles, in order.
  [[nodiscard]] std::vector<LogTargetHandle*> AttachedTargets() const;

  // The built-in targets; null while no logger exists.
  [[nodiscard]] StdErrLogTarget* StdErrTarget() noexcept;
  [[nodiscard]] StdOutLogTarget* StdOutTarget() noexcept;
  [[nodiscard]] DebuggerConsoleLogTarget* DebuggerTarget() noexcept;

  // Messages of level 1 and of level 2 that passed the logger's filters since creation.
  [[nodiscard]] uint32_t WarningCount() const noexcept;
  [[nodiscard]] uint64_t ErrorCount() const noexcept;

  // The hook and the time source outlive destruction; null removes the hook and restores
  // the local clock.
  void SetPreLogHook(PreLogHook hook) noexcept;
  void SetTimeSource(TimeSource source) noexcept;
  [[nodiscard]] Platform::LocalTime ReadTime() const noexcept;

  // Logs one message: printf-style `format` and `arguments`, cut at 4095 characters.
  void LogV(int32_t level, uint64_t category, const char* format, va_list arguments) noexcept;

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  friend class LogTarget;

  Logger();
  ~Logger() = default;  // never called: the instance lives for the whole process

  void EnsureExists() noexcept;
  void CreateLocked();                                  // lifetimeMutex_ held
  void DestroyLocked();                                 // lifetimeMutex_ held
  void RemoveLocked(LogTargetHandle* target) noexcept;  // mutex_ held
  // True on a thread that is inside a target's Write (holding mutex_).
  [[nodiscard]] static bool InsideWrite() noexcept;

  // Guards refCount_ and the transitions of exists_.
  mutable std::mutex lifetimeMutex_;
  uint32_t refCount_ = 0;

  // The logger's lock. Guards targets_, warningCount_ and errorCount_; held around the walk
  // over the targets and around every target configuration (before the target's own lock).
  mutable std::mutex mutex_;
  std::vector<LogTargetHandle*> targets_;
  uint32_t warningCount_ = 0;
  uint64_t errorCount_ = 0;

  // Written with both lifetimeMutex_ and mutex_ held; read anywhere.
  std::atomic<bool> exists_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<int32_t> minimumLevel_{WARN};
  std::atomic<uint64_t> excludedCategories_{4};
  std::atomic<bool> reservedFlag_{false};
  // In a struct: where va_list carries an attribute (64-bit Windows), the function type cannot
  // be a template argument of its own.
  struct PreLogHookSlot {
    PreLogHook hook;
  };
  std::atomic<PreLogHookSlot> preLogHook_{PreLogHookSlot{nullptr}};
  std::atomic<TimeSource> timeSource_{nullptr};

  // Never destroyed; "destroying" the logger restores their creation state.
  StdErrLogTarget stdErr_;
  StdOutLogTarget stdOut_;
  DebuggerConsoleLogTarget debugger_;
};

// Logs a printf-style message with a 64-bit category given as two words.
void Log(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
         ...) noexcept __attribute__((format(printf, 4, 5)));
void LogV(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
          va_list arguments) noexcept;

}  // namespace Oxle::Client::Log
