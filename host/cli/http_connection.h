// HttpConnection and HttpServerState (internal to tpk_cli, for http_server.cpp): one client
// connection of HttpServer, driven on a strand of its own through its phases: reading a head
// (with its deadline and size bound), asking the handler to admit it, reading a body, waiting for
// the handler's answer, writing it, streaming, and lingering before the close. What it shares
// with the server is HttpServerState. Its public members may be called from any thread (they post
// to the strand); everything else runs on the strand.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/http_server.h"

namespace Oxle::Client::Host::Cli {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

// What a server shares with its connections.
struct HttpServerState {
  HttpServerState(HttpHandler& handler, HttpServerOptions options)
      : handler(handler), options(std::move(options)) {}

  HttpHandler& handler;
  const HttpServerOptions options;
  std::atomic<size_t> open{0};  // connections accepted and not closed yet
  std::atomic<bool> stopping{false};
};

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  // Counted in `server.open` by the caller; `server` must outlive the connection.
  HttpConnection(HttpServerState& server, tcp::socket socket);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  void Start();

  // From any thread.
  void Answer(HttpResponse response);

  void Stream(HttpResponse head, std::shared_ptr<HttpStreamSource> source);

  // A request whose responder went unanswered.
  void Abandoned();

  // The server stops: an idle connection closes now, a stream ends, an answer in progress
  // still goes out (and the connection closes after it); `force` closes in any case.
  void Shutdown(bool force);

 private:
  enum class Phase { Head, Body, Serving, Writing, Streaming, Lingering, Closed };

  // ---- deadlines ----

  // The current phase's deadline; Disarm leaves it none.
  void Arm(Clock::time_point deadline);

  void Disarm();

  // The timer's wait ended: the deadline passed, moved later, or went.
  void OnTimer();

  void OnDeadline();

  // ---- reading a request ----

  void NextRequest();

  // Feeds what is buffered to the parser; reads more when it needs more.
  void Parse();

  void OnRead(Phase phase, ErrorCode error, size_t length);

  void Malformed(ErrorCode error);

  [[nodiscard]] std::string TooLarge() const;

  void OnHead();

  void Dispatch();

  // ---- writing ----

  void Refuse(uint32_t status, const std::string& message);

  // The status line and headers; a length for a body unless it goes in chunks.
  [[nodiscard]] std::string HeadText(const HttpResponse& response, bool chunked, bool close) const;

  static void AppendChunk(std::string& out, std::string_view data);

  void Write(HttpResponse response);

  void OnWritten(ErrorCode error);

  void Log() noexcept;

  // ---- streams ----

  void BeginStream(HttpResponse head, std::shared_ptr<HttpStreamSource> source);

  // A streamed answer's client sends nothing more: a read that ends is the client going away.
  void WatchPeer();

  void Pull(bool tick);

  void OnStreamWritten(ErrorCode error);

  // The last chunk, then the close.
  void EndStream();

  // ---- closing ----

  // Shuts the sending side and reads what the client still sends, so that unread request bytes
  // cannot turn the close into a reset that destroys the answer before the client read it.
  void Linger();

  void LingerRead();

  // A read still pending (a request's, or a stream's watch) ends at once, unperformed, so the
  // next read may use the buffer.
  void CancelIo();

  void Close();

  HttpServerState& server_;
  const HttpServerOptions& options_;
  tcp::socket socket_;
  net::steady_timer timer_;
  uint64_t generation_ = 0;  // of the timer's latest wait
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point armedFor_;  // when the latest wait ends
  bool waiting_ = false;        // a wait is in progress
  Phase phase_ = Phase::Head;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string localAddress_;
  Clock::time_point headStart_;
  size_t headBytes_ = 0;   // of the request's head, parsed so far
  bool sawByte_ = false;   // of the request being read
  bool answered_ = false;  // a request of this connection
  HttpRequest request_;
  std::string method_ = "-", path_ = "-";  // of the request being answered, for the log
  bool keepAlive_ = true, http10_ = false, headRequest_ = false;
  uint32_t status_ = 0;
  bool close_ = false;
  std::string head_, body_;  // what is being written
  std::shared_ptr<HttpStreamSource> source_;
  std::vector<std::shared_ptr<const std::string>> batch_;
  bool writing_ = false, pullAgain_ = false, ending_ = false;
  Clock::time_point writeStart_;
  size_t lingered_ = 0;
};

}  // namespace Oxle::Client::Host::Cli
