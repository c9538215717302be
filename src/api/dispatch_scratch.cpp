// The dispatch scratch and its lock-free pool.
#include "api/dispatch_scratch.h"

#include <atomic>

namespace Oxle::Client::Api {

namespace {

// A few idle scratches for the next dispatches, taken and given back without a lock. A dispatch
// that finds none (more calls at once than slots) makes its own, and one given back to a full
// pool is destroyed. Closed when the module's statics are destroyed; a dispatch after that
// makes and destroys its own scratch.
class ScratchPool {
 public:
  [[nodiscard]] DispatchScratch* Take() {
    if (!closed_.load(std::memory_order_acquire)) {
      for (std::atomic<DispatchScratch*>& slot : slots_) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        if (DispatchScratch* scratch = slot.exchange(nullptr, std::memory_order_acquire)) {
          return scratch;
        }
      }
    }
    return new DispatchScratch();
  }

  void Give(DispatchScratch* scratch) noexcept {
    scratch->Clear();
    if (!closed_.load(std::memory_order_acquire)) {
      for (std::atomic<DispatchScratch*>& slot : slots_) {
        DispatchScratch* empty = nullptr;
        if (slot.compare_exchange_strong(empty, scratch, std::memory_order_release,
                                         std::memory_order_relaxed)) {
          return;
        }
      }
    }
    delete scratch;
  }

  void Close() noexcept {
    closed_.store(true, std::memory_order_release);
    for (std::atomic<DispatchScratch*>& slot : slots_)
      delete slot.exchange(nullptr, std::memory_order_acquire);
  }

 private:
  static constexpr size_t kSlots = 8;

  std::atomic<DispatchScratch*> slots_[kSlots] = {};
  std::atomic<bool> closed_ = false;
};

// Trivially destructible, so it stays usable while other statics are destroyed.
constinit ScratchPool gScratchPool;

struct ScratchPoolCloser {
  ~ScratchPoolCloser() { gScratchPool.Close(); }
} gScratchPoolCloser;

}  // namespace

void DispatchScratch::Clear() noexcept {
  arguments.Clear();
  call.Reset();
  if (call.text.capacity() > kKeptTextCapacity) std::string().swap(call.text);
  headers.Clear();
  query.Clear();
  headerArguments.clear();
  captures.clear();
  pathValues.clear();
  if (decoded.size() > kKeptDecoded) std::vector<std::string>().swap(decoded);
  for (std::string& text : decoded) {
    if (text.capacity() > kKeptTextCapacity) std::string().swap(text);
  }
}

ScratchLease::ScratchLease() : scratch_(gScratchPool.Take()) {}

ScratchLease::~ScratchLease() {
  gScratchPool.Give(scratch_);
}

}  // namespace Oxle::Client::Api
