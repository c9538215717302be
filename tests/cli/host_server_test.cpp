// The HTTP server in-process, on 127.0.0.1 and a free port, in front of a threaded host with the
// tests' own plugin: the gate (token, Host header, body cap, CORS), the translation of module
// answers, the resource endpoints, /host/modules, /openapi.json, the event stream and its limits,
// and a stop that lets a request in progress finish. Every wait is bounded.
#include "cli/host_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
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

std::string Error(int status, const std::string& message) {
  return R"({"message":")" + message + R"(","status":)" + std::to_string(status) + "}";
}

// A host with the test plugin, served; a body cap of 1024 bytes keeps the cap tests small.
struct Served {
  explicit Served(ServerOptions options = {}) {
    HostOptions hostOptions;
    hostOptions.mode = HostMode::Threaded;
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
  [[nodiscard]] httplib::Result Send(const std::string& method, const std::string& path,
                                     httplib::Headers headers = {}, const std::string& body = "",
                                     const std::string& type = "application/json",
                                     bool withToken = true) const {
    httplib::Request request;
    request.method = method;
    request.path = path;
    request.headers = std::move(headers);
    request.body = body;
    if (method == "POST" || method == "PUT") request.set_header("Content-Type", type);
    return Client(withToken)->send(request);
  }
  [[nodiscard]] std::string Origin() const { return "127.0.0.1:" + std::to_string(port); }
  [[nodiscard]] std::vector<std::string> Access() {
    std::lock_guard lock(accessMutex);
    return access;
  }

  std::unique_ptr<Host> host;
  ModuleId id = 0;
  std::unique_ptr<HostServer> server;
  uint16_t port = 0;
  std::mutex accessMutex;  // guards access
  std::vector<std::string> access;
};

// A connection to the server with a 20 s receive time-out (and a small receive buffer if asked).
int Connect(uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer != 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
  timeval timeout{20, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A raw exchange: sends `request` and reads until the server closes (or 20 s pass).
std::string Raw(uint16_t port, const std::string& request) {
  const int fd = Connect(port);
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
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

// The token, then this server's name, with CORS headers for the allowed origin only, whose
// preflight needs no token.
TEST(HostServerGate, EveryEndpointWantsTheBearerTokenAndThisServersName) {
  const std::string origin = "http://localhost:5173";
  ServerOptions options;
  options.allowOrigin = origin;
  Served served(options);
  const std::string k401 =
      Error(401,
            "This server needs the header 'Authorization: Bearer <token>' with the token of its "
            "run file");
  const std::string port = std::to_string(served.port);
  const std::string k421 = Error(
      421, "The Host header must name this server: 127.0.0.1:" + port + " or localhost:" + port);
  const std::string zero = "/qel-clitest/v1/zero";
  const std::string echo = "/qel-clitest/v1/echo";
  const std::string bearer = "Bearer " + kToken;
  const std::string evil = "http://evil.example";
  struct Case {
    std::string method;
    std::string path;
    httplib::Headers headers;
    int status;
    std::string cors = "";  // the Access-Control-Allow-Origin sent back
  };
  std::vector<Case> cases = {
      {"GET", zero, {{"Authorization", "Bearer"}}, 401},
      {"GET", zero, {{"Authorization", "Bearer " + kToken.substr(1)}}, 401},
      {"GET", zero, {{"Authorization", bearer + "0"}}, 401},
      {"GET", zero, {{"Authorization", "Basic " + kToken}}, 401},
      {"GET", zero, {{"Authorization", "Bearer  " + kToken}}, 401},
      {"GET", zero, {{"Authorization", bearer}, {"Authorization", bearer}}, 401},
      {"GET", zero, {{"Authorization", "bearer " + kToken}}, 200},  // the scheme is case-blind
      // A wrong Host is refused before the token is looked at.
      {"GET", "/host/modules", {{"Host", "rebound.example:" + port}}, 421},
      {"GET", zero, {{"Authorization", bearer}, {"Origin", origin}}, 200, origin},
      {"GET", zero, {{"Authorization", bearer}, {"Origin", evil}}, 200},
      // The module's own CORS header never goes out.
      {"POST", echo + "?x=1&y=2", {{"Authorization", bearer}, {"Origin", origin}}, 201, origin},
      {"OPTIONS",
       echo,
       {{"Origin", origin}, {"Access-Control-Request-Method", "POST"}},
       204,
       origin},
      {"OPTIONS", echo, {{"Origin", evil}, {"Access-Control-Request-Method", "POST"}}, 401},
  };
  for (const char* path : {"/openapi.json", "/events", "/host/modules", "/resources/a"})
    cases.push_back({"GET", path, {}, 401});
  cases.push_back({"DELETE", "/resources/a", {}, 401});
  cases.push_back({"OPTIONS", "/host/modules", {}, 401});
  for (const std::string& host : {"127.0.0.1:" + port, "localhost:" + port, "LocalHost:" + port})
    cases.push_back({"GET", zero, {{"Authorization", bearer}, {"Host", host}}, 200});
  for (const std::string& host :
       {"evil.example:" + port, std::string("evil.example"), std::string("127.0.0.1"),
        "localhost:1" + port, "127.0.0.2:" + port, std::string()})
    cases.push_back({"GET", zero, {{"Authorization", bearer}, {"Host", host}}, 421});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + " " + testing::PrintToString(c.headers));
    const auto result = served.Send(c.method, c.path, c.headers, c.method == "POST" ? "{}" : "",
                                    "application/json", false);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << result->body;
    EXPECT_EQ(result->get_header_value_count("Access-Control-Allow-Origin"),
              c.cors.empty() ? 0u : 1u);
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), c.cors);
    EXPECT_EQ(result->get_header_value("Vary"), c.cors.empty() ? "" : "Origin");
    if (c.status == 204) {
      EXPECT_EQ(result->get_header_value("Access-Control-Allow-Methods"),
                "GET, POST, PUT, PATCH, DELETE, OPTIONS");
      EXPECT_EQ(result->get_header_value("Access-Control-Allow-Headers"),
                "Authorization, Content-Type");
    }
    if (c.status < 400) continue;
    EXPECT_EQ(result->body, c.status == 401 ? k401 : k421);
    EXPECT_EQ(result->get_header_value("WWW-Authenticate"), c.status == 401 ? "Bearer" : "");
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  }
  const std::string missing = Raw(
      served.port,
      "GET /host/modules HTTP/1.1\r\nConnection: close\r\nAuthorization: " + bearer + "\r\n\r\n");
  EXPECT_TRUE(missing.starts_with("HTTP/1.1 421 ") && missing.ends_with(k421)) << missing;
  for (const std::string& line : served.Access())
    EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

TEST(HostServerGate, BodiesAboveTheCapGet413HoweverTheyCome) {
  Served served;
  const std::string k413 = Error(413, "The request body is larger than 1024 bytes");
  const std::string fits = "\"" + std::string(1022, 'x') + "\"";
  const auto stored = served.Send("PUT", "/resources/big", {}, fits);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 201);
  // One byte more: read away, then refused, and nothing is stored.
  const auto refused = served.Send("PUT", "/resources/big", {}, fits + " ");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(refused->body, k413);
  const auto module = served.Send("POST", "/qel-clitest/v1/echo", {}, std::string(2000, ' '));
  ASSERT_TRUE(module);
  EXPECT_EQ(module->status, 413);
  std::string chunks;
  for (int i = 0; i < 3; ++i)
    chunks += "200\r\n" + std::string(512, 'y') + "\r\n";
  // Declared far too large: refused from the headers alone, the connection closed; a client
  // that waits for "100 Continue" gets the refusal instead; chunks are counted as they are read.
  for (const std::string& request :
       {Head(served, "PUT", "/resources/big", "Content-Length: 999999999999\r\n"),
        Head(served, "PUT", "/resources/big", "Expect: 100-continue\r\nContent-Length: 1025\r\n"),
        Head(served, "PUT", "/resources/big", "Transfer-Encoding: chunked\r\n") + chunks +
            "0\r\n\r\n"}) {
    const std::string answer = Raw(served.port, request);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413 ")) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
    EXPECT_TRUE(answer.ends_with(k413)) << answer;
  }
  EXPECT_EQ(Json(served.host->GetResource("/big").value()), fits);
}

