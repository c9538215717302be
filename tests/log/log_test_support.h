// Test helpers for the process-wide logger: a fixture that gives every test a freshly created
// logger whose console targets write into memory, and a target that records what it is given.
// The fixture restores the hook and the time source and destroys the logger afterwards, so
// tests can run in one process in any order.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "log/line_format.h"
#include "log/log_target.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace Oxle::Client::Log::Testing {

// One record as a target saw it.
struct RecordedMessage {
  int32_t level = 0;
  uint64_t category = 0;
  std::string message;
};

// Records every write, or only counts them when not `recording` (cheap enough that logging
// threads really overlap), and its name in `detached` when it leaves the logger. Reads of
// `written` must not race with logging threads.
class RecordingTarget final : public LogTarget {
 public:
  explicit RecordingTarget(const char* name = "RecordingTarget", bool recording = true)
      : name(name), recording(recording) {}
  ~RecordingTarget() override { Detach(); }
  [[nodiscard]] const char* Name() const override { return name; }
  void Detach() override {
    if (IsAttached() && detached != nullptr) detached->push_back(name);
    LogTarget::Detach();
  }
  [[nodiscard]] bool Write(const LogRecord& record) override {
    char line[kLogBufferSize];  // formatted as a real target does, under the target's lock
    static_cast<void>(FormatLine(line, sizeof line, LineFormatLocked().c_str(), record));
    writes.fetch_add(1, std::memory_order_relaxed);
    if (recording) written.push_back({record.level, record.category, record.message});
    return true;
  }

  const char* name;
  const bool recording;
  std::vector<RecordedMessage> written;
  std::atomic<int> writes{0};
  std::vector<std::string>* detached = nullptr;
};

// Collects the lines a console target writes, and counts its flushes.
struct CapturedLines {
  std::vector<std::string> lines;
  int flushes = 0;
  static void Write(void* context, const char* text, size_t length) {
    static_cast<CapturedLines*>(context)->lines.emplace_back(text, length);
  }
  static void Flush(void* context) { ++static_cast<CapturedLines*>(context)->flushes; }
  [[nodiscard]] ConsoleSink Sink() { return ConsoleSink{&Write, &Flush, this}; }
};

// "0x1a2b": the calling thread's id as "#T" prints it.
inline std::string ThreadIdText() {
  char text[32];
  std::snprintf(text, sizeof text, "%p",
                reinterpret_cast<void*>(static_cast<uintptr_t>(Platform::CurrentThreadId())));
  return text;
}

inline Platform::LocalTime FixedTime() {
  return {2021, 2, 3, 4, 5, 6, 7};
}
inline LogRecord FixedRecord(int32_t level, uint64_t category, const char* message) {
  return LogRecord{2021, 2, 3, 4, 5, 6, 7, level, category, message};
}

// Each test starts with a logger just created by this fixture's reference, its three console
// targets writing into stdErr, stdOut and debugger below.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(logger.ReferenceCount(), 0u);
    DestroyUnreferenced();
    ASSERT_EQ(logger.AddReference(), 1u);
    logger.StdErrTarget()->SetSink(stdErr.Sink());
    logger.StdOutTarget()->SetSink(stdOut.Sink());
    logger.DebuggerTarget()->SetSink(debugger.Sink());
  }

  void TearDown() override {
    logger.SetPreLogHook(nullptr);
    logger.SetTimeSource(nullptr);
    while (logger.ReferenceCount() > 0)
      logger.Release();
    DestroyUnreferenced();
    EXPECT_FALSE(logger.Exists());
  }
  // A logger created by a plain Log call (no reference) is destroyed by a reference's release.
  void DestroyUnreferenced() {
    if (logger.Exists() && logger.AddReference() == 1) logger.Release();
  }

  Logger& logger = Logger::Instance();
  CapturedLines stdErr, stdOut, debugger;
};

}  // namespace Oxle::Client::Log::Testing
