// CurlTransport against peers on 127.0.0.1: a cpp-httplib server (methods, bodies, redirects,
// time-outs, size caps, TLS with certificates made here) and a one-shot raw socket peer for what
// must hold byte for byte on the wire (header order both ways). Built twice: the concurrency
// executable holds only the test of four threads sending at once. Every wait is bounded.
#include "cli/curl_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using std::chrono::seconds;

constexpr auto kLimit = seconds(10);

// The tests talk to loopback only: a proxy from the environment must not get in between.
const bool kNoProxy = [] {
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"})
    unsetenv(name);
  return true;
}();

ExternalRequest Request(uint32_t method, std::string url, HeaderList headers = {},
                        std::string body = {}) {
  ExternalRequest request;
  request.method = method;
  request.url = std::move(url);
  request.headers = std::move(headers);
  request.body = std::move(body);
  return request;
}

// The value of the first header called `name`, or "<none>".
std::string HeaderValue(const HeaderList& headers, const std::string& name) {
  for (const auto& [key, value] : headers)
    if (key == name) return value;
  return "<none>";
}

// A cpp-httplib server (plain or TLS) listening on 127.0.0.1 and a free port.
struct Served {
  explicit Served(std::unique_ptr<httplib::Server> created = std::make_unique<httplib::Server>())
      : server(std::move(created)) {
    server->set_tcp_nodelay(true);  // else every answer with a body waits for a delayed ACK
    port = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { (void)server->listen_after_bind(); });
    const auto until = std::chrono::steady_clock::now() + kLimit;
    while (!server->is_running() && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    EXPECT_TRUE(server->is_running());
  }
  ~Served() {
    server->stop();
    thread.join();
  }
  std::string Url(const std::string& path, const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
  }

  std::unique_ptr<httplib::Server> server;
  int port = 0;
  std::thread thread;
};

// Registers /echo for every method: the method in "X-Method", the body and X-Tag sent back.
void AddEcho(httplib::Server& server) {
  const auto echo = [](const httplib::Request& request, httplib::Response& response) {
    response.set_header("X-Method", request.method);
    response.set_header("X-Tag", request.get_header_value("X-Tag"));
    response.set_content(request.body, "application/octet-stream");
  };
  server.Get("/echo", echo).Post("/echo", echo).Put("/echo", echo).Patch("/echo", echo);
  server.Delete("/echo", echo).Options("/echo", echo);
}

#ifndef TPK_CURL_CONCURRENCY_TESTS

// For curl's texts that carry a measured time.
::testing::AssertionResult Matches(const std::string& text, const std::string& pattern) {
  if (std::regex_match(text, std::regex(pattern))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << text << "' does not match '" << pattern << "'";
}

// Accepts one connection, keeps what arrives (head and Content-Length body) and answers `reply`.
class RawPeer {
 public:
  explicit RawPeer(std::string reply) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, reply = std::move(reply)] { Serve(reply); });
  }
  ~RawPeer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Port() const { return port_; }
  const std::string& Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  [[nodiscard]] static bool Readable(int fd) {
    pollfd poller{fd, POLLIN, 0};
    return poll(&poller, 1, static_cast<int>(kLimit / std::chrono::milliseconds(1))) == 1;
  }
  void Serve(const std::string& reply) {
    if (!Readable(listener_)) return;
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    size_t wanted = std::string::npos;
    char buffer[64 << 10];
    while (received_.size() < wanted && Readable(connection)) {
      const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received_.append(buffer, static_cast<size_t>(got));
      const size_t headEnd = received_.find("\r\n\r\n");
      if (headEnd == std::string::npos) continue;
      const size_t at = received_.find("Content-Length: ");
      wanted = headEnd + 4 +
               (at < headEnd ? std::stoul(received_.substr(at + 16)) : static_cast<size_t>(0));
    }
    (void)send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(connection);
  }

  int listener_ = -1;
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

// A port that was just free and is now closed: connecting to it is refused.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

