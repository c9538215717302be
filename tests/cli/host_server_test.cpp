// The HTTP server in-process, on 127.0.0.1 and a free port, in front of a threaded host with the
// tests' own plugin: the gate (token, Host header, body cap, CORS), the translation of module
// answers, the resource endpoints, /host/modules, /openapi.json, the event stream and its slow
// clients, and a stop that lets a request in progress finish. Every wait is bounded.
#include "cli/host_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "cli_test_plugin.h"
#include "codec/json.h"
#include "host/host_test_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using HostTest::Json;
using std::chrono::seconds;

constexpr auto kLimit = seconds(20);
const std::string kToken = "feedc0de00112233445566778899aabbccddeeff00112233445566778899aabb";
const std::string k401 =
    R"({"message":"This server needs the header 'Authorization: Bearer <token>' with the token of its run file","status":401})";

// A host with the test plugin, served; a body cap of 1024 bytes keeps the cap tests small.
struct Served {
  explicit Served(ServerOptions options = {}) {
    HostOptions hostOptions;
    hostOptions.mode = HostMode::Threaded;
    hostOptions.logSink = logs;
    host = std::make_unique<Host>(hostOptions);
    Result<ModuleId> loaded = host->LoadModule(&tpk_cli_test_load, "cli test plugin");
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id = loaded.Value();
    EXPECT_TRUE(host->StartModule(id).Ok());
    options.token = kToken;
    options.maxBodyBytes = 1024;
    options.accessLog = [this](const std::string& line) {
      std::lock_guard lock(accessMutex);
      access.push_back(line);
    };
    server = std::make_unique<HostServer>(*host, std::vector<ModuleId>{id}, options);
    const Status started = server->Start();
    EXPECT_TRUE(started.Ok()) << started.ErrorMessage();
    port = server->Port();
  }
  ~Served() { server->Stop(); }

  [[nodiscard]] std::unique_ptr<httplib::Client> Client(bool withToken = true) const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
    if (withToken) client->set_bearer_token_auth(kToken.c_str());
    client->set_connection_timeout(5);
    client->set_read_timeout(20);
    client->set_keep_alive(false);
    return client;
  }
  [[nodiscard]] std::string Origin() const { return "127.0.0.1:" + std::to_string(port); }
  [[nodiscard]] std::vector<std::string> Access() {
    std::lock_guard lock(accessMutex);
    return access;
  }

  std::shared_ptr<MemoryLogSink> logs = std::make_shared<MemoryLogSink>();
  std::unique_ptr<Host> host;
  ModuleId id = 0;
  std::unique_ptr<HostServer> server;
  uint16_t port = 0;
  std::mutex accessMutex;  // guards access
  std::vector<std::string> access;
};

