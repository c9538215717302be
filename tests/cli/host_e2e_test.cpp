// tpk-host end to end, with real processes on loopback: the stub service and tpk-host with the
// match-history module, started on free ports, tpk-host pointed at the stub by its resources
// file and found through its run file. Every route over HTTP with its exact status and body, the
// service gate after a configuration change, the recently-played publication on /events, the
// gate's refusals, a resource delete, and a graceful SIGTERM. Each process is ended by its pid
// within a time limit; every wait is bounded and event-driven (pipes, pidfds, inotify).
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
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

#include "child_process.h"
#include "codec/json.h"
#include "stub/stub_documents.h"

namespace {

using namespace CliE2E;
using Oxle::Client::Binding::BindingProperty;
using std::chrono::seconds;
namespace Stub = Oxle::Client::Host::Stub;

constexpr auto kLimit = seconds(30);
constexpr const char* kPlatform = "EUW1";
constexpr uint64_t kAccount = 4100;
constexpr uint64_t kSummoner = 7700;
constexpr int kRetries = 200;  // requests a test makes while waiting for an event to land

BindingProperty Json(const std::string& text) {
  Oxle::Client::Binding::ValueResult parsed = Oxle::Client::Codec::ParseJson(text);
  EXPECT_TRUE(parsed.Ok()) << text.substr(0, 200);
  return parsed.Value();
}

std::string Json(const BindingProperty& value) {
  return Oxle::Client::Codec::WriteJson(value, nullptr, nullptr);
}

// A document as the module passes it on: decoded from the stub's JSON and written again.
std::string Relayed(const BindingProperty& document) {
  return Json(Json(Json(document)));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

// Waits until `path` holds a complete run file, watching its directory with inotify; fails early
// when `child` ends. The file is renamed into place whole, so a file that exists is complete.
std::optional<BindingProperty> WaitForRunFile(const std::string& directory, const std::string& path,
                                              ChildProcess& child) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  EXPECT_GE(watch, 0);
  EXPECT_GE(::inotify_add_watch(watch, directory.c_str(), IN_MOVED_TO | IN_CREATE), 0);
  const auto deadline = Clock::now() + kLimit;
  std::optional<BindingProperty> found;
  while (Clock::now() < deadline) {
    if (std::filesystem::exists(path)) {
      found = Json(ReadAll(path));
      break;
    }
    pollfd ready[2] = {{watch, POLLIN, 0}, {child.EndDescriptor(), POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::poll(ready, 2, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) continue;
    if ((ready[1].revents & POLLIN) != 0) break;  // it ended before writing the file
    char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
  }
  ::close(watch);
  return found;
}

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
    stubUrl_ = line->substr(std::string("listening on ").size());
    EXPECT_TRUE(stubUrl_.starts_with("http://127.0.0.1:")) << stubUrl_;

    runtime_ = temp_.Sub("run");
    resources_ = temp_.Sub("resources.yaml");
    std::ofstream(resources_) << "# The session of a logged-in player, its platform and the\n"
                                 "# configuration namespace pointing the module at the stub.\n"
                                 "/qel-platform-config/v1/namespaces/KRTMHX:\n"
                                 "  Endpoint: "
                              << stubUrl_
                              << "/\n"
                                 "  Enabled: true\n"
                                 "  UseIdTokens: true\n"
                                 "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId: "
                              << kPlatform
                              << "\n"
                                 "/qel-login/v1/session:\n"
                                 "  state: SUCCEEDED\n"
                                 "  accountId: "
                              << kAccount << "\n  summonerId: " << kSummoner
                              << "\n"
                                 "  idToken: e2e-identity\n"
                                 "  vekToken: {token: e2e-vek}\n";
    host_ = ChildProcess::Start(TPK_HOST_PATH,
                                {"--resources", resources_, "--runtime-dir", runtime_,
                                 "--log-level", "warn", TPK_MODULE_PATH},
                                error);
    if (!host_) {
      ADD_FAILURE() << error;
      return;
    }
    (void)host_->WaitForLine("listening on ", Clock::now() + kLimit);
    runFile_ = runtime_ + "/tpk-host-" + std::to_string(host_->Pid()) + ".json";
    std::optional<BindingProperty> run = WaitForRunFile(runtime_, runFile_, *host_);
    if (!run) {
      ADD_FAILURE() << "tpk-host wrote no run file: " << host_->Output() << host_->Errors();
      return;
    }
    run_ = *run;
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
  std::string stubUrl_;
  std::string runtime_;
  std::string resources_;
  std::string runFile_;
  BindingProperty run_;
  uint16_t port_ = 0;
  std::string token_;
  bool ready_ = false;
};

// An /events reader on a thread of its own.
class EventReader {
 public:
  EventReader(const Deployment& deployment, const std::string& path)
      : client_(deployment.Client()) {
    done_ = std::async(std::launch::async, [this, path] {
      return client_->Get(path, [this](const char* data, size_t length) {
        std::lock_guard lock(mutex_);
        text_.append(data, length);
        changed_.notify_all();
        return !stop_;
      });
    });
  }
  [[nodiscard]] bool WaitFor(const std::string& part) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return text_.find(part) != std::string::npos; });
  }
  [[nodiscard]] std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  // Ends the stream from this side: the reader returns at once.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    client_->stop();
  }
  ~EventReader() {
    Stop();
    (void)done_.wait_for(kLimit);
  }
  std::future<httplib::Result>& Done() { return done_; }

 private:
  std::unique_ptr<httplib::Client> client_;
  std::mutex mutex_;  // guards text_, stop_
  std::condition_variable changed_;
  std::string text_;
  bool stop_ = false;
  std::future<httplib::Result> done_;
};

