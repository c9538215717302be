// Request dispatch: everything between the host's request record and its response record. The
// route is checked and its path parameters taken, arguments are bound from headers, path, query,
// native values and the body (argument_binding.h), the handler is prepared and invoked, and its
// ApiResponse is written into the record (response_record.h, which this header brings along).
// Every failure is answered in the record (error flag, message, status); nothing is thrown back
// to the host: ExportCallback catches everything. A failure found before the handler is invoked
// (binding, decoding, the handler's native conversion in Prepare) is the caller's: status 400,
// or 415 for a body content type not handled. The handler's own failure keeps the status it set
// (0 when unset). Whatever the dispatcher puts into a record is released by the record's free
// callback, which the host calls once it has read the record.
// Dispatches may run on several threads at once; no lock is taken here (the scratch pool of
// dispatch_scratch.h is lock-free).
#pragma once

#include <span>

#include "api/response_record.h"
#include "api/route_pattern.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Api {

class ApiRegistry;

// The callback of every export entry: takes the route binding from the request's user data,
// builds its pattern and dispatches without a registry (so builtins run like other functions).
void ExportCallback(ApiResponseRecord* response, const ApiRequestRecord* request) noexcept;

// Dispatches `request` over `patterns` into `response`. With a registry, matched functions
// tagged "$builtin" run as builtins ("Help"). May throw (allocation failure, or whatever a
// handler throws); ExportCallback is the boundary that catches.
void Dispatch(const ApiRegistry* registry, ApiResponseRecord& response,
              const ApiRequestRecord& request, std::span<const RoutePattern> patterns);

// Runs the matched function: binds the arguments, prepares and invokes its handler and writes
// the result into `response`.
void InvokeFunction(ApiResponseRecord& response, const ApiRequestRecord& request,
                    const RouteMatch& match);
// Runs a builtin: "Help" answers with the registry's help listing.
void InvokeBuiltin(const ApiRegistry& registry, ApiResponseRecord& response,
                   const ApiRequestRecord& request, const RouteMatch& match);

}  // namespace Oxle::Client::Api
