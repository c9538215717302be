// tpk-host end to end, with real processes on loopback: the stub service and tpk-host with the
// match-history module, started on free ports, tpk-host pointed at the stub by its resources
// file and found through its run file. One path per kind of HTTP wiring: the run file, a route
// relayed from the stub, a caller's error, the refusal of strangers and oversized bodies, a
// graceful SIGTERM and a wrong command line; the routes' own rules are tested in tests/mhx. Each
// process is ended by its pid within a time limit; every wait is bounded.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "codec/json.h"
#include "stub/stub_documents.h"
#include "support/child_process.h"

namespace {

using namespace CliE2E;
using Oxle::Client::Binding::BindingProperty;
using std::chrono::seconds;
namespace Stub = Oxle::Client::Host::Stub;

constexpr auto kLimit = seconds(30);
constexpr const char* kPlatform = "EUW1";

BindingProperty Json(const std::string& text) {
  Oxle::Client::Binding::ValueResult parsed = Oxle::Client::Codec::ParseJson(text);
  EXPECT_TRUE(parsed.Ok()) << text.substr(0, 200);
  return parsed.Value();
}

std::string Json(const BindingProperty& value) {
  return Oxle::Client::Codec::WriteJson(value, nullptr, nullptr);
}

std::string ErrorJson(int status, const std::string& message) {
  BindingProperty error;
  error.Get("status").SetUnsigned(static_cast<uint64_t>(status));
  error.Get("message").SetString(message);
  return Json(error);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tpk-e2e-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The processes of one test: the stub and tpk-host, with the host's client.
class Deployment {
 public:
  Deployment() {
    std::string error;
    stub_ = ChildProcess::Start(TPK_STUB_PATH, {"--listen", "127.0.0.1:0"}, error);
    if (!stub_) {
      ADD_FAILURE() << error;
      return;
    }
    const std::optional<std::string> line =
        stub_->WaitForLine("listening on ", Clock::now() + kLimit);
    if (!line) {
      ADD_FAILURE() << "the stub did not start: " << stub_->Errors();
      return;
    }
    const std::string stubUrl = line->substr(std::string("listening on ").size());
    EXPECT_TRUE(stubUrl.starts_with("http://127.0.0.1:")) << stubUrl;

    // The configuration namespace pointing the module at the stub, the platform and the session
    // of a logged-in player.
    runtime_ = temp_.Sub("run");
    const std::string resources = temp_.Sub("resources.yaml");
    std::ofstream(resources) << "/qel-platform-config/v1/namespaces/KRTMHX:\n  Endpoint: "
                             << stubUrl << "/\n  Enabled: true\n  UseIdTokens: true\n"
                             << "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId: "
                             << kPlatform << "\n/qel-login/v1/session:\n  state: SUCCEEDED\n"
                             << "  accountId: 4100\n  summonerId: 7700\n"
                             << "  idToken: e2e-identity\n  vekToken: {token: e2e-vek}\n";
    host_ = ChildProcess::Start(TPK_HOST_PATH,
                                {"--resources", resources, "--runtime-dir", runtime_, "--log-level",
                                 "warn", TPK_MODULE_PATH},
                                error);
    if (!host_) {
      ADD_FAILURE() << error;
      return;
    }
    // The line follows the run file's move into place.
    const std::optional<std::string> written =
        host_->WaitForLine("run file ", Clock::now() + kLimit);
    if (!written) {
      ADD_FAILURE() << "tpk-host wrote no run file: " << host_->Output() << host_->Errors();
      return;
    }
    runFile_ = written->substr(std::string("run file ").size());
    std::ifstream in(runFile_);
    run_ = Json(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    port_ = static_cast<uint16_t>(run_.Get("port").GetUnsigned(0));
    token_ = std::string(run_.Get("token").GetString());
    ready_ = true;
  }

  ~Deployment() {
    // Ended by their pids, within the limit; the destructors kill whatever is left.
    for (ChildProcess* child : {host_.get(), stub_.get()}) {
      if (child == nullptr || !child->Running()) continue;
      (void)child->Signal(SIGTERM);
      EXPECT_TRUE(child->Wait(Clock::now() + kLimit).has_value());
    }
  }

  [[nodiscard]] bool Ready() const { return ready_; }
  [[nodiscard]] std::unique_ptr<httplib::Client> Client(bool withToken = true) const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
    if (withToken) client->set_bearer_token_auth(token_.c_str());
    client->set_connection_timeout(5);
    client->set_read_timeout(30);
    return client;
  }

  TempDir temp_;
  std::unique_ptr<ChildProcess> stub_;
  std::unique_ptr<ChildProcess> host_;
  std::string runtime_;
  std::string runFile_;
  BindingProperty run_;
  uint16_t port_ = 0;
  std::string token_;
  bool ready_ = false;
};

TEST(HostE2E, TheRunFileTellsWhereAndHowToConnect) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  const std::string url = "http://127.0.0.1:" + std::to_string(deployment.port_);
  EXPECT_EQ(deployment.runFile_,
            deployment.runtime_ + "/tpk-host-" + std::to_string(deployment.host_->Pid()) + ".json");
  EXPECT_EQ(deployment.run_.Get("pid").GetUnsigned(0),
            static_cast<uint64_t>(deployment.host_->Pid()));
  EXPECT_EQ(deployment.run_.Get("url").GetString(), url);
  EXPECT_EQ(deployment.token_.size(), 64u);
  struct stat info {};
  ASSERT_EQ(::stat(deployment.runFile_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(deployment.runtime_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(deployment.host_->Output(), "module qel-mhx 18.0.0: 10 routes (" TPK_MODULE_PATH
                                        ")\n"
                                        "listening on " +
                                            url + "\nrun file " + deployment.runFile_ + "\n");
  EXPECT_EQ(deployment.host_->Errors().find(deployment.token_), std::string::npos);
}

// A route relayed from the stub with the session's credentials, a remote failure and a caller's
// error, each with its status; no answer or log line shows a credential.
TEST(HostE2E, ARouteAnswersOverHttpThroughTheStub) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  auto client = deployment.Client();
  const std::pair<std::string, std::pair<int, std::string>> cases[] = {
      {"/qel-mhx/v1/games/5", {200, Json(Json(Json(Stub::GameDocument(kPlatform, 5))))}},
      {"/qel-mhx/v1/games/404", {404, ErrorJson(404, "Not found")}},
      {"/qel-mhx/v1/games/abc",
       {400, ErrorJson(400, "Value abc for 'gameId' of type uint64 is in an incorrect format")}},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(path);
    const httplib::Result result = client->Get(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, expected.first);
    EXPECT_TRUE(result->body == expected.second)
        << result->body.substr(0, 300) << "\n  expected " << expected.second.substr(0, 300);
    for (const char* secret : {"e2e-identity", "e2e-vek"})
      EXPECT_EQ(result->body.find(secret), std::string::npos);
  }
  ASSERT_TRUE(deployment.host_->Signal(SIGTERM));
  ASSERT_TRUE(deployment.host_->Wait(Clock::now() + kLimit).has_value());
  for (const std::string& log : {deployment.host_->Output(), deployment.host_->Errors()}) {
    EXPECT_EQ(log.find("e2e-identity"), std::string::npos) << log;
    EXPECT_EQ(log.find("e2e-vek"), std::string::npos) << log;
  }
}

TEST(HostE2E, TheLocalApiRefusesStrangersAndOversizedBodies) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  const auto anonymous = deployment.Client(false)->Get("/qel-mhx/v1/games/5");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);
  EXPECT_EQ(anonymous->get_header_value("WWW-Authenticate"), "Bearer");
  const auto wrong = deployment.Client(false)->Get(
      "/host/modules", {{"Authorization", "Bearer " + std::string(64, '0')}});
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  const auto rebound = deployment.Client()->Get(
      "/qel-mhx/v1/games/5", {{"Host", "attacker.example:" + std::to_string(deployment.port_)}});
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 421);
  const auto huge = deployment.Client()->Put("/resources/big", std::string((16u << 20) + 1, ' '),
                                             "application/json");
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->status, 413);
  EXPECT_EQ(huge->body, ErrorJson(413, "The request body is larger than 16777216 bytes"));
  for (const auto* answer : {&anonymous, &wrong, &rebound, &huge})
    EXPECT_EQ((*answer)->body.find(deployment.token_), std::string::npos);
}

