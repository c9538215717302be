// Typed route registration: one statement turns a C++ callable with native arguments into an API
// function served over HTTP.
//
//   RegisterRoute(registry, HttpMethod::Get, "/v1/games/{gameId}", this, &Service::GetGame,
//                 {{"gameId", ArgumentLocation::Path}});
//   RegisterRoute(registry, HttpMethod::Get, "/v1/recent/{id}",
//                 [this](uint64_t id, bool force) { return Recent(id, force); },
//                 {{"id", ArgumentLocation::Path}, {"force", ArgumentLocation::Query}});
//
// Arguments may be any type with a Converter (type_binding.h); their native conversion happens
// in the handler's Prepare. A callable may return nothing, an ApiResponse (its value is the
// body), a registered struct (written as the body), or a ValueOrError of a struct. One whose
// first parameter is `const RequestInfo&` is request-aware: the dispatcher passes the request's
// information, and it returns nothing or an ApiResponse.
// Registration runs at start-up, before dispatch; a name registered before keeps its first
// registration entirely.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "api/api_handler.h"
#include "api/api_registry.h"
#include "api/api_response.h"
#include "api/routes.h"
#include "binding/types/type_binding.h"

namespace Oxle::Client::Api {

// A struct result or the error response that replaces it. Value() is only for one that is Ok(),
// Failure() only for one that is not.
template <typename T>
class [[nodiscard]] ValueOrError {
 public:
  ValueOrError(T value) : state_(std::in_place_index<0>, std::move(value)) {}            // NOLINT
  ValueOrError(ApiResponse error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  // A failure answered with `message` and `status`.
  [[nodiscard]] static ValueOrError Error(std::string_view message, uint32_t status) {
    return ValueOrError(ApiResponse::Error(message, status));
  }

  [[nodiscard]] bool Ok() const noexcept { return state_.index() == 0; }
  // The failure's message; empty when ok.
  [[nodiscard]] std::string_view ErrorMessage() const noexcept {
    return Ok() ? std::string_view() : std::get<1>(state_).result.ErrorMessage();
  }
  [[nodiscard]] T& Value() { return std::get<0>(state_); }
  // The error response.
  [[nodiscard]] ApiResponse& Failure() { return std::get<1>(state_); }

 private:
  std::variant<T, ApiResponse> state_;
};

// One declared argument of a route.
struct RouteArgument {
  std::string_view name;
  ArgumentLocation location = ArgumentLocation::Any;
  std::string_view description = {};
  bool optional = false;
};

namespace Detail {

template <typename T>
struct IsValueOrError : std::false_type {};
template <typename T>
struct IsValueOrError<ValueOrError<T>> : std::true_type {
  using Inner = T;
};

template <typename... A>
struct ArgumentList {
  static constexpr size_t kCount = sizeof...(A);
  using Values = std::tuple<std::decay_t<A>...>;
};

// The signature of a callable: its result, whether it takes a RequestInfo first, and the rest.
template <typename R, typename... A>
struct SignatureOf {
  using Result = R;
  static constexpr bool kWithRequest = false;
  using Arguments = ArgumentList<A...>;
};
template <typename R, typename... A>
struct SignatureOf<R, const RequestInfo&, A...> {
  using Result = R;
  static constexpr bool kWithRequest = true;
  using Arguments = ArgumentList<A...>;
};

template <typename F>
struct CallableSignature : CallableSignature<decltype(&F::operator())> {};
template <typename R, typename C, typename... A>
struct CallableSignature<R (C::*)(A...)> : SignatureOf<R, A...> {};
template <typename R, typename C, typename... A>
struct CallableSignature<R (C::*)(A...) const> : SignatureOf<R, A...> {};
template <typename R, typename... A>
struct CallableSignature<R (*)(A...)> : SignatureOf<R, A...> {};

// A member function bound to its object.
template <typename C, typename M>
struct BoundMember;
template <typename C, typename R, typename... A>
struct BoundMember<C, R (C::*)(A...)> {
  C* object;
  R (C::*member)(A...);
  R operator()(A... arguments) const { return (object->*member)(std::forward<A>(arguments)...); }
};
template <typename C, typename R, typename... A>
struct BoundMember<C, R (C::*)(A...) const> {
  const C* object;
  R (C::*member)(A...) const;
  R operator()(A... arguments) const { return (object->*member)(std::forward<A>(arguments)...); }
};

// Which of the two invokers a handler is: the route's passes an error of a ValueOrError through;
// the function record's keeps only the struct side.
enum class InvokerKind { Route, Function };

template <typename R>
[[nodiscard]] Binding::TypeIdentifier ReturnTypeOf(Binding::BindingRegistry& registry) {
  if constexpr (std::is_void_v<R>) {
    return {};
  } else if constexpr (std::is_same_v<R, ApiResponse>) {
    return {Binding::BindingCode::Object, Binding::BindingCode::None, nullptr};
  } else if constexpr (IsValueOrError<R>::value) {
    return Binding::TypeIdentifierOf<typename IsValueOrError<R>::Inner>(registry);
  } else {
    return Binding::TypeIdentifierOf<R>(registry);
  }
}

// The handler of a typed callable, as either invoker.
template <InvokerKind kKind, typename F, typename Signature>
class TypedApiHandler final : public ApiHandler {
  using R = typename Signature::Result;
  using Values = typename Signature::Arguments::Values;
  static constexpr size_t kCount = Signature::Arguments::kCount;

