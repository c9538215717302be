#include "cli/http_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <list>
#include <mutex>
#include <thread>

#include "cli/cli_options.h"

namespace Oxle::Client::Host::Cli {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

namespace {

// What one read asks the socket for.
constexpr size_t kReadSize = 16 * 1024;

[[nodiscard]] char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] bool SameNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// "10 s", or "1500 ms" for a time that is no whole number of seconds.
[[nodiscard]] std::string Duration(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) return std::to_string(time.count() / 1000) + " s";
  return std::to_string(time.count()) + " ms";
}

[[nodiscard]] std::string ReasonPhrase(uint32_t status) {
  const auto reason = http::obsolete_reason(static_cast<http::status>(status));
  const std::string text(reason.data(), reason.size());
  return text == "<unknown-status>" ? "Status" : text;
}

[[nodiscard]] bool CarriesBody(uint32_t status) {
  return status >= 200 && status != 204 && status != 304;
}

}  // namespace

size_t HttpRequest::HeaderCount(std::string_view name) const noexcept {
  return static_cast<size_t>(std::count_if(
      headers.begin(), headers.end(), [name](const auto& h) { return SameNoCase(h.first, name); }));
}

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (SameNoCase(key, name)) return value;
  return {};
}

struct HttpServer::Impl {
  Impl(HttpHandler& handler, HttpServerOptions options)
      : handler(handler), options(std::move(options)) {}

  void Accept();
  void Register(const std::shared_ptr<HttpConnection>& connection);
  template <typename Each>
  void ForEachConnection(Each each);

  HttpHandler& handler;
  const HttpServerOptions options;
  net::io_context io;
  tcp::acceptor acceptor{net::make_strand(io)};
  net::steady_timer acceptRetry{acceptor.get_executor()};
  std::vector<std::thread> threads;
  std::atomic<size_t> open{0};
  std::atomic<bool> stopping{false};
  std::atomic<uint16_t> port{0};
  std::mutex mutex;  // guards connections, started, stopped
  std::list<std::weak_ptr<HttpConnection>> connections;
  bool started = false;
  bool stopped = false;
};

