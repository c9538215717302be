// One thread logs while another reconfigures, detaches and re-attaches targets, or destroys
// and re-creates the logger. A lock-order mistake shows as a hang, caught by the watchdog; run
// under ThreadSanitizer these also check that no data race is left.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "log/logger.h"
#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

constexpr int kMessagesPerThread = 20000;
constexpr int kReconfigurations = 3000;

void CountLine(void* context, const char*, size_t) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1, std::memory_order_relaxed);
}

// Runs `work`; a hang beyond the limit ends the process, since its threads cannot be joined.
template <typename Work>
void RunWithWatchdog(Work work) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(std::chrono::minutes(3)) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: logging and configuration did not finish\n");
    std::fflush(stderr);
    std::_Exit(3);
  }
  done.get();
}

class LoggerConcurrencyTest : public Testing::LoggerTest {};

TEST_F(LoggerConcurrencyTest, ReconfiguringWhileLoggingNeverDeadlocksAndCountsEveryMessage) {
  std::atomic<int> consoleLines{0};
  for (BaseConsoleLogTarget* target : {static_cast<BaseConsoleLogTarget*>(logger.StdErrTarget()),
                                       static_cast<BaseConsoleLogTarget*>(logger.StdOutTarget()),
                                       static_cast<BaseConsoleLogTarget*>(logger.DebuggerTarget())})
    target->SetSink(ConsoleSink{&CountLine, nullptr, &consoleLines});
  Testing::RecordingTarget counting("CountingTarget", false);
  ASSERT_TRUE(counting.Attach());
  RunWithWatchdog([&] {
    auto logLoop = [](int seed) {
      for (int i = 0; i < kMessagesPerThread; ++i)
        Log(i % 2 == 0 ? WARN : ERROR, static_cast<uint32_t>((i + seed) % 4), 0, "message %d", i);
    };
    std::thread first(logLoop, 0);
    std::thread second(logLoop, 1);
    StdErrLogTarget* stdErrTarget = logger.StdErrTarget();
    StdOutLogTarget* stdOutTarget = logger.StdOutTarget();
    for (int i = 0; i < kReconfigurations; ++i) {
      counting.Configure(i % 3, i % 4, (i / 4) % 2, i % 2 == 0 ? "#D #L #G #M" : "#E(#T) #H #M");
      stdErrTarget->SetLevel(i % 3);
      stdErrTarget->SetCategoryFilter(static_cast<uint64_t>(i % 4), 2);
      stdErrTarget->SetLineFormat(i % 2 == 0 ? "#M" : "#E(#T): #L| #M");
      counting.Detach();
      stdOutTarget->Attach();
      static_cast<void>(logger.AttachHandle(counting.Handle()));
      static_cast<void>(logger.DetachHandle(counting.Handle()));
      counting.Attach();
      stdOutTarget->Detach();
      static_cast<void>(logger.FindTarget("CountingTarget"));
    }
    first.join();
    second.join();
  });

  EXPECT_EQ(logger.WarningCount(), static_cast<uint32_t>(kMessagesPerThread));
  EXPECT_EQ(logger.ErrorCount(), static_cast<uint64_t>(kMessagesPerThread));
  EXPECT_GT(counting.writes.load(), 0);
}

TEST_F(LoggerConcurrencyTest, DestroyingAndRecreatingWhileLoggingIsSafe) {
  Testing::RecordingTarget counting("CountingTarget", false);
  ASSERT_TRUE(counting.Attach());
  RunWithWatchdog([&] {
    // Category 8: no console target takes it, so nothing reaches the real console after a
    // destruction restores their sinks.
    // The writer's last message comes after the churn has ended, so at least that one lands
    // however the two threads were scheduled.
    std::atomic<bool> churned{false};
    std::thread writer([&] {
      for (int i = 0;; ++i) {
        const bool last = i >= kMessagesPerThread && churned.load();
        Log(ERROR, 8, 0, "message %d", i);
        if (last) break;
      }
    });
    for (int i = 0; i < kReconfigurations / 3; ++i) {
      logger.Release();  // the last reference: destroys, detaching `counting`
      logger.AddReference();
      counting.Configure(WARN, 8, 0, "#M");
    }
    churned = true;
    writer.join();
  });

  EXPECT_EQ(std::tuple(logger.ReferenceCount(), counting.IsAttached()), std::tuple(1u, true));
  EXPECT_GT(counting.writes.load(), 0);
}

}  // namespace
}  // namespace Oxle::Client::Log
