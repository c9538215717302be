// CallLane (internal to tpk_cli): the bound on one module's calls. At most `slots` run at once,
// each on the server thread that read its request, with no hand-off; at most `queueBound` wait
// behind them, and a waiting call starts on a thread of the server as soon as a slot frees. Each
// served module has a lane of its own, and the server's own endpoints one more, so that a module
// whose calls wait on a silent remote service holds up no other. A call runs between the server's
// BeginBlocking and EndBlocking, and the server holds a thread in reserve for each slot
// (HttpServerOptions::handlerThreads), so calls never leave the server without threads for I/O.
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "cli/http_server.h"

namespace Oxle::Client::Host::Cli {

class CallLane {
 public:
  // Called with true to run, or with false when it is refused (at Stop) so that it answers.
  using Job = std::function<void(bool run)>;
  // `server` must outlive the lane.
  CallLane(size_t slots, size_t queueBound, HttpServer& server);
  ~CallLane();  // Stop()
  CallLane(const CallLane&) = delete;
  CallLane& operator=(const CallLane&) = delete;

  // Runs `job` on this thread, now, when a slot is free; queues it when none is and the queue
  // has room. False when the queue is full or the lane stopped: the caller answers.
  [[nodiscard]] bool Run(Job job);
  // Refuses what is queued and waits until no job runs; not from inside a job.
  void Stop();

 private:
  // Runs a job that holds a slot.
  void Execute(Job& job, bool run);
  // A job ended on its slot: the slot goes to the next queued job, or is freed.
  void Leave() noexcept;

  const size_t slots_;
  const size_t queueBound_;
  HttpServer& server_;
  std::mutex mutex_;  // guards queue_, running_, stopped_
  std::condition_variable idle_;
  std::deque<Job> queue_;
  size_t running_ = 0;  // slots taken: jobs running, or posted to the server and not yet ended
  bool stopped_ = false;
};

}  // namespace Oxle::Client::Host::Cli