// A raw exchange: sends `request` and reads until the server closes (or 20 s pass).
std::string Raw(uint16_t port, const std::string& request, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_GE(fd, 0);
  if (receiveBuffer != 0) {
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  timeval timeout{20, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
    answer.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return answer;
}

std::string Head(const Served& served, const std::string& method, const std::string& path,
                 const std::string& extra) {
  return method + " " + path + " HTTP/1.1\r\nHost: " + served.Origin() +
         "\r\nAuthorization: Bearer " + kToken + "\r\nConnection: close\r\n" + extra + "\r\n";
}

// ---- the gate ----

TEST(HostServerGate, EveryEndpointWantsTheBearerToken) {
  Served served;
  const std::vector<std::pair<std::string, std::string>> endpoints = {
      {"GET", "/qel-clitest/v1/zero"}, {"GET", "/openapi.json"}, {"GET", "/events"},
      {"GET", "/host/modules"},        {"GET", "/resources/a"},  {"DELETE", "/resources/a"},
      {"OPTIONS", "/host/modules"},
  };
  const std::vector<httplib::Headers> wrong = {
      {},
      {{"Authorization", "Bearer"}},
      {{"Authorization", "Bearer " + kToken.substr(1)}},
      {{"Authorization", "Bearer " + kToken + "0"}},
      {{"Authorization", "Basic " + kToken}},
      {{"Authorization", "Bearer  " + kToken}},
      {{"Authorization", "Bearer " + kToken}, {"Authorization", "Bearer " + kToken}},
  };
  auto client = served.Client(false);
  for (const auto& [method, path] : endpoints) {
    for (const httplib::Headers& headers : wrong) {
      SCOPED_TRACE(method + " " + path + " with " + std::to_string(headers.size()) + " headers");
      httplib::Request request;
      request.method = method;
      request.path = path;
      request.headers = headers;
      const httplib::Result result = client->send(request);
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, 401);
      EXPECT_EQ(result->body, k401);
      EXPECT_EQ(result->get_header_value("WWW-Authenticate"), "Bearer");
      EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    }
  }
  // The scheme is case-insensitive; the token is not.
  const auto lower = client->Get("/qel-clitest/v1/zero", {{"Authorization", "bearer " + kToken}});
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->status, 200);
  for (const std::string& line : served.Access())
    EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

TEST(HostServerGate, TheHostHeaderMustNameThisServerOrLocalhost) {
  Served served;
  const std::string port = std::to_string(served.port);
  const std::string k421 = R"({"message":"The Host header must name this server: 127.0.0.1:)" +
                           port + " or localhost:" + port + R"(","status":421})";
  struct Case {
    std::string host;
    int status;
  };
  const Case cases[] = {
      {"127.0.0.1:" + port, 200},    {"localhost:" + port, 200}, {"LocalHost:" + port, 200},
      {"evil.example:" + port, 421}, {"evil.example", 421},      {"127.0.0.1", 421},
      {"localhost:1" + port, 421},   {"127.0.0.2:" + port, 421}, {"", 421},
  };
  auto client = served.Client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const auto result = client->Get("/qel-clitest/v1/zero", {{"Host", c.host}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.status == 421) {
      EXPECT_EQ(result->body, k421);
    }
  }
  // A wrong Host is refused before the token is looked at, and so is a missing one.
  const auto anonymous =
      served.Client(false)->Get("/host/modules", {{"Host", "rebound.example:" + port}});
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 421);
  const std::string missing =
      Raw(served.port, "GET /host/modules HTTP/1.1\r\nConnection: close\r\nAuthorization: Bearer " +
                           kToken + "\r\n\r\n");
  EXPECT_TRUE(missing.starts_with("HTTP/1.1 421 ")) << missing;
  EXPECT_TRUE(missing.ends_with(k421)) << missing;
}

TEST(HostServerGate, BodiesAboveTheCapGet413HoweverTheyCome) {
  Served served;
  const std::string k413 =
      R"({"message":"The request body is larger than 1024 bytes","status":413})";
  auto client = served.Client();
  const std::string fits = "\"" + std::string(1022, 'x') + "\"";
  const auto stored = client->Put("/resources/big", fits, "application/json");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 201);
  // One byte more: read away, then refused, and nothing is stored.
  const auto refused = client->Put("/resources/big", fits + " ", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(refused->body, k413);
  EXPECT_EQ(Json(served.host->GetResource("/big").value()), fits);
  const auto module =
      client->Post("/qel-clitest/v1/echo", std::string(2000, ' '), "application/json");
  ASSERT_TRUE(module);
  EXPECT_EQ(module->status, 413);
  // Declared far too large: refused from the headers alone, the connection closed.
  const std::string huge = Raw(served.port, Head(served, "PUT", "/resources/big",
                                                 "Content-Type: application/json\r\n"
                                                 "Content-Length: 999999999999\r\n"));
  EXPECT_TRUE(huge.starts_with("HTTP/1.1 413 ")) << huge;
  EXPECT_NE(huge.find("Connection: close"), std::string::npos) << huge;
  EXPECT_TRUE(huge.ends_with(k413)) << huge;
  // A client that waits for "100 Continue" gets the refusal instead.
  const std::string waiting = Raw(served.port, Head(served, "PUT", "/resources/big",
                                                    "Content-Type: application/json\r\n"
                                                    "Expect: 100-continue\r\n"
                                                    "Content-Length: 1025\r\n"));
  EXPECT_TRUE(waiting.starts_with("HTTP/1.1 413 ")) << waiting;
  EXPECT_TRUE(waiting.ends_with(k413)) << waiting;
  // Chunked: counted as it is read.
  std::string chunks;
  for (int i = 0; i < 3; ++i)
    chunks += "200\r\n" + std::string(512, 'y') + "\r\n";
  const std::string chunked = Raw(served.port, Head(served, "PUT", "/resources/big",
                                                    "Content-Type: application/json\r\n"
                                                    "Transfer-Encoding: chunked\r\n") +
                                                   chunks + "0\r\n\r\n");
  EXPECT_TRUE(chunked.starts_with("HTTP/1.1 413 ")) << chunked;
  EXPECT_TRUE(chunked.ends_with(k413)) << chunked;
  EXPECT_EQ(Json(served.host->GetResource("/big").value()), fits);
}

