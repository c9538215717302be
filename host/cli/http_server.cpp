// HttpServer: the acceptor, the I/O threads and the stop; each connection is an HttpConnection.
#include "cli/http_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "cli/cli_options.h"
#include "cli/http_connection.h"
#include "codec/ascii_case.h"

namespace Oxle::Client::Host::Cli {

size_t HttpRequest::HeaderCount(std::string_view name) const noexcept {
  return static_cast<size_t>(std::count_if(headers.begin(), headers.end(), [name](const auto& h) {
    return Codec::EqualsNoCase(h.first, name);
  }));
}

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (Codec::EqualsNoCase(key, name)) return value;
  return {};
}

// The acceptor, the I/O threads and the connections, beside what they share.
struct HttpServer::Impl : HttpServerState {
  using HttpServerState::HttpServerState;

  void Accept();
  // A thread of the server: serving (or, from the start, in reserve) until the I/O ends.
  void Loop(bool reserve);
  void Register(const std::shared_ptr<HttpConnection>& connection);
  template <typename Each>
  void ForEachConnection(Each each);

  net::io_context io;
  tcp::acceptor acceptor{net::make_strand(io)};
  net::steady_timer acceptRetry{acceptor.get_executor()};
  std::vector<std::thread> threads;
  std::atomic<uint16_t> port{0};
  std::mutex mutex;  // guards connections, started, stopped
  std::list<std::weak_ptr<HttpConnection>> connections;
  bool started = false;
  bool stopped = false;
  std::mutex poolMutex;  // guards serving, called, finished
  std::condition_variable reserveWake;
  size_t serving = 0;  // threads taking I/O: in the loop, not blocked in the handler
  size_t called = 0;   // threads in reserve called to serve, not yet woken
  bool finished = false;
};

namespace {

// The server whose thread this is, and whether it goes to reserve once its handler returns.
thread_local const void* tServer = nullptr;
thread_local bool tRetire = false;

}  // namespace

void HttpServer::Impl::Loop(bool reserve) {
  tServer = this;
  for (;;) {
    if (reserve) {
      std::unique_lock lock(poolMutex);
      reserveWake.wait(lock, [this] { return called != 0 || finished; });
      if (called == 0) return;
      --called;  // counted as serving by whoever called it
      reserve = false;
    }
    if (io.run_one() == 0) break;  // no work left: the server stopped
    reserve = std::exchange(tRetire, false);
  }
  {
    std::lock_guard lock(poolMutex);
    finished = true;
  }
  reserveWake.notify_all();
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
    if (!text.empty()) text[0] = Codec::AsciiUpper(text[0]);
    return Status::Error("Can't listen on " + where + ": " + text);
  }
  self.port = self.acceptor.local_endpoint(error).port();
  self.started = true;
  self.Accept();
  const size_t serving = std::max<size_t>(options.ioThreads, 1);
  self.serving = serving;
  for (size_t i = 0; i < serving + options.handlerThreads; ++i)
    self.threads.emplace_back([&self, reserve = i >= serving] { self.Loop(reserve); });
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

void HttpServer::Post(std::function<void()> work) {
  net::post(impl_->io, std::move(work));
}

void HttpServer::BeginBlocking() noexcept {
  Impl& self = *impl_;
  if (tServer != &self) return;
  {
    std::lock_guard lock(self.poolMutex);
    if (--self.serving != 0 || self.finished) return;
    ++self.serving;
    ++self.called;
  }
  self.reserveWake.notify_one();
}

void HttpServer::EndBlocking() noexcept {
  Impl& self = *impl_;
  if (tServer != &self) return;
  std::lock_guard lock(self.poolMutex);
  if (self.serving >= std::max<size_t>(self.options.ioThreads, 1)) {
    tRetire = true;  // enough serve without it
  } else {
    ++self.serving;
  }
}

}  // namespace Oxle::Client::Host::Cli
