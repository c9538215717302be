// EventHub: the clients of the server's event stream and their queues. The host's event observer
// calls Publish, which formats the event once and appends it to the queue of every client whose
// prefix matches; a client whose queue would pass its bound (events or bytes; an empty queue
// takes any one message) is dropped on the spot, so a slow reader never makes a publisher wait.
// Each client's sender takes its messages with Next. Thread-safe: Publish may run on several
// threads at once, beside the senders.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/host.h"

namespace Oxle::Client::Host::Cli {

struct EventHubOptions {
  size_t maxClients = 64;               // a console keeps a few per browser tab
  size_t queueEvents = 1024;            // queued messages per client
  size_t queueBytes = size_t{8} << 20;  // queued bytes per client
};

class EventClient {
 public:
  explicit EventClient(std::string prefix) : prefix_(std::move(prefix)) {}

  // True when the event's URI or, failing that, its name starts with the client's prefix.
  [[nodiscard]] bool Wants(const ObservedEvent& event) const noexcept;

 private:
  friend class EventHub;

  const std::string prefix_;
  std::mutex mutex_;  // guards queue_, queuedBytes_, closed_
  std::condition_variable changed_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  size_t queuedBytes_ = 0;
  bool closed_ = false;  // dropped, or the hub stopped
  std::function<void()> wake_;
};

class EventHub {
 public:
  explicit EventHub(EventHubOptions options = {});

  // One Server-Sent Events message: "data: " and the compact JSON object {"data", "eventType",
  // "name", "uri"} of the event, then a blank line.
  [[nodiscard]] static std::string FormatEvent(const ObservedEvent& event);

  // The observer: queues the event for every client that wants it.
  void Publish(const ObservedEvent& event);

  // A new client with its filter (empty: every event); null when maxClients are connected or
  // the hub has stopped.
  [[nodiscard]] std::shared_ptr<EventClient> Connect(std::string prefix);
  void Disconnect(const std::shared_ptr<EventClient>& client);
  // From now on `wake` is called, on the publishing or stopping thread and without a lock of the
  // hub's held, each time the client gets messages or is closed; it must not block. It is called
  // once at once, for what was queued before.
  void SetWaker(EventClient& client, std::function<void()> wake);

  // Waits at most `limit` for messages and moves them into `out` (cleared first). False when the
  // client is closed (dropped or stopped): its sender should end the stream.
  [[nodiscard]] bool Next(EventClient& client, std::vector<std::shared_ptr<const std::string>>& out,
                          std::chrono::milliseconds limit);

  // Closes every client and refuses new ones.
  void Stop();

  [[nodiscard]] size_t ClientCount() const;
  [[nodiscard]] uint64_t DroppedCount() const;
  // Waits at most `limit` until `count` clients are connected; true when they are.
  [[nodiscard]] bool WaitForClientCount(size_t count, std::chrono::milliseconds limit) const;

 private:
  static void Wake(EventClient& client);

  const EventHubOptions options_;
  mutable std::mutex mutex_;  // guards clients_, stopped_, dropped_
  mutable std::condition_variable clientsChanged_;
  std::vector<std::shared_ptr<EventClient>> clients_;
  bool stopped_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace Oxle::Client::Host::Cli