TEST(HostServerGate, NoCorsHeaderUnlessTheOriginIsAllowed) {
  const std::string origin = "http://localhost:5173";
  {
    Served closed;
    const auto answer = closed.Client()->Get("/qel-clitest/v1/zero", {{"Origin", origin}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    for (const auto& [name, value] : answer->headers)
      EXPECT_FALSE(name.starts_with("Access-Control-")) << name;
    httplib::Request preflight;
    preflight.method = "OPTIONS";
    preflight.path = "/qel-clitest/v1/echo";
    preflight.headers = {{"Origin", origin}, {"Access-Control-Request-Method", "POST"}};
    const auto refused = closed.Client(false)->send(preflight);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_FALSE(refused->has_header("Access-Control-Allow-Origin"));
  }
  ServerOptions options;
  options.allowOrigin = origin;
  Served open(options);
  const auto allowed = open.Client()->Get("/qel-clitest/v1/zero", {{"Origin", origin}});
  ASSERT_TRUE(allowed);
  EXPECT_EQ(allowed->get_header_value("Access-Control-Allow-Origin"), origin);
  EXPECT_EQ(allowed->get_header_value("Vary"), "Origin");
  const auto other =
      open.Client()->Get("/qel-clitest/v1/zero", {{"Origin", "http://evil.example"}});
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200);
  EXPECT_FALSE(other->has_header("Access-Control-Allow-Origin"));
  // The module's own CORS header never goes out, even to the allowed origin.
  const auto echo =
      open.Client()->Post("/qel-clitest/v1/echo", {{"Origin", origin}}, "{}", "application/json");
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->get_header_value_count("Access-Control-Allow-Origin"), 1u);
  EXPECT_EQ(echo->get_header_value("Access-Control-Allow-Origin"), origin);
  // A preflight from the allowed origin needs no token; one from elsewhere is refused.
  httplib::Request preflight;
  preflight.method = "OPTIONS";
  preflight.path = "/qel-clitest/v1/echo";
  preflight.headers = {{"Origin", origin}, {"Access-Control-Request-Method", "POST"}};
  const auto answered = open.Client(false)->send(preflight);
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 204);
  EXPECT_EQ(answered->get_header_value("Access-Control-Allow-Origin"), origin);
  EXPECT_EQ(answered->get_header_value("Access-Control-Allow-Methods"),
            "GET, POST, PUT, PATCH, DELETE, OPTIONS");
  EXPECT_EQ(answered->get_header_value("Access-Control-Allow-Headers"),
            "Authorization, Content-Type");
  preflight.headers = {{"Origin", "http://evil.example"},
                       {"Access-Control-Request-Method", "POST"}};
  const auto foreign = open.Client(false)->send(preflight);
  ASSERT_TRUE(foreign);
  EXPECT_EQ(foreign->status, 401);
}

// ---- module answers ----

