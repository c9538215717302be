#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace CliE2E {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args)
    : out_(::memfd_create("stdout", MFD_CLOEXEC)), err_(::memfd_create("stderr", MFD_CLOEXEC)) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_, 1);
  posix_spawn_file_actions_adddup2(&actions, err_, 2);
  // The child starts with no signal blocked, whatever the test's threads block.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) pid_ = -1, status_ = 127;  // as if ended: nothing to wait for or kill
  EXPECT_EQ(spawned, 0) << "posix_spawn " << path << ": " << std::strerror(spawned);
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0 && ::kill(pid_, SIGKILL) == 0) (void)::waitpid(pid_, nullptr, 0);
  for (const int fd : {out_, err_})
    if (fd >= 0) ::close(fd);
}

std::string ChildProcess::Read(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  return text;
}

bool ChildProcess::Reaped() {
  int status = 0;
  if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_.has_value();
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& prefix,
                                                     Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (bool ended = false; !ended; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    ended = Reaped() || Clock::now() > deadline;  // what it wrote before it ended still counts
    const std::string out = Output();
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      if (out.compare(start, prefix.size(), prefix) == 0)
        return out.substr(start + prefix.size(), end - start - prefix.size());
  }
  return std::nullopt;
}

bool ChildProcess::Signal(int signal) {
  // Until it is reaped the pid cannot name another process.
  return !status_ && pid_ > 0 && ::kill(pid_, signal) == 0;
}

int ChildProcess::Wait(Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (!Reaped() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return status_.value_or(-1);
}

}  // namespace CliE2E
