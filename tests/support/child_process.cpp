#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace CliE2E {

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& path,
                                                  const std::vector<std::string>& args) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    for (const int fd : {out[0], out[1]})
      if (fd >= 0) ::close(fd);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
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
  auto child = std::unique_ptr<ChildProcess>(new ChildProcess());
  const int spawned =
      posix_spawn(&child->pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "posix_spawn " << path << ": " << std::strerror(spawned);
    ::close(out[0]);
    ::close(err[0]);
    return nullptr;
  }
  child->pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, child->pid_, 0));
  ChildProcess* self = child.get();
  child->outReader_ = std::thread([self, fd = out[0]] { self->Reader(fd, self->out_); });
  child->errReader_ = std::thread([self, fd = err[0]] { self->Reader(fd, self->err_); });
  if (child->pidfd_ < 0) {
    ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
    return nullptr;  // the destructor kills and reaps it
  }
  return child;
}

void ChildProcess::Reader(int fd, std::string& into) {
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    into.append(buffer, static_cast<size_t>(n));
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  ++closed_;
  changed_.notify_all();
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    (void)Signal(SIGKILL);
    (void)Wait(Clock::now() + std::chrono::seconds(30));
  }
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& prefix,
                                                     Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  auto search = [&] {
    size_t start = 0;
    for (size_t end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1) {
      if (out_.compare(start, prefix.size(), prefix) == 0) {
        found = out_.substr(start, end - start);
        return true;
      }
    }
    return closed_ == 2;
  };
  changed_.wait_until(lock, deadline, search);
  return found;
}

std::string ChildProcess::Output() {
  std::lock_guard lock(mutex_);
  return out_;
}
std::string ChildProcess::Errors() {
  std::lock_guard lock(mutex_);
  return err_;
}

bool ChildProcess::Signal(int signal) {
  if (status_ || pid_ <= 0) return false;
  // Until it is reaped the pid cannot name another process.
  return ::kill(pid_, signal) == 0;
}

int ChildProcess::Wait(Clock::time_point deadline) {
  if (status_) return *status_;
  for (int polled = 0; pidfd_ >= 0 && polled <= 0;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{pidfd_, POLLIN, 0};
    polled = ::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (polled == 0 || (polled < 0 && errno != EINTR)) return -1;
  }
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // The pipes close with the process (unless it left children holding them).
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return closed_ == 2; });
  return *status_;
}

}  // namespace CliE2E