TEST(HostServerAnswers, StatusZeroIs200Or500CallerErrorsAre4xxAndErrorsAreJson) {
  Served served;
  struct Case {
    const char* path;
    int status;
    std::string body;
    const char* method = "GET";
    const char* contentType = "application/json";  // of a POST
    const char* requestBody = "";
    const char* allow = "";
  };
  const Case cases[] = {
      {"/qel-clitest/v1/zero", 200, R"({"ok":true})"},
      {"/qel-clitest/v1/zero-error", 500, R"({"message":"nothing set the status","status":500})"},
      {"/qel-clitest/v1/low-error", 500, R"({"message":"an error that says 201","status":500})"},
      {"/qel-clitest/v1/teapot", 418, R"({"message":"short and stout","status":418})"},
      {"/qel-clitest/v1/missing", 404,
       R"({"message":"No API function or resource answers GET /qel-clitest/v1/missing","status":404})"},
      {"/qel-clitest/v1/publish/notanumber", 400,
       R"({"message":"Value notanumber for 'n' of type int64 is in an incorrect format","status":400})",
       "POST"},
      {"/qel-clitest/v1/echo?zz=1", 400,
       R"({"message":"Unknown argument 'zz' for 'PostQelClitestV1Echo'.","status":400})", "POST",
       "application/json", "{}"},
      {"/qel-clitest/v1/echo", 400,
       R"({"message":"Error: Missing a name for object member. at offset 1.","status":400})",
       "POST", "application/json", "{"},
      {"/qel-clitest/v1/echo", 415, R"({"message":"Unsupported body content type","status":415})",
       "POST", "text/plain", "{}"},
      {"/qel-clitest/v1/echo", 405,
       R"j({"message":"GET is not served at /qel-clitest/v1/echo (allowed: POST)","status":405})j",
       "GET", "", "", "POST"},
  };
  auto client = served.Client();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const auto result = std::string_view(c.method) == "GET"
                            ? client->Get(c.path)
                            : client->Post(c.path, c.requestBody, c.contentType);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(result->body, c.body);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(result->get_header_value("Allow"), c.allow);
  }
  const auto teapot = client->Get("/qel-clitest/v1/teapot");
  ASSERT_TRUE(teapot);
  EXPECT_EQ(teapot->get_header_value("x-teapot"), "yes");
}

TEST(HostServerAnswers, TheModuleGetsTheWholeRequestButTheTokenAndKeepsItsSafeHeaders) {
  Served served;
  const auto result =
      served.Client()->Post("/qel-clitest/v1/echo?x=1&y=%20z", {{"X-Custom", "custom value"}},
                            R"({"a":[1,2]})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 201);
  const Oxle::Client::Binding::BindingProperty echo = Json(result->body);
  EXPECT_EQ(echo.Get("method").GetString(), "POST");
  EXPECT_EQ(echo.Get("target").GetString(), "/qel-clitest/v1/echo?x=1&y=%20z");
  EXPECT_EQ(Json(echo.Get("data")), R"({"a":[1,2]})");
  EXPECT_EQ(echo.Get("x").GetString(), "1");
  EXPECT_EQ(echo.Get("y").GetString(), " z");
  const auto& headers = echo.Get("headers");
  EXPECT_EQ(headers.Get("X-Custom").GetString(), "custom value");
  EXPECT_EQ(headers.Get("Content-Type").GetString(), "application/json");
  EXPECT_EQ(headers.Get("Host").GetString(), served.Origin());
  for (const auto& member : headers.Members()) {
    EXPECT_EQ(Json(member.value).find(kToken), std::string::npos);
    for (const char* hidden : {"Authorization", "authorization", "REMOTE_ADDR", "LOCAL_ADDR"})
      EXPECT_NE(member.key, hidden);
  }
  EXPECT_EQ(result->body.find(kToken), std::string::npos);
  EXPECT_EQ(result->get_header_value("x-echo"), "passed on");
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));
  EXPECT_FALSE(result->has_header("x-split"));
  EXPECT_FALSE(result->has_header("Injected"));
  EXPECT_FALSE(result->has_header("bad name"));
  EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin"));
}

TEST(HostServerAnswers, ABodyStreamGoesOutChunkedWithTheModulesType) {
  Served served;
  const auto result = served.Client()->Get("/qel-clitest/v1/stream");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain");
  EXPECT_EQ(result->get_header_value("Transfer-Encoding"), "chunked");
  ASSERT_EQ(result->body.size(), CliTest::kStreamSize);
  for (uint32_t i = 0; i < CliTest::kStreamSize; ++i)
    ASSERT_EQ(result->body[i], CliTest::StreamByte(i)) << i;
}

TEST(HostServerAnswers, APluginReadingAStreamedAnswerThroughTheHostGetsItsBytesOnce) {
  Served served;
  const auto result = served.Client()->Get("/qel-clitest/v1/relay-stream");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 502);
  EXPECT_EQ(result->body,
            R"({"message":"Error reading streamed response for GET /qel-clitest/v1/stream: )"
            R"(Error: Invalid value. at offset 0.","status":502})");
}