// One client connection, driven on its own strand: reading a head, reading a body, waiting for
// the handler's answer, writing it, streaming, or lingering before the close.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(HttpServer::Impl& server, tcp::socket socket)
      : server_(server),
        options_(server.options),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()) {}

  ~HttpConnection() {
    if (phase_ != Phase::Closed) server_.open.fetch_sub(1);
  }

  void Start() {
    ErrorCode ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    localAddress_ = socket_.local_endpoint(ignored).address().to_string(ignored);
    net::post(socket_.get_executor(), [self = shared_from_this()] { self->NextRequest(); });
  }

  // From any thread.
  void Answer(HttpResponse response) {
    net::post(socket_.get_executor(),
              [self = shared_from_this(), response = std::move(response)]() mutable {
                if (self->phase_ == Phase::Serving) self->Write(std::move(response));
              });
  }

  void Stream(HttpResponse head, std::shared_ptr<HttpStreamSource> source) {
    net::post(socket_.get_executor(), [self = shared_from_this(), head = std::move(head),
                                       source = std::move(source)]() mutable {
      if (self->phase_ != Phase::Serving) {
        source->Closed();
        return;
      }
      self->BeginStream(std::move(head), std::move(source));
    });
  }

  // A request whose responder went unanswered.
  void Abandoned() {
    net::post(socket_.get_executor(), [self = shared_from_this()] {
      if (self->phase_ == Phase::Serving) self->Refuse(500, "The server gave no answer");
    });
  }

  // The server stops: an idle connection closes now, a stream ends, an answer in progress
  // still goes out (and the connection closes after it); `force` closes in any case.
  void Shutdown(bool force) {
    net::post(socket_.get_executor(), [self = shared_from_this(), force] {
      if (force || self->phase_ == Phase::Head || self->phase_ == Phase::Body) {
        self->Close();
      } else if (self->phase_ == Phase::Streaming) {
        self->EndStream();
      }
    });
  }

 private:
  enum class Phase { Head, Body, Serving, Writing, Streaming, Lingering, Closed };

  // ---- deadlines ----

  void Arm(Clock::time_point deadline) {
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this(), generation = ++generation_](ErrorCode error) {
      if (!error && generation == self->generation_) self->OnDeadline();
    });
  }

  void Disarm() {
    ++generation_;
    timer_.cancel();
  }

  void OnDeadline() {
    switch (phase_) {
      case Phase::Head:
        if (!sawByte_) {
          Close();  // an idle kept-alive connection
          return;
        }
        CancelIo();
        Refuse(408, "The request head did not arrive within " + Duration(options_.headTimeout));
        return;
      case Phase::Body:
        CancelIo();
        Refuse(408, "The request body did not arrive within " + Duration(options_.bodyTimeout));
        return;
      case Phase::Streaming:
        if (writing_ && Clock::now() - writeStart_ > options_.writeTimeout) {
          Close();
          return;
        }
        Arm(Clock::now() + options_.streamTick);
        Pull(true);
        return;
      case Phase::Writing:
      case Phase::Lingering:
        Close();
        return;
      case Phase::Serving:
      case Phase::Closed:
        return;
    }
  }

  // ---- reading a request ----

  void NextRequest() {
    if (server_.stopping.load()) {
      Close();
      return;
    }
    phase_ = Phase::Head;
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(std::min<size_t>(options_.headLimit, UINT32_MAX)));
    parser_->body_limit(UINT64_MAX);  // checked after the handler admitted the head
    method_ = "-";
    path_ = "-";
    headStart_ = Clock::now();
    headBytes_ = 0;
    sawByte_ = buffer_.size() != 0;
    Arm(headStart_ +
        (sawByte_ ? options_.headTimeout : std::min(options_.keepAlive, options_.headTimeout)));
    Parse();
  }

  // Feeds what is buffered to the parser; reads more when it needs more.
  void Parse() {
    while (buffer_.size() != 0) {
      ErrorCode error;
      const size_t used = parser_->put(buffer_.data(), error);
      buffer_.consume(used);
      if (phase_ == Phase::Head) headBytes_ += used;
      // The parser bounds the start line and the fields each; the head is bounded in all.
      if (phase_ == Phase::Head && headBytes_ + (error ? buffer_.size() : 0) > options_.headLimit) {
        error = http::error::header_limit;
      }
      if (error == http::error::need_more) break;
      if (error) {
        Malformed(error);
        return;
      }
      if (phase_ == Phase::Head && parser_->is_header_done()) {
        OnHead();
        return;
      }
      if (parser_->is_done()) {
        Dispatch();
        return;
      }
    }
    socket_.async_read_some(buffer_.prepare(kReadSize),
                            [self = shared_from_this(), phase = phase_](ErrorCode error, size_t n) {
                              self->OnRead(phase, error, n);
                            });
  }

  void OnRead(Phase phase, ErrorCode error, size_t length) {
    if (phase_ != phase) return;  // a deadline or a stop took over
    buffer_.commit(length);
    if (error == net::error::eof && (phase_ == Phase::Body || sawByte_)) {
      // The client shut its side mid-request; it may still read.
      Refuse(400, "The request ended before it was complete");
      return;
    }
    if (error) {
      Close();  // the client went away, or kept its connection idle to the end
      return;
    }
    if (phase_ == Phase::Head && !sawByte_) {
      sawByte_ = true;
      // A connection's first head is timed from its first byte, a later one from the answer
      // before it.
      if (!answered_) headStart_ = Clock::now();
      Arm(headStart_ + options_.headTimeout);
    }
    Parse();
  }

  void Malformed(ErrorCode error) {
    if (error == http::error::header_limit) {
      Refuse(431,
             "The request head is larger than " + std::to_string(options_.headLimit) + " bytes");
    } else if (error == http::error::body_limit) {
      Refuse(413, TooLarge());
    } else {
      Refuse(400, "The request is malformed: " + error.message());
    }
  }

  [[nodiscard]] std::string TooLarge() const {
    return "The request body is larger than " + std::to_string(options_.maxBodyBytes) + " bytes";
  }

  void OnHead() {
    auto& head = parser_->get();
    request_ = HttpRequest();
    request_.method = std::string(head.method_string());
    request_.target = std::string(head.target());
    request_.path = request_.target.substr(0, request_.target.find('?'));
    method_ = request_.method;
    path_ = request_.path;
    for (const auto& field : head)
      request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    request_.localAddress = localAddress_;
    keepAlive_ = head.keep_alive();
    http10_ = head.version() < 11;
    headRequest_ = head.method() == http::verb::head;
    if (request_.target.size() > options_.targetLimit) {
      Refuse(414, "The request target is too long");
      return;
    }
    const bool hasBody = parser_->chunked() || parser_->content_length().value_or(0) != 0;
    std::optional<HttpResponse> refusal;
    try {
      refusal = server_.handler.Admit(request_);
    } catch (...) {
      Refuse(500, "The server failed to admit the request");
      return;
    }
    if (refusal) {
      refusal->close = refusal->close || hasBody;
      Write(std::move(*refusal));
      return;
    }
    if (!hasBody) {
      Dispatch();
      return;
    }
    if (parser_->content_length().value_or(0) > options_.maxBodyBytes) {
      Refuse(413, TooLarge());
      return;
    }
    parser_->body_limit(options_.maxBodyBytes);
    phase_ = Phase::Body;
    Arm(Clock::now() + options_.bodyTimeout);
    if (SameNoCase(request_.Header("Expect"), "100-continue") && buffer_.size() == 0) {
      // The client waits with its body until it is told to go on.
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      net::async_write(socket_, net::buffer(kContinue.data(), kContinue.size()),
                       [self = shared_from_this()](ErrorCode error, size_t) {
                         if (self->phase_ != Phase::Body) return;
                         if (error) {
                           self->Close();
                           return;
                         }
                         self->Parse();
                       });
      return;
    }
    Parse();
  }

  void Dispatch() {
    phase_ = Phase::Serving;
    Disarm();
    if (parser_->chunked() || parser_->content_length().value_or(0) != 0) {
      request_.body = std::move(parser_->get().body());
    }
    parser_.reset();
    try {
      server_.handler.Serve(std::move(request_), HttpResponder(shared_from_this()));
    } catch (...) {
      // The responder went with the exception and answered 500.
    }
  }

  // ---- writing ----

  void Refuse(uint32_t status, const std::string& message) {
    HttpResponse response;
    try {
      response = server_.handler.Refusal(status, message);
    } catch (...) {
      response = HttpResponse{status, {}, message};
    }
    response.close = true;
    Write(std::move(response));
  }

  // The status line and headers; a length for a body unless it goes in chunks.
  [[nodiscard]] std::string HeadText(const HttpResponse& response, bool chunked, bool close) const {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       ReasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers)
      text.append(name).append(": ").append(value).append("\r\n");
    if (CarriesBody(response.status)) {
      if (chunked) {
        text += "Transfer-Encoding: chunked\r\n";
      } else {
        text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
      }
    }
    if (close) text += "Connection: close\r\n";
    text += "\r\n";
    return text;
  }

  static void AppendChunk(std::string& out, std::string_view data) {
    static constexpr char kHex[] = "0123456789abcdef";
    char size[20];
    size_t at = sizeof size;
    size_t length = data.size();
    do {
      size[--at] = kHex[length & 15];
      length >>= 4;
    } while (length != 0);
    out.append(size + at, sizeof size - at).append("\r\n").append(data).append("\r\n");
  }

  void Write(HttpResponse response) {
    phase_ = Phase::Writing;
    status_ = response.status;
    close_ = response.close || !keepAlive_ || server_.stopping.load();
    const bool chunked = response.chunked && !http10_;
    head_ = HeadText(response, chunked, close_);
    body_.clear();
    if (!headRequest_ && CarriesBody(response.status)) {
      if (chunked) {
        if (!response.body.empty()) AppendChunk(head_, response.body);
        head_ += "0\r\n\r\n";
      } else {
        body_ = std::move(response.body);
      }
    }
    Arm(Clock::now() + options_.writeTimeout);
    const std::array<net::const_buffer, 2> buffers{net::buffer(head_), net::buffer(body_)};
    net::async_write(socket_, buffers, [self = shared_from_this()](ErrorCode error, size_t) {
      self->OnWritten(error);
    });
  }

  void OnWritten(ErrorCode error) {
    if (phase_ != Phase::Writing) return;
    answered_ = true;
    Log();
    head_.clear();
    head_.shrink_to_fit();
    body_.clear();
    body_.shrink_to_fit();
    if (error) {
      Close();
    } else if (close_) {
      Linger();
    } else {
      NextRequest();
    }
  }

  void Log() noexcept {
    try {
      server_.handler.Answered(method_, path_, status_);
    } catch (...) {
    }
  }

  // ---- streams ----

  void BeginStream(HttpResponse head, std::shared_ptr<HttpStreamSource> source) {
    if (headRequest_ || !CarriesBody(head.status)) {
      source->Closed();
      Write(std::move(head));
      return;
    }
    phase_ = Phase::Streaming;
    source_ = std::move(source);
    status_ = head.status;
    head_ = HeadText(head, !http10_, http10_);
    writing_ = true;
    writeStart_ = Clock::now();
    Arm(writeStart_ + options_.streamTick);
    net::async_write(socket_, net::buffer(head_),
                     [self = shared_from_this()](ErrorCode error, size_t) {
                       if (self->phase_ != Phase::Streaming) return;
                       self->Log();
                       self->OnStreamWritten(error);
                       if (self->phase_ != Phase::Streaming) return;
                       self->WatchPeer();
                       std::weak_ptr<HttpConnection> weak = self;
                       self->source_->Attach([weak] {
                         if (auto connection = weak.lock()) {
                           net::post(connection->socket_.get_executor(), [connection] {
                             if (connection->phase_ == Phase::Streaming) connection->Pull(false);
                           });
                         }
                       });
                     });
  }

  // A streamed answer's client sends nothing more: a read that ends is the client going away.
  void WatchPeer() {
    socket_.async_read_some(buffer_.prepare(kReadSize),
                            [self = shared_from_this()](ErrorCode error, size_t length) {
                              if (self->phase_ != Phase::Streaming) return;
                              self->buffer_.commit(length);
                              self->buffer_.clear();
                              if (error) {
                                self->Close();
                              } else {
                                self->WatchPeer();
                              }
                            });
  }

  void Pull(bool tick) {
    if (writing_) {
      pullAgain_ = true;
      return;
    }
    batch_.clear();
    bool more = false;
    try {
      more = source_->Pull(batch_, tick);
    } catch (...) {
    }
    if (!more) {
      EndStream();
      return;
    }
    if (batch_.empty()) return;
    head_.clear();
    for (const auto& message : batch_)
      if (http10_) {
        head_ += *message;
      } else {
        AppendChunk(head_, *message);
      }
    batch_.clear();
    writing_ = true;
    writeStart_ = Clock::now();
    net::async_write(socket_, net::buffer(head_),
                     [self = shared_from_this()](ErrorCode error, size_t) {
                       if (self->phase_ == Phase::Streaming) self->OnStreamWritten(error);
                     });
  }

  void OnStreamWritten(ErrorCode error) {
    writing_ = false;
    if (error) {
      Close();
      return;
    }
    if (ending_) {
      Linger();
      return;
    }
    if (pullAgain_) {
      pullAgain_ = false;
      Pull(false);
    }
  }

  // The last chunk, then the close.
  void EndStream() {
    if (phase_ != Phase::Streaming || ending_) return;
    ending_ = true;
    if (writing_) {
      Close();  // a client that does not read what it was sent is not waited for
      return;
    }
    head_ = http10_ ? "" : "0\r\n\r\n";
    writing_ = true;
    writeStart_ = Clock::now();
    net::async_write(socket_, net::buffer(head_),
                     [self = shared_from_this()](ErrorCode error, size_t) {
                       if (self->phase_ == Phase::Streaming) self->OnStreamWritten(error);
                     });
  }

  // ---- closing ----

  // Shuts the sending side and reads what the client still sends, so that unread request bytes
  // cannot turn the close into a reset that destroys the answer before the client read it.
  void Linger() {
    phase_ = Phase::Lingering;
    CancelIo();
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    Arm(Clock::now() + options_.lingerTimeout);
    LingerRead();
  }

  void LingerRead() {
    socket_.async_read_some(buffer_.prepare(kReadSize),
                            [self = shared_from_this()](ErrorCode error, size_t length) {
                              if (self->phase_ != Phase::Lingering) return;
                              self->lingered_ += length;
                              self->buffer_.clear();
                              if (error || self->lingered_ > self->options_.lingerBytes) {
                                self->Close();
                              } else {
                                self->LingerRead();
                              }
                            });
  }

  // A read still pending (a request's, or a stream's watch) ends at once, unperformed, so the
  // next read may use the buffer.
  void CancelIo() {
    ErrorCode ignored;
    socket_.cancel(ignored);
  }

  void Close() {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    server_.open.fetch_sub(1);
    Disarm();
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    parser_.reset();
    buffer_ = {};
    if (auto source = std::move(source_)) source->Closed();
  }

  HttpServer::Impl& server_;
  const HttpServerOptions& options_;
  tcp::socket socket_;
  net::steady_timer timer_;
  uint64_t generation_ = 0;
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

