// Request dispatch: everything between the host's request record and its response record. The
// route is checked and its path parameters taken, arguments are bound from headers, path, query,
// native values and the body (each decoded by content type), the handler is prepared and invoked,
// and its ApiResponse is written into the record.
// Every failure is answered in the record (error flag, message, status); nothing is thrown back
// to the host: ExportCallback catches everything. A failure found before the handler is invoked
// (binding, decoding, the handler's native conversion in Prepare) is the caller's: status 400,
// or 415 for a body content type not handled. The handler's own failure keeps the status it set
// (0 when unset). Whatever the dispatcher puts into a record is released by the record's free
// callback, which the host calls once it has read the record.
// Dispatches may run on several threads at once; no lock is taken here.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/api_response.h"
#include "api/route_pattern.h"
#include "api/routes.h"
#include "binding/types/binding_registry.h"
#include "binding/value/binding_property.h"
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

// The arguments of one call: one value per declared argument, in order. They are the elements of
// one collection, so a call builds one value tree, not one per argument.
class ArgumentSet {
 public:
  explicit ArgumentSet(const Binding::FunctionRecord& function);
  // The same in `storage`, a root value that is cleared first and must outlive the set: a
  // dispatcher that keeps one root between calls keeps its tree's context, and so does not build
  // and tear down a tree per call.
  ArgumentSet(const Binding::FunctionRecord& function, Binding::BindingProperty& storage);
  ArgumentSet(const ArgumentSet&) = delete;
  ArgumentSet& operator=(const ArgumentSet&) = delete;

  [[nodiscard]] std::span<Binding::BindingProperty> Values() noexcept { return values_.Elements(); }
  // The index of the first argument named `name`, or the argument count.
  [[nodiscard]] size_t Find(std::string_view name) const noexcept;

 private:
  const Binding::FunctionRecord& function_;
  Binding::BindingProperty owned_;  // the storage when none is given
  Binding::BindingProperty& values_;
};

// Binds `valueText` to the argument named by `key` (before its first '.'; the rest is an index
// path into the argument), coming from `location`. Failures go to `call`.
void BindArgument(ApiResponse& call, ArgumentSet& arguments,
                  const Binding::FunctionRecord& function, const RouteBinding& binding,
                  std::string_view key, const std::string& valueText, std::string_view contentType,
                  ArgumentLocation location);

// Walks the dotted `path` (indices grow collections, names select members) from `target` and
// decodes `valueText` into the value reached.
void BindIndexed(ApiResponse& call, Binding::BindingProperty& target,
                 const Binding::FunctionRecord& function, std::string_view path,
                 const std::string& valueText, std::string_view contentType);

// Decodes `valueText` into `target` by `contentType` (or, with `sniff` and no content type, by
// its first bytes): MessagePack, JSON, YAML, a blob, or else the text as a string.
void DecodeParameter(ApiResponse& call, Binding::BindingProperty& target,
                     const Binding::FunctionRecord& function, std::string_view parameterName,
                     const std::string& valueText, std::string_view contentType, bool sniff);

// The largest index an index path may name: a collection grows to at most this plus one.
inline constexpr unsigned long kMaxArgumentIndex = 65535;
// The most segments an index path may have (the nesting limit of the decoders).
inline constexpr size_t kMaxIndexPathSegments = 512;

// Writes `call` into `response` (which must be reset): value or error, settings, status, text,
// headers and body stream. `registry` names enums.
void FillResponseRecord(ApiResponseRecord& response, ApiResponse& call,
                        const Binding::BindingRegistry* registry);
// Zeroes `response` and sets its free callback.
void ResetResponseRecord(ApiResponseRecord& response) noexcept;
// The free callback: releases everything the dispatcher put into `response` and resets it.
void FreeResponseRecord(ApiResponseRecord* response) noexcept;

}  // namespace Oxle::Client::Api