// ---- module answers ----

TEST(HostServerAnswers, StatusZeroIs200Or500CallerErrorsAre4xxAndErrorsAreJson) {
  Served served;
  struct Case {
    std::string path;
    int status;
    std::string body;
    const char* method = "GET";
    const char* contentType = "application/json";  // of a POST
    const char* requestBody = "";
    const char* allow = "";
  };
  const std::string missing = "No API function or resource answers GET /qel-clitest/v1/missing";
  const Case cases[] = {
      {"/qel-clitest/v1/zero", 200, R"({"ok":true})"},
      {"/qel-clitest/v1/zero-error", 500, Error(500, "nothing set the status")},
      {"/qel-clitest/v1/low-error", 500, Error(500, "an error that says 201")},
      {"/qel-clitest/v1/teapot", 418, Error(418, "short and stout")},
      {"/qel-clitest/v1/missing", 404, Error(404, missing)},
      {"/qel-clitest/v1/publish/notanumber", 400,
       Error(400, "Value notanumber for 'n' of type int64 is in an incorrect format"), "POST"},
      {"/qel-clitest/v1/echo?zz=1", 400,
       Error(400, "Unknown argument 'zz' for 'PostQelClitestV1Echo'."), "POST", "application/json",
       "{}"},
      {"/qel-clitest/v1/echo", 400,
       Error(400, "Error: Missing a name for object member. at offset 1."), "POST",
       "application/json", "{"},
      {"/qel-clitest/v1/echo", 415, Error(415, "Unsupported body content type"), "POST",
       "text/plain", "{}"},
      {"/qel-clitest/v1/echo", 405,
       Error(405, "GET is not served at /qel-clitest/v1/echo (allowed: POST)"), "GET", "", "",
       "POST"},
      {"/host/modules", 405, Error(405, "POST is not served at /host/modules"), "POST",
       "application/json", "", "GET"},
      // A plugin reading a streamed answer through the host gets its bytes once: not JSON.
      {"/qel-clitest/v1/relay-stream", 502,
       Error(502,
             "Error reading streamed response for GET /qel-clitest/v1/stream: Error: "
             "Invalid value. at offset 0.")},
      // Found before any handler; the longest target a request line can carry is routed.
      {"/" + std::string(9000, 'a'), 414, Error(414, "The request target is too long")},
      {"/" + std::string(8000, 'a'), 404,
       Error(404, "No API function or resource answers GET /" + std::string(8000, 'a'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path.substr(0, 40));
    const auto result = served.Send(c.method, c.path, {}, c.requestBody, c.contentType);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << result->body;
    EXPECT_EQ(result->body, c.body);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(result->get_header_value("Allow"), c.allow);
    EXPECT_EQ(result->get_header_value("x-teapot"), c.status == 418 ? "yes" : "");
  }
}

TEST(HostServerAnswers, TheModuleGetsTheWholeRequestButTheTokenAndKeepsItsSafeHeaders) {
  Served served;
  const auto result = served.Send(
      "POST", "/qel-clitest/v1/echo?x=1&y=%20z",
      {{"X-Custom", "custom value"}, {"Origin", "http://localhost:5173"}}, R"({"a":[1,2]})");
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
    for (const char* hidden : {"Authorization", "authorization", "REMOTE_ADDR", "LOCAL_ADDR"})
      EXPECT_NE(member.key, hidden);
  }
  EXPECT_EQ(result->body.find(kToken), std::string::npos);
  EXPECT_EQ(result->get_header_value("x-echo"), "passed on");
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));
  for (const char* dropped : {"x-split", "Injected", "bad name", "Access-Control-Allow-Origin"})
    EXPECT_FALSE(result->has_header(dropped)) << dropped;

  // A body stream goes out chunked with the module's type.
  const auto stream = served.Send("GET", "/qel-clitest/v1/stream");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->status, 200);
  EXPECT_EQ(stream->get_header_value("Content-Type"), "text/plain");
  EXPECT_EQ(stream->get_header_value("Transfer-Encoding"), "chunked");
  std::string expected(CliTest::kStreamSize, '\0');
  for (uint32_t i = 0; i < CliTest::kStreamSize; ++i)
    expected[i] = CliTest::StreamByte(i);
  EXPECT_TRUE(stream->body == expected);
}

