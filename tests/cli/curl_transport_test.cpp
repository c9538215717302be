// CurlTransport against peers on 127.0.0.1: a one-shot raw socket peer for what must hold byte
// for byte on the wire (methods, bodies, header order both ways, redirects, size caps) and a
// cpp-httplib server for time-outs, a transfer cut short, TLS with certificates made here, and
// many senders. Built twice: the concurrency executable holds only the test of four threads
// sending at once. Every wait is bounded.
#include "cli/curl_transport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_support.h"

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

// A cpp-httplib server (plain or TLS) on 127.0.0.1 and a free port, whose POST /echo answers
// with the body and the X-Tag header it was sent.
struct Served {
  explicit Served(std::unique_ptr<httplib::Server> created = std::make_unique<httplib::Server>())
      : server(std::move(created)) {
    server->Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
      response.set_header("X-Tag", request.get_header_value("X-Tag"));
      response.set_content(request.body, "application/octet-stream");
    });
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

#ifndef TPK_CURL_CONCURRENCY_TESTS

// Accepts one connection, keeps what arrives (head and Content-Length body) and answers `reply`.
struct RawPeer {
  explicit RawPeer(std::string reply) : listener(CliSupport::Loopback(port, true)) {
    thread = std::thread([this, reply = std::move(reply)] { Serve(reply); });
  }
  ~RawPeer() { close((Received(), listener)); }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  const std::string& Received() {
    if (thread.joinable()) thread.join();
    return received;
  }
  // The listener's 20 s receive time-out, which its connection inherits, bounds every wait.
  void Serve(const std::string& reply) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    char buffer[64 << 10];
    for (size_t wanted = std::string::npos; received.size() < wanted;) {
      const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received.append(buffer, static_cast<size_t>(got));
      const size_t headEnd = received.find("\r\n\r\n"), at = received.find("Content-Length: ");
      if (headEnd != std::string::npos)
        wanted = headEnd + 4 + (at < headEnd ? std::stoul(received.substr(at + 16)) : size_t{0});
    }
    heard = true;
    if (reply.empty()) (void)recv(connection, buffer, 1, 0);  // silent until the client gives up
    (void)send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(connection);
  }

  int port = 0;
  int listener;
  std::atomic<bool> heard{false};  // the whole request arrived
  std::string received;
  std::thread thread;
};

