#include "log/console_log_target.h"

#include <cstdio>
#include <string_view>

#include "log/line_format.h"
#include "platform/process.h"

namespace Oxle::Client::Log {
namespace {

void WriteToStream(void* context, const char* text, size_t length) {
  std::fwrite(text, 1, length, static_cast<FILE*>(context));
}

void FlushStream(void* context) {
  std::fflush(static_cast<FILE*>(context));
}

void WriteToDebugger(void*, const char* text, size_t length) {
  Platform::WriteDebuggerOutput(std::string_view(text, length));
}

ConsoleSink StreamSink(FILE* stream) {
  return ConsoleSink{&WriteToStream, &FlushStream, stream};
}

constexpr int32_t kStdErrLevel = WARN;
constexpr uint64_t kStdErrInclude = 1;
constexpr uint64_t kStdErrExclude = 2;
constexpr int32_t kStdOutLevel = WARN;
constexpr uint64_t kStdOutInclude = 2;
constexpr uint64_t kStdOutExclude = 1;
constexpr const char* kStdOutLineFormat = "#M";
constexpr int32_t kDebuggerLevel = WARN;
constexpr uint64_t kDebuggerInclude = 1;
constexpr uint64_t kDebuggerExclude = 0;

}  // namespace

BaseConsoleLogTarget::BaseConsoleLogTarget(int32_t level, uint64_t include, uint64_t exclude,
                                           std::string_view lineFormat,
                                           const ConsoleSink& defaultSink)
    : LogTarget(level, include, exclude, lineFormat),
      defaultSink_(defaultSink),
      sink_(defaultSink) {}

BaseConsoleLogTarget::~BaseConsoleLogTarget() {
  // Before the sink goes away (see LogTarget's destructor).
  Detach();
}

bool BaseConsoleLogTarget::Write(const LogRecord& record) {
  char line[kLogBufferSize];
  const size_t length = FormatLine(line, sizeof line, LineFormatLocked().c_str(), record);
  if (sink_.write == nullptr) return false;
  sink_.write(sink_.context, line, length);
  AfterLine();
  return true;
}

void BaseConsoleLogTarget::Flush() {
  std::lock_guard<std::mutex> lock(Mutex());
  FlushLocked();
}

void BaseConsoleLogTarget::FlushLocked() noexcept {
  if (sink_.flush != nullptr) sink_.flush(sink_.context);
}

void BaseConsoleLogTarget::SetSink(const ConsoleSink& sink) noexcept {
  try {
    std::lock_guard<std::mutex> lock(Mutex());
    sink_ = sink;
  } catch (...) {
    // The lock could not be taken; the old sink stays.
  }
}

void BaseConsoleLogTarget::RestoreSink() noexcept {
  SetSink(defaultSink_);
}

void BaseConsoleLogTarget::RestoreCreationState(int32_t level, uint64_t include, uint64_t exclude,
                                                std::string_view lineFormat) noexcept {
  Restore(level, include, exclude, lineFormat);
  RestoreSink();
}

StdErrLogTarget::StdErrLogTarget()
    : BaseConsoleLogTarget(kStdErrLevel, kStdErrInclude, kStdErrExclude, kConsoleLineFormat,
                           StreamSink(stderr)) {}

void StdErrLogTarget::Reset() noexcept {
  RestoreCreationState(kStdErrLevel, kStdErrInclude, kStdErrExclude, kConsoleLineFormat);
}

StdOutLogTarget::StdOutLogTarget()
    : BaseConsoleLogTarget(kStdOutLevel, kStdOutInclude, kStdOutExclude, kStdOutLineFormat,
                           StreamSink(stdout)) {}

void StdOutLogTarget::SetFlushEachLine(bool flush) noexcept {
  try {
    std::lock_guard<std::mutex> lock(Mutex());
    flushEachLine_ = flush;
  } catch (...) {
  }
}

bool StdOutLogTarget::FlushEachLine() const noexcept {
  try {
    std::lock_guard<std::mutex> lock(Mutex());
    return flushEachLine_;
  } catch (...) {
    return false;
  }
}

void StdOutLogTarget::AfterLine() {
  if (flushEachLine_) FlushLocked();
}

void StdOutLogTarget::Reset() noexcept {
  RestoreCreationState(kStdOutLevel, kStdOutInclude, kStdOutExclude, kStdOutLineFormat);
  SetFlushEachLine(false);
}

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget()
    : BaseConsoleLogTarget(kDebuggerLevel, kDebuggerInclude, kDebuggerExclude, kConsoleLineFormat,
                           ConsoleSink{&WriteToDebugger, nullptr, nullptr}) {}

void DebuggerConsoleLogTarget::Reset() noexcept {
  RestoreCreationState(kDebuggerLevel, kDebuggerInclude, kDebuggerExclude, kConsoleLineFormat);
}

}  // namespace Oxle::Client::Log
