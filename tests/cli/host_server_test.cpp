// The HTTP server in-process, on 127.0.0.1 and a free port, in front of a threaded host with the
// tests' own plugin: what a client sees of the gate (token, Host header, body cap, CORS), of the
// module answers, the resource endpoints, /host/modules, /openapi.json, the event stream and its
// limits, and of a stop that lets a request in progress finish. Every wait is bounded.
#include "cli/host_server.h"
#include "cli/console_assets.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/route_registration.h"
#include "codec/json.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_export.h"
#include "support/cli_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using namespace CliSupport;
using std::chrono::seconds;

// The tests' plugin ("qel-clitest"), whose routes give the answers the server must translate:
//   GET  zero          {"ok": true} with status 0 (not set)
//   GET  teapot        error "short and stout", status 418, header x-teapot
//   POST echo?x=&y=    status 201: {"method", "target", "headers", "data", "x", "y"} of the
//                      request, with response headers the server must filter: x-echo (kept),
//                      Content-Length and Access-Control-Allow-Origin (dropped)
//   GET  stream        a body stream of kStream's bytes, type text/plain
//   GET  wait          counts itself in `entered`, then blocks until `release` is set
//   POST publish/{n}   PublishResource("/qel-clitest/v1/state", {"n": n})
const std::string kStream = [] {
  std::string text(200000, ' ');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char>('a' + i % 26);
  return text;
}();
struct WaitHooks {
  std::atomic<int> entered{0};
  std::shared_future<void> release;
  // From now on `wait` blocks until the promise given back is set; no call has entered yet.
  [[nodiscard]] std::promise<void> Hold() {
    std::promise<void> held;
    entered = 0;
    release = held.get_future().share();
    return held;
  }
  // Waits (bounded) until `count` calls have entered.
  [[nodiscard]] bool Entered(int count) const {
    for (int i = 0; i < 2000 && entered.load() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return entered.load() >= count;
  }
} hooks;

namespace ClientApi = Oxle::Client::Api;
using ClientApi::ApiResponse;
using ClientApi::HttpMethod;
using Oxle::Client::Binding::BindingProperty;
constexpr auto kPath = ClientApi::ArgumentLocation::Path,
               kQuery = ClientApi::ArgumentLocation::Query;

class BodyBytes final : public ClientApi::BodyStream {
 public:
  bool Read(void* buffer, uint32_t& length, bool& moreData) override {
    length = std::min(length, static_cast<uint32_t>(kStream.size()) - sent_);
    std::memcpy(buffer, kStream.data() + sent_, length);
    moreData = (sent_ += length) < kStream.size();
    return true;
  }
  [[nodiscard]] uint32_t Size() const override { return static_cast<uint32_t>(kStream.size()); }
  uint32_t sent_ = 0;
};

ApiResponse Value(const std::string& json) {
  return ApiResponse::FromValue(Oxle::Client::Codec::ParseJson(json).Value());
}

ApiResponse With(ApiResponse response, uint32_t status,
                 std::initializer_list<std::pair<const char*, const char*>> headers) {
  if (status != 0) response.status = status;
  for (const auto& [name, value] : headers)
    response.headers[name] = value;
  return response;
}

class CliTestPlugin final : public Oxle::Client::Plugin::PluginBase {
 public:
  void RegisterApi() override {
    ClientApi::ApiRegistry& api = Api();
    const std::string p = "/qel-clitest/v1/";
    using ClientApi::RegisterRoute;
    RegisterRoute(api, HttpMethod::Get, p + "zero", [] { return Value(R"({"ok":true})"); });
    RegisterRoute(api, HttpMethod::Get, p + "teapot", [] {
      return With(ApiResponse::Error("short and stout", 418), 0, {{"x-teapot", "yes"}});
    });
    RegisterRoute(api, HttpMethod::Post, p + "echo",
                  [](const ClientApi::RequestInfo& request, BindingProperty data, std::string x,
                     std::string y) {
                    BindingProperty value;
                    value.Get("method").SetString(ClientApi::MethodText(request.method));
                    value.Get("target").SetString(request.target);
                    BindingProperty& headers = value.Get("headers").MakeStructure();
                    for (const auto& [name, text] : request.headers)
                      headers.Get(name).SetString(text);
                    value.Get("data") = data;
                    value.Get("x").SetString(x);
                    value.Get("y").SetString(y);
                    return With(ApiResponse::FromValue(std::move(value)), 201,
                                {{"x-echo", "passed on"},
                                 {"Content-Length", "999"},
                                 {"Access-Control-Allow-Origin", "*"}});
                  },
                  {{"data", ClientApi::ArgumentLocation::Body}, {"x", kQuery}, {"y", kQuery}});
    RegisterRoute(api, HttpMethod::Get, p + "stream", [] {
      ApiResponse response = With(ApiResponse(), 200, {{"Content-Type", "text/plain"}});
      response.body = std::make_unique<BodyBytes>();
      return response;
    });
    RegisterRoute(api, HttpMethod::Get, p + "wait", [] {
      ++hooks.entered;
      const bool released = hooks.release.wait_for(seconds(30)) == std::future_status::ready;
      return Value(released ? R"({"released":true})" : R"({"released":false})");
    });
    RegisterRoute(api, HttpMethod::Post, p + "publish/{n}",
                  [this, p](int64_t n) {
                    BindingProperty state;
                    state.Get("n").SetSigned(n);
                    (void)PublishResource(p + "state", state);  // the stream shows it went out
                    return ApiResponse::FromValue(BindingProperty());
                  },
                  {{"n", kPath}});
  }
};

void* LoadTestPlugin(PluginDescriptor* descriptor) {
  return Oxle::Client::Plugin::ExportPlugin<CliTestPlugin>(descriptor, "qel-clitest");
}

constexpr auto kLimit = seconds(20);
const std::string kToken = "feedc0de00112233445566778899aabbccddeeff00112233445566778899aabb";
const std::string kBearer = "Bearer " + kToken;

// A host with the test plugin, served; a body cap of 1024 bytes keeps the cap tests small.
struct Served {
  explicit Served(ServerOptions options = {}) {
    host = std::make_unique<Host>(HostOptions{});  // threaded
    Result<ModuleId> loaded = host->LoadModule(&LoadTestPlugin, "cli test plugin");
    EXPECT_TRUE(loaded.Ok() && host->StartModule(id = loaded.Value()).Ok());
    options.token = kToken;
    options.http.maxBodyBytes = 1024;
    options.accessLog = [this](const std::string& line) {
      std::lock_guard lock(accessMutex);
      access.push_back(line);
    };
    server = std::make_unique<HostServer>(*host, std::vector<ModuleId>{id}, options);
    const Status started = server->Start();
    EXPECT_TRUE(started.Ok()) << started.ErrorMessage();
    port = server->Port();
  }

