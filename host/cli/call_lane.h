// CallLane (internal to tpk_cli): the threads that run the host server's calls, so that calls
// never run on the I/O threads: at most `threads` run at once, with at most `queueBound` waiting
// behind them. Each served module has a lane of its own, and the server's own endpoints one more,
// so that a module whose calls wait on a silent remote service holds up no other.
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Oxle::Client::Host::Cli {

class CallLane {
 public:
  // Called with true to run, or with false when it is refused (at Stop) so that it answers.
  using Job = std::function<void(bool run)>;

  CallLane(size_t threads, size_t queueBound);
  ~CallLane();  // Stop()
  CallLane(const CallLane&) = delete;
  CallLane& operator=(const CallLane&) = delete;

  // False when the queue is full or the lane stopped: the caller answers.
  [[nodiscard]] bool Submit(Job job);
  // Refuses what is queued and waits for what runs.
  void Stop();

 private:
  void Work();

  const size_t queueBound_;
  std::mutex mutex_;  // guards queue_, idle_, stopped_
  std::condition_variable changed_;
  std::deque<Job> queue_;
  size_t idle_ = 0;  // threads waiting for a job
  bool stopped_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace Oxle::Client::Host::Cli