// An answer with `body` (after "HTTP/1.1 "), framed by its length.
std::string Reply(const std::string& status, const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// Port 1 is closed: a request sent there would fail otherwise.
TEST(CurlTransport, RequestsThatCannotBeSentFailBeforeAnythingIsSent) {
  const std::string secret = "Bearer s3cret-token", name = "the name of header ";
  const std::string colon = "0 ('Authorization') holds ':' at offset 13";
  const std::string value = "the value of header 'Authorization' holds ";
  const std::string method = " names no HTTP method (1 DELETE to 7 PUT)";
  const std::string cr = " holds a carriage return at offset 3";
  // method, headers, body, the failure after "The request was not sent: "
  const std::tuple<uint32_t, HeaderList, std::string, std::string> cases[] = {
      {0, {}, "", "method code 0" + method},
      {8, {}, "", "method code 8" + method},
      {3, {}, "x", "a HEAD request cannot carry a body"},
      {2, {{"X-Ok", "1"}, {"X-A\r\nX-I", "1"}}, "", name + "1 ('X-A')" + cr},
      {2, {{"Authorization: " + secret, "x"}}, "", name + colon},
      {2, {{"", "s3cret-token"}}, "", "header 0 has an empty name"},
      {6, {{"Authorization", secret + "\r\nX-I: 1"}}, "body", value + "a carriage return"},
      {2, {{"Authorization", secret + "\nX-I: 1"}}, "", value + "a line feed"},
      {2, {{"Authorization", secret + std::string("\0X", 2)}}, "", value + "a NUL byte"},
  };
  CurlTransport transport;
  for (const auto& [code, headers, body, message] : cases) {
    SCOPED_TRACE(message);
    const ExternalAnswer answer =
        transport.Send(ExternalRequest{code, "http://127.0.0.1:1/x", headers, body});
    EXPECT_EQ(answer.transportResult, kTransportFailed);
    EXPECT_EQ(answer.status, 0u);
    EXPECT_TRUE(answer.headers.empty());
    EXPECT_EQ(answer.body, "The request was not sent: " + message);
  }
}

TEST(CurlTransport, EachMethodCodeGoesOutAsItsMethodWithItsBodyAndHeadersInOrder) {
  // Above 1 MiB curl would ask "Expect: 100-continue" and wait for the server's go-ahead.
  const std::string large((1 << 20) + 1, 'b'), typed = "content-type: application/json\r\n";
  // method code, body, request line (before " /wire?q=1 HTTP/1.1"), framing headers
  const std::tuple<uint32_t, std::string, std::string, std::string> cases[] = {
      {1, "", "DELETE", ""},
      {1, "gone", "DELETE", "Content-Length: 4\r\n"},
      {2, "", "GET", ""},
      {3, "", "HEAD", ""},
      {5, "patch", "PATCH", "Content-Length: 5\r\n"},
      {6, "", "POST", "Content-Length: 0\r\n"},
      {6, std::string("a\0b\r\nc", 6), "POST", "Content-Length: 6\r\n"},
      {6, "{}", "POST", typed + "Content-Length: 2\r\n"},  // the module names its own type
      {6, large, "POST", "Content-Length: 1048577\r\n"},
      {7, "", "PUT", "Content-Length: 0\r\n"},
  };
  CurlTransport transport;
  for (const auto& [code, body, line, framing] : cases) {
    SCOPED_TRACE(line + " with " + std::to_string(body.size()) + " bytes");
    HeaderList headers = {
        {"X-B", "2"}, {"user-agent", "tpk/1"}, {"X-A", "1"}, {"X-A", "3"}, {"X-Empty", ""}};
    if (framing.starts_with(typed)) headers.emplace_back("content-type", "application/json");
    RawPeer peer(Reply("204 No Content"));
    const ExternalAnswer answer =
        transport.Send(ExternalRequest{code, peer.Url("/wire?q=1"), headers, body});
    EXPECT_EQ(answer.transportResult, kTransportCompleted) << answer.body;
    EXPECT_EQ(answer.status, 204u);
    const std::string& received = peer.Received();
    const size_t headEnd = std::min(received.find("\r\n\r\n") + 4, received.size());
    EXPECT_EQ(received.substr(0, headEnd),
              line + " /wire?q=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(peer.port) +
                  "\r\nAccept: */*\r\nX-B: 2\r\nuser-agent: tpk/1\r\nX-A: 1\r\nX-A: 3\r\n"
                  "X-Empty:\r\n" +
                  framing + "\r\n");
    EXPECT_TRUE(received.substr(headEnd) == body);
  }
}

// The final response's headers in the order received, a redirect answered as it is, bodies up
// to the cap and no further, and what curl reports as its text.
TEST(CurlTransport, AnswersComeBackAsReceivedUpToTheCapAndFailuresAsCurlsText) {
  const std::string bigger = "The response body is larger than the limit of 1024 bytes";
  int refused = 0;
  close(CliSupport::Loopback(refused, true));  // a port that was just free: refused
  const std::string closed = std::to_string(refused);
  // the reply (else the URL, when no peer answers), the status, the headers as "name=value;"
  // and a pattern of the body (curl's texts carry measured times)
  const std::tuple<std::string, uint32_t, std::string, std::string> cases[] = {
      {"HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 201 Created\r\nX-B: 2\r\nX-A: 1\r\n"
       "x-a:   3  \r\nX-Folded: one\r\n two\r\nX-Empty:\r\nContent-Length: 4\r\n\r\nbody",
       201, "X-B=2;X-A=1;x-a=3;X-Folded=one two;X-Empty=;Content-Length=4;", "body"},
      // Not followed: the peer would not answer a second request.
      {"HTTP/1.1 302 Found\r\nLocation: /target\r\nContent-Length: 0\r\n\r\n", 302,
       "Location=/target;Content-Length=0;", ""},
      {Reply("200 OK", std::string(1024, 'x')), 200, "Content-Length=1024;", "x{1024}"},
      {Reply("200 OK", std::string(1025, 'x')), 0, "", bigger},
      {"http://127.0.0.1:" + closed + "/x", 0, "",
       "Failed to connect to 127\\.0\\.0\\.1 port " + closed +
           " after [0-9]+ ms: Couldn't connect to server"},
      {"ftp://127.0.0.1:1/", 0, "", "Protocol \"ftp\" not supported or disabled in libcurl"},
  };
  CurlTransportOptions options;
  options.maxResponseBytes = 1024;
  CurlTransport transport(options);
  for (const auto& [sent, status, headers, body] : cases) {
    SCOPED_TRACE(sent.substr(0, 30));
    std::optional<RawPeer> peer;
    if (sent.starts_with("HTTP/")) peer.emplace(sent);
    const ExternalAnswer answer =
        transport.Send(ExternalRequest{2, peer ? peer->Url("/h") : sent, {}, {}, 5});
    std::string received;
    for (const auto& [name, value] : answer.headers)
      received += name + "=" + value + ";";
    EXPECT_EQ(answer.transportResult, status != 0 ? kTransportCompleted : kTransportFailed);
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(received, headers);
    EXPECT_TRUE(std::regex_match(answer.body, std::regex(body))) << answer.body;
  }
}

TEST(CurlTransport, TheTimeOutWordIsInSecondsZeroTakesTheDefaultAndAnOversizedTransferStops) {
  for (const auto& [word, defaultSeconds] : {std::pair{1u, 600u}, std::pair{0u, 1u}}) {
    SCOPED_TRACE(word);
    RawPeer silent("");
    CurlTransportOptions options;
    options.defaultTimeoutSeconds = defaultSeconds;
    const ExternalAnswer answer =
        CurlTransport(options).Send(ExternalRequest{2, silent.Url("/slow"), {}, {}, word});
    EXPECT_EQ(answer.transportResult, kTransportFailed);
    EXPECT_TRUE(std::regex_match(answer.body, std::regex("Operation timed out after [1-9][0-9]{3,} "
                                                         "milliseconds with 0 bytes received")))
        << answer.body;
  }
  // 1 GiB, chunked in pieces of 64 KiB: the transfer ends long before it is all written.
  std::atomic<size_t> provided{0};
  Served served;
  served.server->Get("/huge", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
      static const std::string piece(64 << 10, 'y');
      provided += piece.size();
      return provided < (size_t{1} << 30) && sink.write(piece.data(), piece.size());
    });
  });
  CurlTransportOptions options;
  options.maxResponseBytes = 1024;
  EXPECT_EQ(CurlTransport(options).Send(ExternalRequest{2, served.Url("/huge"), {}, {}}).body,
            "The response body is larger than the limit of 1024 bytes");
  EXPECT_LT(provided.load(), size_t{64} << 20);
}

