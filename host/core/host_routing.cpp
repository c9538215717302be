// HostCore's routing: the route table of the started modules' export entries, and an API request
// routed to the module whose route matches (its answer copied into host-owned memory, or read in
// place for the host's own caller), else answered by the host (a stored resource, 405 with the
// allowed methods, 404).
#include <cstring>
#include <functional>
#include <set>

#include "api/http_method.h"
#include "binding/types/host_value.h"
#include "codec/json.h"
#include "core/catch_all.h"
#include "core/host_core.h"
#include "core/response_records.h"

namespace Oxle::Client::Host {

namespace {

// The method a request names, as messages show it; "method N" for a code without a name.
[[nodiscard]] std::string MethodLabel(uint32_t method, const char* methodName) {
  if (const std::optional<std::string_view> name = Api::HostMethodName(method, methodName)) {
    return std::string(*name);
  }
  return "method " + std::to_string(method);
}

[[nodiscard]] bool Routable(ModuleState state) {
  return state == ModuleState::Started;
}

// The methods of the routes whose pattern matches `path`, in alphabetical order, comma-separated
// as an Allow header lists them; empty when no route serves the path.
[[nodiscard]] std::string AllowedMethods(const RouteTable& routes, const std::string& path) {
  std::set<std::string, std::less<>> methods;
  Api::PathParameterMap parameters = Api::MakePathParameterMap();
  for (const Api::RoutePattern& pattern : routes.patterns) {
    if (pattern.binding == nullptr) continue;
    const Api::RouteBinding& binding = *pattern.binding;
    const std::string_view method = binding.method == Api::HttpMethod::Other
                                        ? std::string_view(binding.methodName)
                                        : Api::MethodText(binding.method);
    if (method.empty() || methods.contains(method)) continue;
    parameters.clear();
    if (Api::MatchPath(pattern, path, parameters)) methods.emplace(method);
  }
  std::string allowed;
  for (const std::string& method : methods)
    allowed += (allowed.empty() ? "" : ", ") + method;
  return allowed;
}

// Delivers `request` to the module's export entry and gives its answer to `read` (which copies it
// into `response` unless the caller reads it itself); the module's own record is released and
// freed here, whatever it held. True when `read` took the answer and nothing failed after.
bool AnswerFromModule(HostCore& host, ApiResponseRecord& response, const ApiRequestRecord& request,
                      LoadedModule& module, const ApiExportEntry& entry, const std::string& label,
                      const HostCore::ModuleAnswerReader& read) {
  CallGate::Entry inside(module.gate);
  if (!inside) {
    FillHostError(
        response, 503,
        "Module '" + module.shortName + "' is unloading; " + label + " was not delivered");
    return false;
  }
  ApiRequestRecord forwarded = request;
  forwarded.userData = entry.function.userData;
  ApiResponseRecord answer;
  std::memset(&answer, 0, sizeof answer);
  bool taken = false;
  std::string thrown = CatchAll(
      [&] {
        entry.callback(&answer, &forwarded);
        taken = read(answer, response, label);
        return std::string();
      },
      [](const char* what) {
        return std::string(what != nullptr ? what : "a non-standard exception");
      });
  if (answer.bodyStream != nullptr && answer.releaseBody != nullptr) {
    CatchAll([&] { answer.releaseBody(answer.bodyStream); },
             [&](const char*) { thrown = "an exception from its body release callback"; });
    // The pointer stays: the module's free callback may still own what it points to (the
    // release callback destroys the stream, not necessarily its holder).
  }
  if (answer.free != nullptr) {
    CatchAll([&] { answer.free(&answer); },
             [&](const char*) { thrown = "an exception from its response's free callback"; });
  } else {
    host.Log(kLogError, kHostLogName,
             "Module '" + module.shortName + "' left no free callback in its response to " + label);
  }
  if (!thrown.empty()) {
    FillHostError(response, 500,
                  "Module '" + module.shortName + "' threw from " + label + ": " + thrown);
    return false;
  }
  return taken;
}

// Reads a response's value into `result`: as a tree, or with `json` as compact JSON text
// (written straight from the host value where it can be, else from the tree). False, with the
// reason in `converted`, when it does not convert.
bool ReadValue(const HostValue& value, bool json, ApiCallResult& result,
               Binding::ValueResult& converted) {
  if (json) {
    std::string text;
    if (Codec::WriteJson(value, text)) {
      result.json = std::move(text);
      return true;
    }
  }
  if (!Binding::FromHostValue(value, result.value, converted, "<result>")) return false;
  if (json) {
    result.json = Codec::WriteJson(result.value, nullptr, nullptr);
    result.value = {};
  }
  return true;
}

// The fields of a response record that read as they are: the error flag and message, the status,
// the text and the headers (a null name or value as "").
void ReadFields(const ApiResponseRecord& from, ApiCallResult& result) {
  result.failed = from.error != 0;
  if (from.errorMessage != nullptr) result.errorMessage = from.errorMessage;
  result.status = from.status;
  if (from.text != nullptr) result.text = from.text;
  result.headers = ReadHeaders(from.headers, from.headerCount);
}

// A module's own answer read into `out` as Call gives it, with the failures (and messages) of
// copying it: a value that does not convert, headers without their array, a body that does not
// read. A failure is left in `response` and `out` is untouched.
bool ReadModuleAnswer(const ApiResponseRecord& from, ApiResponseRecord& response,
                      const std::string& label, bool json, ApiCallResult& out) {
  ApiCallResult result;
  Binding::ValueResult converted;
  if (!ReadValue(from.value, json, result, converted)) {
    FillHostError(
        response, 500,
        "The result of " + label + " did not convert: " + std::string(converted.ErrorMessage()));
    return false;
  }
  if (from.headerCount != 0 && from.headers == nullptr) {
    FillHostError(response, 500, "The response of " + label + " has headers but no header array");
    return false;
  }
  ReadFields(from, result);
  if (from.bodyStream != nullptr && from.readBody != nullptr) {
    std::string body;
    if (!ReadWholeBody(from, body)) {
      FillHostError(response, 502, "The body of the response to " + label + " could not be read");
      return false;
    }
    result.body = std::move(body);
  }
  out = std::move(result);
  return true;
}

// The host's own answer to a request no module's route matches: the stored resource for a GET,
// else 405 with the methods served at the path, else 404.
void AnswerFromHost(const ResourceStore& store, const RouteTable& routes,
                    ApiResponseRecord& response, const Api::RouteMatch& match,
                    const std::string& method, const std::string& label) {
  if (match.method == Api::HttpMethod::Get) {
    if (std::optional<Binding::BindingProperty> value = store.Get(match.target)) {
      if (!Binding::ToHostValue(*value, nullptr, response.value)) {
        FillHostError(response, 500, "The resource " + match.target + " could not be converted");
        return;
      }
      response.status = 200;
      response.text = CopyText("");
      response.free = &FreeHostResponse;
      return;
    }
  }
  // A path served for other methods only: the caller learns which.
  if (const std::string allowed = AllowedMethods(routes, match.target); !allowed.empty()) {
    FillHostError(response, 405,
                  method + " is not served at " + match.target + " (allowed: " + allowed + ")");
    SetHostHeader(response, "Allow", allowed);
    return;
  }
  FillHostError(response, 404, "No API function or resource answers " + label);
}

}  // namespace

void HostCore::RebuildRoutes() {
  auto table = std::make_shared<RouteTable>();
  std::lock_guard lock(modulesMutex_);
  for (const auto& module : modules_) {
    if (!Routable(module->state.load())) continue;
    for (size_t i = 0; i < module->bindings.size(); ++i) {
      table->patterns.push_back(Api::BuildRoutePattern(module->bindings[i]));
      table->targets.emplace_back(module.get(), module->entries[i]);
    }
  }
  routes_ = std::move(table);
}

std::shared_ptr<const RouteTable> HostCore::Routes() const {
  std::lock_guard lock(modulesMutex_);
  return routes_;
}

std::optional<ModuleId> HostCore::Owner(const ApiCall& call) const {
  Api::RouteMatch match;
  match.method = Api::HttpMethodFromHost(call.method);
  if (match.method == Api::HttpMethod::Other) match.methodName = call.methodName;
  match.target = call.target.substr(0, call.target.find('?'));
  const std::shared_ptr<const RouteTable> routes = Routes();
  if (!Api::MatchRoutes(match, routes->patterns, false)) return std::nullopt;
  for (size_t i = 0; i < routes->patterns.size(); ++i)
    if (routes->patterns[i].binding == match.binding) return routes->targets[i].first->id;
  return std::nullopt;
}

void HostCore::Route(ApiResponseRecord& response, const ApiRequestRecord& request) noexcept {
  static const ModuleAnswerReader copy = [](const ApiResponseRecord& answer, ApiResponseRecord& to,
                                            const std::string& label) {
    CopyResponse(answer, to, label);
    return false;
  };
  (void)Route(response, request, copy);
}

bool HostCore::Route(ApiResponseRecord& response, const ApiRequestRecord& request,
                     const ModuleAnswerReader& read) noexcept {
  std::memset(&response, 0, sizeof response);
  bool taken = false;
  CatchAll(
      [&] {
        if (request.target == nullptr) {
          FillHostError(response, 400, "The request has no target");
          return;
        }
        const std::string_view target(request.target);
        const std::string method = MethodLabel(request.method, request.methodName);
        const std::string label = method + " " + std::string(target);
        Api::RouteMatch match;
        match.method = Api::HttpMethodFromHost(request.method);
        if (match.method == Api::HttpMethod::Other && request.methodName != nullptr) {
          match.methodName = request.methodName;
        }
        match.target = std::string(target.substr(0, target.find('?')));
        const std::shared_ptr<const RouteTable> routes = Routes();
        if (!Api::MatchRoutes(match, routes->patterns, false)) {
          AnswerFromHost(store_, *routes, response, match, method, label);
          return;
        }
        size_t index = 0;
        while (routes->patterns[index].binding != match.binding)
          ++index;
        const auto [module, entry] = routes->targets[index];
        taken = AnswerFromModule(*this, response, request, *module, *entry, label, read);
      },
      [&](const char* what) {
        FillHostError(response, 500, WithReason("The host failed to route the request", what));
      });
  return taken;
}

ApiCallResult HostCore::Call(const ApiCall& call) {
  std::vector<ApiHeader> headers;
  for (const auto& [name, value] : call.headers)
    headers.push_back(ApiHeader{name.c_str(), value.c_str()});
  ApiRequestRecord request{};
  request.method = call.method;
  request.target = call.target.c_str();
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<uint32_t>(headers.size());
  request.contentType = call.contentType.c_str();
  if (call.body) {
    request.body = reinterpret_cast<const uint8_t*>(call.body->data());
    request.bodyLength = static_cast<uint32_t>(call.body->size());
  }
  request.methodName = call.methodName.c_str();
  ApiCallResult result;
  ApiResponseRecord response;
  const bool read =
      Route(response, request,
            [&](const ApiResponseRecord& answer, ApiResponseRecord& to, const std::string& label) {
              return ReadModuleAnswer(answer, to, label, call.valueAsJson, result);
            });
  if (read) return result;
  // The host's own answer, or a module's that failed to read: host-owned, so reading cannot fault.
  result = ApiCallResult();
  ReadFields(response, result);
  Binding::ValueResult converted;
  if (!ReadValue(response.value, call.valueAsJson, result, converted)) {
    result.readError = std::string(converted.ErrorMessage());
  }
  if (response.bodyStream != nullptr && response.readBody != nullptr) {
    std::string body;
    if (ReadWholeBody(response, body)) {
      result.body = std::move(body);
    } else {
      result.readError = "The response body could not be read";
    }
  }
  FreeHostResponse(&response);
  return result;
}

}  // namespace Oxle::Client::Host
