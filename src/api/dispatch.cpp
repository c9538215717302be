// Request dispatch: route checks, binding the request, invoking the handler, builtins.
#include "api/dispatch.h"

#include <chrono>
#include <exception>
#include <memory>
#include <utility>

#include "api/api_handler.h"
#include "api/api_registry.h"
#include "api/argument_binding.h"
#include "api/dispatch_scratch.h"
#include "binding/format/positional_format.h"
#include "binding/types/api_help.h"
#include "binding/types/builtin_types.h"
#include "binding/types/host_value.h"
#include "codec/ascii_case.h"

namespace Oxle::Client::Api {

using Binding::BindingProperty;
using Binding::FormatToString;
using Binding::FunctionRecord;

namespace {

[[nodiscard]] std::string_view Text(const char* text) noexcept {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

[[nodiscard]] RequestInfo MakeRequestInfo(const ApiRequestRecord& request, HttpMethod method,
                                          std::string_view methodName,
                                          const OrderedPairs& headers) {
  RequestInfo info;
  info.callerContext = request.callerContext;
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  info.time = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
          sinceEpoch)
          .count());
  if (const auto* userData = static_cast<const ApiExportUserData*>(request.userData)) {
    info.registry = static_cast<const ApiRegistry*>(userData->registry);
  }
  info.target = std::string(Text(request.target));
  info.method = method;
  info.methodName = std::string(methodName);
  for (const auto& [name, value] : headers)
    info.headers[name] = value;
  return info;
}

// Reads the request's headers into `scratch.headers`, by their names as delivered, and lists the
// arguments that may come from a header and find one by their lower-case name.
void CollectHeaderArguments(const ApiRequestRecord& request, const FunctionRecord& function,
                            const RouteBinding& binding, DispatchScratch& scratch) {
  OrderedPairs& headers = scratch.headers;
  for (uint32_t i = 0; i < request.headerCount && request.headers != nullptr; ++i) {
    headers.PutLast(Text(request.headers[i].name), Text(request.headers[i].value), false);
  }
  if (headers.empty()) return;
  for (size_t i = 0; i < function.arguments.size(); ++i) {
    const ArgumentLocation declared = DeclaredLocation(binding, i);
    if (declared != ArgumentLocation::Any && declared != ArgumentLocation::Header) continue;
    const std::string lower = Codec::AsciiLower(function.arguments[i].name);
    if (const std::string* value = headers.FindValue(lower)) {
      scratch.headerArguments.emplace_back(function.arguments[i].name, value);
    }
  }
}

// Converts the request's native arguments: by name, or by position after the `pathCount` path
// parameters.
void BindNativeArguments(ApiResponse& call, ArgumentSet& arguments, const ApiRequestRecord& request,
                         const FunctionRecord& function, size_t pathCount) {
  const std::span<BindingProperty> values = arguments.Values();
  for (uint32_t i = 0; call.Ok() && i < request.nativeArgumentCount; ++i) {
    if (request.nativeArguments == nullptr) break;
    const ApiNativeArgument& entry = request.nativeArguments[i];
    size_t index = function.arguments.size();
    std::string label;
    if (entry.name != nullptr) {
      label = entry.name;
      index = arguments.Find(label);
    } else {
      const size_t position = size_t{i} + pathCount;
      label = std::to_string(position);
      if (position < function.arguments.size()) index = position;
    }
    if (index >= function.arguments.size()) {
      call.SetError(FormatToString("Unknown argument '%1' for '%2'.", label, function.name));
      break;
    }
    (void)Binding::FromHostValue(entry.value, values[index], call.result,
                                 function.arguments[index].name.c_str());
  }
}

// Binds every argument the request supplies, in order: headers, path parameters, query, native
// arguments, then the body. The first failure is left in `scratch.call` and stops the binding.
void BindRequest(ArgumentSet& arguments, const ApiRequestRecord& request,
                 const FunctionRecord& function, const RouteBinding& binding,
                 std::span<const PathValue> pathValues, DispatchScratch& scratch) {
  ApiResponse& call = scratch.call;
  CollectHeaderArguments(request, function, binding, scratch);
  SplitQuery(Text(request.target), scratch.query);

  const std::span<BindingProperty> values = arguments.Values();
  for (size_t i = 0; i < function.arguments.size(); ++i) {
    const Binding::ArgumentRecord& argument = function.arguments[i];
    if (argument.type.code == Binding::BindingCode::Bool && !argument.optional &&
        values[i].Kind() == Binding::ValueKind::Empty) {
      values[i].SetBool(false);
    }
  }
  for (const auto& [name, value] : scratch.headerArguments) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, name, *value, {}, ArgumentLocation::Header);
  }
  for (const PathValue& parameter : pathValues) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, parameter.name, *parameter.value, {},
                 ArgumentLocation::Path);
  }
  for (const auto& [name, value] : scratch.query) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, name, value, {}, ArgumentLocation::Query);
  }
  BindNativeArguments(call, arguments, request, function, pathValues.size());

  if (call.Ok() && request.body != nullptr) {
    for (size_t i = 0; i < function.arguments.size(); ++i) {
      if (DeclaredLocation(binding, i) == ArgumentLocation::Body) {
        DecodeBody(call, values[i], Text(request.contentType),
                   {request.body, size_t{request.bodyLength}});
        break;
      }
    }
  }
}

