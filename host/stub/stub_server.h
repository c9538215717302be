// StubServer: the stub match-history service on HTTP (cpp-httplib), answering with
// AnswerStubRequest. It logs one line per request (method, target, status, milliseconds; never a
// header), holds "late" answers for the configured delay, and stops promptly: Stop cuts every
// late wait short (those requests get 503) and ends Run. Bind, then Run (or Start for a thread of
// its own); Stop and WaitForLateRequests may be called from any thread, Stop any number of times.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "result/host_result.h"

namespace Oxle::Client::Host::Stub {

// Receives each request's log line, without a line end; called on the server's threads, one
// call at a time.
using LogSink = std::function<void(std::string_view line)>;

struct StubServerOptions {
  std::string host = "127.0.0.1";  // numeric; the caller decides what may be listened on
  uint16_t port = 0;               // 0: any free port
  std::chrono::milliseconds lateDelay{3000};
  LogSink log;  // null: standard error
};

class StubServer {
 public:
  explicit StubServer(StubServerOptions options);
  // Stops the server and joins the thread of Start.
  ~StubServer();
  StubServer(const StubServer&) = delete;
  StubServer& operator=(const StubServer&) = delete;

  // Opens the listening socket; fails with a line naming the address.
  [[nodiscard]] Status Bind();
  // The bound port (0 before Bind) and "http://HOST:PORT".
  [[nodiscard]] uint16_t Port() const noexcept;
  [[nodiscard]] std::string Url() const;

  // Serves on the calling thread until Stop; fails when the server ended by itself.
  [[nodiscard]] Status Run();
  // Run on a thread of the server's own, joined by Stop's caller through the destructor.
  void Start();
  void Stop() noexcept;

  // Waits until `count` requests are being held late, for at most `limit`; true if they are.
  [[nodiscard]] bool WaitForLateRequests(size_t count, std::chrono::milliseconds limit);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Oxle::Client::Host::Stub
