// The host server's call lanes: slots taken by the threads that read the requests, and a bounded
// queue behind them.
#include "cli/call_lane.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace Oxle::Client::Host::Cli {

CallLane::CallLane(size_t slots, size_t queueBound, HttpServer& server)
    : slots_(std::max<size_t>(slots, 1)), queueBound_(queueBound), server_(server) {}

CallLane::~CallLane() {
  Stop();
}

bool CallLane::Run(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    if (running_ >= slots_) {
      if (queue_.size() >= queueBound_) return false;
      queue_.push_back(std::move(job));
      return true;
    }
    ++running_;
  }
  Execute(job, true);
  return true;
}

void CallLane::Execute(Job& job, bool run) {
  if (run) server_.BeginBlocking();
  try {
    job(run);
  } catch (...) {
    // A job answers its own failures; an unanswered request is answered when its responder goes.
  }
  if (run) server_.EndBlocking();
  Leave();
}

void CallLane::Leave() noexcept {
  Job next;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      if (--running_ == 0) idle_.notify_all();
      return;
    }
    next = std::move(queue_.front());
    queue_.pop_front();
  }
  // The slot passes to `next`, on a thread of its own: this one may belong to a connection.
  std::shared_ptr<Job> job;
  try {
    job = std::make_shared<Job>(std::move(next));
    server_.Post([this, job] {
      bool stopped = false;
      {
        std::lock_guard lock(mutex_);
        stopped = stopped_;
      }
      Execute(*job, !stopped);
    });
  } catch (...) {
    // It could not be handed on: it is refused here, and its slot passed on.
    Job& refused = job ? *job : next;
    refused(false);
    Leave();
  }
}

void CallLane::Stop() {
  std::deque<Job> refused;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    refused.swap(queue_);
  }
  for (Job& job : refused)
    job(false);
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return running_ == 0; });
}

}  // namespace Oxle::Client::Host::Cli
