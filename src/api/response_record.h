// The response record the dispatcher hands to the host: a call's ApiResponse written into it
// (value or error, settings, status, text, headers, body stream), a failure that is not the
// handler's, and the free callback that releases it all.
// Everything put into a record comes from the framework's allocator (or is the body stream's
// handle) and is released by the record's free callback, once, from whichever thread the host
// calls it on. A record is filled by one thread at a time.
#pragma once

#include <cstdint>

#include "api/api_response.h"
#include "binding/types/binding_registry.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Api {

// Writes `call` into `response` (which must be reset): value or error, settings, status, text,
// headers and body stream. `registry` names enums.
void FillResponseRecord(ApiResponseRecord& response, ApiResponse& call,
                        const Binding::BindingRegistry* registry);
// Zeroes `response` and sets its free callback.
void ResetResponseRecord(ApiResponseRecord& response) noexcept;
// The free callback: releases everything the dispatcher put into `response` and resets it.
void FreeResponseRecord(ApiResponseRecord* response) noexcept;

// Answers `response` with a failure that is not the handler's: releases what it held, then sets
// the message, the error flag, `status` and an empty text.
void FailRecord(ApiResponseRecord& response, const char* message, uint32_t status) noexcept;

// A copy of `text` from the framework's allocator, for the host to read and the free callback to
// release; throws std::bad_alloc when there is no memory.
[[nodiscard]] char* CopyTextOrThrow(const char* text);

}  // namespace Oxle::Client::Api