  // One request on a connection of its own; with the token unless `headers` bring their own.
  [[nodiscard]] httplib::Result Send(const std::string& method, const std::string& path,
                                     const httplib::Headers& headers = {},
                                     const std::string& body = "",
                                     const std::string& type = "application/json") const {
    const httplib::Headers token = {{"Authorization", kBearer}};
    return CliSupport::Send(port, method, path, headers.empty() ? token : headers, body, type);
  }
  // The head of a raw request with the token and this server's name.
  [[nodiscard]] std::string Head(const std::string& method, const std::string& path) const {
    return method + " " + path + " HTTP/1.1\r\nHost: " + Origin() +
           "\r\nAuthorization: " + kBearer + "\r\nConnection: close\r\n";
  }
  [[nodiscard]] std::string Origin() const { return "127.0.0.1:" + std::to_string(port); }
  [[nodiscard]] std::vector<std::string> Access() {
    std::lock_guard lock(accessMutex);
    return access;
  }

  std::mutex accessMutex;  // guards access
  std::vector<std::string> access;
  std::unique_ptr<Host> host;
  ModuleId id = 0;
  std::unique_ptr<HostServer> server;  // stops when it goes, before the host and the log
  int port = 0;
};

// ---- the gate ----

// The token, then this server's name, with CORS headers for the allowed origin only, whose
// preflight needs no token.
TEST(HostServerGate, EveryEndpointWantsTheBearerTokenAndThisServersName) {
  const std::string origin = "http://localhost:5173", evil = "http://evil.example";
  ServerOptions options;
  options.allowOrigin = origin;
  Served served(options);
  const std::string k401 = Error(401,
                                 "This server needs the header 'Authorization: Bearer <token>' "
                                 "with the token of its run file");
  const std::string port = std::to_string(served.port);
  const std::string k421 = Error(
      421, "The Host header must name this server: 127.0.0.1:" + port + " or localhost:" + port);
  const std::string zero = "/qel-clitest/v1/zero", echo = "/qel-clitest/v1/echo";
  const std::string preflight = "Access-Control-Request-Method";
  std::vector<std::tuple<std::string, std::string, httplib::Headers, int, std::string>> cases = {
      {"GET", zero, {{"Authorization", "Bearer"}}, 401, ""},
      {"GET", zero, {{"Authorization", "Bearer " + kToken.substr(1)}}, 401, ""},
      {"GET", zero, {{"Authorization", kBearer + "0"}}, 401, ""},
      {"GET", zero, {{"Authorization", "Basic " + kToken}}, 401, ""},
      {"GET", zero, {{"Authorization", "Bearer  " + kToken}}, 401, ""},
      {"GET", zero, {{"Authorization", kBearer}, {"Authorization", kBearer}}, 401, ""},
      {"GET", zero, {{"Authorization", "bearer " + kToken}}, 200, ""},  // a case-blind scheme
      // A wrong Host is refused before the token is looked at.
      {"GET", "/host/modules", {{"Host", "rebound.example:" + port}}, 421, ""},
      {"GET", zero, {{"Authorization", kBearer}, {"Origin", origin}}, 200, origin},
      {"GET", zero, {{"Authorization", kBearer}, {"Origin", evil}}, 200, ""},
      // The module's own CORS header never goes out.
      {"POST", echo + "?x=1&y=2", {{"Authorization", kBearer}, {"Origin", origin}}, 201, origin},
      {"OPTIONS", echo, {{"Origin", origin}, {preflight, "POST"}}, 204, origin},
      {"OPTIONS", echo, {{"Origin", evil}, {preflight, "POST"}}, 401, ""},
      {"DELETE", "/resources/a", {{"X", "no token"}}, 401, ""},
      {"OPTIONS", "/host/modules", {{"X", "no token"}}, 401, ""},
  };
  for (const char* path : {"/openapi.json", "/events", "/host/modules", "/resources/a"})
    cases.emplace_back("GET", path, httplib::Headers{{"X", "no token"}}, 401, "");
  const std::pair<std::string, int> hosts[] = {
      {"127.0.0.1:" + port, 200},    {"localhost:" + port, 200}, {"LocalHost:" + port, 200},
      {"evil.example:" + port, 421}, {"evil.example", 421},      {"127.0.0.1", 421},
      {"localhost:1" + port, 421},   {"127.0.0.2:" + port, 421}, {"", 421}};
  for (const auto& [host, status] : hosts)
    cases.emplace_back("GET", zero, httplib::Headers{{"Authorization", kBearer}, {"Host", host}},
                       status, "");
  for (const auto& [method, path, headers, status, cors] : cases) {
    SCOPED_TRACE(method + " " + path + " " + testing::PrintToString(headers));
    const auto result = served.Send(method, path, headers, method == "POST" ? "{}" : "");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value_count("Access-Control-Allow-Origin"),
              cors.empty() ? 0u : 1u);
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), cors);
    EXPECT_EQ(result->get_header_value("Vary"), cors.empty() ? "" : "Origin");
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Methods"),
              status == 204 ? "GET, POST, PUT, PATCH, DELETE, OPTIONS" : "");
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Headers"),
              status == 204 ? "Authorization, Content-Type" : "");
    if (status < 400) continue;
    EXPECT_EQ(result->body, status == 401 ? k401 : k421);
    EXPECT_EQ(result->get_header_value("WWW-Authenticate"), status == 401 ? "Bearer" : "");
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  }
  const std::string missing = RawClient(served.port,
                                        "GET /host/modules HTTP/1.1\r\nConnection: "
                                        "close\r\nAuthorization: " +
                                            kBearer + "\r\n\r\n")
                                  .Rest();
  EXPECT_TRUE(missing.starts_with("HTTP/1.1 421 ") && missing.ends_with(k421)) << missing;
  for (const std::string& line : served.Access())
    EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