std::string ErrorJson(int status, const std::string& message) {
  BindingProperty error;
  error.Get("status").SetUnsigned(static_cast<uint64_t>(status));
  error.Get("message").SetString(message);
  return Json(error);
}

// The collection a route answers for the stub's recent champions of `account`.
std::string Collection(uint64_t account) {
  return Relayed(Stub::RecentChampionsDocument(kPlatform, account));
}

TEST(HostE2E, TheRunFileTellsWhereAndHowToConnect) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  const std::string url = "http://127.0.0.1:" + std::to_string(deployment.port_);
  EXPECT_EQ(deployment.run_.Get("pid").GetUnsigned(0),
            static_cast<uint64_t>(deployment.host_->Pid()));
  EXPECT_EQ(deployment.run_.Get("url").GetString(), url);
  EXPECT_EQ(deployment.token_.size(), 64u);
  struct stat info {};
  ASSERT_EQ(::stat(deployment.runFile_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(deployment.runtime_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_TRUE(deployment.host_->WaitForLine("run file ", Clock::now() + kLimit));
  EXPECT_EQ(deployment.host_->Output(), "module qel-mhx 18.0.0: 10 routes (" TPK_MODULE_PATH
                                        ")\n"
                                        "listening on " +
                                            url + "\nrun file " + deployment.runFile_ + "\n");
  EXPECT_EQ(deployment.host_->Errors().find(deployment.token_), std::string::npos);
}

TEST(HostE2E, EveryRouteAnswersOverHttpThroughTheStub) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  auto client = deployment.Client();
  struct Case {
    std::string method;
    std::string path;
    int status;
    std::string body;
  };
  const std::string empty = R"({"champions":[],"gameCount":0})";
  // Routes 2 and 4 first: a never-fetched account, then the request for it.
  const std::vector<Case> cases = {
      {"GET", "/qel-mhx/v2/recently-played-champions/4300", 200, empty},
      {"GET", "/qel-mhx/v1/matchlists/4300", 200,
       Relayed(Stub::MatchListDocument(kPlatform, 4300, 0, 20))},
      {"GET", "/qel-mhx/v1/matchlists/0", 200,
       Relayed(Stub::MatchListDocument(kPlatform, Stub::kAuthenticatedAccountId, 0, 20))},
      {"GET", "/qel-mhx/v1/recently-played-champions/4400?force", 200, Collection(4400)},
      {"GET", "/qel-mhx/v2/recently-played-champions/current-summoner", 200, Collection(kAccount)},
      {"GET", "/qel-mhx/v2/request-recently-played-champions/current-summoner", 200, ""},
      {"GET", "/qel-mhx/v1/delta", 200,
       Relayed(Stub::DeltasDocument(kPlatform, Stub::kAuthenticatedAccountId))},
      {"GET", "/qel-mhx/v1/games/5", 200, Relayed(Stub::GameDocument(kPlatform, 5))},
      {"GET", "/qel-mhx/v1/games/404", 404, ErrorJson(404, "Not found")},
      {"GET", "/qel-mhx/v1/games/500", 500,
       ErrorJson(500, "Received an error status from the server: 500 - ")},
      {"GET", "/qel-mhx/v1/games/403", 500,
       ErrorJson(500, "Received an error status from the server: 403 - ")},
      {"GET", "/qel-mhx/v1/games/abc", 400,
       ErrorJson(400, "Value abc for 'gameId' of type uint64 is in an incorrect format")},
      {"GET", "/qel-mhx/v1/recently-played-champions/4400?force=maybe", 400,
       ErrorJson(400,
                 "Value maybe for 'force' of type bool is in an incorrect format. Options "
                 "are \"true\", \"false\", \"1\", \"0\".")},
      {"GET", "/qel-mhx/v1/gametimelines/5", 200, Relayed(Stub::TimelineDocument(kPlatform, 5))},
      {"POST", "/qel-mhx/v1/mhx-endpoint-override", 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    const httplib::Result result = c.method == "GET"
                                       ? client->Get(c.path)
                                       : client->Post(c.path, R"({"url":""})", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << result->body.substr(0, 300);
    // Bodies of tens of kilobytes: on a mismatch only their beginnings are shown.
    EXPECT_TRUE(result->body == c.body)
        << result->body.substr(0, 300) << "\n  expected " << c.body.substr(0, 300);
  }
  // The stub's empty and cut-off answers cannot be decoded.
  const auto emptyBody = client->Get("/qel-mhx/v1/games/900");
  ASSERT_TRUE(emptyBody);
  EXPECT_EQ(emptyBody->status, 500);
  EXPECT_TRUE(Json(emptyBody->body)
                  .Get("message")
                  .GetString()
                  .starts_with("Could not decode body returned from the server: 200 - "))
      << emptyBody->body;
  // Route 2 for a new account: its job fetches, caches and publishes; route 4 then has it.
  EventReader events(deployment, "/events?prefix=/qel-mhx/v2/recently-played-champions/4500");
  ASSERT_TRUE(events.WaitFor(": connected"));
  const auto requested = client->Get("/qel-mhx/v2/request-recently-played-champions/4500");
  ASSERT_TRUE(requested);
  EXPECT_EQ(requested->status, 200);
  EXPECT_EQ(requested->body, "");
  const std::string published =
      "data: {\"data\":" + Collection(4500) + ",\"eventType\":\"Update\",\"name\":\"OnJsonApiEvent";
  ASSERT_TRUE(events.WaitFor(published)) << events.Text();
  EXPECT_NE(events.Text().find("\"uri\":\"/qel-mhx/v2/recently-played-champions/4500\"}\n\n"),
            std::string::npos);
  const auto cached = client->Get("/qel-mhx/v2/recently-played-champions/4500");
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->status, 200);
  EXPECT_EQ(cached->body, Collection(4500));
  events.Stop();
  // An override to a closed port: the transport's failure reaches the caller.
  const auto moved = client->Post("/qel-mhx/v1/mhx-endpoint-override",
                                  R"({"url":"http://127.0.0.1:1"})", "application/json");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->status, 200);
  const auto unreachable = client->Get("/qel-mhx/v1/games/5");
  ASSERT_TRUE(unreachable);
  EXPECT_EQ(unreachable->status, 500);
  EXPECT_TRUE(Json(unreachable->body)
                  .Get("message")
                  .GetString()
                  .starts_with("Could not connect to the server: "))
      << unreachable->body;
}

TEST(HostE2E, TheGateRefusesOnceTheConfigurationDisablesTheService) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  auto client = deployment.Client();
  const std::string config = "/resources/qel-platform-config/v1/namespaces/KRTMHX";
  const auto disabled = client->Put(
      config, "Endpoint: " + deployment.stubUrl_ + "\nEnabled: false\n", "application/yaml");
  ASSERT_TRUE(disabled);
  EXPECT_EQ(disabled->status, 200);
  EXPECT_EQ(disabled->body,
            R"({"eventType":"Update","uri":"/qel-platform-config/v1/namespaces/KRTMHX"})");
  // The module takes the change on the host's event thread: ask until it has.
  const std::string refusal = ErrorJson(500, "MHX Service is disabled");
  std::string last;
  for (int i = 0; i < kRetries && last != refusal; ++i) {
    const auto game = client->Get("/qel-mhx/v1/games/5");
    ASSERT_TRUE(game);
    last = game->body;
  }
  EXPECT_EQ(last, refusal);
  const auto timeline = client->Get("/qel-mhx/v1/gametimelines/5");
  ASSERT_TRUE(timeline);
  EXPECT_EQ(timeline->status, 500);
  EXPECT_EQ(timeline->body, refusal);
  // An endpoint of nothing and enabled: the second refusal.
  const auto unconfigured = client->Put(config, R"({"Enabled":true})", "application/json");
  ASSERT_TRUE(unconfigured);
  const std::string second = ErrorJson(500, "MHX Service endpoint is not configured");
  for (int i = 0; i < kRetries && last != second; ++i)
    last = client->Get("/qel-mhx/v1/delta")->body;
  EXPECT_EQ(last, second);
}

TEST(HostE2E, ADeletedSessionEndsTheCurrentSummoner) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  auto client = deployment.Client();
  const auto current = client->Get("/qel-mhx/v2/recently-played-champions/current-summoner");
  ASSERT_TRUE(current);
  EXPECT_EQ(current->status, 200);
  const auto stored = client->Get("/resources/qel-login/v1/session");
  ASSERT_TRUE(stored);
  EXPECT_EQ(Json(stored->body).Get("accountId").GetUnsigned(0), kAccount);
  const auto deleted = client->Delete("/resources/qel-login/v1/session");
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 204);
  const auto gone = client->Get("/resources/qel-login/v1/session");
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->status, 404);
  const std::string refusal = ErrorJson(500, "No summoner session");
  std::string last;
  for (int i = 0; i < kRetries && last != refusal; ++i)
    last = client->Get("/qel-mhx/v2/recently-played-champions/current-summoner")->body;
  EXPECT_EQ(last, refusal);
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
  // The host's own endpoints answer the token.
  const auto modules = deployment.Client()->Get("/host/modules");
  ASSERT_TRUE(modules);
  EXPECT_EQ(modules->status, 200);
  const BindingProperty list = Json(modules->body);
  EXPECT_EQ(list.Get("modules").At(0).Get("name").GetString(), "qel-mhx");
  EXPECT_EQ(list.Get("modules").At(0).Get("routeCount").GetUnsigned(0), 10u);
  const auto document = deployment.Client()->Get("/openapi.json");
  ASSERT_TRUE(document);
  EXPECT_EQ(document->status, 200);
  EXPECT_EQ(Json(document->body).Get("paths").Size(), 10u);
}