// ---- the server's endpoints ----

TEST(HostServerEndpoints, ResourcesAreReadSetAndDeletedInEachFormatPublishingAsAPluginWould) {
  Served served;
  const std::string uri = "/resources/qel-login/v1/session";
  const std::string missing = Error(404, "No resource is stored at /qel-login/v1/session");
  const std::string created = R"({"eventType":"Create","uri":"/qel-login/v1/session"})";
  const std::string updated = R"({"eventType":"Update","uri":"/qel-login/v1/session"})";
  const std::string ok = R"({"state":"OK"})";
  struct Case {
    std::string method;
    std::string contentType;
    std::string body;
    int status;
    std::string answer;
    std::string stored;  // the resource afterwards, as JSON; "" for none
  };
  const Case cases[] = {
      {"GET", "", "", 404, missing, ""},
      {"PUT", "application/json", R"({"state":"SUCCEEDED","accountId":7})", 201, created,
       R"({"accountId":7,"state":"SUCCEEDED"})"},
      {"PUT", "application/x-yaml; charset=utf-8", "state: ERROR\naccountId: 8\n", 200, updated,
       R"({"accountId":8,"state":"ERROR"})"},
      {"PUT", "application/msgpack", std::string("\x81\xA5state\xA2OK", 10), 200, updated, ok},
      {"PUT", "application/x-msgpack", std::string("\x81\xA5state\xA2OK\xC0", 11), 400,
       Error(400, "Extra MessgePack data found in body"), ok},
      {"PUT", "application/json", "{\"state\":", 400,
       Error(400, "Error: Invalid value. at offset 9."), ok},
      {"PUT", "text/plain", "state", 415,
       Error(415,
             "A resource is JSON (application/json), YAML (application/yaml) or MessagePack "
             "(application/msgpack), not 'text/plain'"),
       ok},
      {"DELETE", "", "", 204, "", ""},
      {"DELETE", "", "", 404, missing, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.contentType);
    const auto answer = served.Send(c.method, uri, {}, c.body, c.contentType);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->body, c.answer);
    const auto stored = served.host->GetResource("/qel-login/v1/session");
    EXPECT_EQ(stored ? Json(*stored) : "", c.stored);
    if (c.stored.empty()) continue;
    const auto read = served.Send("GET", uri);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->body, c.stored);
  }
  const auto post = served.Send("POST", "/resources/a", {}, "{}");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  EXPECT_EQ(post->get_header_value("Allow"), "GET, PUT, DELETE");
  const auto bare = served.Send("GET", "/resources/");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->body, Error(404, "Name a resource: /resources/<uri>"));
}

