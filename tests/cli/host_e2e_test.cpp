// tpk-host and tpk-mhx-stub end to end, as real processes on loopback: the stub on a free port,
// tpk-host with the match-history module pointed at it by its resources file and found through
// its run file. One path per kind of wiring: the run file, a route relayed from the stub, a
// caller's error, an event stream that a graceful stop ends, the stub's SIGINT, a stop under load
// against a silent remote, and the wrong command lines of both; the routes' own rules are tested in
// tests/mhx, the gate in host_server_test. Each process is ended by its pid within a time limit;
// every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stub/stub_documents.h"
#include "stub/stub_options.h"
#include "support/child_process.h"
#include "support/cli_support.h"

namespace {

using namespace CliE2E;
using namespace CliSupport;
namespace Stub = Oxle::Client::Host::Stub;

// tpk-host with the module pointed at `endpoint` by its resources file (the configuration
// namespace, the platform and the session of a logged-in player), found through its run file.
struct RunningHost {
  RunningHost(const TempDir& temp, const std::string& endpoint)
      : runtime(temp.Sub("run")), resources(temp.Sub("resources.yaml")) {
    std::ofstream(resources) << "/qel-platform-config/v1/namespaces/KRTMHX:\n  Endpoint: "
                             << endpoint << "/\n  Enabled: true\n  UseIdTokens: true\n"
                             << "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId: "
                             << "EUW1\n/qel-login/v1/session:\n  state: SUCCEEDED\n"
                             << "  accountId: 4100\n  summonerId: 7700\n  idToken: e2e-identity\n"
                             << "  vekToken: {token: e2e-vek}\n";
    process.emplace(TPK_HOST_PATH,
                    std::vector<std::string>{"--resources", resources, "--runtime-dir", runtime,
                                             "--log-level", "warn", TPK_MODULE_PATH});
    // The line follows the run file's move into place.
    runFile = process->WaitForLine("run file ").value_or("");
    std::ifstream in(runFile);
    run = Json(std::string(std::istreambuf_iterator<char>(in), {}));
    port = static_cast<uint16_t>(run.Get("port").GetUnsigned(0));
    token = run.Get("token").GetString();
    url = "http://127.0.0.1:" + std::to_string(port);
  }
  [[nodiscard]] httplib::Result Get(const std::string& path) const {
    return Send(port, "GET", path, {{"Authorization", "Bearer " + token}});
  }