class CurlTransportTest : public ::testing::Test {
 protected:
  CurlTransportTest() {
    httplib::Server& server = *served.server;
    AddEcho(server);
    server.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
      ++requests;
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/target");
    });
    server.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock lock(mutex);
      released.wait_for(lock, kLimit, [this] { return release; });
      response.set_content("late", "text/plain");
    });
    server.Get(R"(/size/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "text/plain");
    });
    // Chunked, in pieces of 64 KiB; `provided` counts the bytes handed to the connection.
    server.Get(R"(/chunked/(\d+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                 const size_t total = std::stoul(request.matches[1]);
                 response.set_chunked_content_provider(
                     "text/plain", [this, total](size_t offset, httplib::DataSink& sink) {
                       static const std::string piece(64 << 10, 'y');
                       const size_t size = std::min(piece.size(), total - offset);
                       if (!sink.write(piece.data(), size)) return false;
                       provided += size;
                       if (offset + size == total) sink.done();
                       return true;
                     });
               });
  }
  ~CurlTransportTest() override {
    {
      std::lock_guard lock(mutex);
      release = true;
    }
    released.notify_all();
  }

  // What the handlers touch is declared before the server, so it outlives the server's threads.
  std::atomic<int> requests{0};
  std::atomic<size_t> provided{0};
  std::mutex mutex;  // guards release
  std::condition_variable released;
  bool release = false;
  Served served;
};

TEST_F(CurlTransportTest, RequestsThatCannotBeSentFailBeforeAnythingIsSent) {
  const std::string secret = "Bearer s3cret-token";
  const std::string name = "the name of header ";
  const std::string value = "the value of header 'Authorization' holds ";
  const std::string method = " names no HTTP method (1 DELETE to 7 PUT)";
  struct Case {
    uint32_t method;
    HeaderList headers;
    std::string message;  // after "The request was not sent: "
    std::string body = "";
  };
  const Case cases[] = {
      {0, {}, "method code 0" + method},
      {8, {}, "method code 8" + method},
      {3, {}, "a HEAD request cannot carry a body", "x"},
      {2,
       {{"X-Ok", "1"}, {"X-A\r\nX-Injected", "1"}},
       name + "1 ('X-A') holds a carriage return at offset 3"},
      {2, {{"X-A\nX-B", "1"}}, name + "0 ('X-A') holds a line feed at offset 3"},
      {2, {{"Authorization: " + secret, "x"}}, name + "0 ('Authorization') holds ':' at offset 13"},
      {2, {{"", "s3cret-token"}}, "header 0 has an empty name"},
      {6, {{"Authorization", secret + "\r\nX-Injected: 1"}}, value + "a carriage return", "body"},
      {2, {{"Authorization", secret + "\nX-Injected: 1"}}, value + "a line feed"},
      {2, {{"Authorization", secret + std::string("\0X", 2)}}, value + "a NUL byte"},
  };
  CurlTransport transport;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ExternalAnswer answer =
        transport.Send(Request(c.method, served.Url("/echo"), c.headers, c.body));
    EXPECT_EQ(answer.transportResult, kTransportFailed);
    EXPECT_EQ(answer.status, 0u);
    EXPECT_TRUE(answer.headers.empty());
    EXPECT_EQ(answer.body, "The request was not sent: " + c.message);
  }
  EXPECT_EQ(requests.load(), 0);
}

TEST(CurlTransportWire, EachMethodCodeGoesOutAsItsMethodWithItsBodyAndHeadersInOrder) {
  const std::string reply = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
  // Above 1 MiB curl would ask "Expect: 100-continue" and wait for the server's go-ahead.
  const std::string large((1 << 20) + 1, 'b');
  struct Case {
    uint32_t method;
    std::string body;
    std::string line;
    std::string framing;
    bool typed = false;  // the module names its own content type
  };
  const Case cases[] = {
      {1, "", "DELETE /wire?q=1 HTTP/1.1", ""},
      {1, "gone", "DELETE /wire?q=1 HTTP/1.1", "Content-Length: 4\r\n"},
      {2, "", "GET /wire?q=1 HTTP/1.1", ""},
      {3, "", "HEAD /wire?q=1 HTTP/1.1", ""},
      {4, "", "OPTIONS /wire?q=1 HTTP/1.1", ""},
      {5, "patch", "PATCH /wire?q=1 HTTP/1.1", "Content-Length: 5\r\n"},
      {6, "", "POST /wire?q=1 HTTP/1.1", "Content-Length: 0\r\n"},
      {6, std::string("a\0b\r\nc", 6), "POST /wire?q=1 HTTP/1.1", "Content-Length: 6\r\n"},
      {6, "{}", "POST /wire?q=1 HTTP/1.1",
       "content-type: application/json\r\nContent-Length: 2\r\n", true},
      {6, large, "POST /wire?q=1 HTTP/1.1", "Content-Length: 1048577\r\n"},
      {7, "", "PUT /wire?q=1 HTTP/1.1", "Content-Length: 0\r\n"},
  };
  CurlTransport transport;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line + " with " + std::to_string(c.body.size()) + " bytes");
    HeaderList headers = {
        {"X-B", "2"}, {"user-agent", "tpk/1"}, {"X-A", "1"}, {"X-A", "3"}, {"X-Empty", ""}};
    if (c.typed) headers.emplace_back("content-type", "application/json");
    RawPeer peer(reply);
    const ExternalAnswer answer =
        transport.Send(Request(c.method, peer.Url("/wire?q=1"), headers, c.body));
    EXPECT_EQ(answer.transportResult, kTransportCompleted) << answer.body;
    EXPECT_EQ(answer.status, 204u);
    const std::string& received = peer.Received();
    const size_t headEnd = std::min(received.find("\r\n\r\n") + 4, received.size());
    EXPECT_EQ(received.substr(0, headEnd),
              c.line + "\r\nHost: 127.0.0.1:" + std::to_string(peer.Port()) +
                  "\r\nAccept: */*\r\nX-B: 2\r\nuser-agent: tpk/1\r\nX-A: 1\r\nX-A: 3\r\n"
                  "X-Empty:\r\n" +
                  c.framing + "\r\n");
    EXPECT_TRUE(received.substr(headEnd) == c.body);
  }
}