TEST(HostServerEndpoints, ModulesAndTheOpenApiDocumentOfThisServer) {
  Served served;
  const auto result = served.Send("GET", "/host/modules");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  const auto list = Json(result->body);
  ASSERT_EQ(list.Get("modules").Size(), 1u);
  const auto& module = list.Get("modules").At(0);
  EXPECT_EQ(module.Get("name").GetString(), "qel-clitest");
  EXPECT_EQ(module.Get("version").GetString(), "18.0.0");
  EXPECT_EQ(module.Get("origin").GetString(), "cli test plugin");
  EXPECT_EQ(module.Get("state").GetString(), "Started");
  EXPECT_EQ(module.Get("routeCount").GetUnsigned(0), CliTest::kRouteCount);
  ASSERT_EQ(module.Get("routes").Size(), CliTest::kRouteCount);
  EXPECT_EQ(
      Json(module.Get("routes").At(2)),
      R"({"function":"PostQelClitestV1PublishByN","method":"POST","path":"/qel-clitest/v1/publish/{n}"})");
  for (const char* counter :
       {"peakBytes", "peakAllocations", "bytesAllocated", "allocations", "bytesFreed", "frees"}) {
    EXPECT_EQ(module.Get("memory").Get(counter).Kind(), Oxle::Client::Binding::ValueKind::Unsigned)
        << counter;
  }
  const auto openapi = served.Send("GET", "/openapi.json");
  ASSERT_TRUE(openapi);
  EXPECT_EQ(openapi->get_header_value("Content-Type"), "application/json");
  const auto document = Json(openapi->body);
  EXPECT_EQ(document.Get("servers").At(0).Get("url").GetString(), served.server->Url());
  EXPECT_TRUE(document.Get("paths").Has("/qel-clitest/v1/publish/{n}"));
}

// ---- the event stream ----

