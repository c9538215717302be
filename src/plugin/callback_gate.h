// CallbackGate: what stands between a host callback and the plugin it was meant for. The host
// is never given a pointer to plugin memory as a callback context, only a token: a number
// looked up in a process-wide table under its mutex. A plugin's gate counts the callbacks
// running inside it; Close (at unload) withdraws the plugin's tokens and waits until those
// callbacks have left. So a callback that arrives late (after Close, or after the plugin is
// gone) finds no token and returns without touching freed memory.
// Tokens are pointer-sized: on a 32-bit target the counter wraps after 2^32 tokens and skips
// tokens still in use. Safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Oxle::Client::Plugin {

class CallbackGate {
 public:
  struct State;

  // Admission of one callback; while it lives, Close of the owner's gate waits.
  class Pass {
   public:
    Pass() = default;
    Pass(std::shared_ptr<State> state, void* owner, uint64_t value);
    Pass(Pass&& other) noexcept = default;
    Pass& operator=(Pass&&) = delete;
    ~Pass();

    explicit operator bool() const noexcept { return state_ != nullptr; }
    // The object the gate was opened for, and the value stored with the token.
    [[nodiscard]] void* Owner() const noexcept { return owner_; }
    [[nodiscard]] uint64_t Value() const noexcept { return value_; }

   private:
    std::shared_ptr<State> state_;
    void* owner_ = nullptr;
    uint64_t value_ = 0;
  };

  // A gate for callbacks into `owner`.
  explicit CallbackGate(void* owner);
  CallbackGate(const CallbackGate&) = delete;
  CallbackGate& operator=(const CallbackGate&) = delete;
  ~CallbackGate();

  // A new token carrying `value`; a `once` token is consumed by its first admission. After
  // Close the token is 0, which admits nothing.
  [[nodiscard]] uintptr_t Issue(uint64_t value, bool once);
  // Withdraws a token that was never used (say, the host refused the job).
  void Withdraw(uintptr_t token) noexcept;

  // Admits a callback carrying `token`; an empty pass when the token is unknown, used up, or
  // its gate is closed.
  [[nodiscard]] static Pass Enter(uintptr_t token);

  // Withdraws every token of this gate and waits for the callbacks inside it to leave (except
  // those running on the calling thread). Idempotent.
  void Close() noexcept;

  // The number of tokens of every gate of the process (for tests).
  [[nodiscard]] static size_t LiveTokenCount();

 private:
  std::shared_ptr<State> state_;
};

// Context pointers from tokens and back.
[[nodiscard]] inline void* TokenToContext(uintptr_t token) noexcept {
  return reinterpret_cast<void*>(token);
}
[[nodiscard]] inline uintptr_t ContextToToken(const void* context) noexcept {
  return reinterpret_cast<uintptr_t>(context);
}

}  // namespace Oxle::Client::Plugin
