// Scheduler: the host's work queue. Event deliveries run one at a time in the order they were
// posted (so a subscriber never sees a resource's Delete before its Update); jobs run once their
// due time has come, several at once on different workers, alongside the event lane.
// With zero workers it is in manual mode: nothing runs until the owner calls RunDue, on its own
// thread, against a clock it controls. Thread-safe. Tasks must not throw (a throwing task is
// caught and dropped).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace Oxle::Client::Host {

using Nanos = std::chrono::nanoseconds;

// A monotonic time source, read by the scheduler for due times.
class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual Nanos Now() const noexcept = 0;
};

class SteadyClock final : public Clock {
 public:
  [[nodiscard]] Nanos Now() const noexcept override;
};

// Starts at 0 and moves only when told to.
class ManualClock final : public Clock {
 public:
  [[nodiscard]] Nanos Now() const noexcept override { return Nanos(now_.load()); }
  void Advance(Nanos by) noexcept { now_.fetch_add(by.count()); }

 private:
  std::atomic<int64_t> now_{0};
};

class Scheduler {
 public:
  using Task = std::function<void()>;

  // `clock` must outlive the scheduler. `workers` 0 is manual mode.
  Scheduler(const Clock& clock, uint32_t workers);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // An event delivery: runs after the deliveries posted before it, never beside another one.
  void Post(Task task);
  // A job of `owner`, run no earlier than `due` (a time of the clock).
  void Schedule(uint32_t owner, Nanos due, Task task);
  // Drops the pending jobs of `owner`; returns how many. A running one is not affected.
  size_t Cancel(uint32_t owner);

  // Manual mode: runs deliveries and due jobs on this thread, including those they post, until
  // none is left or `limit` have run; returns how many ran. In threaded mode returns 0.
  size_t RunDue(size_t limit);
  // Threaded mode: waits, at most `limit`, until no delivery is queued or running and no due job
  // is waiting or running. True when that state was reached.
  [[nodiscard]] bool WaitIdle(Nanos limit);
  // Threaded mode: waits, at most `limit`, until no delivery is queued or running; jobs are not
  // waited for. True when that state was reached.
  [[nodiscard]] bool WaitDelivered(Nanos limit);
  [[nodiscard]] size_t PendingJobs() const;
  [[nodiscard]] size_t QueuedEvents() const;
  [[nodiscard]] bool Manual() const noexcept { return workerCount_ == 0; }

  // Stops and joins the workers and drops everything pending; later posts are dropped.
  void Stop();

 private:
  struct Job {
    uint32_t owner = 0;
    Task task;
  };
  using JobKey = std::pair<int64_t, uint64_t>;  // due time, then posting order

  // With the lock held: the next runnable task, or false.
  [[nodiscard]] bool TakeNext(Task& task, bool& isEvent);
  void Finish(bool isEvent);
  void WorkerLoop();
  [[nodiscard]] bool IdleLocked() const;
  static void RunTask(Task& task) noexcept;

  const Clock& clock_;
  const uint32_t workerCount_;
  mutable std::mutex mutex_;      // guards events_, eventRunning_, jobs_, nextSequence_, running_,
                                  // stopping_
  std::condition_variable wake_;  // work was added, or stop
  std::condition_variable idle_;  // a task finished
  std::deque<Task> events_;
  bool eventRunning_ = false;
  std::map<JobKey, Job> jobs_;
  uint64_t nextSequence_ = 0;
  size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;  // written only by the constructor and Stop
};

}  // namespace Oxle::Client::Host