TEST(HostServerAnswers, ErrorsFoundBeforeAnyHandlerAreJsonToo) {
  Served served;
  auto client = served.Client();
  const auto tooLong = client->Get("/" + std::string(9000, 'a'));
  ASSERT_TRUE(tooLong);
  EXPECT_EQ(tooLong->status, 414);
  EXPECT_EQ(tooLong->body, R"({"message":"The request target is too long","status":414})");
  // The longest target a request line can carry reaches the router without harm.
  const auto longest = client->Get("/" + std::string(8000, 'a'));
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->status, 404);
  const auto wrongMethod = client->Post("/host/modules", "", "application/json");
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 405);
  EXPECT_EQ(wrongMethod->body, R"({"message":"POST is not served at /host/modules","status":405})");
  EXPECT_EQ(wrongMethod->get_header_value("Allow"), "GET");
}

// ---- the server's endpoints ----

TEST(HostServerResources, ReadSetAndDeleteInEachFormatPublishingAsAPluginWould) {
  Served served;
  auto client = served.Client();
  const std::string missing =
      R"({"message":"No resource is stored at /qel-login/v1/session","status":404})";
  const auto none = client->Get("/resources/qel-login/v1/session");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 404);
  EXPECT_EQ(none->body, missing);
  struct Case {
    std::string contentType;
    std::string body;
    int status;
    std::string answer;
    std::string stored;  // the resource afterwards, as JSON
  };
  const std::string created = R"({"eventType":"Create","uri":"/qel-login/v1/session"})";
  const std::string updated = R"({"eventType":"Update","uri":"/qel-login/v1/session"})";
  const Case cases[] = {
      {"application/json", R"({"state":"SUCCEEDED","accountId":7})", 201, created,
       R"({"accountId":7,"state":"SUCCEEDED"})"},
      {"application/x-yaml; charset=utf-8", "state: ERROR\naccountId: 8\n", 200, updated,
       R"({"accountId":8,"state":"ERROR"})"},
      {"application/msgpack", std::string("\x81\xA5state\xA2OK", 10), 200, updated,
       R"({"state":"OK"})"},
      {"application/x-msgpack", std::string("\x81\xA5state\xA2OK\xC0", 11), 400,
       R"({"message":"Extra MessgePack data found in body","status":400})", R"({"state":"OK"})"},
      {"application/json", "{\"state\":", 400,
       R"({"message":"Error: Invalid value. at offset 9.","status":400})", R"({"state":"OK"})"},
      {"text/plain", "state", 415,
       R"({"message":"A resource is JSON (application/json), YAML (application/yaml) or MessagePack (application/msgpack), not 'text/plain'","status":415})",
       R"({"state":"OK"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentType);
    const auto put = client->Put("/resources/qel-login/v1/session", c.body, c.contentType.c_str());
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, c.status);
    EXPECT_EQ(put->body, c.answer);
    const auto read = client->Get("/resources/qel-login/v1/session");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 200);
    EXPECT_EQ(read->body, c.stored);
    EXPECT_EQ(Json(served.host->GetResource("/qel-login/v1/session").value()), c.stored);
  }
  const auto deleted = client->Delete("/resources/qel-login/v1/session");
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 204);
  EXPECT_EQ(deleted->body, "");
  const auto again = client->Delete("/resources/qel-login/v1/session");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 404);
  EXPECT_EQ(again->body, missing);
  EXPECT_FALSE(served.host->GetResource("/qel-login/v1/session").has_value());
  const auto post = client->Post("/resources/a", "{}", "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  EXPECT_EQ(post->get_header_value("Allow"), "GET, PUT, DELETE");
  const auto bare = client->Get("/resources/");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->status, 404);
  EXPECT_EQ(bare->body, R"({"message":"Name a resource: /resources/<uri>","status":404})");
}

