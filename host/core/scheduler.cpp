#include "core/scheduler.h"

#include "core/catch_all.h"

namespace Oxle::Client::Host {

Nanos SteadyClock::Now() const noexcept {
  return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
}

Scheduler::Scheduler(const Clock& clock, uint32_t workers) : clock_(clock), workerCount_(workers) {
  workers_.reserve(workers);
  for (uint32_t i = 0; i < workers; ++i)
    workers_.emplace_back([this] { WorkerLoop(); });
}

Scheduler::~Scheduler() {
  Stop();
}

void Scheduler::Post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    events_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void Scheduler::Schedule(uint32_t owner, Nanos due, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    jobs_.emplace(JobKey{due.count(), nextSequence_++}, Job{owner, std::move(task)});
  }
  // Every worker re-checks its wait deadline: the new job may be due before the one it waits for.
  wake_.notify_all();
}

size_t Scheduler::Cancel(uint32_t owner) {
  std::vector<Task> dropped;  // destroyed outside the lock
  {
    std::lock_guard lock(mutex_);
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (it->second.owner == owner) {
        dropped.push_back(std::move(it->second.task));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
  }
  idle_.notify_all();
  return dropped.size();
}

bool Scheduler::TakeNext(Task& task, bool& isEvent) {
  if (!eventRunning_ && !events_.empty()) {
    task = std::move(events_.front());
    events_.pop_front();
    eventRunning_ = true;
    isEvent = true;
    ++running_;
    return true;
  }
  if (!jobs_.empty() && jobs_.begin()->first.first <= clock_.Now().count()) {
    task = std::move(jobs_.begin()->second.task);
    jobs_.erase(jobs_.begin());
    isEvent = false;
    ++running_;
    return true;
  }
  return false;
}

void Scheduler::Finish(bool isEvent) {
  {
    std::lock_guard lock(mutex_);
    --running_;
    if (isEvent) eventRunning_ = false;
  }
  idle_.notify_all();
  // A finished delivery frees the event lane for a worker that saw it busy.
  if (isEvent) wake_.notify_one();
}

void Scheduler::RunTask(Task& task) noexcept {
  // Host tasks report their own failures; nothing may stop the worker.
  CatchAll(
      [&] {
        if (task) task();
      },
      [](const char*) {});
  task = nullptr;
}

void Scheduler::WorkerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Task task;
    bool isEvent = false;
    if (TakeNext(task, isEvent)) {
      lock.unlock();
      RunTask(task);
      Finish(isEvent);
      lock.lock();
      continue;
    }
    if (!jobs_.empty()) {
      const Nanos wait = Nanos(jobs_.begin()->first.first) - clock_.Now();
      wake_.wait_for(lock, wait);
    } else {
      wake_.wait(lock);
    }
  }
}

size_t Scheduler::RunDue(size_t limit) {
  if (!Manual()) return 0;
  size_t ran = 0;
  while (ran < limit) {
    Task task;
    bool isEvent = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || !TakeNext(task, isEvent)) break;
    }
    RunTask(task);
    Finish(isEvent);
    ++ran;
  }
  return ran;
}

bool Scheduler::IdleLocked() const {
  const bool jobDue = !jobs_.empty() && jobs_.begin()->first.first <= clock_.Now().count();
  return events_.empty() && running_ == 0 && !jobDue;
}

bool Scheduler::WaitIdle(Nanos limit) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit, [&] { return IdleLocked(); });
}

bool Scheduler::WaitDelivered(Nanos limit) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit, [&] { return events_.empty() && !eventRunning_; });
}

size_t Scheduler::PendingJobs() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

size_t Scheduler::QueuedEvents() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void Scheduler::Stop() {
  std::deque<Task> events;
  std::map<JobKey, Job> jobs;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
  workers_.clear();
  std::lock_guard lock(mutex_);
  events.swap(events_);
  jobs.swap(jobs_);
}

}  // namespace Oxle::Client::Host
