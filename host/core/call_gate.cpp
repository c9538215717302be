#include "core/call_gate.h"

#include <algorithm>

namespace Oxle::Client::Host {

bool CallGate::Enter() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  active_.push_back(std::this_thread::get_id());
  return true;
}

void CallGate::Leave() noexcept {
  {
    std::lock_guard lock(mutex_);
    const auto found = std::find(active_.begin(), active_.end(), std::this_thread::get_id());
    if (found != active_.end()) active_.erase(found);
  }
  left_.notify_all();
}

bool CallGate::OnlyThisThread() const {
  const std::thread::id self = std::this_thread::get_id();
  return std::all_of(active_.begin(), active_.end(),
                     [&](std::thread::id id) { return id == self; });
}

void CallGate::Close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  left_.wait(lock, [&] { return OnlyThisThread(); });
}

bool CallGate::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool CallGate::InsideOnThisThread() const {
  std::lock_guard lock(mutex_);
  return std::find(active_.begin(), active_.end(), std::this_thread::get_id()) != active_.end();
}

}  // namespace Oxle::Client::Host