TEST(CurlTransportWire, TheFinalResponsesHeadersComeBackInTheOrderReceived) {
  RawPeer peer(
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
      "HTTP/1.1 201 Created\r\nX-B: 2\r\nX-A: 1\r\nx-a:   3  \r\nX-Folded: one\r\n two\r\n"
      "X-Empty:\r\nContent-Length: 4\r\n\r\nbody");
  CurlTransport transport;
  const ExternalAnswer answer = transport.Send(Request(2, peer.Url("/h")));
  EXPECT_EQ(answer.transportResult, kTransportCompleted) << answer.body;
  EXPECT_EQ(answer.status, 201u);
  EXPECT_EQ(answer.headers, (HeaderList{{"X-B", "2"},
                                        {"X-A", "1"},
                                        {"x-a", "3"},
                                        {"X-Folded", "one two"},
                                        {"X-Empty", ""},
                                        {"Content-Length", "4"}}));
  EXPECT_EQ(answer.body, "body");
}

TEST_F(CurlTransportTest, WhatCurlReportsComesBackAsItsText) {
  const std::string refused = std::to_string(ClosedPort());
  struct Case {
    std::string url;
    uint32_t result;
    uint32_t status;
    std::string body;  // a pattern: curl's texts carry measured times
  };
  const Case cases[] = {
      // A redirect is answered as it is: /target is never asked for.
      {served.Url("/redirect"), kTransportCompleted, 302, ""},
      {"http://127.0.0.1:" + refused + "/x", kTransportFailed, 0,
       "Failed to connect to 127\\.0\\.0\\.1 port " + refused +
           " after [0-9]+ ms: Couldn't connect to server"},
      {served.Url("/echo", "https"), kTransportFailed, 0, ".*SSL routines::wrong version number"},
      {"file:///etc/hostname", kTransportFailed, 0,
       "Protocol \"file\" not supported or disabled in libcurl"},
      {"ftp://127.0.0.1:1/", kTransportFailed, 0,
       "Protocol \"ftp\" not supported or disabled in libcurl"},
      {"", kTransportFailed, 0, "URL using bad/illegal format or missing URL"},
  };
  CurlTransport transport;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const ExternalAnswer answer = transport.Send(Request(2, c.url));
    EXPECT_EQ(answer.transportResult, c.result);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_TRUE(Matches(answer.body, c.body));
    EXPECT_EQ(HeaderValue(answer.headers, "Location"), c.status == 302 ? "/target" : "<none>");
  }
  EXPECT_EQ(requests.load(), 1);  // /redirect only: /target was never asked for
}

TEST_F(CurlTransportTest, TheTimeOutWordIsInSecondsAndZeroTakesTheDefault) {
  for (const auto& [word, defaultSeconds] : {std::pair{1u, 600u}, std::pair{0u, 1u}}) {
    SCOPED_TRACE(word);
    CurlTransportOptions options;
    options.defaultTimeoutSeconds = defaultSeconds;
    CurlTransport transport(options);
    ExternalRequest request = Request(2, served.Url("/slow"));
    request.timeout = word;
    const ExternalAnswer answer = transport.Send(request);
    EXPECT_EQ(answer.transportResult, kTransportFailed);
    EXPECT_TRUE(Matches(answer.body,
                        "Operation timed out after [1-9][0-9]{3,} milliseconds with 0 bytes "
                        "received"));
  }
}

