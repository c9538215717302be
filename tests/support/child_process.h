// ChildProcess: a program started by posix_spawn for the end-to-end tests, its standard output
// and error kept in memory files (so it never blocks on a full pipe and nothing needs reading
// threads), watched in short bounded steps until a deadline. Whatever is still running when the
// object goes is killed (SIGKILL, by its pid) and reaped, so no test leaves a process behind.
// One test thread drives it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace CliE2E {

using Clock = std::chrono::steady_clock;
inline constexpr Clock::duration kLimit = std::chrono::seconds(30);

class ChildProcess {
 public:
  // Starts `path` with `args` (without the program name); a test failure and an exit code of 127
  // when it could not be started.
  ChildProcess(const std::string& path, const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t Pid() const noexcept { return pid_; }
  // The rest of the first complete line of standard output that starts with `prefix`, waiting
  // at most `limit`; null when none came (or the process ended first).
  [[nodiscard]] std::optional<std::string> WaitForLine(const std::string& prefix,
                                                       Clock::duration limit = kLimit);
  // Everything written so far.
  [[nodiscard]] std::string Output() const { return Read(out_); }
  [[nodiscard]] std::string Errors() const { return Read(err_); }
  // Sends `signal` to the pid, while the process has not been reaped.
  bool Signal(int signal);
  // Waits at most `limit` for the process to end and reaps it; its exit code (128 + the signal
  // when a signal ended it), or -1 when it is still running.
  int Wait(Clock::duration limit = kLimit);

 private:
  [[nodiscard]] static std::string Read(int fd);
  bool Reaped();  // reaps the process if it has ended

  pid_t pid_ = -1;
  int out_, err_;
  std::optional<int> status_;
};

}  // namespace CliE2E
