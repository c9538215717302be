// CatchAll: the host's one policy where it calls out to code it does not own (a module, a log
// sink, an observer, a transport) and where it answers a module: nothing thrown gets through.
// It runs a callable and turns an exception into the caller's own failure value, built from the
// exception's text. Holds no state; usable on any thread.
#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace Oxle::Client::Host {

// Returns `body()`; when that throws, returns `onThrow(what)` instead, `what` being the
// exception's what() or null for an exception not derived from std::exception. What onThrow
// itself throws is not caught.
template <class Body, class OnThrow>
std::invoke_result_t<Body&> CatchAll(Body&& body, OnThrow&& onThrow) {
  try {
    return body();
  } catch (const std::exception& error) {
    return onThrow(error.what());
  } catch (...) {
    return onThrow(nullptr);
  }
}

// `message`, followed by ": " and the exception's text when there is one.
[[nodiscard]] inline std::string WithReason(std::string message, const char* what) {
  if (what != nullptr) (message += ": ") += what;
  return message;
}

}  // namespace Oxle::Client::Host
