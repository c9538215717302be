// HttpServer: an event-driven HTTP/1.1 server (Boost.Beast's parser over Boost.Asio) that holds
// no thread per connection: a few I/O threads serve every connection, idle or slow ones included,
// and a handler answers each request on whatever thread it likes. What it enforces itself:
//   - the request head: at most headLimit bytes in all (431), the target at most targetLimit
//     (414), strict syntax (400: a NUL, CR or LF in a header value, a Content-Length that is not
//     a decimal number or is given twice with different values, a malformed chunk);
//   - deadlines: the head complete within headTimeout of the connection's first byte or of the
//     previous answer, the body within bodyTimeout of the head (408 and the connection closed);
//     a connection that sends nothing for keepAlive, new or kept alive, is closed quietly; an
//     answer that cannot be written within writeTimeout closes the connection;
//   - bodies: at most maxBodyBytes, by the declared length or as chunks come (413);
//   - at most maxConnections open connections: one more is closed as it is accepted;
//   - pipelined requests are parsed one at a time and answered in order; a request whose
//     client has already shut down its side is still answered.
// Every refusal it makes itself goes out with Connection: close, through `refusal` (so the body
// is the handler's kind of error), and a connection closed after an answer is shut down for
// sending and read to its end (at most lingerBytes, lingerTimeout) first, so that unread request
// bytes cannot reset it before the client has read the answer.
// Thread-safe. The handler's members run on the server's threads, ioThreads of which serve I/O
// while handlerThreads more wait in reserve. Serve may block (a call to a slow remote service,
// say) between BeginBlocking and EndBlocking on at most handlerThreads threads at once, which the
// handler bounds itself: the others go on serving, and a thread in reserve joins them when none
// would be left. The other members must not block.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/transport.h"
#include "result/host_result.h"

namespace Oxle::Client::Host::Cli {

struct HttpRequest {
  std::string method;               // as sent, e.g. "GET"
  std::string target;               // the raw target: path, optionally "?" and a query
  std::string path;                 // the target up to "?"
  HeaderList headers;               // in the order sent
  std::optional<std::string> body;  // when the request declared one (a length or chunks)
  std::string localAddress;         // the address the connection arrived at

  // How many headers of that name (any letter case) there are, and the first one's value.
  [[nodiscard]] size_t HeaderCount(std::string_view name) const noexcept;
  [[nodiscard]] std::string Header(std::string_view name) const;
};

struct HttpResponse {
  uint32_t status = 200;
  HeaderList headers;    // without the framing ones (Content-Length, Transfer-Encoding, Connection)
  std::string body;      // none goes out for 1xx, 204, 304 or a HEAD request
  bool chunked = false;  // the body goes out as chunks rather than with a length
  bool close = false;    // the connection is closed after this answer
};

// What a streamed answer sends after its head; pulled on the connection's own thread of the
// moment, one batch at a time, never while a write is in progress.
class HttpStreamSource {
 public:
  virtual ~HttpStreamSource() = default;
  // Called once the head went out, with what wakes this stream (from any thread, never
  // blocking): each wake makes the server Pull again.
  virtual void Attach(std::function<void()> wake) = 0;
  // Appends what is ready to `out`; `tick` is true on the server's periodic call (every
  // streamTick). False ends the stream and closes its connection.
  virtual bool Pull(std::vector<std::shared_ptr<const std::string>>& out, bool tick) = 0;
  // The stream ended: its client went away, Pull gave false, or the server stopped. Called once.
  virtual void Closed() noexcept = 0;
};

class HttpConnection;

// Answers one request, exactly once, from any thread; an unanswered request gets 500 when its
// responder goes.
class HttpResponder {
 public:
  explicit HttpResponder(std::shared_ptr<HttpConnection> connection) noexcept;
  HttpResponder(HttpResponder&&) noexcept = default;
  HttpResponder& operator=(HttpResponder&&) noexcept = delete;
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;
  ~HttpResponder();

  void Answer(HttpResponse response);
  // Sends `head` (status and headers, chunked), then what `source` gives until the stream ends.
  void Stream(HttpResponse head, std::shared_ptr<HttpStreamSource> source);

 private:
  std::shared_ptr<HttpConnection> connection_;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // The head is in (request.body not yet read): an answer refuses the request before its body
  // is read (the connection is then closed if a body was declared). A client that asked
  // "Expect: 100-continue" is told to go on only when this gives nothing.
  virtual std::optional<HttpResponse> Admit(const HttpRequest& request) = 0;
  // The whole request; the answer may come later, from any thread. An answer given on this
  // thread before Serve returns goes out without leaving it.
  virtual void Serve(HttpRequest request, HttpResponder responder) = 0;
  // The server's own refusal of a request (status and message), as the handler writes errors.
  virtual HttpResponse Refusal(uint32_t status, std::string_view message) = 0;
  // After an answer went out (or a streamed one began): its method and path ("-" for a request
  // whose head could not be read) and status.
  virtual void Answered(std::string_view method, std::string_view path, uint32_t status) = 0;
};

struct HttpServerOptions {
  std::string address = "127.0.0.1";  // numeric; an IPv6 address without brackets
  uint16_t port = 0;                  // 0: a free port
  size_t ioThreads = 2;
  size_t handlerThreads = 0;  // threads in reserve, for the handler's blocking Serve calls
  size_t maxConnections = 1024;
  size_t headLimit = 64 * 1024;
  size_t targetLimit = 8 * 1024;
  uint64_t maxBodyBytes = uint64_t{16} << 20;
  std::chrono::milliseconds headTimeout{10000};
  std::chrono::milliseconds bodyTimeout{30000};
  std::chrono::milliseconds keepAlive{5000};
  std::chrono::milliseconds writeTimeout{10000};
  std::chrono::milliseconds streamTick{1000};
  size_t lingerBytes = size_t{64} << 20;
  std::chrono::milliseconds lingerTimeout{2000};
};

class HttpServer {
 public:
  // `handler` must outlive the server.
  HttpServer(HttpHandler& handler, HttpServerOptions options);
  ~HttpServer();  // Stop(0)
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; fails when the address can't be bound.
  Status Start();
  // Stops accepting and ends the streams; each connection is closed once its answer in
  // progress went out, or after `grace`; then the I/O threads end. Answers given after this
  // are dropped. Later calls do nothing.
  void Stop(std::chrono::milliseconds grace);

  [[nodiscard]] uint16_t Port() const noexcept;
  // Runs `work` on one of the server's threads, soon; work posted after Stop began may not run.
  void Post(std::function<void()> work);
  // Around a blocking part of the handler's work on one of the server's threads: the server's
  // other threads serve I/O meanwhile. Nothing on another thread. Pairs do not nest.
  void BeginBlocking() noexcept;
  void EndBlocking() noexcept;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace Oxle::Client::Host::Cli