TEST(HostServerGate, BodiesAboveTheCapGet413HoweverTheyCome) {
  Served served;
  const std::string k413 = Error(413, "The request body is larger than 1024 bytes");
  const std::string fits = "\"" + std::string(1022, 'x') + "\"";
  EXPECT_EQ(served.Send("PUT", "/resources/big", {}, fits)->status, 201);
  // One byte more: read away, then refused, and nothing is stored.
  const auto refused = served.Send("PUT", "/resources/big", {}, fits + " ");
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(refused->body, k413);
  EXPECT_EQ(served.Send("POST", "/qel-clitest/v1/echo", {}, std::string(2000, ' '))->status, 413);
  std::string chunks;
  for (int i = 0; i < 3; ++i)
    chunks += "200\r\n" + std::string(512, 'y') + "\r\n";
  // Declared far too large: refused from the headers alone, the connection closed; a client
  // that waits for "100 Continue" gets the refusal instead; chunks are counted as they are read.
  const std::string put = served.Head("PUT", "/resources/big");
  for (const std::string& request :
       {put + "Content-Length: 999999999999\r\n\r\n",
        put + "Expect: 100-continue\r\nContent-Length: 1025\r\n\r\n",
        put + "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n"}) {
    const std::string answer = RawClient(served.port, request).Rest();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413 ")) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
    EXPECT_TRUE(answer.ends_with(k413)) << answer;
  }
  EXPECT_EQ(Json(served.host->GetResource("/big").value()), fits);
}