// An event stream on a raw connection (a small receive buffer if asked), read on demand.
class Stream {
 public:
  Stream(const Served& served, const std::string& path, int receiveBuffer = 0)
      : fd_(Connect(served.port, receiveBuffer)) {
    const std::string request = Head(served, "GET", path, "");
    EXPECT_EQ(::send(fd_, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }
  ~Stream() { ::close(fd_); }
  // Reads until `text` holds `what` `count` times (true), or the stream ends or 20 s pass.
  bool ReadUntil(const std::string& what, size_t count = 1) {
    char buffer[256];
    while (true) {
      size_t found = 0;
      for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
      if (found >= count) return true;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return closed = n == 0, false;
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  std::string text;
  bool closed = false;

 private:
  int fd_;
};

TEST(HostServerEvents, StreamsResourceAndModulePublicationsFilteredByPrefix) {
  Served served;
  Stream all(served, "/events");
  Stream mine(served, "/events?prefix=/qel-clitest/");
  ASSERT_TRUE(all.ReadUntil(": connected\n\n"));
  ASSERT_TRUE(mine.ReadUntil(": connected\n\n"));
  const auto put =
      served.Send("PUT", "/resources/qel-login/v1/session", {}, R"({"state":"SUCCEEDED"})");
  ASSERT_TRUE(put);
  const auto published = served.Send("POST", "/qel-clitest/v1/publish/5");
  ASSERT_TRUE(published);
  EXPECT_EQ(published->status, 200);
  ASSERT_TRUE(all.ReadUntil("data: ", 3));
  ASSERT_TRUE(mine.ReadUntil("data: ", 2));
  const std::string session =
      R"(data: {"data":{"state":"SUCCEEDED"},"eventType":"Create","name":"OnJsonApiEvent_qel-login_v1_session","uri":"/qel-login/v1/session"})"
      "\n\n";
  // A plugin publishes a resource under its URI's event name, then under the generic one.
  const std::string named =
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent_qel-clitest_v1_state","uri":"/qel-clitest/v1/state"})"
      "\n\n";
  const std::string generic =
      R"(data: {"data":{"n":5},"eventType":"Update","name":"OnJsonApiEvent","uri":"/qel-clitest/v1/state"})"
      "\n\n";
  EXPECT_NE(all.text.find(session), std::string::npos) << all.text;
  EXPECT_EQ(mine.text.find("qel-login"), std::string::npos) << mine.text;
  for (const Stream* stream : {&all, &mine}) {
    EXPECT_LT(stream->text.find(named), stream->text.find(generic)) << stream->text;
    EXPECT_NE(stream->text.find(generic), std::string::npos) << stream->text;
  }
  served.server->Stop();  // ends both streams
  EXPECT_FALSE(all.ReadUntil("never"));
  EXPECT_FALSE(mine.ReadUntil("never"));
  EXPECT_TRUE(all.closed && mine.closed);
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, kLimit));
}

TEST(HostServerEvents, ASlowClientIsDroppedWithoutBlockingOthersAndStreamsAreLimited) {
  ServerOptions options;
  options.events.queueBytes = 256 * 1024;
  options.events.maxClients = 1;
  options.ioTimeout = seconds(2);
  Served served(options);
  // A client that reads the greeting and then nothing, through a small receive buffer.
  Stream slow(served, "/events", 4096);
  ASSERT_TRUE(slow.ReadUntil(": connected"));
  ASSERT_EQ(served.server->Events().ClientCount(), 1u);
  const auto second = served.Send("GET", "/events");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 503);
  EXPECT_EQ(second->body, Error(503, "No more event streams: 1 are open"));
  // Each publication returns at once; the client is dropped when its queue overflows.
  const auto big = Json("\"" + std::string(64 * 1024, 'z') + "\"");
  for (int published = 0; served.server->Events().DroppedCount() == 0 && published < 10000;
       ++published)
    (void)served.host->SetResource("/qel-clitest/v1/big", big);
  EXPECT_EQ(served.server->Events().DroppedCount(), 1u);
  const auto modules = served.Send("GET", "/host/modules");
  ASSERT_TRUE(modules);
  EXPECT_EQ(modules->status, 200);
  // Its sender ends once its blocked write gives up; the stream is not resumed.
  EXPECT_TRUE(served.server->Events().WaitForClientCount(0, kLimit));
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

TEST(HostServerStop, FinishesARequestInProgressThenRefusesConnectionsAndLogsNoQuery) {
  Served served;
  CliTest::Hooks().entered = std::promise<void>();
  std::promise<void> release;
  CliTest::Hooks().release = release.get_future().share();
  (void)served.Send("GET", "/qel-clitest/v1/zero?secret=" + kToken);
  (void)served.Send("GET", "/host/modules", {}, "", "", false);
  auto waiting =
      std::async(std::launch::async, [&] { return served.Send("GET", "/qel-clitest/v1/wait"); });
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
  EXPECT_EQ(answer->body, R"({"released":true})");
  EXPECT_FALSE(served.Send("GET", "/qel-clitest/v1/zero"));
  served.server->Stop();  // again: nothing happens
  std::vector<std::string> lines = served.Access();
  std::sort(lines.begin(), lines.end());  // each is logged after its answer went out
  // An unknown query argument is the caller's error.
  EXPECT_EQ(lines,
            (std::vector<std::string>{"GET /host/modules 401", "GET /qel-clitest/v1/wait 200",
                                      "GET /qel-clitest/v1/zero 400"}));
}

}  // namespace
