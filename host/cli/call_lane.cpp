// The host server's call lanes: bounded queues in front of a few threads.
#include "cli/call_lane.h"

#include <algorithm>
#include <utility>

namespace Oxle::Client::Host::Cli {

CallLane::CallLane(size_t threads, size_t queueBound) : queueBound_(queueBound) {
  for (size_t i = 0; i < std::max<size_t>(threads, 1); ++i)
    threads_.emplace_back([this] { Work(); });
}

CallLane::~CallLane() {
  Stop();
}

bool CallLane::Submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || queue_.size() >= idle_ + queueBound_) return false;
    queue_.push_back(std::move(job));
  }
  changed_.notify_one();
  return true;
}

void CallLane::Stop() {
  std::deque<Job> refused;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    refused.swap(queue_);
  }
  changed_.notify_all();
  for (Job& job : refused)
    job(false);
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

void CallLane::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ++idle_;
      changed_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
      --idle_;
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job(true);
  }
}

}  // namespace Oxle::Client::Host::Cli