TEST(CurlTransport, AbortEndsTheTransferInProgressAtOnceAndEveryLaterSendBeforeConnecting) {
  RawPeer silent("");
  CurlTransport transport;
  const ExternalRequest request{2, silent.Url("/wait"), {}, {}, 5};
  auto waiting = std::async(std::launch::async, [&] { return transport.Send(request); });
  for (int waited = 0; !silent.heard && waited < 10000; ++waited)  // 10 s at most
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  transport.Abort();
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
  for (const ExternalAnswer& answer : {waiting.get(), transport.Send(request)}) {
    EXPECT_EQ(answer.transportResult, kTransportFailed);
    EXPECT_EQ(answer.body, "Operation was aborted by an application callback");
  }
}

// A self-signed certificate for 127.0.0.1 and its key, the certificate written as PEM to `path`
// for the transport's CA file.
struct Certificate {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), &EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{X509_new(), &X509_free};

  explicit Certificate(const std::string& path) {
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("tpk test"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509V3_CTX context{};
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(x, extension, -1);
    X509_EXTENSION_free(extension);
    EXPECT_GT(X509_sign(x, key.get(), EVP_sha256()), 0);
    FILE* file = fopen(path.c_str(), "w");
    EXPECT_EQ(PEM_write_X509(file, x), 1);
    fclose(file);
  }
};

TEST(CurlTransport, TlsPeerAndHostNameAreVerified) {
  const CliSupport::TempDir dir;
  const std::string ca = dir.Sub("ca.pem");
  const Certificate certificate(ca);
  Served served(
      std::make_unique<httplib::SSLServer>(certificate.cert.get(), certificate.key.get()));
  const std::string loopback = served.Url("/echo", "https"), named = "https://localhost:";
  // the CA file, the URL, the failure ("" when the exchange completes)
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", loopback, "SSL certificate problem: self-signed certificate"},
      {ca, loopback, ""},
      {ca, named + std::to_string(served.port) + "/echo",
       "SSL: no alternative certificate subject name matches target host name 'localhost'"},
  };
  for (const auto& [caFile, url, failure] : cases) {
    SCOPED_TRACE(url + " " + failure);
    CurlTransportOptions options;
    options.caFile = caFile;
    const ExternalAnswer answer =
        CurlTransport(options).Send(ExternalRequest{6, url, {}, "over tls"});
    EXPECT_EQ(answer.transportResult, failure.empty() ? kTransportCompleted : kTransportFailed);
    EXPECT_EQ(answer.status, failure.empty() ? 200u : 0u);
    EXPECT_EQ(answer.body, failure.empty() ? "over tls" : failure);
  }
}

#else  // TPK_CURL_CONCURRENCY_TESTS

// Four threads share one transport (its handle pool and connections); every answer must be the
// one to its own request.
TEST(CurlTransportConcurrency, FourThreadsEachGetTheirOwnAnswers) {
  Served served;
  CurlTransport transport;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const std::string tag = std::to_string(t) + "/" + std::to_string(i);
        const ExternalAnswer answer = transport.Send(
            ExternalRequest{6, served.Url("/echo"), {{"X-Tag", tag}}, "body " + tag});
        HeaderList::value_type tagged{"X-Tag", tag};
        const bool right =
            answer.transportResult == kTransportCompleted && answer.status == 200 &&
            answer.body == "body " + tag &&
            std::find(answer.headers.begin(), answer.headers.end(), tagged) != answer.headers.end();
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