TEST(HostServerModules, ListsEachModuleWithItsVersionRoutesAndMemoryCounters) {
  Served served;
  const auto result = served.Client()->Get("/host/modules");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  const Oxle::Client::Binding::BindingProperty list = Json(result->body);
  ASSERT_EQ(list.Get("modules").Size(), 1u);
  const auto& module = list.Get("modules").At(0);
  EXPECT_EQ(module.Get("name").GetString(), "qel-clitest");
  EXPECT_EQ(module.Get("version").GetString(), "18.0.0");
  EXPECT_EQ(module.Get("origin").GetString(), "cli test plugin");
  EXPECT_EQ(module.Get("state").GetString(), "Started");
  EXPECT_EQ(module.Get("routeCount").GetUnsigned(0), CliTest::kRouteCount);
  ASSERT_EQ(module.Get("routes").Size(), CliTest::kRouteCount);
  EXPECT_EQ(Json(module.Get("routes").At(0)),
            R"({"function":"PostQelClitestV1Echo","method":"POST","path":"/qel-clitest/v1/echo"})");
  EXPECT_EQ(
      Json(module.Get("routes").At(2)),
      R"({"function":"PostQelClitestV1PublishByN","method":"POST","path":"/qel-clitest/v1/publish/{n}"})");
  EXPECT_EQ(
      Json(module.Get("routes").At(8)),
      R"({"function":"GetQelClitestV1ZeroError","method":"GET","path":"/qel-clitest/v1/zero-error"})");
  const auto& memory = module.Get("memory");
  for (const char* counter :
       {"peakBytes", "peakAllocations", "bytesAllocated", "allocations", "bytesFreed", "frees"})
    EXPECT_EQ(memory.Get(counter).Kind(), Oxle::Client::Binding::ValueKind::Unsigned) << counter;
}

TEST(HostServerOpenApi, ServesTheDocumentOfTheModulesWithThisServersUrl) {
  Served served;
  const auto result = served.Client()->Get("/openapi.json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  const Oxle::Client::Binding::BindingProperty document = Json(result->body);
  EXPECT_EQ(document.Get("openapi").GetString(), "3.0.3");
  EXPECT_EQ(document.Get("servers").At(0).Get("url").GetString(), served.server->Url());
  EXPECT_TRUE(document.Get("paths").Has("/qel-clitest/v1/zero"));
  EXPECT_TRUE(document.Get("paths").Has("/qel-clitest/v1/publish/{n}"));
}

// ---- the event stream ----

// An event-stream reader on its own thread: keeps what arrives, until told to stop.
class Listener {
 public:
  Listener(const Served& served, const std::string& path) : client_(served.Client()) {
    done_ = std::async(std::launch::async, [this, path] {
      return client_->Get(path, [this](const char* data, size_t length) {
        std::lock_guard lock(mutex_);
        text_.append(data, length);
        changed_.notify_all();
        return !stop_;
      });
    });
  }
  ~Listener() {
    Stop();
    (void)done_.wait_for(kLimit);
  }
  // Waits until `count` messages ("data:" lines) have arrived.
  [[nodiscard]] bool WaitForMessages(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return Messages(text_) >= count; });
  }
  [[nodiscard]] bool WaitForOpen() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit,
                             [&] { return text_.find(": connected\n\n") != std::string::npos; });
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
  std::future<httplib::Result>& Done() { return done_; }

 private:
  static size_t Messages(const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("data: "); at != std::string::npos; at = text.find("data: ", at + 1))
      ++count;
    return count;
  }

  std::unique_ptr<httplib::Client> client_;
  std::mutex mutex_;  // guards text_, stop_
  std::condition_variable changed_;
  std::string text_;
  bool stop_ = false;
  std::future<httplib::Result> done_;
};

TEST(HostServerEvents, StreamsResourceAndModulePublicationsFilteredByPrefix) {
  Served served;
  Listener all(served, "/events");
  Listener mine(served, "/events?prefix=/qel-clitest/");
  ASSERT_TRUE(all.WaitForOpen());
  ASSERT_TRUE(mine.WaitForOpen());
  auto client = served.Client();
  const auto put = client->Put("/resources/qel-login/v1/session", R"({"state":"SUCCEEDED"})",
                               "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 201);
  const auto published = client->Post("/qel-clitest/v1/publish/5", "", "application/json");
  ASSERT_TRUE(published);
  EXPECT_EQ(published->status, 200);
  ASSERT_TRUE(all.WaitForMessages(3));
  ASSERT_TRUE(mine.WaitForMessages(2));
  // A plugin publishes a resource under its URI's event name and under the generic one: two
  // publications, each seen.
  const std::string kModuleEvents =
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent_qel-clitest_v1_state","uri":"/qel-clitest/v1/state"})"
      "\n\n"
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent","uri":"/qel-clitest/v1/state"})"
      "\n\n";
  EXPECT_EQ(
      all.Text(),
      ": connected\n\n"
      R"(data: {"data":{"state":"SUCCEEDED"},"eventType":"Create","name":"OnJsonApiEvent_qel-login_v1_session","uri":"/qel-login/v1/session"})"
      "\n\n" +
          kModuleEvents);
  EXPECT_EQ(mine.Text(), ": connected\n\n" + kModuleEvents);
  served.server->Stop();  // ends both streams
  ASSERT_EQ(all.Done().wait_for(kLimit), std::future_status::ready);
  ASSERT_EQ(mine.Done().wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, kLimit));
}

