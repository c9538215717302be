// The real tpk-mhx-stub executable: it announces its port on the first line, serves, logs, and
// exits 0 on SIGTERM or SIGINT; wrong command lines and a busy port end it with one line. Every
// process is started here, ended by its id, and waited for with a time limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stub/stub_documents.h"
#include "stub/stub_options.h"
#include "stub/stub_server.h"
#include "stub_test_support.h"

extern char** environ;

namespace StubTest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 20s;

struct Finished {
  int exitCode = -1;  // 128 + the signal when a signal ended it
  std::string out;    // what stdout held after the lines already read
  std::string err;
};

// One child process with its standard output and error on pipes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv = {TPK_STUB_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv)
      pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    if (posix_spawn(&pid_, TPK_STUB_PATH, &actions, nullptr, pointers.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  [[nodiscard]] bool Started() const { return pid_ > 0; }

  // The first line on standard output, without its line end; nothing after kLimit or at EOF.
  std::optional<std::string> ReadLine() {
    const auto deadline = Clock::now() + kLimit;
    while (outText_.find('\n') == std::string::npos) {
      if (!ReadSome(out_, outText_, deadline)) return std::nullopt;
    }
    const size_t end = outText_.find('\n');
    std::string line = outText_.substr(0, end);
    outText_.erase(0, end + 1);
    return line;
  }

  void Signal(int signal) const { kill(pid_, signal); }

  // Reads both pipes to their end and reaps the process; kills it when that takes over kLimit.
  Finished Wait() {
    const auto deadline = Clock::now() + kLimit;
    std::string err;
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
      pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms || poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
      if (outOpen && fds[0].revents != 0) outOpen = ReadAvailable(out_, outText_);
      if (errOpen && fds[1].revents != 0) errOpen = ReadAvailable(err_, err);
    }
    Finished finished;
    if (outOpen || errOpen) kill(pid_, SIGKILL);  // over the limit
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (outOpen || errOpen) finished.exitCode = -1;
    finished.out = std::move(outText_);
    finished.err = std::move(err);
    return finished;
  }

 private:
  // False at EOF or on an error.
  static bool ReadAvailable(int fd, std::string& into) {
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    into.append(buffer, static_cast<size_t>(got));
    return true;
  }
  static bool ReadSome(int fd, std::string& into, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left <= 0ms || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
    return ReadAvailable(fd, into);
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outText_;
};

class StubProcessStops : public testing::TestWithParam<int> {};

TEST_P(StubProcessStops, AnnouncesServesLogsAndExitsZeroOnTheSignal) {
  Child stub({"--late-ms", "0"});
  ASSERT_TRUE(stub.Started());
  const std::optional<std::string> first = stub.ReadLine();
  ASSERT_TRUE(first.has_value());
  const std::string prefix = "listening on http://127.0.0.1:";
  ASSERT_TRUE(first->starts_with(prefix)) << *first;
  const int port = std::stoi(first->substr(prefix.size()));
  ASSERT_GT(port, 0);
  EXPECT_EQ(*first, prefix + std::to_string(port));

  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(kLimit);
  client.set_read_timeout(kLimit);
  const auto response =
      client.Get("/v1/deltas/auth", {{"AUTHORIZATION", std::string(kToken)}, {"REGION", "EUW1"}});
  ASSERT_TRUE(response) << httplib::to_string(response.error());
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, Json(DeltasDocument("EUW1", kAuthenticatedAccountId)));

  stub.Signal(GetParam());
  const Finished finished = stub.Wait();
  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.out, "");
  // The request's line is written once its answer is sent, so it may follow the signal's.
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = finished.err.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(finished.err.substr(at, end - at));
  ASSERT_EQ(lines.size(), 2u) << finished.err;
  EXPECT_TRUE(finished.err.ends_with("\n"));
  if (!lines[0].starts_with("GET")) std::swap(lines[0], lines[1]);
  EXPECT_TRUE(lines[0].starts_with("GET /v1/deltas/auth 200 ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" ms")) << lines[0];
  EXPECT_EQ(lines[1], std::string("tpk-mhx-stub: stopping (") +
                          (GetParam() == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  EXPECT_EQ(finished.err.find("stub-test-token"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, StubProcessStops, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == SIGINT ? std::string("Sigint")
                                                       : std::string("Sigterm");
                         });

TEST(StubProcess, WrongCommandLinesExitTwoWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "tpk-mhx-stub: unknown option '--bogus' (see --help)"},
      {{"--listen", "10.1.2.3:0"},
       "tpk-mhx-stub: refusing to listen on 10.1.2.3, which is not a loopback address (add "
       "--allow-remote to allow it)"},
      {{"--late-ms"}, "tpk-mhx-stub: option '--late-ms' needs a value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Child stub(c.args);
    ASSERT_TRUE(stub.Started());
    const Finished finished = stub.Wait();
    EXPECT_EQ(finished.exitCode, kExitUsage);
    EXPECT_EQ(finished.out, "");
    EXPECT_EQ(finished.err, c.line + "\n");
  }
}

TEST(StubProcess, HelpPrintsTheUsageAndExitsZero) {
  Child stub({"--help"});
  ASSERT_TRUE(stub.Started());
  const Finished finished = stub.Wait();
  EXPECT_EQ(finished.exitCode, kExitOk);
  EXPECT_EQ(finished.out, StubUsageText());
  EXPECT_EQ(finished.err, "");
}

TEST(StubProcess, ABusyPortExitsOneWithOneLine) {
  StubServerOptions options;
  options.log = [](std::string_view) {};
  StubServer holder(std::move(options));
  ASSERT_TRUE(holder.Bind().Ok());
  Child stub({"--listen", "127.0.0.1:" + std::to_string(holder.Port())});
  ASSERT_TRUE(stub.Started());
  const Finished finished = stub.Wait();
  EXPECT_EQ(finished.exitCode, kExitFailed);
  EXPECT_EQ(finished.out, "");
  EXPECT_EQ(finished.err,
            "tpk-mhx-stub: cannot listen on " + holder.Url() + ": Address already in use\n");
}

}  // namespace
}  // namespace StubTest
