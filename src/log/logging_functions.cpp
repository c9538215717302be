#include "log/logging_functions.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "log/line_format.h"
#include "log/log_categories.h"
#include "log/logger.h"

namespace Oxle::Client::Log {
namespace {

Logger& TheLogger() noexcept {
  return Logger::Instance();
}

int32_t InterfaceVersion() noexcept {
  return kLoggingInterfaceVersion;
}
uint32_t AddReference() noexcept {
  return TheLogger().AddReference();
}
uint32_t Release() noexcept {
  return TheLogger().Release();
}
void SetMinimumLevel(int32_t level) noexcept {
  TheLogger().SetMinimumLevel(level);
}
int32_t GetMinimumLevel() noexcept {
  return TheLogger().MinimumLevel();
}
void SetExcludedCategories(uint32_t low, uint32_t high) noexcept {
  TheLogger().SetExcludedCategories(static_cast<uint64_t>(high) << 32 | low);
}
uint64_t GetExcludedCategories() noexcept {
  return TheLogger().ExcludedCategories();
}
void Suspend() noexcept {
  TheLogger().Suspend();
}
void Resume() noexcept {
  TheLogger().Resume();
}
void SetReservedFlag() noexcept {
  TheLogger().SetReservedFlag(true);
}
void ClearReservedFlag() noexcept {
  TheLogger().SetReservedFlag(false);
}
int32_t AttachTarget(LogTargetHandle* target) noexcept {
  return TheLogger().AttachHandle(target) ? 1 : 0;
}
int32_t DetachTarget(LogTargetHandle* target) noexcept {
  return TheLogger().DetachHandle(target) ? 1 : 0;
}
LogTargetHandle* FindTarget(const char* name) noexcept {
  return name != nullptr ? TheLogger().FindTarget(name) : nullptr;
}
LogTargetHandle* StdOutTarget() noexcept {
  LogTarget* target = TheLogger().StdOutTarget();
  return target != nullptr ? target->Handle() : nullptr;
}
LogTargetHandle* StdErrTarget() noexcept {
  LogTarget* target = TheLogger().StdErrTarget();
  return target != nullptr ? target->Handle() : nullptr;
}
LogTargetHandle* DebuggerTarget() noexcept {
  LogTarget* target = TheLogger().DebuggerTarget();
  return target != nullptr ? target->Handle() : nullptr;
}
uint64_t RegisterCategoryEntry(const char* letters) noexcept {
  return letters != nullptr ? RegisterCategory(letters) : 0;
}
size_t CategoriesToTextEntry(uint64_t categories, char* buffer, size_t size) noexcept {
  return CategoriesToText(categories, buffer, size);
}
size_t FormatLineEntry(const char* format, const LogRecord* record, char* buffer,
                       size_t size) noexcept {
  if (record == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
  }
  return FormatLine(buffer, size, format, *record);
}
const char* LevelNameEntry(int32_t level) noexcept {
  return LevelName(level);
}
const char* ExecutableNameEntry() noexcept {
  return ExecutableName();
}
void ReadLocalTimeEntry(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
                        int32_t* second, int32_t* millisecond) noexcept {
  const Platform::LocalTime now = TheLogger().ReadTime();
  const std::pair<int32_t*, int32_t> fields[] = {{year, now.year},
                                                 {month, now.month},
                                                 {day, now.day},
                                                 {hour, now.hour},
                                                 {minute, now.minute},
                                                 {second, now.second},
                                                 {millisecond, now.millisecond}};
  for (const auto& [out, value] : fields) {
    if (out != nullptr) *out = value;
  }
}
size_t FormatTimeStampEntry(char* buffer, size_t size) noexcept {
  return FormatTimeStamp(buffer, size, TheLogger().ReadTime());
}
size_t FormatFileTimeStampEntry(char* buffer, size_t size) noexcept {
  return FormatFileTimeStamp(buffer, size, TheLogger().ReadTime());
}
void LogEntry(int32_t level, uint32_t categoryLow, uint32_t categoryHigh, const char* format,
              va_list arguments) noexcept {
  LogV(level, categoryLow, categoryHigh, format, arguments);
}

constexpr LoggingFunctions kTable = {
    &InterfaceVersion,
    &AddReference,
    &Release,
    &SetMinimumLevel,
    &GetMinimumLevel,
    &SetExcludedCategories,
    &GetExcludedCategories,
    &Suspend,
    &Resume,
    &SetReservedFlag,
    &ClearReservedFlag,
    &AttachTarget,
    &DetachTarget,
    &FindTarget,
    &StdOutTarget,
    &StdErrTarget,
    &DebuggerTarget,
    &RegisterCategoryEntry,
    &CategoriesToTextEntry,
    &FormatLineEntry,
    &LevelNameEntry,
    &ExecutableNameEntry,
    &ReadLocalTimeEntry,
    &FormatTimeStampEntry,
    &FormatFileTimeStampEntry,
    &LogEntry,
};

}  // namespace

const LoggingFunctions& GetLoggingFunctions() noexcept {
  return kTable;
}

}  // namespace Oxle::Client::Log
