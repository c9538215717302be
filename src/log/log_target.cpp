#include "log/log_target.h"

#include <algorithm>
#include <cstring>

#include "log/logger.h"

namespace Oxle::Client::Log {

// The C entry points of every LogTarget. None lets an exception out.
struct LogTargetOperations {
  static LogTarget* Of(const LogTargetHandle* handle) noexcept {
    return LogTarget::FromHandle(handle);
  }

  static int32_t InterfaceVersion(const LogTargetHandle*) noexcept {
    return kLogTargetInterfaceVersion;
  }
  static void SetLevel(LogTargetHandle* handle, int32_t level) noexcept {
    if (LogTarget* target = Of(handle)) target->SetLevel(level);
  }
  static int32_t GetLevel(const LogTargetHandle* handle) noexcept {
    const LogTarget* target = Of(handle);
    return target != nullptr ? target->Level() : 0;
  }
  static void SetCategoryFilter(LogTargetHandle* handle, uint64_t include,
                                uint64_t exclude) noexcept {
    if (LogTarget* target = Of(handle)) target->SetCategoryFilter(include, exclude);
  }
  static uint64_t GetIncludeMask(const LogTargetHandle* handle) noexcept {
    const LogTarget* target = Of(handle);
    return target != nullptr ? target->IncludeMask() : 0;
  }
  static uint64_t GetExcludeMask(const LogTargetHandle* handle) noexcept {
    const LogTarget* target = Of(handle);
    return target != nullptr ? target->ExcludeMask() : 0;
  }
  static const char* GetName(const LogTargetHandle* handle) noexcept {
    const LogTarget* target = Of(handle);
    if (target == nullptr) return "";
    try {
      const char* name = target->Name();
      return name != nullptr ? name : "";
    } catch (...) {
      return "";
    }
  }
  static size_t GetLineFormat(const LogTargetHandle* handle, char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    const LogTarget* target = Of(handle);
    if (target == nullptr) return 0;
    try {
      const std::string format = target->Format();
      const size_t count = std::min(format.size(), size - 1);
      std::memcpy(buffer, format.data(), count);
      buffer[count] = '\0';
      return count;
    } catch (...) {
      return 0;
    }
  }
  static int32_t Attach(LogTargetHandle* handle) noexcept {
    LogTarget* target = Of(handle);
    return target != nullptr && target->Attach() ? 1 : 0;
  }
  static int32_t Detach(LogTargetHandle* handle) noexcept {
    LogTarget* target = Of(handle);
    if (target == nullptr) return 0;
    try {
      target->Detach();
      return target->IsAttached() ? 0 : 1;
    } catch (...) {
      return 0;
    }
  }
  static int32_t IsAttached(const LogTargetHandle* handle) noexcept {
    const LogTarget* target = Of(handle);
    return target != nullptr && target->IsAttached() ? 1 : 0;
  }
  static int32_t Write(LogTargetHandle* handle, const LogRecord* record) noexcept {
    LogTarget* target = Of(handle);
    if (target == nullptr || record == nullptr) return 0;
    try {
      std::lock_guard<std::mutex> lock(target->mutex_);
      return target->Write(*record) ? 1 : 0;
    } catch (...) {
      return 0;
    }
  }

  static constexpr LogTargetFunctions kTable = {
      &InterfaceVersion, &SetLevel,       &GetLevel,   &SetCategoryFilter,
      &GetIncludeMask,   &GetExcludeMask, &GetName,    &GetLineFormat,
      &Attach,           &Detach,         &IsAttached, &Write,
  };
};

LogTarget::LogTarget() : LogTarget(WARN, 0, 0, kDefaultLineFormat) {}

LogTarget::LogTarget(int32_t level, uint64_t include, uint64_t exclude, std::string_view lineFormat)
    : handle_{&LogTargetOperations::kTable, this},
      lineFormat_(lineFormat),
      level_(level),
      include_(include & ~exclude),
      exclude_(exclude) {}

LogTarget::~LogTarget() {
  DetachFromLogger();
}

LogTarget* LogTarget::FromHandle(const LogTargetHandle* handle) noexcept {
  if (handle == nullptr || handle->functions != &LogTargetOperations::kTable) return nullptr;
  return static_cast<LogTarget*>(handle->context);
}

void LogTarget::Detach() {
  DetachFromLogger();
}

std::string LogTarget::Format() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lineFormat_;
}