// What the server makes of raw bytes, at each limit and one past it: the statuses of the answers
// on one connection, in order, and the connection closed after them.
TEST(HostServerGate, HeadsAndBodiesAreReadStrictlyWithinTheirLimitsAndDeadlines) {
  ServerOptions options;
  options.http.headTimeout = options.http.bodyTimeout = options.http.keepAlive =
      std::chrono::milliseconds(500);
  Served served(options);
  const std::string get = "GET /qel-clitest/v1/zero HTTP/1.1\r\nHost: " + served.Origin() +
                          "\r\nAuthorization: " + kBearer + "\r\n";
  const std::string put = served.Head("PUT", "/resources/s") + "Content-Type: application/json\r\n";
  // A head of exactly `size` bytes, padded by one header.
  const auto sized = [&](size_t size) {
    const std::string start = get + "Connection: close\r\nX-Pad: ";
    return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
  };
  const std::pair<std::string, std::string> cases[] = {
      {get + "\r\n" + served.Head("GET", "/qel-clitest/v1/teapot") + "\r\n", "200 418"},
      {sized(64 * 1024), "200"},
      {sized(64 * 1024 + 1), "431"},
      {get + std::string("X: a\0b\r\n\r\n", 10), "400"},
      {served.Head("GET", "/host/modules") + "X: a\rb\r\n\r\n", "400"},
      {"GET /qel-clitest/v1/zero HTTP/1.1\r\nHost: " + served.Origin() + std::string(1, '\0') +
           ".evil\r\n\r\n",
       "400"},
      {served.Head("GET", "/a\x1b") + "\r\n", "400"},
      {served.Head("GET", "/qel-clitest/\xff") + "\r\n", "404"},
      {put + "Content-Length: abc\r\n\r\n{}", "400"},
      {put + "Content-Length: -1\r\n\r\n{}", "400"},
      {put + "Content-Length: +2\r\n\r\n{}", "400"},
      {put + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", "400"},
      {put + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", "400"},
      {put + "Content-Length: 4\r\n\r\n{}", "408"},  // the body is late
      {get + "X-Unfinished: 1\r\n", "408"},          // so is the head
  };
  for (const auto& [request, statuses] : cases) {
    SCOPED_TRACE(request.substr(0, 120));
    RawClient client(served.port, request);
    if (statuses != "408") (void)::shutdown(client.fd, SHUT_WR);  // still answered
    std::string seen;
    const std::string answers = client.Rest();
    for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos;
         at = answers.find("HTTP/1.1 ", at + 1))
      seen += (seen.empty() ? "" : " ") + answers.substr(at + 9, 3);
    EXPECT_EQ(seen, statuses) << answers.substr(0, 300);
    EXPECT_TRUE(client.closed);
  }
  // A slow head that ends in time is served; a kept-alive connection left idle is closed.
  RawClient slow(served.port, get.substr(0, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  (void)::send(slow.fd, get.data() + 20, get.size() - 20, MSG_NOSIGNAL);
  (void)::send(slow.fd, "\r\n", 2, MSG_NOSIGNAL);
  EXPECT_TRUE(slow.ReadUntil(R"({"ok":true})"));
  EXPECT_TRUE((slow.Rest(), slow.closed));
  const auto lines = served.Access();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /qel-clitest/\\xff 404"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "- - 400"), 8);
}

// Past its connection cap the server closes a new connection at once and serves the others; a
// module's calls past its bound get 503 at once, while the server's own endpoints still answer.
TEST(HostServerGate, ConnectionsAndCallsBeyondTheirBoundsAreRefusedWithoutStallingTheRest) {
  ServerOptions options;
  options.http.maxConnections = 2;
  options.callsInFlight = 1;
  options.queuedCalls = 0;
  Served served(options);
  std::promise<void> release = hooks.Hold();
  const std::string kept =
      " HTTP/1.1\r\nHost: " + served.Origin() + "\r\nAuthorization: " + kBearer + "\r\n\r\n";
  RawClient first(served.port, "GET /host/modules" + kept);
  ASSERT_TRUE(first.ReadUntil(R"("modules")"));
  auto waiting = std::async(std::launch::async,
                            [&] { return served.Send("GET", "/qel-clitest/v1/wait")->body; });
  ASSERT_TRUE(hooks.Entered(1));
  RawClient third(served.port, "GET /host/modules" + kept);
  EXPECT_EQ(third.Rest(), "");
  const std::string more = "GET /qel-clitest/v1/zero" + kept + "GET /openapi.json" + kept;
  (void)::send(first.fd, more.data(), more.size(), MSG_NOSIGNAL);
  ASSERT_TRUE(first.ReadUntil(R"("openapi":)"));
  EXPECT_NE(first.text.find("HTTP/1.1 503 Service Unavailable\r\nContent-Type: "
                            "application/json\r\nRetry-After: 1\r\n"),
            std::string::npos);
  EXPECT_NE(first.text.find(Error(503,
                                  "Too many calls are waiting for this module; try again "
                                  "later")),
            std::string::npos);
  release.set_value();
  EXPECT_EQ(waiting.get(), R"({"released":true})");
}

// A call that found the module's one slot taken waits, and runs once the running call ends.
TEST(HostServerGate, AWaitingCallRunsWhenTheRunningOneEnds) {
  ServerOptions options;
  options.callsInFlight = 1;
  options.queuedCalls = 1;
  Served served(options);
  std::promise<void> release = hooks.Hold();
  const auto call = [&](const char* path) {
    const httplib::Result result = served.Send("GET", path);
    return result ? std::to_string(result->status) + " " + result->body : "no answer";
  };
  auto running = std::async(std::launch::async, call, "/qel-clitest/v1/wait");
  ASSERT_TRUE(hooks.Entered(1));
  auto waiting = std::async(std::launch::async, call, "/qel-clitest/v1/zero");
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(running.get(), R"(200 {"released":true})");
  ASSERT_EQ(waiting.wait_for(kLimit), std::future_status::ready);
  EXPECT_EQ(waiting.get(), R"(200 {"ok":true})");
}

// ---- module answers ----

TEST(HostServerAnswers, StatusZeroIs200CallerErrorsAre4xxAndErrorsAreJson) {
  Served served;
  const std::string p = "/qel-clitest/v1/";
  // "METHOD path" (under p unless absolute), the status, the error's message (a 200's body) and
  // the body sent (as JSON but to the 415).
  const std::tuple<std::string, int, std::string, std::string> cases[] = {
      {"GET zero", 200, R"({"ok":true})", ""},
      {"GET teapot", 418, "short and stout", ""},
      {"GET missing", 404, "No API function or resource answers GET " + p + "missing", ""},
      {"POST publish/x", 400, "Value x for 'n' of type int64 is in an incorrect format", ""},
      {"POST echo", 415, "Unsupported body content type", "{}"},
      {"GET echo", 405, "GET is not served at " + p + "echo (allowed: POST)", ""},
      {"POST /host/modules", 405, "POST is not served at /host/modules", ""},
      // The server's own refusals get the same JSON.
      {"GET /" + std::string(9000, 'a'), 414, "The request target is too long", ""},
  };
  for (const auto& [request, status, message, sent] : cases) {
    SCOPED_TRACE(request);
    const std::string method = request.substr(0, request.find(' '));
    std::string path = request.substr(method.size() + 1);
    if (path[0] != '/') path = p + path;
    const auto result =
        served.Send(method, path, {}, sent, status == 415 ? "text/plain" : "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->body, status == 200 ? message : Error(status, message));
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(result->get_header_value("Allow"), status != 405     ? ""
                                                 : method == "GET" ? "POST"
                                                                   : "GET");
    EXPECT_EQ(result->get_header_value("x-teapot"), status == 418 ? "yes" : "");
  }
}

TEST(HostServerAnswers, TheModuleGetsTheWholeRequestButTheTokenAndKeepsItsSafeHeaders) {
  Served served;
  const auto result = served.Send(
      "POST", "/qel-clitest/v1/echo?x=1&y=%20z",
      {{"Authorization", kBearer}, {"X-Custom", "custom value"}, {"Origin", "http://a.example"}},
      R"({"a":[1,2]})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 201);
  auto echo = Json(result->body);
  const auto& headers = echo.Get("headers");
  EXPECT_EQ(headers.Get("X-Custom").GetString(), "custom value");
  EXPECT_EQ(headers.Get("Content-Type").GetString(), "application/json");
  EXPECT_EQ(headers.Get("Host").GetString(), served.Origin());
  for (const char* hidden : {"Authorization", "authorization", "REMOTE_ADDR", "LOCAL_ADDR"})
    EXPECT_FALSE(headers.Has(hidden)) << hidden;
  EXPECT_EQ(result->body.find(kToken), std::string::npos);
  echo.Get("headers") = {};
  EXPECT_EQ(Json(echo), R"({"data":{"a":[1,2]},"headers":null,"method":"POST",)"
                        R"("target":"/qel-clitest/v1/echo?x=1&y=%20z","x":"1","y":" z"})");
  EXPECT_EQ(result->get_header_value("x-echo"), "passed on");
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));

  // A body stream goes out chunked with the module's type.
  const auto stream = served.Send("GET", "/qel-clitest/v1/stream");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->status, 200);
  EXPECT_EQ(stream->get_header_value("Content-Type"), "text/plain");
  EXPECT_EQ(stream->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_TRUE(stream->body == kStream);
}

// ---- the server's endpoints ----

TEST(HostServerEndpoints, ResourcesAreReadSetAndDeletedInEachFormatPublishingAsAPluginWould) {
  Served served;
  const std::string uri = "/resources/qel-login/v1/session", ok = R"({"state":"OK"})";
  const std::string missing = Error(404, "No resource is stored at /qel-login/v1/session");
  const std::string created = R"({"eventType":"Create","uri":"/qel-login/v1/session"})";
  const std::string updated = R"({"eventType":"Update","uri":"/qel-login/v1/session"})";
  const std::string k415 = Error(415,
                                 "A resource is JSON (application/json), YAML (application/yaml) "
                                 "or MessagePack (application/msgpack), not 'text/plain'");
  // method, content type, body, status, answer, the resource afterwards as JSON ("" for none)
  const std::tuple<std::string, std::string, std::string, int, std::string, std::string> cases[] = {
      {"GET", "", "", 404, missing, ""},
      {"PUT", "application/json", R"({"state":"SUCCEEDED","accountId":7})", 201, created,
       R"({"accountId":7,"state":"SUCCEEDED"})"},
      {"PUT", "application/x-yaml; charset=utf-8", "state: ERROR\naccountId: 8\n", 200, updated,
       R"({"accountId":8,"state":"ERROR"})"},
      {"PUT", "application/msgpack", std::string("\x81\xA5state\xA2OK", 10), 200, updated, ok},
      {"PUT", "application/x-msgpack", std::string("\x81\xA5state\xA2OK\xC0", 11), 400,
       Error(400, "Extra MessgePack data found in body"), ok},
      {"PUT", "text/plain", "state", 415, k415, ok},
      {"DELETE", "", "", 204, "", ""},
      {"DELETE", "", "", 404, missing, ""},
  };
  for (const auto& [method, type, body, status, answer, stored] : cases) {
    SCOPED_TRACE(method + " " + type);
    const auto result = served.Send(method, uri, {}, body, type);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, status);
    EXPECT_EQ(result->body, answer);
    const auto kept = served.host->GetResource("/qel-login/v1/session");
    EXPECT_EQ(kept ? Json(*kept) : "", stored);
    EXPECT_EQ(stored.empty() ? "" : served.Send("GET", uri)->body, stored);
  }
  const auto post = served.Send("POST", "/resources/a", {}, "{}");
  EXPECT_EQ(post->status, 405);
  EXPECT_EQ(post->get_header_value("Allow"), "GET, PUT, DELETE");
  // The listing: the stored URIs, sorted, with or without the slash.
  ASSERT_EQ(served.Send("PUT", uri, {}, ok)->status, 201);
  ASSERT_EQ(served.Send("PUT", "/resources/a/b", {}, "1")->status, 201);
  for (const char* listing : {"/resources", "/resources/"})
    EXPECT_EQ(served.Send("GET", listing)->body, R"({"uris":["/a/b","/qel-login/v1/session"]})");
  EXPECT_EQ(served.Send("DELETE", "/resources")->get_header_value("Allow"), "GET");
}

// The page and its assets: no token, but this server's name; each file as embedded, with its
// type by extension, revalidated by its tag; nothing else of the server opens without the token.
TEST(HostServerConsole, ThePageAndItsAssetsNeedNoTokenAndAreRevalidatedByTheirTag) {
  Served served;
  const httplib::Headers none = {{"X", "no token"}};
  ASSERT_FALSE(ConsoleAssetTable().empty());
  for (const ConsoleAsset& asset : ConsoleAssetTable()) {
    const std::string path(asset.path);
    SCOPED_TRACE(path);
    const auto got = served.Send("GET", path, none);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 200);
    EXPECT_EQ(got->body, asset.bytes);
    const std::string type = got->get_header_value("Content-Type");
    const std::pair<const char*, const char*> byExtension[] = {
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".html", "text/html; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"}};
    for (const auto& [extension, expected] : byExtension)
      EXPECT_TRUE(!path.ends_with(extension) || type == expected) << type;
    EXPECT_TRUE(path != "/" || type == "text/html; charset=utf-8") << type;
    EXPECT_EQ(got->get_header_value("Cache-Control"), "no-cache");
    EXPECT_EQ(got->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_TRUE(got->get_header_value("Content-Security-Policy").starts_with("default-src 'none'"));
    const std::string tag = got->get_header_value("ETag");
    EXPECT_EQ(tag, asset.etag);
    // If-None-Match: the tag, in a list, weak or "*" gives 304 without a body; another, 200.
    const std::pair<std::string, int> revalidations[] = {
        {tag, 304}, {"\"x\", " + tag, 304}, {"W/" + tag, 304}, {"*", 304}, {"\"x\"", 200}};
    for (const auto& [wanted, status] : revalidations) {
      const auto again = served.Send("GET", path, {{"If-None-Match", wanted}});
      EXPECT_EQ(std::tuple(again->status, again->body.empty()), std::tuple(status, status == 304))
          << wanted;
    }
  }
  const std::string port = std::to_string(served.port);
  const std::tuple<std::string, std::string, httplib::Headers, int> cases[] = {
      {"HEAD", "/", none, 200},
      {"POST", "/", none, 405},
      {"GET", "/", {{"Host", "rebound.example:" + port}}, 421},
      {"GET", "/console/no-such-file.js", none, 401},
      {"GET", "/console/no-such-file.js", {{"Authorization", kBearer}}, 404},
      {"GET", "/index.html", none, 401},
  };
  for (const auto& [method, path, headers, status] : cases) {
    const auto result = served.Send(method, path, headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, status) << method << " " << path;
    EXPECT_EQ(result->get_header_value("Allow"), status == 405 ? "GET, HEAD" : "");
  }
}

TEST(HostServerEndpoints, ModulesAndTheOpenApiDocumentOfThisServerAndItsPortIsNotShared) {
  Served served;
  const auto list = Json(served.Send("GET", "/host/modules")->body);
  auto module = list.Get("modules").At(0);
  // By path then method, each with its function; memory with the allocations and frees.
  EXPECT_TRUE(list.Get("modules").Size() == 1u && module.Get("routes").Size() == 6u &&
              module.Get("memory").Size() == 6u && module.Get("memory").Has("peakBytes"));
  EXPECT_EQ(
      Json(module.Get("routes").At(1)),
      R"({"function":"PostQelClitestV1PublishByN","method":"POST","path":"/qel-clitest/v1/publish/{n}"})");
  module.Get("memory") = module.Get("routes") = {};
  EXPECT_EQ(Json(module),
            R"({"id":1,"memory":null,"name":"qel-clitest","origin":"cli test plugin",)"
            R"("routeCount":6,"routes":null,"state":"Started","version":"18.0.0"})");
  const auto openapi = served.Send("GET", "/openapi.json");
  ASSERT_TRUE(openapi);
  EXPECT_EQ(openapi->get_header_value("Content-Type"), "application/json");
  const auto document = Json(openapi->body);
  EXPECT_EQ(document.Get("servers").At(0).Get("url").GetString(), served.server->Url());
  EXPECT_TRUE(document.Get("paths").Has("/qel-clitest/v1/publish/{n}"));

  ServerOptions options;
  options.http.port = static_cast<uint16_t>(served.port);
  HostServer second(*served.host, {served.id}, options);
  EXPECT_EQ(second.Start().ErrorMessage(),
            "Can't listen on " + served.Origin() + ": Address already in use");
}

// ---- the event stream ----

// An event stream on a raw connection (a small receive buffer if asked), read on demand.
RawClient Stream(const Served& served, const std::string& path, int receiveBuffer = 0) {
  return RawClient(served.port, served.Head("GET", path) + "\r\n", receiveBuffer);
}

// A stream sees what its prefix selects; a second one is refused; a client that stops reading
// (through a small receive buffer) is dropped without blocking the publisher or other clients.
TEST(HostServerEvents, StreamsWhatThePrefixSelectsAreLimitedAndDropASlowClient) {
  ServerOptions options;
  options.events.queueBytes = 256 * 1024;
  options.events.maxClients = 1;
  options.http.writeTimeout = seconds(2);
  Served served(options);
  RawClient mine = Stream(served, "/events?prefix=/qel-clitest/", 4096);
  ASSERT_TRUE(mine.ReadUntil(": connected\n\n"));
  const auto second = served.Send("GET", "/events");
  EXPECT_EQ(second->status, 503);
  EXPECT_EQ(second->body, Error(503, "No more event streams: 1 are open"));
  for (const char* uri : {"/resources/qel-login/v1/x", "/resources/qel-clitest/v1/x"})
    (void)served.Send("PUT", uri, {}, R"({"state":"SUCCEEDED"})");
  EXPECT_EQ(served.Send("POST", "/qel-clitest/v1/publish/5")->status, 200);
  ASSERT_TRUE(mine.ReadUntil("data: ", 3));
  // A plugin publishes a resource under its URI's event name, then under the generic one.
  const size_t put = mine.text.find(
      R"(data: {"data":{"state":"SUCCEEDED"},"eventType":"Create","name":"OnJsonApiEvent_qel-clitest_v1_x","uri":"/qel-clitest/v1/x"})"
      "\n\n");
  const size_t named = mine.text.find(
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent_qel-clitest_v1_state","uri":"/qel-clitest/v1/state"})"
      "\n\n");
  const size_t generic = mine.text.find(
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent","uri":"/qel-clitest/v1/state"})"
      "\n\n");
  EXPECT_TRUE(put < named && named < generic && generic != std::string::npos) << mine.text;
  EXPECT_EQ(mine.text.find("qel-login"), std::string::npos) << mine.text;
  // Each publication returns at once; the client is dropped when its queue overflows.
  const auto big = Json("\"" + std::string(64 * 1024, 'z') + "\"");
  for (int published = 0; served.server->Events().DroppedCount() == 0 && published < 10000;
       ++published)
    (void)served.host->SetResource("/qel-clitest/v1/big", big);
  EXPECT_EQ(served.server->Events().DroppedCount(), 1u);
  EXPECT_EQ(served.Send("GET", "/host/modules")->status, 200);
  // Its sender ends once its blocked write gives up; the stream is not resumed.
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, kLimit));
  // A client that goes away frees its slot at once, long before a heartbeat.
  auto gone = std::make_unique<RawClient>(served.port, served.Head("GET", "/events") + "\r\n");
  ASSERT_TRUE(gone->ReadUntil(": connected"));
  gone.reset();
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, seconds(3)));
}

