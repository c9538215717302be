// Internal to tpk_host: the API response records the host fills itself (an error, a stored
// resource, 405 with its Allow header) and the host-owned copy of a module's answer, with the
// callbacks that read and free them. A host-owned record needs no module to stay loaded: its
// free callback releases everything it points to. No state; usable on any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/transport.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Host {

// A malloc'ed, NUL-terminated copy of `text`; null when memory runs out.
[[nodiscard]] char* CopyText(std::string_view text) noexcept;

// Frees a response record the host filled: every text, the header array, the value, the body.
void FreeHostResponse(ApiResponseRecord* response) noexcept;

// Makes `response` a host-owned failure with `status` and `message`, freeing what it held.
void FillHostError(ApiResponseRecord& response, uint32_t status, std::string_view message) noexcept;

// Gives a host-owned response its one header; throws std::bad_alloc when memory runs out.
void SetHostHeader(ApiResponseRecord& response, std::string_view name, std::string_view value);

// Reads a response body stream to its end; false when a read fails or the stream stalls.
[[nodiscard]] bool ReadWholeBody(const ApiResponseRecord& response, std::string& out);

// The headers of a record as a list, a null name or value read as "".
[[nodiscard]] HeaderList ReadHeaders(const ApiHeader* headers, uint32_t count);

// Copies a module's response into host-owned memory, so that the caller may keep it after the
// module is gone. The body stream is read to its end, so the module must still be held. A
// record that cannot be copied becomes a host error that names `label`.
void CopyResponse(const ApiResponseRecord& from, ApiResponseRecord& to, const std::string& label);

}  // namespace Oxle::Client::Host