  struct Call final : PreparedCall {
    Values values;
  };

 public:
  TypedApiHandler(F callable, Binding::BindingRegistry& registry,
                  std::array<Binding::TypeIdentifier, kCount> types,
                  std::array<std::string, kCount> names, std::array<bool, kCount> optional)
      : callable_(std::move(callable)),
        registry_(registry),
        types_(types),
        names_(std::move(names)),
        optional_(optional),
        returns_(ReturnTypeOf<R>(registry)) {}

  [[nodiscard]] std::unique_ptr<PreparedCall> Prepare(ApiResponse& response,
                                                      std::span<Binding::BindingProperty> arguments,
                                                      void*) override {
    auto call = std::make_unique<Call>();
    ReadAll(response, arguments, call->values, std::make_index_sequence<kCount>());
    return call;
  }

  void Invoke(ApiResponse& response, const RequestInfo* request, PreparedCall* prepared,
              void*) override {
    Call empty;
    Values& values = prepared != nullptr ? static_cast<Call*>(prepared)->values : empty.values;
    if constexpr (std::is_void_v<R>) {
      CallWith(request, values);
    } else {
      Deliver(response, CallWith(request, values));
    }
  }

  [[nodiscard]] const Binding::TypeId& ResultType() const noexcept override {
    if constexpr (Signature::kWithRequest) {
      if constexpr (std::is_void_v<R>) {
        return Binding::TypeIdOf<RequestAwareNoResult>();
      } else {
        return Binding::TypeIdOf<RequestAwareResponse>();
      }
    } else {
      return Binding::TypeIdOf<R>();
    }
  }

 private:
  template <size_t... I>
  void ReadAll(ApiResponse& response,
               [[maybe_unused]] std::span<Binding::BindingProperty> arguments, Values& values,
               std::index_sequence<I...>) {
    (ReadOne<I>(response, arguments, values), ...);
  }

  template <size_t I>
  void ReadOne(ApiResponse& response, std::span<Binding::BindingProperty> arguments,
               Values& values) {
    if (!response.Ok()) return;
    using A = std::tuple_element_t<I, Values>;
    static const Binding::BindingProperty kMissing;
    const Binding::BindingProperty& value = I < arguments.size() ? arguments[I] : kMissing;
    // An optional argument the request did not supply keeps its native default.
    if (optional_[I] && value.Kind() == Binding::ValueKind::Empty) return;
    Binding::Converter<A>::Read(response.result, std::get<I>(values), value, names_[I].c_str(),
                                types_[I], &registry_, 0);
  }

  decltype(auto) CallWith(const RequestInfo* request, Values& values) {
    if constexpr (Signature::kWithRequest) {
      static const RequestInfo kNoRequest;
      const RequestInfo& info = request != nullptr ? *request : kNoRequest;
      return std::apply(
          [&](auto&... arguments) -> R { return callable_(info, std::move(arguments)...); },
          values);
    } else {
      return std::apply([&](auto&... arguments) -> R { return callable_(std::move(arguments)...); },
                        values);
    }
  }

  template <typename T>
  void WriteBody(ApiResponse& response, const T& value) {
    Binding::WriteStruct(&registry_, response.result, &value, returns_.record);
  }

  template <typename Result>
  void Deliver(ApiResponse& response, Result&& result) {
    using Plain = std::decay_t<Result>;
    if constexpr (std::is_same_v<Plain, ApiResponse>) {
      response = std::move(result);
    } else if constexpr (IsValueOrError<Plain>::value) {
      if (result.Ok()) {
        WriteBody(response, result.Value());
      } else if constexpr (kKind == InvokerKind::Route) {
        response = std::move(result.Failure());
      } else {
        WriteBody(response, typename IsValueOrError<Plain>::Inner{});
      }
    } else {
      WriteBody(response, result);
    }
  }