  std::string runtime, resources, runFile, token, url;
  std::optional<ChildProcess> process;
  Oxle::Client::Binding::BindingProperty run;
  uint16_t port = 0;
};

// The stub, then tpk-host on it: a route, an event stream and both stops.
TEST(HostE2E, TheHostServesTheModuleThroughTheStubAndBothStopOnTheirSignals) {
  TempDir temp;
  ChildProcess stub(TPK_STUB_PATH, {"--listen", "127.0.0.1:0"});
  const std::optional<std::string> stubUrl = stub.WaitForLine("listening on ");
  ASSERT_TRUE(stubUrl && stubUrl->starts_with("http://127.0.0.1:")) << stub.Errors();
  RunningHost running(temp, *stubUrl);
  ChildProcess& host = *running.process;
  const std::string &runFile = running.runFile, &url = running.url;
  ASSERT_NE(runFile, "") << host.Output() << host.Errors();
  EXPECT_EQ(runFile, running.runtime + "/tpk-host-" + std::to_string(host.Pid()) + ".json");
  EXPECT_EQ(running.run.Get("pid").GetUnsigned(0), static_cast<uint64_t>(host.Pid()));
  EXPECT_EQ(running.run.Get("url").GetString(), url);

  // A route relayed from the stub with the session's credentials, which no answer shows.
  const auto result = running.Get("/qel-mhx/v1/games/5");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_TRUE(result->body == Json(Json(Json(Stub::GameDocument("EUW1", 5)))))
      << result->body.substr(0, 300);
  // The session's champions job has published (a stop would cut its remote calls short, and
  // the module warn about it).
  bool published = false;
  for (int i = 0; i < 400 && !published; ++i) {
    const auto listing = running.Get("/resources");
    published = listing && listing->body.find("/qel-mhx/v2/recently-played-champions/4100") !=
                               std::string::npos;
    if (!published) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_TRUE(published);
  // A user signal is ignored; a closed terminal's stops the host like the others.
  ASSERT_TRUE(host.Signal(SIGUSR1) && host.Signal(SIGHUP));
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(runFile));
  EXPECT_EQ(host.Output(), "module qel-mhx 18.0.0: 10 routes (" TPK_MODULE_PATH ")\nlistening on " +
                               url + "\nconsole: " + url + "/\nrun file " + runFile +
                               "\nstopping on SIGHUP\nstopped\n");
  EXPECT_EQ(host.Errors(), "");  // no credential, and no warning

  // The stub logs its requests (their lines are the stub server's tests') and the signal.
  ASSERT_TRUE(stub.Signal(SIGINT));
  EXPECT_EQ(stub.Wait(), 0);
  EXPECT_EQ(stub.Output(), "listening on " + *stubUrl + "\n");
  EXPECT_TRUE(stub.Errors().ends_with(" ms\ntpk-mhx-stub: stopping (SIGINT)\n")) << stub.Errors();
}

// Against a remote service that never answers: slow clients and waiting calls hold up neither
// the server's own endpoints nor a stop, which aborts the calls' remote requests.
TEST(HostE2E, ASilentRemoteAndSlowClientsFreezeNeitherTheHostNorItsStop) {
  TempDir temp;
  int silentPort = 0;
  const int silent = Loopback(silentPort, true);
  RunningHost running(temp, "http://127.0.0.1:" + std::to_string(silentPort));
  ASSERT_NE(running.runFile, "") << running.process->Errors();
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 16; ++i)
    slow.push_back(std::make_unique<RawClient>(running.port, "GET /openapi.json HTTP/1.1\r\n"));
  std::vector<std::future<httplib::Result>> calls;
  for (int i = 0; i < 16; ++i)
    calls.push_back(
        std::async(std::launch::async, [&] { return running.Get("/qel-mhx/v1/games/5"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto openapi = running.Get("/openapi.json");
  EXPECT_TRUE(openapi && openapi->status == 200);
  ASSERT_TRUE(running.process->Signal(SIGTERM));
  EXPECT_EQ(running.process->Wait(std::chrono::seconds(10)), 0);
  EXPECT_FALSE(std::filesystem::exists(running.runFile));
  size_t aborted = 0;
  for (auto& call : calls) {
    ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const httplib::Result answer = call.get();
    aborted += answer && answer->body.find(
                             "Could not connect to the server: Operation was "
                             "aborted by an application callback") != std::string::npos;
  }
  EXPECT_GE(aborted, 1u);
  ::close(silent);
}

TEST(HostE2E, HelpWrongCommandLinesModulesAndABusyPortEndWithTheirStatusAndLine) {
  TempDir temp;
  const std::string runtime = temp.Sub("run"), none = "/nonexistent/tpk-be-none.so";
  int busy = 0;
  const int holder = Loopback(busy, true);  // a port in use
  const char *host = TPK_HOST_PATH, *stub = TPK_STUB_PATH;
  const std::string unknown = ": unknown option '--bogus' (see --help)\n",
                    at = std::to_string(busy);
  const std::string missing =
      none + "': " + none + ": cannot open shared object file: No such file or directory\n";
  const std::string inUse =
      ": cannot listen on http://127.0.0.1:" + at + ": Address already in use\n";
  // program, arguments, exit code, and what it writes: to its output on success, else its errors
  const std::tuple<const char*, std::vector<std::string>, int, std::string> cases[] = {
      {host, {"--bogus", TPK_MODULE_PATH}, 2, "tpk-host" + unknown},
      {host, {"--runtime-dir", runtime, none}, 1, "tpk-host: Couldn't load module '" + missing},
      {stub, {"--help"}, Stub::kExitOk, Stub::StubUsageText()},
      {stub, {"--bogus"}, Stub::kExitUsage, "tpk-mhx-stub" + unknown},
      {stub, {"--listen", "127.0.0.1:" + at}, Stub::kExitFailed, "tpk-mhx-stub" + inUse},
  };
  for (const auto& [program, args, exit, text] : cases) {
    SCOPED_TRACE(std::string(program) + " " + args.front());
    ChildProcess child(program, args);
    EXPECT_EQ(child.Wait(), exit);
    EXPECT_EQ(child.Output(), exit == 0 ? text : "");
    EXPECT_EQ(child.Errors(), exit == 0 ? "" : text);
  }
  ::close(holder);
}

}  // namespace