TEST(HostE2E, SigtermStopsTheHostGracefullyAndRemovesTheRunFile) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  // An open event stream, which the stop ends.
  auto client = deployment.Client();
  std::mutex mutex;  // guards connected
  std::condition_variable changed;
  bool connected = false;
  std::future<httplib::Result> stream = std::async(std::launch::async, [&] {
    return client->Get("/events", [&](const char*, size_t) {
      std::lock_guard lock(mutex);
      connected = true;
      changed.notify_all();
      return true;
    });
  });
  const struct Closer {
    httplib::Client& client;
    ~Closer() { client.stop(); }  // ends the stream on an early return, too
  } closer{*client};
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kLimit, [&] { return connected; }));
  }
  ASSERT_TRUE(deployment.host_->Signal(SIGTERM));
  const std::optional<int> status = deployment.host_->Wait(Clock::now() + kLimit);
  ASSERT_TRUE(status.has_value()) << "tpk-host did not stop";
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_FALSE(std::filesystem::exists(deployment.runFile_));
  EXPECT_TRUE(deployment.host_->Output().ends_with("stopping on SIGTERM\nstopped\n"))
      << deployment.host_->Output();
  EXPECT_EQ(deployment.host_->Errors(), "");
  EXPECT_EQ(stream.wait_for(kLimit), std::future_status::ready);  // the stream ended
  ASSERT_TRUE(deployment.stub_->Signal(SIGTERM));
  const std::optional<int> stubStatus = deployment.stub_->Wait(Clock::now() + kLimit);
  ASSERT_TRUE(stubStatus.has_value());
  EXPECT_TRUE(WIFEXITED(*stubStatus));
  EXPECT_EQ(WEXITSTATUS(*stubStatus), 0);
}

TEST(HostE2E, AWrongCommandLineOrModuleEndsWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string errors;
  };
  TempDir temp;
  const std::string runtime = temp.Sub("run");
  const std::vector<Case> cases = {
      {{"--bogus", TPK_MODULE_PATH}, 2, "tpk-host: unknown option '--bogus' (see --help)\n"},
      {{"--runtime-dir", runtime, "/nonexistent/tpk-be-none.so"},
       1,
       "tpk-host: Couldn't load module '/nonexistent/tpk-be-none.so': /nonexistent/"
       "tpk-be-none.so: cannot open shared object file: No such file or directory\n"},
      {{"--runtime-dir", runtime, "--export", "no_such_export", TPK_MODULE_PATH},
       1,
       "tpk-host: Couldn't find export 'no_such_export' in module '" TPK_MODULE_PATH
       "': " TPK_MODULE_PATH ": undefined symbol: no_such_export\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    std::string error;
    std::unique_ptr<ChildProcess> host = ChildProcess::Start(TPK_HOST_PATH, c.args, error);
    ASSERT_TRUE(host) << error;
    const std::optional<int> status = host->Wait(Clock::now() + kLimit);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), c.exit);
    EXPECT_EQ(host->Errors(), c.errors);
    EXPECT_EQ(host->Output(), "");
  }
}

}  // namespace
