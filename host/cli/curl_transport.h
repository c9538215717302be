// CurlTransport: the modules' remote requests over real HTTP, through libcurl. http and https
// only, TLS verification on (peer and host name), redirects answered as they are (never
// followed), the request's time-out word read as seconds. A header that could split the request
// (CR, LF or NUL; a name that is empty or holds ':') is refused before anything is sent, and an
// answer body above maxResponseBytes stops the transfer; both, like every failure of curl, come
// back as kTransportFailed with a text in `body` that never quotes a header value.
// Send is thread-safe: each call borrows an easy handle from a small pool, so connections are
// reused between calls.
#pragma once

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

 private:
  [[nodiscard]] void* TakeHandle();
  void ReturnHandle(void* handle) noexcept;

  const CurlTransportOptions options_;
  std::mutex poolMutex_;            // guards idleHandles_
  std::vector<void*> idleHandles_;  // CURL* easy handles, reset, not in use
};

}  // namespace Oxle::Client::Host::Cli
