// The built-in console targets: standard error, standard output and the debugger console,
// on a common base that formats each record with the target's line format and writes the line
// to a ConsoleSink. The logger owns one of each (they live as long as the process); a sink
// can be replaced, e.g. to capture lines in tests. Not for files or sockets.
#pragma once

#include <cstddef>

#include "log/log_target.h"

namespace Oxle::Client::Log {

// Where a console target's lines go. A null `write` discards them; a null `flush` does
// nothing. Both are called with the target's lock held, so they need no lock of their own.
struct ConsoleSink {
  void (*write)(void* context, const char* text, size_t length) = nullptr;
  void (*flush)(void* context) = nullptr;
  void* context = nullptr;
};

// "#E(#T): #L| #M": the line format of the standard-error and debugger targets.
inline constexpr const char* kConsoleLineFormat = "#E(#T): #L| #M";

class BaseConsoleLogTarget : public LogTarget {
 public:
  ~BaseConsoleLogTarget() override;

  // Formats the record into a 4096-byte stack buffer and writes the line to the sink.
  [[nodiscard]] bool Write(const LogRecord& record) override;
  // Flushes the sink.
  virtual void Flush();

  // Replaces where the lines go; RestoreSink returns to the target's own output.
  void SetSink(const ConsoleSink& sink) noexcept;
  void RestoreSink() noexcept;

 protected:
  BaseConsoleLogTarget(int32_t level, uint64_t include, uint64_t exclude,
                       std::string_view lineFormat, const ConsoleSink& defaultSink);

  // Back to the settings and output the target had when created (the attachment is kept).
  void RestoreCreationState(int32_t level, uint64_t include, uint64_t exclude,
                            std::string_view lineFormat) noexcept;
  // Called after each written line, with the lock held.
  virtual void AfterLine() {}
  void FlushLocked() noexcept;

 private:
  const ConsoleSink defaultSink_;
  ConsoleSink sink_;  // guarded by the target's lock
};

// Standard error: console format, level 1, include 1, exclude 2; attached at logger creation.
class StdErrLogTarget final : public BaseConsoleLogTarget {
 public:
  StdErrLogTarget();
  [[nodiscard]] const char* Name() const override { return "StdErrLogTarget"; }

 private:
  friend class Logger;
  void Reset() noexcept;  // the creation state, when the logger is destroyed
};

// Standard output: "#M", level 1, include 2, exclude 1; not attached at creation. Flushes
// after each line while its flush flag is set (clear at creation).
class StdOutLogTarget final : public BaseConsoleLogTarget {
 public:
  StdOutLogTarget();
  [[nodiscard]] const char* Name() const override { return "StdOutLogTarget"; }
  void SetFlushEachLine(bool flush) noexcept;
  [[nodiscard]] bool FlushEachLine() const noexcept;

 protected:
  void AfterLine() override;

 private:
  friend class Logger;
  void Reset() noexcept;

  bool flushEachLine_ = false;  // guarded by the target's lock
};

// The debugger console (standard error while a debugger is attached, else nothing): console
// format, level 1, include 1, exclude 0; attached at logger creation.
class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
 public:
  DebuggerConsoleLogTarget();
  [[nodiscard]] const char* Name() const override { return "DebuggerConsoleLogTarget"; }

 private:
  friend class Logger;
  void Reset() noexcept;
};

}  // namespace Oxle::Client::Log
