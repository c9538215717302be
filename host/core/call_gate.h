// CallGate: the calls in progress into one callee (a module, or one event subscription), kept
// per thread, so that closing the gate can wait for calls on other threads while a call on the
// closing thread itself (a callback that unsubscribes itself) is not waited for.
// Thread-safe. A gate is closed once and never reopened.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Oxle::Client::Host {

class CallGate {
 public:
  // Records a call on this thread; false (nothing recorded) once the gate is closed.
  [[nodiscard]] bool Enter();
  void Leave() noexcept;
  // No Enter succeeds afterwards. Returns when no call on another thread is in progress.
  void Close();
  [[nodiscard]] bool Closed() const;
  // True while this thread is inside a call through this gate.
  [[nodiscard]] bool InsideOnThisThread() const;

  // Enters on construction and leaves on destruction; test it before calling.
  class Entry {
   public:
    explicit Entry(CallGate& gate) : gate_(gate), entered_(gate.Enter()) {}
    ~Entry() {
      if (entered_) gate_.Leave();
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    explicit operator bool() const noexcept { return entered_; }

   private:
    CallGate& gate_;
    bool entered_;
  };

 private:
  [[nodiscard]] bool OnlyThisThread() const;

  mutable std::mutex mutex_;  // guards closed_ and active_
  std::condition_variable left_;
  bool closed_ = false;
  std::vector<std::thread::id> active_;  // one element per call in progress
};

}  // namespace Oxle::Client::Host
