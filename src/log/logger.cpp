#include "log/logger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Oxle::Client::Log {
namespace {

// Set while this thread walks the targets (holding the logger's lock), so that a target
// calling back into the logger from its Write is refused instead of deadlocking.
thread_local bool tInsideWrite = false;
// Set while this thread runs the pre-log hook, so that a hook that logs is not re-entered.
thread_local bool tInsideHook = false;

class WriteScope {
 public:
  WriteScope() noexcept { tInsideWrite = true; }
  ~WriteScope() { tInsideWrite = false; }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
};

// A target passes a record when the level reaches its level and, for a categorised record,
// the category avoids its exclude mask and meets its include mask (an empty include mask
// takes every category).
bool Accepts(const LogTargetHandle* target, int32_t level, uint64_t category) noexcept {
  const LogTargetFunctions& f = *target->functions;
  if (level < f.GetLevel(target)) return false;
  if (category == 0) return true;
  if ((category & f.GetExcludeMask(target)) != 0) return false;
  const uint64_t include = f.GetIncludeMask(target);
  return include == 0 || (category & include) != 0;
}

}  // namespace

Logger& Logger::Instance() noexcept {
  // Never destroyed: targets and other threads may still log during static destruction.
  static Logger* const instance = new Logger();
  return *instance;
}

Logger::Logger() = default;

bool Logger::InsideWrite() noexcept {
  return tInsideWrite;
}

uint32_t Logger::AddReference() noexcept {
  if (InsideWrite()) return 0;
  try {
    std::lock_guard<std::mutex> lock(lifetimeMutex_);
    if (!exists_.load(std::memory_order_relaxed)) CreateLocked();
    return ++refCount_;
  } catch (...) {
    return 0;
  }
}

uint32_t Logger::Release() noexcept {
  if (InsideWrite()) return 0;
  try {
    std::lock_guard<std::mutex> lock(lifetimeMutex_);
    if (refCount_ == 0) return 0;
    if (--refCount_ == 0) DestroyLocked();
    return refCount_;
  } catch (...) {
    return 0;
  }
}

uint32_t Logger::ReferenceCount() const noexcept {
  try {
    std::lock_guard<std::mutex> lock(lifetimeMutex_);
    return refCount_;
  } catch (...) {
    return 0;
  }
}

bool Logger::Exists() const noexcept {
  return exists_.load(std::memory_order_acquire);
}

void Logger::EnsureExists() noexcept {
  try {
    std::lock_guard<std::mutex> lock(lifetimeMutex_);
    if (!exists_.load(std::memory_order_relaxed)) CreateLocked();
  } catch (...) {
    // Stays absent; the message is dropped.
  }
}

void Logger::CreateLocked() {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.clear();
  targets_.reserve(8);  // may throw before anything changed
  warningCount_ = 0;
  errorCount_ = 0;
  // The built-ins are detached and in their creation state here (see DestroyLocked), and
  // nobody else can reach them while exists_ is false; their flags are set directly because
  // their Attach would take mutex_ again.
  targets_.push_back(stdErr_.Handle());
  stdErr_.attached_.store(true, std::memory_order_relaxed);
  targets_.push_back(debugger_.Handle());
  debugger_.attached_.store(true, std::memory_order_relaxed);
  exists_.store(true, std::memory_order_release);
}

void Logger::DestroyLocked() {
  // Detach last first, through each target's own operation, without holding mutex_ while
  // calling it (our targets' Detach takes mutex_ itself). The list is emptied and the logger
  // marked absent in one step, so nothing attaches after the last check.
  for (;;) {
    LogTargetHandle* last = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (targets_.empty()) {
        exists_.store(false, std::memory_order_release);
        warningCount_ = 0;
        errorCount_ = 0;
        break;
      }
      last = targets_.back();
    }
    last->functions->Detach(last);
    // A foreign target whose detach left it listed is removed anyway, so this loop ends.
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(last);
  }
  stdErr_.Reset();
  stdOut_.Reset();
  debugger_.Reset();
  suspended_.store(false, std::memory_order_relaxed);
  minimumLevel_.store(WARN, std::memory_order_relaxed);
  excludedCategories_.store(4, std::memory_order_relaxed);
  reservedFlag_.store(false, std::memory_order_relaxed);
}

void Logger::RemoveLocked(LogTargetHandle* target) noexcept {
  targets_.erase(std::remove(targets_.begin(), targets_.end(), target), targets_.end());
}

void Logger::SetMinimumLevel(int32_t level) noexcept {
  minimumLevel_.store(level, std::memory_order_relaxed);
}

int32_t Logger::MinimumLevel() const noexcept {
  return minimumLevel_.load(std::memory_order_relaxed);
}

void Logger::SetExcludedCategories(uint64_t categories) noexcept {
  excludedCategories_.store(categories, std::memory_order_relaxed);
}

uint64_t Logger::ExcludedCategories() const noexcept {
  return excludedCategories_.load(std::memory_order_relaxed);
}

void Logger::Suspend() noexcept {
  suspended_.store(true, std::memory_order_relaxed);
}

