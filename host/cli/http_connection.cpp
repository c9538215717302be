// HttpConnection: reading requests within their bounds and deadlines, writing answers and streams,
// and lingering before the close; and HttpResponder, which hands an answer to its connection.
#include "cli/http_connection.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>

#include <algorithm>
#include <array>
#include <utility>

#include "codec/ascii_case.h"

namespace Oxle::Client::Host::Cli {

namespace {

// What one read asks the socket for.
constexpr size_t kReadSize = 16 * 1024;

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

HttpConnection::HttpConnection(HttpServerState& server, tcp::socket socket)
    : server_(server),
      options_(server.options),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()) {}

HttpConnection::~HttpConnection() {
  if (phase_ != Phase::Closed) server_.open.fetch_sub(1);
}

void HttpConnection::Start() {
  ErrorCode ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  localAddress_ = socket_.local_endpoint(ignored).address().to_string(ignored);
  net::post(socket_.get_executor(), [self = shared_from_this()] { self->NextRequest(); });
}

void HttpConnection::Answer(HttpResponse response) {
  // At once when given on the connection's own strand (inside Serve), else queued to it.
  net::dispatch(socket_.get_executor(),
                [self = shared_from_this(), response = std::move(response)]() mutable {
                  if (self->phase_ == Phase::Serving) self->Write(std::move(response));
                });
}

void HttpConnection::Stream(HttpResponse head, std::shared_ptr<HttpStreamSource> source) {
  net::post(socket_.get_executor(), [self = shared_from_this(), head = std::move(head),
                                     source = std::move(source)]() mutable {
    if (self->phase_ != Phase::Serving) {
      source->Closed();
      return;
    }
    self->BeginStream(std::move(head), std::move(source));
  });
}

void HttpConnection::Abandoned() {
  net::post(socket_.get_executor(), [self = shared_from_this()] {
    if (self->phase_ == Phase::Serving) self->Refuse(500, "The server gave no answer");
  });
}

void HttpConnection::Shutdown(bool force) {
  net::post(socket_.get_executor(), [self = shared_from_this(), force] {
    if (force || self->phase_ == Phase::Head || self->phase_ == Phase::Body) {
      self->Close();
    } else if (self->phase_ == Phase::Streaming) {
      self->EndStream();
    }
  });
}

void HttpConnection::Arm(Clock::time_point deadline) {
  deadline_ = deadline;
  // A wait that ends no later looks again then: moving a deadline later costs nothing, so a busy
  // kept-alive connection sets its timer about once per keep-alive period, not per phase.
  if (waiting_ && armedFor_ <= deadline) return;
  armedFor_ = deadline;
  waiting_ = true;
  timer_.expires_at(deadline);  // ends a wait in progress, which then finds a newer generation
  timer_.async_wait([self = shared_from_this(), generation = ++generation_](ErrorCode error) {
    if (generation != self->generation_) return;
    self->waiting_ = false;
    if (!error) self->OnTimer();
  });
}

void HttpConnection::Disarm() {
  deadline_ = Clock::time_point::max();
}

void HttpConnection::OnTimer() {
  if (deadline_ == Clock::time_point::max()) return;
  if (Clock::now() < deadline_) {
    Arm(deadline_);  // moved later since the wait began
    return;
  }
  OnDeadline();
}

void HttpConnection::OnDeadline() {
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

void HttpConnection::NextRequest() {
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

void HttpConnection::Parse() {
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

void HttpConnection::OnRead(Phase phase, ErrorCode error, size_t length) {
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

void HttpConnection::Malformed(ErrorCode error) {
  if (error == http::error::header_limit) {
    Refuse(431, "The request head is larger than " + std::to_string(options_.headLimit) + " bytes");
  } else if (error == http::error::body_limit) {
    Refuse(413, TooLarge());
  } else {
    Refuse(400, "The request is malformed: " + error.message());
  }
}

std::string HttpConnection::TooLarge() const {
  return "The request body is larger than " + std::to_string(options_.maxBodyBytes) + " bytes";
}

void HttpConnection::OnHead() {
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
  if (Codec::EqualsNoCase(request_.Header("Expect"), "100-continue") && buffer_.size() == 0) {
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

void HttpConnection::Dispatch() {
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

void HttpConnection::Refuse(uint32_t status, const std::string& message) {
  HttpResponse response;
  try {
    response = server_.handler.Refusal(status, message);
  } catch (...) {
    response = HttpResponse{status, {}, message};
  }
  response.close = true;
  Write(std::move(response));
}

std::string HttpConnection::HeadText(const HttpResponse& response, bool chunked, bool close) const {
  std::string text =
      "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
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

void HttpConnection::AppendChunk(std::string& out, std::string_view data) {
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

void HttpConnection::Write(HttpResponse response) {
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

void HttpConnection::OnWritten(ErrorCode error) {
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

void HttpConnection::Log() noexcept {
  try {
    server_.handler.Answered(method_, path_, status_);
  } catch (...) {
  }
}

void HttpConnection::BeginStream(HttpResponse head, std::shared_ptr<HttpStreamSource> source) {
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

void HttpConnection::WatchPeer() {
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

void HttpConnection::Pull(bool tick) {
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

void HttpConnection::OnStreamWritten(ErrorCode error) {
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

void HttpConnection::EndStream() {
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

void HttpConnection::Linger() {
  phase_ = Phase::Lingering;
  CancelIo();
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  buffer_.clear();
  Arm(Clock::now() + options_.lingerTimeout);
  LingerRead();
}

void HttpConnection::LingerRead() {
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

void HttpConnection::CancelIo() {
  ErrorCode ignored;
  socket_.cancel(ignored);
}

void HttpConnection::Close() {
  if (phase_ == Phase::Closed) return;
  phase_ = Phase::Closed;
  server_.open.fetch_sub(1);
  Disarm();
  timer_.cancel();  // the wait's handler holds the connection
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  parser_.reset();
  buffer_ = {};
  if (auto source = std::move(source_)) source->Closed();
}

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

}  // namespace Oxle::Client::Host::Cli
