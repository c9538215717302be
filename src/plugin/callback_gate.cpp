#include "plugin/callback_gate.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace Oxle::Client::Plugin {

struct CallbackGate::State {
  explicit State(void* object) : owner(object) {}
  void* const owner;
  // Guards running and closed.
  std::mutex mutex;
  std::condition_variable idle;
  uint32_t running = 0;
  bool closed = false;
};

namespace {

struct TokenEntry {
  std::shared_ptr<CallbackGate::State> state;
  uint64_t value = 0;
  bool once = false;
};

struct TokenTable {
  // Guards entries and next.
  std::mutex mutex;
  std::unordered_map<uintptr_t, TokenEntry> entries;
  uintptr_t next = 1;
};

// Never destroyed, so a callback arriving during process exit still finds a table.
TokenTable& Tokens() {
  static TokenTable* const table = new TokenTable();
  return *table;
}

// The gates whose callbacks the current thread is running, innermost last.
thread_local std::vector<const CallbackGate::State*> tActive;

}  // namespace

CallbackGate::Pass::Pass(std::shared_ptr<State> state, void* owner, uint64_t value)
    : state_(std::move(state)), owner_(owner), value_(value) {
  tActive.push_back(state_.get());
}

CallbackGate::Pass::~Pass() {
  if (state_ == nullptr) return;
  const auto found = std::find(tActive.rbegin(), tActive.rend(), state_.get());
  if (found != tActive.rend()) tActive.erase(std::next(found).base());
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->running;
  state_->idle.notify_all();
}

CallbackGate::CallbackGate(void* owner) : state_(std::make_shared<State>(owner)) {}

CallbackGate::~CallbackGate() {
  Close();
}

uintptr_t CallbackGate::Issue(uint64_t value, bool once) {
  TokenTable& table = Tokens();
  std::lock_guard<std::mutex> tableLock(table.mutex);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closed) return 0;
  }
  uintptr_t token = 0;
  do {
    token = table.next++;
  } while (token == 0 || table.entries.contains(token));
  table.entries.emplace(token, TokenEntry{state_, value, once});
  return token;
}

void CallbackGate::Withdraw(uintptr_t token) noexcept {
  TokenTable& table = Tokens();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.entries.find(token);
  if (found != table.entries.end() && found->second.state == state_) table.entries.erase(found);
}

CallbackGate::Pass CallbackGate::Enter(uintptr_t token) {
  if (token == 0) return Pass();
  std::shared_ptr<State> state;
  uint64_t value = 0;
  {
    TokenTable& table = Tokens();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.entries.find(token);
    if (found == table.entries.end()) return Pass();
    state = found->second.state;
    value = found->second.value;
    if (found->second.once) table.entries.erase(found);
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closed) return Pass();
    ++state->running;
  }
  void* const owner = state->owner;
  return Pass(std::move(state), owner, value);
}

void CallbackGate::Close() noexcept {
  {
    TokenTable& table = Tokens();
    std::lock_guard<std::mutex> lock(table.mutex);
    std::erase_if(table.entries, [&](const auto& entry) { return entry.second.state == state_; });
  }
  const auto mine = static_cast<uint32_t>(std::count(tActive.begin(), tActive.end(), state_.get()));
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->closed = true;
  state_->idle.wait(lock, [&] { return state_->running <= mine; });
}

size_t CallbackGate::LiveTokenCount() {
  TokenTable& table = Tokens();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.entries.size();
}

}  // namespace Oxle::Client::Plugin
