// ExternalTransport: how the host performs a module's external HTTP request. The host reads the
// module's record into an ExternalRequest, asks the transport, and hands the ExternalAnswer back
// in a host-owned response record. Tests plug a fake; the command-line host an HTTP client.
// Send is called on the module's thread, possibly on several threads at once, and may block.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "result/host_result.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Host {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct ExternalRequest {
  uint32_t method = 0;  // HttpMethod code
  std::string url;
  HeaderList headers;  // in the module's order
  std::string body;
  uint32_t timeout = 0;  // passed through unread
  uint32_t flags = 0;    // passed through unread

  friend bool operator==(const ExternalRequest&, const ExternalRequest&) = default;
};

// Transport results other than 0 mean the exchange did not complete; `body` then describes why.
inline constexpr int32_t kTransportCompleted = 0;
inline constexpr int32_t kTransportFailed = 1;

struct ExternalAnswer {
  int32_t transportResult = kTransportCompleted;
  uint32_t status = 0;
  HeaderList headers;
  std::string body;
};

class ExternalTransport {
 public:
  virtual ~ExternalTransport() = default;
  // May throw; the host then answers a transport failure carrying the exception's text.
  virtual ExternalAnswer Send(const ExternalRequest& request) = 0;
};

// Copies a module's record; fails on a null URL, or a null header array, header text or body
// with a non-zero count.
[[nodiscard]] Result<ExternalRequest> ReadExternalRequest(const ExternalRequestRecord& record);
// Fills `record` (overwritten) with a host-owned copy of `answer`; its release callback frees the
// copy, and a second release of the same record does nothing.
void FillExternalResponse(ExternalResponseRecord& record, ExternalAnswer answer);

}  // namespace Oxle::Client::Host
