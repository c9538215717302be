#include "stub/stub_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "core/log_sink.h"
#include "stub/stub_options.h"
#include "stub/stub_service.h"

namespace Oxle::Client::Host::Stub {
namespace {

using Clock = std::chrono::steady_clock;

// Enough workers that a handful of late answers and kept-alive connections leave room for more.
constexpr size_t kWorkerThreads = 32;
// An idle kept-alive connection holds a worker, and the server waits for it when stopping.
constexpr time_t kKeepAliveSeconds = 2;
// Requests one kept-alive connection serves before the stub closes it, as a web service's front
// end would allow (the library's own default of 5 would make every fifth call connect anew).
constexpr size_t kKeepAliveRequests = 1000;
// How long the accept loop waits for a connection before it looks at the stop flag again.
constexpr time_t kIdleMicroseconds = 100000;
// Nothing the stub serves takes a body; a larger one is refused (413) before it is read whole.
constexpr size_t kMaxBodyBytes = 64 * 1024;
// The longest target a log line shows.
constexpr size_t kLogTargetLimit = 300;

// When the request being handled on this worker reached the stub; each worker handles one
// request at a time, from routing to the log line.
thread_local std::optional<Clock::time_point> requestStart;

void WriteToStandardError(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

struct StubServer::State {
  // Checks the stop flag from the accept loop's thread: a Stop that came before the loop was
  // running cannot stop it, so the loop stops itself on its next turn.
  class StopAwareQueue final : public httplib::ThreadPool {
   public:
    explicit StopAwareQueue(State& state) : httplib::ThreadPool(kWorkerThreads), state_(state) {}
    void enqueue(std::function<void()> fn) override {
      httplib::ThreadPool::enqueue(std::move(fn));
      StopIfAsked();
    }
    void on_idle() override { StopIfAsked(); }

   private:
    void StopIfAsked() {
      if (state_.Stopping()) state_.server.stop();
    }
    State& state_;
  };

  explicit State(StubServerOptions given) : options(std::move(given)) {
    if (!options.log) options.log = WriteToStandardError;
  }

  [[nodiscard]] bool Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void Log(const httplib::Request& request, const httplib::Response& response) {
    std::string line;
    AppendPrintable(line, request.method.empty() ? "-" : request.method, 16);
    line += ' ';
    const std::string& target = request.target.empty() ? request.path : request.target;
    AppendPrintable(line, target.empty() ? "-" : target, kLogTargetLimit);
    line += ' ' + std::to_string(response.status) + ' ';
    if (requestStart.has_value()) {
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - *requestStart).count();
      char text[32];
      std::snprintf(text, sizeof text, "%.3f ms", ms);
      line += text;
    } else {
      line += "- ms";  // refused by the HTTP layer before it reached the stub
    }
    requestStart.reset();
    std::lock_guard lock(logMutex);
    options.log(line);
  }

  // Holds a late answer for the configured delay; false when Stop cut it short.
  [[nodiscard]] bool WaitLate() {
    std::unique_lock lock(mutex);
    ++lateWaiting;
    changed.notify_all();
    const bool stopped = changed.wait_for(lock, options.lateDelay, [this] { return stopping; });
    --lateWaiting;
    return !stopped;
  }

  httplib::Server::HandlerResponse Handle(const httplib::Request& request,
                                          httplib::Response& response) {
    requestStart = Clock::now();
    // A request with a body must be read by the HTTP layer, or its bytes would be taken for the
    // next request on the connection: it goes on to the layer's routing (where no handler is
    // registered) and is answered by Refuse.
    if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding")) {
      if (request.get_header_value("Content-Length") != "0")
        return httplib::Server::HandlerResponse::Unhandled;
    }
    StubRequest stub;
    stub.method = request.method;
    stub.path = request.path;
    stub.query.assign(request.params.begin(), request.params.end());
    if (request.has_header("AUTHORIZATION"))
      stub.authorization = request.get_header_value("AUTHORIZATION");
    if (request.has_header("REGION")) stub.region = request.get_header_value("REGION");

    StubAnswer answer = AnswerStubRequest(stub);
    if (answer.late && !WaitLate()) {
      answer = StubAnswer{};
      answer.status = 503;
      answer.body = ErrorBody(503, "The service is stopping");
    }
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers)
      response.set_header(name, value);
    response.set_content(std::move(answer.body), std::string(answer.contentType));
    return httplib::Server::HandlerResponse::Handled;
  }