// ---- the responder ----

HttpResponder::HttpResponder(std::shared_ptr<HttpConnection> connection) noexcept
    : connection_(std::move(connection)) {}

HttpResponder::~HttpResponder() {
  if (connection_) {
    try {
      connection_->Abandoned();
    } catch (...) {
    }
  }
}

void HttpResponder::Answer(HttpResponse response) {
  if (auto connection = std::exchange(connection_, nullptr))
    connection->Answer(std::move(response));
}

void HttpResponder::Stream(HttpResponse head, std::shared_ptr<HttpStreamSource> source) {
  if (auto connection = std::exchange(connection_, nullptr)) {
    connection->Stream(std::move(head), std::move(source));
  } else {
    source->Closed();
  }
}

// ---- the server ----

void HttpServer::Impl::Register(const std::shared_ptr<HttpConnection>& connection) {
  std::lock_guard lock(mutex);
  if (connections.size() > 2 * open.load() + 64) {
    connections.remove_if([](const auto& weak) { return weak.expired(); });
  }
  connections.push_back(connection);
}

template <typename Each>
void HttpServer::Impl::ForEachConnection(Each each) {
  std::vector<std::shared_ptr<HttpConnection>> alive;
  {
    std::lock_guard lock(mutex);
    for (const auto& weak : connections)
      if (auto connection = weak.lock()) alive.push_back(std::move(connection));
  }
  for (const auto& connection : alive)
    each(*connection);
}

