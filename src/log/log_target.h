// LogTarget: the base of every log target, and LogTargetHandle, the C view of a target
// through which the logger (possibly another module's) configures it and hands it records.
// A target is owned by whoever created it and must outlive its attachment: its destructor
// detaches it. Configuration is safe from any thread (see the lock order in logger.h); Write
// runs with the target's own lock held and must not call back into the logger or configure
// targets. Not for filtering by content: targets filter by level and category only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "log/log_record.h"

namespace Oxle::Client::Log {

struct LogTargetHandle;

// The operations of a target, in table order. Each takes the handle first, never throws, and
// reports success as 1 and failure as 0 where it returns an int32_t.
struct LogTargetFunctions {
  int32_t (*InterfaceVersion)(const LogTargetHandle* target);  // 1
  void (*SetLevel)(LogTargetHandle* target, int32_t level);
  int32_t (*GetLevel)(const LogTargetHandle* target);
  // Stores include as (include AND NOT exclude), exclude as given.
  void (*SetCategoryFilter)(LogTargetHandle* target, uint64_t include, uint64_t exclude);
  uint64_t (*GetIncludeMask)(const LogTargetHandle* target);
  uint64_t (*GetExcludeMask)(const LogTargetHandle* target);
  const char* (*GetName)(const LogTargetHandle* target);  // static text
  // Copies the line format into `buffer` (cut at size - 1, NUL-terminated); returns its length.
  size_t (*GetLineFormat)(const LogTargetHandle* target, char* buffer, size_t size);
  int32_t (*Attach)(LogTargetHandle* target);  // 0 while no logger exists
  int32_t (*Detach)(LogTargetHandle* target);
  int32_t (*IsAttached)(const LogTargetHandle* target);
  // 1 when the record was written.
  int32_t (*Write)(LogTargetHandle* target, const LogRecord* record);
};

struct LogTargetHandle {
  const LogTargetFunctions* functions;
  void* context;  // the implementation's object
};

inline constexpr int32_t kLogTargetInterfaceVersion = 1;
inline constexpr const char* kDefaultLineFormat = "#D| #L| #G| #M";

class LogTarget {
 public:
  LogTarget(const LogTarget&) = delete;
  LogTarget& operator=(const LogTarget&) = delete;

  // Detaches the target. A derived target whose Write reads its own members must call Detach()
  // first thing in its own destructor, so that no write runs while those members go away.
  virtual ~LogTarget();

  // Removes the target from the logger's list (every occurrence) and clears the attached flag.
  virtual void Detach();
  // The target's fixed name, e.g. "StdErrLogTarget".
  [[nodiscard]] virtual const char* Name() const = 0;
  // A copy of the line format.
  [[nodiscard]] virtual std::string Format() const;
  // Writes one record; called by the logger with this target's lock held. The base writes
  // nothing and returns false.
  [[nodiscard]] virtual bool Write(const LogRecord& record);

  // Appends the target to the logger's list unless it is attached already. False while no
  // logger exists (or when memory is exhausted).
  bool Attach() noexcept;
  [[nodiscard]] bool IsAttached() const noexcept;

  // Configuration. Each takes the logger's lock, then this target's lock, so it waits for a
  // write in progress and never deadlocks against one. Setters return false only when they
  // were refused (called from inside a Write) or memory ran out.
  bool SetLevel(int32_t level) noexcept;
  [[nodiscard]] int32_t Level() const noexcept;
  bool SetCategoryFilter(uint64_t include, uint64_t exclude) noexcept;
  [[nodiscard]] uint64_t IncludeMask() const noexcept;
  [[nodiscard]] uint64_t ExcludeMask() const noexcept;
  bool SetLineFormat(std::string_view format) noexcept;
  // Detaches the target, stores the four values, and attaches it again at the end of the list;
  // all in one step, so no write sees half of it. False when it could not be attached.
  bool Configure(int32_t level, uint64_t include, uint64_t exclude,
                 std::string_view lineFormat) noexcept;

  // The C view of this target, valid for the target's lifetime.
  [[nodiscard]] LogTargetHandle* Handle() noexcept { return &handle_; }
  [[nodiscard]] static LogTarget* FromHandle(const LogTargetHandle* handle) noexcept;

 protected:
  // Level 1, no category filter, line format "#D| #L| #G| #M", not attached.
  LogTarget();
  LogTarget(int32_t level, uint64_t include, uint64_t exclude, std::string_view lineFormat);

  // The line format, for Write (which runs with the lock held).
  [[nodiscard]] const std::string& LineFormatLocked() const noexcept { return lineFormat_; }
  // This target's own lock, for derived output state.
  [[nodiscard]] std::mutex& Mutex() const noexcept { return mutex_; }
  // Sets all four values at once, keeping the attachment as it is (for resets).
  bool Restore(int32_t level, uint64_t include, uint64_t exclude,
               std::string_view lineFormat) noexcept;

 private:
  friend struct LogTargetOperations;
  friend class Logger;

  bool DetachFromLogger() noexcept;

  LogTargetHandle handle_;
  // Guards lineFormat_ and the output of derived targets; held around every Write. Taken only
  // after the logger's lock when both are needed.
  mutable std::mutex mutex_;
  std::string lineFormat_;
  // Written with the logger's lock and this target's lock both held (so every write of the
  // logger sees a consistent set); read without a lock.
  std::atomic<int32_t> level_;
  std::atomic<uint64_t> include_;
  std::atomic<uint64_t> exclude_;
  std::atomic<bool> attached_{false};
};

}  // namespace Oxle::Client::Log