TEST_F(CurlTransportTest, AnAnswerLargerThanTheCapFailsAndStopsTheTransfer) {
  const std::string tooLarge = "The response body is larger than the limit of 1024 bytes";
  struct Case {
    std::string path;
    std::string passed;  // the body, or empty for a failure
  };
  const Case cases[] = {{"/size/1023", std::string(1023, 'x')},
                        {"/size/1024", std::string(1024, 'x')},
                        {"/size/1025", ""},
                        {"/chunked/1024", std::string(1024, 'y')},
                        {"/chunked/1025", ""}};
  CurlTransportOptions options;
  options.maxResponseBytes = 1024;
  CurlTransport transport(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ExternalAnswer answer = transport.Send(Request(2, served.Url(c.path)));
    EXPECT_EQ(answer.transportResult, c.passed.empty() ? kTransportFailed : kTransportCompleted);
    EXPECT_EQ(answer.body, c.passed.empty() ? tooLarge : c.passed);
  }
  // A 1 GiB answer: the transfer ends long before it is all written.
  const ExternalAnswer answer = transport.Send(Request(2, served.Url("/chunked/1073741824")));
  EXPECT_EQ(answer.body, tooLarge);
  EXPECT_LT(provided.load(), size_t{64} << 20);
}

// A self-signed certificate for `altName` ("IP:127.0.0.1", "DNS:elsewhere.test"), and its key.
struct Certificate {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), &EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{X509_new(), &X509_free};

  explicit Certificate(const char* altName) {
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("tpk test"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altName);
    EXPECT_NE(extension, nullptr);
    X509_add_ext(x, extension, -1);
    X509_EXTENSION_free(extension);
    EXPECT_GT(X509_sign(x, key.get(), EVP_sha256()), 0);
  }
  // Writes the certificate as PEM to `path`, for the transport's CA file.
  void Write(const std::string& path) const {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(PEM_write_X509(file, cert.get()), 1);
    fclose(file);
  }
};

TEST(CurlTransportTls, PeerAndHostNameAreVerified) {
  const Certificate forLoopback("IP:127.0.0.1");
  const Certificate forElsewhere("DNS:elsewhere.test");
  const std::string dir = testing::TempDir();
  const std::string loopbackCa = dir + "/tpk-curl-loopback-ca.pem";
  const std::string elsewhereCa = dir + "/tpk-curl-elsewhere-ca.pem";
  forLoopback.Write(loopbackCa);
  forElsewhere.Write(elsewhereCa);
  struct Case {
    const Certificate* served;
    std::string caFile;
    std::string failure;  // empty: the exchange completes
  };
  const Case cases[] = {
      {&forLoopback, "", "SSL certificate problem: self-signed certificate"},
      {&forLoopback, loopbackCa, ""},
      {&forElsewhere, elsewhereCa,
       "SSL: no alternative certificate subject name matches target host name '127.0.0.1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caFile + " " + c.failure);
    Served served(std::make_unique<httplib::SSLServer>(c.served->cert.get(), c.served->key.get()));
    AddEcho(*served.server);
    CurlTransportOptions options;
    options.caFile = c.caFile;
    CurlTransport transport(options);
    const ExternalAnswer answer =
        transport.Send(Request(6, served.Url("/echo", "https"), {{"X-Tag", "t"}}, "over tls"));
    if (c.failure.empty()) {
      EXPECT_EQ(answer.transportResult, kTransportCompleted) << answer.body;
      EXPECT_EQ(answer.status, 200u);
      EXPECT_EQ(answer.body, "over tls");
    } else {
      EXPECT_EQ(answer.transportResult, kTransportFailed);
      EXPECT_EQ(answer.body, c.failure);
    }
  }
  std::filesystem::remove(loopbackCa);
  std::filesystem::remove(elsewhereCa);
}

#else  // TPK_CURL_CONCURRENCY_TESTS

}  // namespace

namespace {

// Four threads share one transport (its handle pool and connections); every answer must be the
// one to its own request.
TEST(CurlTransportConcurrency, FourThreadsEachGetTheirOwnAnswers) {
  Served served;
  AddEcho(*served.server);
  constexpr int kThreads = 4;
  constexpr int kSends = 25;
  CurlTransport transport;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSends; ++i) {
        const std::string tag = std::to_string(t) + "/" + std::to_string(i);
        const ExternalAnswer answer =
            transport.Send(Request(6, served.Url("/echo"), {{"X-Tag", tag}}, "body " + tag));
        const bool right = answer.transportResult == kTransportCompleted && answer.status == 200 &&
                           answer.body == "body " + tag &&
                           HeaderValue(answer.headers, "X-Tag") == tag;
        if (!right) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

#endif  // TPK_CURL_CONCURRENCY_TESTS

}  // namespace