void HttpServer::Impl::Accept() {
  acceptor.async_accept(net::make_strand(io), [this](ErrorCode error, tcp::socket socket) {
    if (stopping.load() || error == net::error::operation_aborted) return;
    if (error) {
      // Out of descriptors, most likely: try again shortly rather than spin.
      acceptRetry.expires_after(std::chrono::milliseconds(50));
      acceptRetry.async_wait([this](ErrorCode waited) {
        if (!waited && !stopping.load()) Accept();
      });
      return;
    }
    if (open.load() >= options.maxConnections) {
      ErrorCode ignored;
      socket.close(ignored);  // refused: the others are not disturbed
    } else {
      open.fetch_add(1);
      auto connection = std::make_shared<HttpConnection>(*this, std::move(socket));
      Register(connection);
      connection->Start();
    }
    Accept();
  });
}

HttpServer::HttpServer(HttpHandler& handler, HttpServerOptions options)
    : impl_(std::make_shared<Impl>(handler, std::move(options))) {}

HttpServer::~HttpServer() {
  Stop(std::chrono::milliseconds(0));
}

Status HttpServer::Start() {
  Impl& self = *impl_;
  std::lock_guard lock(self.mutex);
  if (self.started) return Status::Error("The server was started before");
  const HttpServerOptions& options = self.options;
  ErrorCode error;
  const net::ip::address address = net::ip::make_address(options.address, error);
  const std::string where = HostAndPort(options.address, options.port);
  if (error) return Status::Error("Can't listen on " + where + ": " + error.message());
  const tcp::endpoint endpoint(address, options.port);
  // SO_REUSEADDR only: a port another server holds must fail to bind.
  if (self.acceptor.open(endpoint.protocol(), error) ||
      self.acceptor.set_option(tcp::acceptor::reuse_address(true), error) ||
      self.acceptor.bind(endpoint, error) ||
      self.acceptor.listen(net::socket_base::max_listen_connections, error)) {
    ErrorCode ignored;
    self.acceptor.close(ignored);
    std::string text = error.message();
    if (!text.empty())
      text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return Status::Error("Can't listen on " + where + ": " + text);
  }
  self.port = self.acceptor.local_endpoint(error).port();
  self.started = true;
  self.Accept();
  for (size_t i = 0; i < std::max<size_t>(options.ioThreads, 1); ++i)
    self.threads.emplace_back([&self] { self.io.run(); });
  return Status();
}

void HttpServer::Stop(std::chrono::milliseconds grace) {
  Impl& self = *impl_;
  {
    std::lock_guard lock(self.mutex);
    if (!self.started || self.stopped) return;
    self.stopped = true;
  }
  self.stopping = true;
  net::post(self.acceptor.get_executor(), [&self] {
    ErrorCode ignored;
    self.acceptor.close(ignored);
    self.acceptRetry.cancel();
  });
  self.ForEachConnection([](HttpConnection& connection) { connection.Shutdown(false); });
  const auto deadline = Clock::now() + grace;
  while (self.open.load() != 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  self.ForEachConnection([](HttpConnection& connection) { connection.Shutdown(true); });
  for (std::thread& thread : self.threads)
    thread.join();
  self.threads.clear();
}

uint16_t HttpServer::Port() const noexcept {
  return impl_->port.load();
}

size_t HttpServer::ConnectionCount() const noexcept {
  return impl_->open.load();
}

}  // namespace Oxle::Client::Host::Cli
