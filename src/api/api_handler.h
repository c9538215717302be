// ApiHandler: the callable behind an API function, as the dispatcher drives it: prepare (convert
// the bound arguments to native ones), invoke, release. RequestInfo is what a request-aware
// handler is given besides its arguments.
// Handlers are shared by a function record and its route binding and are called from any host
// thread at once, so they keep no per-call state outside the PreparedCall they return. Typed
// handlers are made by route_registration.h; implement this interface directly only for
// handlers that need the raw argument values.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/api_response.h"
#include "api/routes.h"
#include "binding/types/binding_registry.h"
#include "binding/types/type_identity.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Api {

class ApiRegistry;

// What the request carried, for handlers whose result type asks for it.
struct RequestInfo {
  void* callerContext = nullptr;
  uint64_t time = 0;  // system clock, 100-nanosecond ticks since 1970
  const ApiRegistry* registry = nullptr;
  std::string target;
  HttpMethod method = HttpMethod::Any;
  std::string methodName;  // only for HttpMethod::Other
  std::unordered_map<std::string, std::string> headers;
};

// The result types that make the dispatcher pass a RequestInfo to Invoke: a response built with
// the request's information, and no result at all.
struct RequestAwareResponse {};
struct RequestAwareNoResult {};

// One call between Prepare and Release: typically the converted native arguments.
class PreparedCall {
 public:
  virtual ~PreparedCall() = default;
};

class ApiHandler : public Binding::FunctionCallable {
 public:
  // Converts `arguments` (one per declared argument, in order) for a call. A failure is recorded
  // in `response` (and the call is then not invoked); the returned call may be null.
  [[nodiscard]] virtual std::unique_ptr<PreparedCall> Prepare(
      ApiResponse& response, std::span<Binding::BindingProperty> arguments,
      void* callerContext) = 0;
  // Runs the call and fills `response`. `request` is set only for the request-aware result
  // types; `call` is what Prepare returned.
  virtual void Invoke(ApiResponse& response, const RequestInfo* request, PreparedCall* call,
                      void* callerContext) = 0;
  // Ends a prepared call.
  virtual void Release(std::unique_ptr<PreparedCall> call) noexcept { call.reset(); }
  // The identity of what the handler returns.
  [[nodiscard]] virtual const Binding::TypeId& ResultType() const noexcept = 0;
};

}  // namespace Oxle::Client::Api

namespace Oxle::Client::Binding {
template <>
struct FixedTypeHash<Api::RequestAwareResponse> {
  static constexpr uint32_t kHash = 0x466F9860u;
};
template <>
struct FixedTypeHash<Api::RequestAwareNoResult> {
  static constexpr uint32_t kHash = 0x89462EBFu;
};
}  // namespace Oxle::Client::Binding

namespace Oxle::Client::Api {

// True for the two result types that receive a RequestInfo.
[[nodiscard]] inline bool IsRequestAware(const Binding::TypeId& resultType) noexcept {
  return resultType == Binding::TypeIdOf<RequestAwareResponse>() ||
         resultType == Binding::TypeIdOf<RequestAwareNoResult>();
}

}  // namespace Oxle::Client::Api