// ---- stopping ----

TEST(HostServerStop, FinishesARequestInProgressThenRefusesConnectionsAndLogsNoQuery) {
  Served served;
  std::promise<void> release = hooks.Hold();
  (void)served.Send("GET", "/qel-clitest/v1/zero?secret=" + kToken);
  (void)served.Send("GET", "/host/modules", {{"X", "no token"}});
  RawClient events = Stream(served, "/events");
  ASSERT_TRUE(events.ReadUntil(": connected"));
  auto waiting =
      std::async(std::launch::async, [&] { return served.Send("GET", "/qel-clitest/v1/wait"); });
  ASSERT_TRUE(hooks.Entered(1));
  std::atomic<bool> stopped{false};
  auto stopping = std::async(std::launch::async, [&] {
    served.server->Stop();
    stopped = true;
  });
  EXPECT_FALSE(stopped.load());
  release.set_value();
  ASSERT_EQ(stopping.wait_for(kLimit), std::future_status::ready);
  ASSERT_EQ(waiting.wait_for(kLimit), std::future_status::ready);
  const httplib::Result answer = waiting.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, R"({"released":true})");
  EXPECT_FALSE(served.Send("GET", "/qel-clitest/v1/zero"));
  EXPECT_TRUE((events.Rest(), events.closed));  // the stop ended the stream
  served.server->Stop();                        // again: nothing happens
  std::vector<std::string> lines = served.Access();
  std::sort(lines.begin(), lines.end());  // each is logged after its answer went out
  // An unknown query argument is the caller's error.
  EXPECT_EQ(lines, (std::vector<std::string>{"GET /events 200", "GET /host/modules 401",
                                             "GET /qel-clitest/v1/wait 200",
                                             "GET /qel-clitest/v1/zero 400"}));
}

}  // namespace