TEST(HostServerEvents, ASlowClientIsDroppedWithoutBlockingThePublisherOrOtherRequests) {
  ServerOptions options;
  options.events.queueBytes = 256 * 1024;
  options.ioTimeout = seconds(2);
  Served served(options);
  // A client that reads the greeting and then nothing, through a small receive buffer.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  const int small = 4096;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  timeval timeout{20, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(served.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = Head(served, "GET", "/events", "");
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string greeting;
  char buffer[256];
  while (greeting.find(": connected") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    greeting.append(buffer, static_cast<size_t>(n));
  }
  ASSERT_EQ(served.server->Events().ClientCount(), 1u);
  // Each publication returns at once; the client is dropped when its queue overflows.
  const auto big = Json("\"" + std::string(64 * 1024, 'z') + "\"");
  int published = 0;
  while (served.server->Events().DroppedCount() == 0 && published < 10000) {
    (void)served.host->SetResource("/qel-clitest/v1/big", big);
    ++published;
  }
  EXPECT_EQ(served.server->Events().DroppedCount(), 1u);
  const auto modules = served.Client()->Get("/host/modules");
  ASSERT_TRUE(modules);
  EXPECT_EQ(modules->status, 200);
  // Its sender ends once its blocked write gives up; the stream is not resumed.
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, kLimit));
  ::close(fd);
}

TEST(HostServerEvents, StreamsBeyondTheLimitAreRefused) {
  ServerOptions options;
  options.events.maxClients = 1;
  Served served(options);
  Listener first(served, "/events");
  ASSERT_TRUE(first.WaitForOpen());
  const auto second = served.Client()->Get("/events");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 503);
  EXPECT_EQ(second->body, R"({"message":"No more event streams: 1 are open","status":503})");
  served.server->Stop();
  ASSERT_EQ(first.Done().wait_for(kLimit), std::future_status::ready);
}

// ---- stopping ----

TEST(HostServerStop, APortInUseIsRefusedNotShared) {
  Served first;
  ServerOptions options;
  options.port = first.port;
  options.token = kToken;
  HostServer second(*first.host, {first.id}, options);
  const Status started = second.Start();
  ASSERT_FALSE(started.Ok());
  EXPECT_EQ(started.ErrorMessage(),
            "Can't listen on 127.0.0.1:" + std::to_string(first.port) + ": Address already in use");
}

TEST(HostServerStop, FinishesARequestInProgressThenRefusesConnections) {
  Served served;
  CliTest::Hooks().entered = std::promise<void>();
  std::promise<void> release;
  CliTest::Hooks().release = release.get_future().share();
  auto client = served.Client();
  auto waiting =
      std::async(std::launch::async, [&] { return client->Get("/qel-clitest/v1/wait"); });
  ASSERT_EQ(CliTest::Hooks().entered.get_future().wait_for(kLimit), std::future_status::ready);
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
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, R"({"released":true})");
  const httplib::Result after = served.Client()->Get("/qel-clitest/v1/zero");
  EXPECT_FALSE(after);
  served.server->Stop();  // again: nothing happens
}

TEST(HostServerStop, TheAccessLogHasMethodPathAndStatusOnly) {
  Served served;
  (void)served.Client()->Get("/qel-clitest/v1/zero?secret=" + kToken);
  (void)served.Client(false)->Get("/host/modules");
  served.server->Stop();
  std::vector<std::string> lines = served.Access();
  std::sort(lines.begin(), lines.end());  // each is logged after its answer went out
  // An unknown query argument is the caller's error.
  EXPECT_EQ(lines,
            (std::vector<std::string>{"GET /host/modules 401", "GET /qel-clitest/v1/zero 400"}));
}

}  // namespace