void Logger::Resume() noexcept {
  suspended_.store(false, std::memory_order_relaxed);
}

bool Logger::IsSuspended() const noexcept {
  return suspended_.load(std::memory_order_relaxed);
}

void Logger::SetReservedFlag(bool value) noexcept {
  reservedFlag_.store(value, std::memory_order_relaxed);
}

bool Logger::AttachHandle(LogTargetHandle* target) noexcept {
  if (target == nullptr || target->functions == nullptr || InsideWrite()) return false;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exists_.load(std::memory_order_relaxed)) return false;
    targets_.push_back(target);
    return true;
  } catch (...) {
    return false;
  }
}

bool Logger::DetachHandle(LogTargetHandle* target) noexcept {
  if (target == nullptr || InsideWrite()) return false;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exists_.load(std::memory_order_relaxed)) return false;
    RemoveLocked(target);
    return true;
  } catch (...) {
    return false;
  }
}

LogTargetHandle* Logger::FindTarget(std::string_view name) noexcept {
  if (InsideWrite()) return nullptr;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exists_.load(std::memory_order_relaxed)) return nullptr;
    for (LogTargetHandle* target : targets_) {
      const char* targetName = target->functions->GetName(target);
      if (targetName != nullptr && name == targetName) return target;
    }
    for (LogTarget* builtIn : {static_cast<LogTarget*>(&stdErr_), static_cast<LogTarget*>(&stdOut_),
                               static_cast<LogTarget*>(&debugger_)}) {
      if (name == builtIn->Name()) return builtIn->Handle();
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::vector<LogTargetHandle*> Logger::AttachedTargets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

StdErrLogTarget* Logger::StdErrTarget() noexcept {
  return Exists() ? &stdErr_ : nullptr;
}

StdOutLogTarget* Logger::StdOutTarget() noexcept {
  return Exists() ? &stdOut_ : nullptr;
}

DebuggerConsoleLogTarget* Logger::DebuggerTarget() noexcept {
  return Exists() ? &debugger_ : nullptr;
}

uint32_t Logger::WarningCount() const noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    return warningCount_;
  } catch (...) {
    return 0;
  }
}

uint64_t Logger::ErrorCount() const noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorCount_;
  } catch (...) {
    return 0;
  }
}

void Logger::SetPreLogHook(PreLogHook hook) noexcept {
  preLogHook_.store(PreLogHookSlot{hook}, std::memory_order_release);
}

void Logger::SetTimeSource(TimeSource source) noexcept {
  timeSource_.store(source, std::memory_order_release);
}

Platform::LocalTime Logger::ReadTime() const noexcept {
  const TimeSource source = timeSource_.load(std::memory_order_acquire);
  if (source == nullptr) return Platform::ReadLocalTime();
  try {
    return source();
  } catch (...) {
    return Platform::ReadLocalTime();
  }
}

void Logger::LogV(int32_t level, uint64_t category, const char* format,
                  va_list arguments) noexcept {
  const PreLogHook hook = preLogHook_.load(std::memory_order_acquire).hook;
  if (hook != nullptr && !tInsideHook) {
    tInsideHook = true;
    va_list copy;
    va_copy(copy, arguments);
    try {
      hook(level, category, format, copy);
    } catch (...) {
      // A failing hook must not stop the message.
    }
    va_end(copy);
    tInsideHook = false;
  }
  // A target logging from its own Write would need the lock this thread already holds.
  if (tInsideWrite) return;
  if (!exists_.load(std::memory_order_acquire)) {
    EnsureExists();
    if (!exists_.load(std::memory_order_acquire)) return;
  }
  if (suspended_.load(std::memory_order_relaxed) ||
      level < minimumLevel_.load(std::memory_order_relaxed) ||
      (category & excludedCategories_.load(std::memory_order_relaxed)) != 0) {
    return;
  }

  char message[kLogBufferSize];
  va_list copy;
  va_copy(copy, arguments);
  const int written =
      std::vsnprintf(message, sizeof message, format != nullptr ? format : "", copy);
  va_end(copy);
  if (written < 0) message[0] = '\0';

  const Platform::LocalTime time = ReadTime();
  const LogRecord record{time.year,   time.month,       time.day, time.hour, time.minute,
                         time.second, time.millisecond, level,    category,  message};

  try {
    std::lock_guard<std::mutex> lock(mutex_);
    // Destroyed since the check above: nobody is listening any more.
    if (!exists_.load(std::memory_order_relaxed)) return;
    if (level == WARN) ++warningCount_;
    if (level == ERROR) ++errorCount_;
    WriteScope scope;
    for (LogTargetHandle* target : targets_) {
      if (Accepts(target, level, category)) target->functions->Write(target, &record);
    }
  } catch (...) {
    // The lock could not be taken; the message is dropped.
  }
}

void Log(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
         ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  LogV(level, categoryLow, categoryHigh, format, arguments);
  va_end(arguments);
}

void LogV(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
          va_list arguments) noexcept {
  const uint64_t category = static_cast<uint64_t>(categoryHigh) << 32 | categoryLow;
  Logger::Instance().LogV(level, category, format, arguments);
}

}  // namespace Oxle::Client::Log