// Runs `function` through `binding` with the path parameters `pathValues` (in binding order):
// binds the arguments, prepares and invokes the handler and writes the result into `response`.
// `method` and `methodName` are the request's, as matched.
void InvokeBound(ApiResponseRecord& response, const ApiRequestRecord& request,
                 const FunctionRecord& function, const RouteBinding& binding, HttpMethod method,
                 std::string_view methodName, std::span<const PathValue> pathValues,
                 DispatchScratch& scratch) {
  ApiResponse& call = scratch.call;
  ArgumentSet arguments(function, scratch.arguments);
  BindRequest(arguments, request, function, binding, pathValues, scratch);

  std::unique_ptr<PreparedCall> prepared;
  if (call.Ok())
    prepared = binding.handler->Prepare(call, arguments.Values(), request.callerContext);
  // Everything that failed so far is the caller's: arguments or a body that do not bind, or do
  // not convert to the handler's native types. Only the handler's own failures keep status 0.
  if (!call.Ok() && call.status == 0) call.status = 400;
  if (call.Ok()) {
    if (IsRequestAware(binding.handler->ResultType())) {
      const RequestInfo info = MakeRequestInfo(request, method, methodName, scratch.headers);
      binding.handler->Invoke(call, &info, prepared.get(), request.callerContext);
    } else {
      binding.handler->Invoke(call, nullptr, prepared.get(), request.callerContext);
    }
  }
  FillResponseRecord(response, call, function.registry);
  if (prepared) binding.handler->Release(std::move(prepared));
}

// What Dispatch does for the one pattern BuildRoutePattern gives for `binding`, without a
// registry: the same checks, matching and binding order, without building the pattern, the
// match or its parameter map. `response` is reset.
void DispatchBinding(ApiResponseRecord& response, const ApiRequestRecord& request,
                     const RouteBinding& binding) {
  // Routes are matched against the path alone (see Dispatch).
  const std::string_view target = Text(request.target);
  const std::string_view path = target.substr(0, target.find('?'));
  const HttpMethod method = HttpMethodFromHost(request.method);
  const std::string_view methodName =
      method == HttpMethod::Other ? Text(request.methodName) : std::string_view();
  const bool methodAccepted = binding.method == HttpMethod::Any ||
                              (binding.method == method && (binding.method != HttpMethod::Other ||
                                                            binding.methodName == methodName));
  if (!methodAccepted) {
    FailRecord(response, "Invalid function", 404);
    return;
  }

  ScratchLease lease;
  DispatchScratch& scratch = *lease;
  const std::string_view pathTemplate = RouteTemplate(binding);
  if (pathTemplate.find('{') == std::string_view::npos) {
    if (path != pathTemplate) {
      FailRecord(response, "Invalid function", 404);
      return;
    }
  } else {
    // The binding's matcher, unless the binding was changed behind its back.
    std::shared_ptr<const PathMatcher> compiled;
    const PathMatcher* matcher = binding.pathMatcher.get();
    if (matcher == nullptr || matcher->Template() != pathTemplate) {
      compiled = PathMatcher::Compile(pathTemplate);
      matcher = compiled.get();
    }
    if (!matcher->Match(path, scratch.captures)) {
      FailRecord(response, "Invalid function", 404);
      return;
    }
    const std::vector<uint32_t>& stored = matcher->StoredCaptures();
    if (scratch.decoded.size() < stored.size()) scratch.decoded.resize(stored.size());
    for (size_t i = 0; i < stored.size(); ++i) {
      const uint32_t capture = stored[i];
      UrlDecodeInto(scratch.decoded[i], scratch.captures[capture]);
      scratch.pathValues.push_back(
          PathValue{matcher->Parameters()[capture].name, &scratch.decoded[i]});
    }
  }
  if (binding.function == nullptr || !binding.handler) {
    FailRecord(response, "Invalid function", 404);
    return;
  }
  InvokeBound(response, request, *binding.function, binding, method, methodName, scratch.pathValues,
              scratch);
}

}  // namespace

