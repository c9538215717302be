// What the host core's and the plugin's suites share: JSON in and out of values and host values,
// the host's log and its observed events as lines, and for their threaded tests a latch with a
// bounded wait and a start of several threads at once.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/host_value.h"
#include "codec/json.h"
#include "core/host.h"

namespace HostValues {

using Lines = std::vector<std::string>;

inline Oxle::Client::Binding::BindingProperty Json(const std::string& text) {
  Oxle::Client::Binding::ValueResult parsed = Oxle::Client::Codec::ParseJson(text);
  EXPECT_TRUE(parsed.Ok()) << text;
  return parsed.Value();
}
inline std::string Json(const Oxle::Client::Binding::BindingProperty& value) {
  return Oxle::Client::Codec::WriteJson(value, nullptr, nullptr);
}
inline std::string Json(const HostValue& value) {
  Oxle::Client::Binding::BindingProperty property;
  Oxle::Client::Binding::ValueResult result;
  return Oxle::Client::Binding::FromHostValue(value, property, result, "v") ? Json(property)
                                                                            : "<unreadable>";
}

// The log as "<level> <module>: <text>" lines, or "<level> <text>" without the module.
inline Lines LogLines(const Oxle::Client::Host::MemoryLogSink& logs, bool module = true) {
  Lines lines;
  for (const Oxle::Client::Host::LogEntry& entry : logs.Entries())
    lines.push_back(std::to_string(entry.level) + " " + (module ? entry.module + ": " : "") +
                    entry.text);
  return lines;
}

// Every observed event as "<name>|<uri>|<event type>|<data as JSON>|<flags>".
struct Recorder {
  Oxle::Client::Host::EventObserver Observer() {
    return [this](const Oxle::Client::Host::ObservedEvent& event) {
      lines.push_back(std::string(event.name) + "|" + std::string(event.uri) + "|" +
                      std::string(event.eventType) + "|" + Json(event.data) + "|" +
                      std::to_string(event.flags));
    };
  }
  Lines lines;  // written by the publishing thread: the tests' own, in manual mode
};

// A latch whose wait gives up after `limit`; a second Set does nothing.
class Signal {
 public:
  void Set() {
    std::call_once(once_, [this] { set_.set_value(); });
  }
  [[nodiscard]] bool Wait(std::chrono::seconds limit = std::chrono::seconds(30)) const {
    return done_.wait_for(limit) == std::future_status::ready;
  }

 private:
  std::once_flag once_;
  std::promise<void> set_;
  std::shared_future<void> done_ = set_.get_future().share();
};

// Runs every `work` on a thread of its own, all released at once, and joins them.
inline void RunTogether(const std::vector<std::function<void()>>& work) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (const auto& each : work) {
    threads.emplace_back([&go, &each] {
      while (!go)
        std::this_thread::yield();
      each();
    });
  }
  go = true;
  for (std::thread& thread : threads)
    thread.join();
}

}  // namespace HostValues
