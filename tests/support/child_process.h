// ChildProcess: a program started by posix_spawn for the end-to-end tests, with its standard
// output and error read by threads of their own (so it never blocks on a full pipe) and its end
// awaited through a pidfd, with a deadline and without polling. Whatever is still running when
// the object goes is killed (SIGKILL, by its pid) and reaped, so no test leaves a process behind.
// Not thread-safe beyond that: one test thread drives it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace CliE2E {

using Clock = std::chrono::steady_clock;

class ChildProcess {
 public:
  // Starts `path` with `args` (without the program name); null, with a test failure, on failure.
  static std::unique_ptr<ChildProcess> Start(const std::string& path,
                                             const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t Pid() const noexcept { return pid_; }
  // The first complete line of standard output that starts with `prefix`, waiting until
  // `deadline`; null when none came (or the output ended first).
  [[nodiscard]] std::optional<std::string> WaitForLine(const std::string& prefix,
                                                       Clock::time_point deadline);
  // Everything read so far.
  [[nodiscard]] std::string Output();
  [[nodiscard]] std::string Errors();
  // Sends `signal` to the pid, while the process has not been reaped.
  bool Signal(int signal);
  // Waits until `deadline` for the process to end and reaps it; its exit code (128 + the signal
  // when a signal ended it), or -1 when it is still running. The pipes are read to their end
  // before this returns a code.
  int Wait(Clock::time_point deadline);

 private:
  ChildProcess() = default;
  void Reader(int fd, std::string& into);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> status_;
  std::mutex mutex_;  // guards out_, err_, closed_
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  int closed_ = 0;  // pipes read to their end
  std::thread outReader_;
  std::thread errReader_;
};

}  // namespace CliE2E
