// PluginCore's service-proxy bookkeeping: received responses, waiting requests and async
// handlers, all under serviceMutex_.
#include "binding/format/positional_format.h"
#include "log/log_record.h"
#include "log/logger.h"
#include "plugin/plugin_core.h"

namespace Oxle::Client::Plugin {

namespace {

std::string MethodKey(const PluginServiceProxyResponse& response) {
  return Binding::FormatToString("%1.%2", response.serviceName, response.methodName);
}

}  // namespace

void PluginCore::HandleServiceProxyResponse(const PluginServiceProxyResponse& response,
                                            bool byUuid) {
  std::string key = byUuid ? response.uuid : MethodKey(response);
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(serviceMutex_);
    StoreReceivedLocked(std::move(key), response, dropped);
  }
  if (dropped) {
    Log::Log(Log::WARN, 1, 0,
             "%s: More than %u service proxy responses wait for a request; dropping the oldest",
             shortName_.c_str(), static_cast<unsigned>(kMaxReceivedServiceResponses));
  }
  FulfillServiceRequests();
}

void PluginCore::StoreReceivedLocked(std::string key, const PluginServiceProxyResponse& response,
                                     bool& dropped) {
  const auto found = receivedServiceResponses_.find(key);
  if (found != receivedServiceResponses_.end()) {
    found->second.response = response;
    receivedOrder_.splice(receivedOrder_.end(), receivedOrder_, found->second.order);
    return;
  }
  receivedOrder_.push_back(key);
  receivedServiceResponses_.emplace(std::move(key),
                                    ReceivedResponse{response, std::prev(receivedOrder_.end())});
  if (receivedServiceResponses_.size() <= kMaxReceivedServiceResponses) return;
  receivedServiceResponses_.erase(receivedOrder_.front());
  receivedOrder_.pop_front();
  if (!droppedWarned_) {
    droppedWarned_ = true;
    dropped = true;
  }
}

void PluginCore::FulfillServiceRequests() {
  std::string fulfilled;
  bool answered = false;
  {
    std::lock_guard<std::mutex> lock(serviceMutex_);
    for (auto key = receivedOrder_.begin(); key != receivedOrder_.end(); ++key) {
      const auto waiting = pendingServiceRequests_.find(*key);
      if (waiting == pendingServiceRequests_.end()) continue;
      // Both entries go before the call, so a callable that throws is not called again.
      const auto received = receivedServiceResponses_.find(*key);
      const PluginServiceProxyResponse response = std::move(received->second.response);
      const ServiceProxyHandler callable = std::move(waiting->second);
      fulfilled = std::move(*key);
      pendingServiceRequests_.erase(waiting);
      receivedServiceResponses_.erase(received);
      receivedOrder_.erase(key);
      answered = true;
      callable(response);
      break;
    }
  }
  if (answered) {
    Log::Log(Log::ALWAYS, 1, 0, "%s: Fulfilled service proxy request: %s", shortName_.c_str(),
             fulfilled.c_str());
  }
}

void PluginCore::AddServiceRequest(std::string key, ServiceProxyHandler waiting) {
  {
    std::lock_guard<std::mutex> lock(serviceMutex_);
    pendingServiceRequests_[std::move(key)] = std::move(waiting);
  }
  FulfillServiceRequests();
}

void PluginCore::AddAsyncServiceHandler(std::string key, ServiceProxyHandler handler) {
  std::lock_guard<std::mutex> lock(serviceMutex_);
  asyncServiceHandlers_[std::move(key)] = std::move(handler);
}

size_t PluginCore::ReceivedServiceResponseCount() const {
  std::lock_guard<std::mutex> lock(serviceMutex_);
  return receivedServiceResponses_.size();
}

void PluginCore::HandleAsyncServiceProxyResponse(const PluginServiceProxyResponse& response) {
  const std::string key = MethodKey(response);
  {
    std::lock_guard<std::mutex> lock(serviceMutex_);
    const auto found = asyncServiceHandlers_.find(key);
    if (found != asyncServiceHandlers_.end()) {
      found->second(response);
      return;
    }
  }
  Log::Log(Log::ERROR, 1, 0,
           "%s: Could not find registered handler for async service proxy event %s",
           shortName_.c_str(), key.c_str());
}

}  // namespace Oxle::Client::Plugin
