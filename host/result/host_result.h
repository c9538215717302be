// Status and Result: how the host side (the host core, the command-line host, the stub service)
// reports failure to its user, as a value with a message that names what failed (a module, a
// path, a record). Never thrown. Plain values: a copy may go to any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace Oxle::Client::Host {

// Success, or a failure with its message.
class [[nodiscard]] Status {
 public:
  Status() = default;
  [[nodiscard]] static Status Error(std::string message) {
    Status status;
    status.error_ = std::move(message);
    status.failed_ = true;
    return status;
  }
  [[nodiscard]] bool Ok() const noexcept { return !failed_; }
  [[nodiscard]] const std::string& ErrorMessage() const noexcept { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

// A value, or a failure with its message. Value() is only for a Result that is Ok().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}               // NOLINT: a value is a success
  Result(Status failure) : error_(failure.ErrorMessage()) {}  // NOLINT: a failed Status
  [[nodiscard]] static Result Error(std::string message) {
    return Result(Status::Error(std::move(message)));
  }
  [[nodiscard]] bool Ok() const noexcept { return value_.has_value(); }
  [[nodiscard]] const std::string& ErrorMessage() const noexcept { return error_; }
  [[nodiscard]] T& Value() { return *value_; }
  [[nodiscard]] const T& Value() const { return *value_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

}  // namespace Oxle::Client::Host