  // The answer to what the HTTP layer refused itself (a malformed request, a request with a
  // body): a JSON error like every other, unless the stub wrote one already.
  static httplib::Server::HandlerResponse Refuse(const httplib::Request& request,
                                                 httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    std::string_view message = "Request refused";
    if (response.status == 404 && !ResourceOf(request.path).has_value()) {
      message = "Unknown path";
    } else if (response.status == 404 && (request.method == "GET" || request.method == "HEAD")) {
      response.status = 400;
      message = "A GET request carries no body";
    } else if (response.status == 404 && !request.method.empty()) {
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      message = "Method not allowed";
    } else if (response.status == 400) {
      message = "Bad request";
    } else if (response.status == 413) {
      message = "Payload too large";
    } else if (response.status == 414) {
      message = "URI too long";
    }
    response.set_content(ErrorBody(response.status, message), "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }

  StubServerOptions options;
  httplib::Server server;
  uint16_t port = 0;
  bool bound = false;
  std::thread runner;

  std::mutex mutex;  // guards stopping and lateWaiting
  std::condition_variable changed;
  bool stopping = false;
  size_t lateWaiting = 0;

  std::mutex logMutex;  // one log line at a time
};

StubServer::StubServer(StubServerOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
  State& state = *state_;
  state.server.new_task_queue = [&state] { return new State::StopAwareQueue(state); };
  // The HTTP layer's default also sets SO_REUSEPORT, which lets a second server bind a port in
  // use and silently share its connections; a busy port must fail instead.
  state.server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Headers and body go out in separate writes; without this a kept-alive connection waits for
  // the peer's delayed acknowledgement between them.
  state.server.set_tcp_nodelay(true);
  state.server.set_keep_alive_timeout(kKeepAliveSeconds);
  state.server.set_keep_alive_max_count(kKeepAliveRequests);
  state.server.set_payload_max_length(kMaxBodyBytes);
  state.server.set_idle_interval(0, kIdleMicroseconds);
  state.server.set_pre_routing_handler(
      [&state](const httplib::Request& request, httplib::Response& response) {
        return state.Handle(request, response);
      });
  state.server.set_error_handler(static_cast<httplib::Server::HandlerWithResponse>(
      [](const httplib::Request& request, httplib::Response& response) {
        return State::Refuse(request, response);
      }));
  state.server.set_logger(
      [&state](const httplib::Request& request, const httplib::Response& response) {
        state.Log(request, response);
      });
}

StubServer::~StubServer() {
  Stop();
  if (state_->runner.joinable()) state_->runner.join();
}

Status StubServer::Bind() {
  State& state = *state_;
  if (state.bound) return Status::Error("the stub is bound already");
  errno = 0;
  int port = state.options.port;
  if (port == 0) {
    port = state.server.bind_to_any_port(state.options.host);
  } else if (!state.server.bind_to_port(state.options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    const int error = errno;
    std::string message = "cannot listen on " + ServiceUrl(state.options.host, state.options.port);
    if (error != 0) message += std::string(": ") + std::strerror(error);
    return Status::Error(std::move(message));
  }
  state.port = static_cast<uint16_t>(port);
  state.bound = true;
  return Status();
}

uint16_t StubServer::Port() const noexcept {
  return state_->port;
}

std::string StubServer::Url() const {
  return ServiceUrl(state_->options.host, state_->port);
}

Status StubServer::Run() {
  State& state = *state_;
  if (!state.bound) return Status::Error("the stub is not bound");
  if (state.Stopping()) return Status();
  const bool ended = state.server.listen_after_bind();
  if (!ended && !state.Stopping()) return Status::Error("the server stopped accepting requests");
  return Status();
}

void StubServer::Start() {
  state_->runner = std::thread([this] {
    if (Status ran = Run(); !ran.Ok()) {
      std::lock_guard lock(state_->logMutex);
      state_->options.log(ran.ErrorMessage());
    }
  });
}

void StubServer::Stop() noexcept {
  State& state = *state_;
  {
    std::lock_guard lock(state.mutex);
    state.stopping = true;
  }
  state.changed.notify_all();
  state.server.stop();
}

bool StubServer::WaitForLateRequests(size_t count, std::chrono::milliseconds limit) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  return state.changed.wait_for(lock, limit, [&] { return state.lateWaiting >= count; });
}

}  // namespace Oxle::Client::Host::Stub
