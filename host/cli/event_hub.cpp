#include "cli/event_hub.h"

#include <algorithm>
#include <utility>

#include "codec/json.h"

namespace Oxle::Client::Host::Cli {

bool EventClient::Wants(const ObservedEvent& event) const noexcept {
  if (prefix_.empty()) return true;
  return event.uri.starts_with(prefix_) || event.name.starts_with(prefix_);
}

EventHub::EventHub(EventHubOptions options) : options_(options) {}

std::string EventHub::FormatEvent(const ObservedEvent& event) {
  Binding::BindingProperty message;
  message.Get("name").SetString(event.name);
  message.Get("uri").SetString(event.uri);
  message.Get("eventType").SetString(event.eventType);
  message.Get("data") = event.data;
  // Compact JSON holds no line break (one in a string is written "\n"), so one data line is
  // the whole message.
  return "data: " + Codec::WriteJson(message, nullptr, nullptr) + "\n\n";
}

void EventHub::Publish(const ObservedEvent& event) {
  std::vector<std::shared_ptr<EventClient>> clients;
  {
    std::lock_guard lock(mutex_);
    clients = clients_;
  }
  std::shared_ptr<const std::string> text;
  uint64_t dropped = 0;
  for (const auto& client : clients) {
    if (!client->Wants(event)) continue;
    if (!text) text = std::make_shared<const std::string>(FormatEvent(event));
    {
      std::lock_guard lock(client->mutex_);
      if (client->closed_) continue;
      // An empty queue takes any message, so one large resource drops nobody.
      if (!client->queue_.empty() && (client->queue_.size() + 1 > options_.queueEvents ||
                                      client->queuedBytes_ + text->size() > options_.queueBytes)) {
        // Dropped rather than waited for: the publisher may be a module holding its own locks.
        client->closed_ = true;
        client->queue_.clear();
        client->queuedBytes_ = 0;
        ++dropped;
      } else {
        client->queue_.push_back(text);
        client->queuedBytes_ += text->size();
      }
    }
    client->changed_.notify_all();
    Wake(*client);
  }
  if (dropped != 0) {
    std::lock_guard lock(mutex_);
    dropped_ += dropped;
  }
}

std::shared_ptr<EventClient> EventHub::Connect(std::string prefix) {
  std::lock_guard lock(mutex_);
  if (stopped_ || clients_.size() >= options_.maxClients) return nullptr;
  auto client = std::make_shared<EventClient>(std::move(prefix));
  clients_.push_back(client);
  clientsChanged_.notify_all();
  return client;
}

void EventHub::Wake(EventClient& client) {
  std::function<void()> wake;
  {
    std::lock_guard lock(client.mutex_);
    wake = client.wake_;
  }
  if (wake) wake();
}

void EventHub::SetWaker(EventClient& client, std::function<void()> wake) {
  {
    std::lock_guard lock(client.mutex_);
    client.wake_ = std::move(wake);
  }
  Wake(client);
}

void EventHub::Disconnect(const std::shared_ptr<EventClient>& client) {
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  clientsChanged_.notify_all();
}

bool EventHub::WaitForClientCount(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return clientsChanged_.wait_for(lock, limit, [&] { return clients_.size() == count; });
}

bool EventHub::Next(EventClient& client, std::vector<std::shared_ptr<const std::string>>& out,
                    std::chrono::milliseconds limit) {
  out.clear();
  std::unique_lock lock(client.mutex_);
  client.changed_.wait_for(lock, limit, [&] { return client.closed_ || !client.queue_.empty(); });
  if (client.closed_) return false;
  out.assign(client.queue_.begin(), client.queue_.end());
  client.queue_.clear();
  client.queuedBytes_ = 0;
  return true;
}

void EventHub::Stop() {
  std::vector<std::shared_ptr<EventClient>> clients;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    clients = clients_;
  }
  for (const auto& client : clients) {
    {
      std::lock_guard lock(client->mutex_);
      client->closed_ = true;
    }
    client->changed_.notify_all();
    Wake(*client);
  }
}

size_t EventHub::ClientCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

uint64_t EventHub::DroppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace Oxle::Client::Host::Cli