  F callable_;
  Binding::BindingRegistry& registry_;
  std::array<Binding::TypeIdentifier, kCount> types_;
  std::array<std::string, kCount> names_;
  std::array<bool, kCount> optional_;
  Binding::TypeIdentifier returns_;
};

template <typename F, size_t N>
Binding::FunctionRecord* RegisterTypedRoute(ApiRegistry& registry, HttpMethod method,
                                            std::string_view path, F callable,
                                            const std::array<RouteArgument, N>& arguments) {
  using Signature = CallableSignature<F>;
  using Values = typename Signature::Arguments::Values;
  using R = typename Signature::Result;
  static_assert(Signature::Arguments::kCount == N,
                "declare exactly one RouteArgument per argument of the handler");
  static_assert(!Signature::kWithRequest || std::is_void_v<R> || std::is_same_v<R, ApiResponse>,
                "a request-aware handler returns nothing or an ApiResponse");

  const std::string name = MakeFunctionName(method, path);
  if (const Binding::FunctionRecord* known = registry.FindFunction(name)) {
    return const_cast<Binding::FunctionRecord*>(known);
  }
  std::array<Binding::TypeIdentifier, N> types{};
  std::array<std::string, N> names{};
  std::array<bool, N> optional{};
  [&]<size_t... I>(std::index_sequence<I...>) {
    ((types[I] = Binding::TypeIdentifierOf<std::tuple_element_t<I, Values>>(registry)), ...);
  }
  (std::make_index_sequence<N>());
  for (size_t i = 0; i < N; ++i) {
    names[i] = std::string(arguments[i].name);
    optional[i] = arguments[i].optional;
  }

  Binding::FunctionRecord* function = registry.RegisterFunction(name, N);
  for (size_t i = 0; i < N; ++i) {
    function->arguments[i].type = types[i];
    function->arguments[i].optional = arguments[i].optional;
  }
  function->returns = ReturnTypeOf<R>(registry);
  function->callable = std::make_shared<TypedApiHandler<InvokerKind::Function, F, Signature>>(
      callable, registry, types, names, optional);

  RouteBinding& binding = registry.CreateRouteBinding(*function);
  binding.handler = std::make_shared<TypedApiHandler<InvokerKind::Route, F, Signature>>(
      std::move(callable), registry, types, names, optional);
  SetRoutePath(binding, path);
  SetRouteMethod(binding, method);
  for (size_t i = 0; i < N; ++i) {
    DeclareArgument(registry, *function, arguments[i].name, arguments[i].description,
                    arguments[i].location);
  }
  return function;
}

}  // namespace Detail

// Registers `callable` as the function MakeFunctionName(method, path), served at `path` for
// `method`, with one RouteArgument per parameter (after a leading RequestInfo, if any).
template <typename F, size_t N>
Binding::FunctionRecord* RegisterRoute(ApiRegistry& registry, HttpMethod method,
                                       std::string_view path, F callable,
                                       const RouteArgument (&arguments)[N]) {
  return Detail::RegisterTypedRoute(registry, method, path, std::move(callable),
                                    std::to_array(arguments));
}
template <typename F>
Binding::FunctionRecord* RegisterRoute(ApiRegistry& registry, HttpMethod method,
                                       std::string_view path, F callable) {
  return Detail::RegisterTypedRoute(registry, method, path, std::move(callable),
                                    std::array<RouteArgument, 0>{});
}

// The same for a member function of `object`, which must outlive the registry's use of it.
template <typename C, typename M, size_t N>
requires std::is_member_function_pointer_v<M> Binding::FunctionRecord* RegisterRoute(
    ApiRegistry& registry, HttpMethod method, std::string_view path, C* object, M member,
    const RouteArgument (&arguments)[N]) {
  return Detail::RegisterTypedRoute(
      registry, method, path, Detail::BoundMember<C, M>{object, member}, std::to_array(arguments));
}
template <typename C, typename M>
requires std::is_member_function_pointer_v<M> Binding::FunctionRecord* RegisterRoute(
    ApiRegistry& registry, HttpMethod method, std::string_view path, C* object, M member) {
  return Detail::RegisterTypedRoute(registry, method, path,
                                    Detail::BoundMember<C, M>{object, member},
                                    std::array<RouteArgument, 0>{});
}

}  // namespace Oxle::Client::Api