void InvokeFunction(ApiResponseRecord& response, const ApiRequestRecord& request,
                    const RouteMatch& match) {
  ScratchLease lease;
  DispatchScratch& scratch = *lease;
  for (const auto& [name, value] : match.pathParameters)
    scratch.pathValues.push_back(PathValue{name, &value});
  InvokeBound(response, request, *match.function, *match.binding, match.method, match.methodName,
              scratch.pathValues, scratch);
}

void InvokeBuiltin(const ApiRegistry& registry, ApiResponseRecord& response,
                   const ApiRequestRecord& request, const RouteMatch& match) {
  if (match.function->name != "Help") {
    FailRecord(response, "Unsupported builtin function", 400);
    return;
  }
  // The listing's form: "format" in the query (a name or a number), Full by default.
  Binding::BindingHelpFormat format = Binding::BindingHelpFormat::Full;
  OrderedPairs query;
  SplitQuery(Text(request.target), query);
  for (const auto& [key, value] : query) {
    if (key != "format") continue;
    if (value == "Epytext" || value == "2") format = Binding::BindingHelpFormat::Epytext;
    if (value == "Full" || value == "1") format = Binding::BindingHelpFormat::Full;
  }
  const auto functions = registry.CopyFunctions();
  const auto types = registry.CopyTypes();
  const auto events = registry.CopyEvents();
  BindingProperty listing;
  Binding::BuildApiHelp(listing, registry, functions, types, events, format);
  if (!Binding::ToHostValue(listing, &registry, response.value)) response.status = 400;
  response.text = CopyTextOrThrow("");
}

void Dispatch(const ApiRegistry* registry, ApiResponseRecord& response,
              const ApiRequestRecord& request, std::span<const RoutePattern> patterns) {
  ResetResponseRecord(response);
  RouteMatch match;
  // Routes are matched against the path alone: a query left on the target would otherwise keep
  // every literal route from matching and end up inside a trailing path parameter.
  const std::string_view target = Text(request.target);
  match.target = std::string(target.substr(0, target.find('?')));
  match.method = HttpMethodFromHost(request.method);
  if (match.method == HttpMethod::Other) match.methodName = std::string(Text(request.methodName));
  if (!MatchRoutes(match, patterns, false) || match.function == nullptr ||
      match.binding == nullptr || !match.binding->handler) {
    FailRecord(response, "Invalid function", 404);
    return;
  }
  if (registry != nullptr) {
    for (const std::string& tag : match.function->tags) {
      if (tag == "$builtin") {
        InvokeBuiltin(*registry, response, request, match);
        return;
      }
    }
  }
  InvokeFunction(response, request, match);
}

void ExportCallback(ApiResponseRecord* response, const ApiRequestRecord* request) noexcept {
  if (response == nullptr) return;
  // The host's record may hold anything: from here on it holds only what the free callback
  // can release.
  ResetResponseRecord(*response);
  const auto* userData =
      request != nullptr ? static_cast<const ApiExportUserData*>(request->userData) : nullptr;
  const auto* binding =
      userData != nullptr ? static_cast<const RouteBinding*>(userData->binding) : nullptr;
  if (binding == nullptr) {
    FailRecord(*response, "Invalid function", 404);
    return;
  }
  try {
    DispatchBinding(*response, *request, *binding);
  } catch (const std::exception& error) {
    FailRecord(*response, error.what(), 500);
  } catch (...) {
    FailRecord(*response, "Unknown error", 500);
  }
}

}  // namespace Oxle::Client::Api
