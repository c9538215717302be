// CurlTransport: the modules' remote requests over real HTTP, through libcurl. http and https
// only, TLS verification on (peer and host name), redirects answered as they are (never
// followed), the request's time-out word read as seconds. A header that could split the request
// (CR, LF or NUL; a name that is empty or holds ':') is refused before anything is sent, and an
// answer body above maxResponseBytes stops the transfer; both, like every failure of curl, come
// back as kTransportFailed with a text in `body` that never quotes a header value.
// Send is thread-safe: each call borrows an easy handle and the multi handle that drives it from
// a small pool, so connections are reused between calls. A transfer waits in curl_multi_poll,
// never in a blocking call that only curl's own time-out ends.
// Abort is for a stop: from the moment it returns, every transfer in progress ends within
// milliseconds and every later Send fails at once without connecting, both as kTransportFailed
// with curl's own text for an aborted transfer ("Operation was aborted by an application
// callback"). It is thread-safe and cannot be undone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport.h"

namespace Oxle::Client::Host::Cli {

struct CurlTransportOptions {
  size_t maxResponseBytes = 64u << 20;  // larger answers are a transport failure
  uint32_t defaultTimeoutSeconds = 30;  // used when the request's time-out word is 0
  std::string caFile;                   // empty: the system's CA store
};

class CurlTransport final : public ExternalTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options = {});
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  ExternalAnswer Send(const ExternalRequest& request) override;  // thread-safe
  void Abort() noexcept;                                         // thread-safe

 private:
  struct Handles {
    void* easy = nullptr;   // CURL*
    void* multi = nullptr;  // CURLM* that drives `easy` alone and keeps its connections
  };
  [[nodiscard]] Handles TakeHandles();
  void ReturnHandles(Handles handles) noexcept;

  const CurlTransportOptions options_;
  std::atomic<bool> aborted_{false};
  std::mutex poolMutex_;              // guards idleHandles_
  std::vector<Handles> idleHandles_;  // the easy handle reset and out of its multi, not in use
  std::mutex activeMutex_;            // guards activeMultis_
  std::vector<void*> activeMultis_;   // CURLM* handles of the transfers in progress
};

}  // namespace Oxle::Client::Host::Cli