bool LogTarget::Write(const LogRecord&) {
  return false;
}

bool LogTarget::Attach() noexcept {
  if (Logger::InsideWrite()) return false;
  Logger& logger = Logger::Instance();
  try {
    std::lock_guard<std::mutex> loggerLock(logger.mutex_);
    if (!logger.exists_.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_.load(std::memory_order_relaxed)) {
      logger.targets_.push_back(&handle_);
      attached_.store(true, std::memory_order_relaxed);
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool LogTarget::DetachFromLogger() noexcept {
  if (Logger::InsideWrite()) return false;
  Logger& logger = Logger::Instance();
  try {
    std::lock_guard<std::mutex> loggerLock(logger.mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    logger.RemoveLocked(&handle_);
    attached_.store(false, std::memory_order_relaxed);
    return true;
  } catch (...) {
    return false;
  }
}

bool LogTarget::IsAttached() const noexcept {
  return attached_.load(std::memory_order_relaxed);
}

bool LogTarget::SetLevel(int32_t level) noexcept {
  if (Logger::InsideWrite()) return false;
  try {
    std::lock_guard<std::mutex> loggerLock(Logger::Instance().mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    level_.store(level, std::memory_order_relaxed);
    return true;
  } catch (...) {
    return false;
  }
}

int32_t LogTarget::Level() const noexcept {
  return level_.load(std::memory_order_relaxed);
}

bool LogTarget::SetCategoryFilter(uint64_t include, uint64_t exclude) noexcept {
  if (Logger::InsideWrite()) return false;
  try {
    std::lock_guard<std::mutex> loggerLock(Logger::Instance().mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    include_.store(include & ~exclude, std::memory_order_relaxed);
    exclude_.store(exclude, std::memory_order_relaxed);
    return true;
  } catch (...) {
    return false;
  }
}

uint64_t LogTarget::IncludeMask() const noexcept {
  return include_.load(std::memory_order_relaxed);
}

uint64_t LogTarget::ExcludeMask() const noexcept {
  return exclude_.load(std::memory_order_relaxed);
}

bool LogTarget::SetLineFormat(std::string_view format) noexcept {
  if (Logger::InsideWrite()) return false;
  try {
    std::string copy(format);
    std::lock_guard<std::mutex> loggerLock(Logger::Instance().mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    lineFormat_.swap(copy);
    return true;
  } catch (...) {
    return false;
  }
}

bool LogTarget::Restore(int32_t level, uint64_t include, uint64_t exclude,
                        std::string_view lineFormat) noexcept {
  if (Logger::InsideWrite()) return false;
  try {
    std::string copy(lineFormat);
    std::lock_guard<std::mutex> loggerLock(Logger::Instance().mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    level_.store(level, std::memory_order_relaxed);
    include_.store(include & ~exclude, std::memory_order_relaxed);
    exclude_.store(exclude, std::memory_order_relaxed);
    lineFormat_.swap(copy);
    return true;
  } catch (...) {
    return false;
  }
}

bool LogTarget::Configure(int32_t level, uint64_t include, uint64_t exclude,
                          std::string_view lineFormat) noexcept {
  if (Logger::InsideWrite()) return false;
  Logger& logger = Logger::Instance();
  try {
    std::string copy(lineFormat);
    std::lock_guard<std::mutex> loggerLock(logger.mutex_);
    const bool exists = logger.exists_.load(std::memory_order_relaxed);
    // Make room first, so that once the values are stored the append cannot fail.
    if (exists) logger.targets_.reserve(logger.targets_.size() + 1);
    std::lock_guard<std::mutex> lock(mutex_);
    logger.RemoveLocked(&handle_);
    level_.store(level, std::memory_order_relaxed);
    include_.store(include & ~exclude, std::memory_order_relaxed);
    exclude_.store(exclude, std::memory_order_relaxed);
    lineFormat_.swap(copy);
    if (exists) logger.targets_.push_back(&handle_);
    attached_.store(exists, std::memory_order_relaxed);
    return exists;
  } catch (...) {
    return false;
  }
}

}  // namespace Oxle::Client::Log
