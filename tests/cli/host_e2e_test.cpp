// tpk-host and tpk-mhx-stub end to end, as real processes on loopback: the stub on a free port,
// tpk-host with the match-history module pointed at it by its resources file and found through
// its run file. One path per kind of wiring: the run file, a route relayed from the stub, a
// caller's error, an event stream that a graceful SIGTERM ends, the stub's SIGINT, and the wrong
// command lines of both; the routes' own rules are tested in tests/mhx, the gate in
// host_server_test. Each process is ended by its pid within a time limit; every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stub/stub_documents.h"
#include "stub/stub_options.h"
#include "support/child_process.h"
#include "support/cli_support.h"

namespace {

using namespace CliE2E;
using namespace CliSupport;
namespace Stub = Oxle::Client::Host::Stub;

// The stub, then tpk-host with the configuration namespace pointing the module at the stub, the
// platform and the session of a logged-in player; a route, an event stream and both stops.
TEST(HostE2E, TheHostServesTheModuleThroughTheStubAndBothStopOnTheirSignals) {
  TempDir temp;
  ChildProcess stub(TPK_STUB_PATH, {"--listen", "127.0.0.1:0"});
  const std::optional<std::string> stubUrl = stub.WaitForLine("listening on ");
  ASSERT_TRUE(stubUrl && stubUrl->starts_with("http://127.0.0.1:")) << stub.Errors();
  const std::string runtime = temp.Sub("run"), resources = temp.Sub("resources.yaml");
  std::ofstream(resources) << "/qel-platform-config/v1/namespaces/KRTMHX:\n  Endpoint: " << *stubUrl
                           << "/\n  Enabled: true\n  UseIdTokens: true\n"
                           << "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId: EUW1"
                           << "\n/qel-login/v1/session:\n  state: SUCCEEDED\n  accountId: 4100\n"
                           << "  summonerId: 7700\n  idToken: e2e-identity\n"
                           << "  vekToken: {token: e2e-vek}\n";
  ChildProcess host(TPK_HOST_PATH, {"--resources", resources, "--runtime-dir", runtime,
                                    "--log-level", "warn", TPK_MODULE_PATH});
  // The line follows the run file's move into place.
  const std::string runFile = host.WaitForLine("run file ").value_or("");
  ASSERT_NE(runFile, "") << host.Output() << host.Errors();
  std::ifstream in(runFile);
  const auto run = Json(std::string(std::istreambuf_iterator<char>(in), {}));
  const auto port = static_cast<uint16_t>(run.Get("port").GetUnsigned(0));
  const std::string token(run.Get("token").GetString());
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(runFile, runtime + "/tpk-host-" + std::to_string(host.Pid()) + ".json");
  EXPECT_EQ(run.Get("pid").GetUnsigned(0), static_cast<uint64_t>(host.Pid()));
  EXPECT_EQ(run.Get("url").GetString(), url);

  // A route relayed from the stub with the session's credentials, which no answer shows.
  const auto result =
      Send(port, "GET", "/qel-mhx/v1/games/5", {{"Authorization", "Bearer " + token}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_TRUE(result->body == Json(Json(Json(Stub::GameDocument("EUW1", 5)))))
      << result->body.substr(0, 300);
  ASSERT_TRUE(host.Signal(SIGTERM));
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(runFile));
  EXPECT_EQ(host.Output(), "module qel-mhx 18.0.0: 10 routes (" TPK_MODULE_PATH ")\nlistening on " +
                               url + "\nrun file " + runFile + "\nstopping on SIGTERM\nstopped\n");
  EXPECT_EQ(host.Errors(), "");  // no credential, and no warning

  // The stub logs its requests (their lines are the stub server's tests') and the signal.
  ASSERT_TRUE(stub.Signal(SIGINT));
  EXPECT_EQ(stub.Wait(), 0);
  EXPECT_EQ(stub.Output(), "listening on " + *stubUrl + "\n");
  EXPECT_TRUE(stub.Errors().ends_with(" ms\ntpk-mhx-stub: stopping (SIGINT)\n")) << stub.Errors();
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