TEST(HostE2E, SigtermStopsTheHostGracefullyAndRemovesTheRunFile) {
  Deployment deployment;
  ASSERT_TRUE(deployment.Ready());
  EventReader events(deployment, "/events");
  ASSERT_TRUE(events.WaitFor(": connected"));
  ASSERT_TRUE(deployment.host_->Signal(SIGTERM));
  const std::optional<int> status = deployment.host_->Wait(Clock::now() + kLimit);
  ASSERT_TRUE(status.has_value()) << "tpk-host did not stop";
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_FALSE(std::filesystem::exists(deployment.runFile_));
  EXPECT_TRUE(deployment.host_->Output().ends_with("stopping on SIGTERM\nstopped\n"))
      << deployment.host_->Output();
  EXPECT_EQ(deployment.host_->Errors(), "");
  ASSERT_EQ(events.Done().wait_for(kLimit), std::future_status::ready);  // the stream ended
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
      {{"--runtime-dir", runtime, "--resources", temp.Sub("none.yaml"), TPK_MODULE_PATH},
       1,
       "tpk-host: The resources file '" + temp.Sub("none.yaml") +
           "' can't be read: No such file or directory\n"},
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
  std::string error;
  std::unique_ptr<ChildProcess> help = ChildProcess::Start(TPK_HOST_PATH, {"--help"}, error);
  ASSERT_TRUE(help) << error;
  const std::optional<int> status = help->Wait(Clock::now() + kLimit);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(help->Output().starts_with("usage: tpk-host [OPTION]... MODULE.so...\n"));
}

}  // namespace
