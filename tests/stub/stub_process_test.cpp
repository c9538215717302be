// The real tpk-mhx-stub executable: it announces its port on the first line, serves, logs, and
// exits 0 on SIGTERM or SIGINT; wrong command lines and a busy port end it with one line. Every
// process is started through the end-to-end tests' harness, ended by its id, and waited for with
// a time limit.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stub/stub_documents.h"
#include "stub/stub_options.h"
#include "stub/stub_server.h"
#include "stub_test_support.h"
#include "support/child_process.h"

namespace StubTest {
namespace {

using CliE2E::ChildProcess;
using CliE2E::Clock;

constexpr auto kLimit = std::chrono::seconds(20);

struct Finished {
  int exitCode = -1;  // 128 + the signal when a signal ended it; -1 past the limit
  std::string out;
  std::string err;
};

std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args) {
  std::string error;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(TPK_STUB_PATH, args, error);
  EXPECT_NE(child, nullptr) << error;
  return child;
}

Finished Wait(ChildProcess& child) {
  const std::optional<int> status = child.Wait(Clock::now() + kLimit);
  Finished finished{-1, child.Output(), child.Errors()};
  if (status.has_value())
    finished.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  return finished;
}

TEST(StubProcess, AnnouncesServesLogsAndExitsZeroOnTheSignal) {
  for (const int signal : {SIGTERM, SIGINT}) {
    const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
    SCOPED_TRACE(name);
    const auto stub = Start({"--late-ms", "0"});
    ASSERT_NE(stub, nullptr);
    const std::string prefix = "listening on http://127.0.0.1:";
    const std::optional<std::string> first = stub->WaitForLine(prefix, Clock::now() + kLimit);
    ASSERT_TRUE(first.has_value()) << stub->Errors();
    const int port = std::stoi(first->substr(prefix.size()));
    ASSERT_GT(port, 0);
    EXPECT_EQ(stub->Output(), prefix + std::to_string(port) + "\n");

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(kLimit);
    client.set_read_timeout(kLimit);
    const auto response =
        client.Get("/v1/deltas/auth", {{"AUTHORIZATION", std::string(kToken)}, {"REGION", "EUW1"}});
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->body, Json(DeltasDocument("EUW1", kAuthenticatedAccountId)));

    ASSERT_TRUE(stub->Signal(signal));
    const Finished finished = Wait(*stub);
    EXPECT_EQ(finished.exitCode, 0);
    EXPECT_EQ(finished.out, prefix + std::to_string(port) + "\n");
    // The request's line is written once its answer is sent, so it may follow the signal's.
    const std::string stopping = "tpk-mhx-stub: stopping (" + name + ")\n";
    std::string rest = finished.err;
    const size_t at = rest.find(stopping);
    ASSERT_NE(at, std::string::npos) << rest;
    rest.erase(at, stopping.size());
    EXPECT_TRUE(rest.starts_with("GET /v1/deltas/auth 200 ")) << rest;
    EXPECT_TRUE(rest.ends_with(" ms\n")) << rest;
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 1) << rest;
  }
}

TEST(StubProcess, HelpWrongCommandLinesAndABusyPortEndItWithTheirStatusAndLine) {
  StubServerOptions options;
  options.log = [](std::string_view) {};
  StubServer holder(std::move(options));
  ASSERT_TRUE(holder.Bind().Ok());
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"--help"}, kExitOk, StubUsageText(), ""},
      {{"--bogus"}, kExitUsage, "", "tpk-mhx-stub: unknown option '--bogus' (see --help)\n"},
      {{"--listen", "10.1.2.3:0"},
       kExitUsage,
       "",
       "tpk-mhx-stub: refusing to listen on 10.1.2.3, which is not a loopback address (add "
       "--allow-remote to allow it)\n"},
      {{"--listen", "127.0.0.1:" + std::to_string(holder.Port())},
       kExitFailed,
       "",
       "tpk-mhx-stub: cannot listen on " + holder.Url() + ": Address already in use\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const auto stub = Start(c.args);
    ASSERT_NE(stub, nullptr);
    const Finished finished = Wait(*stub);
    EXPECT_EQ(finished.exitCode, c.exitCode);
    EXPECT_EQ(finished.out, c.out);
    EXPECT_EQ(finished.err, c.err);
  }
}

}  // namespace
}  // namespace StubTest
