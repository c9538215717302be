// Drives the API layer the way a host does: fills a request record, calls an export entry's
// callback, reads the response record and finally calls its free callback.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/types/host_value.h"
#include "binding/value/binding_property.h"
#include "support/value_shape.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Api::Testing {

// A response record that the host has received; freed through its own callback.
class HostResponse {
 public:
  HostResponse() { std::memset(&record, 0xA5, sizeof record); }  // the host's record is dirty
  HostResponse(const HostResponse&) = delete;
  HostResponse& operator=(const HostResponse&) = delete;
  ~HostResponse() {
    if (record.free != nullptr) record.free(&record);
  }

  [[nodiscard]] bool Failed() const { return record.error == 1; }
  [[nodiscard]] std::string Error() const {
    return record.errorMessage != nullptr ? record.errorMessage : "";
  }
  [[nodiscard]] uint32_t Status() const { return record.status; }
  // The result value in the decoder tests' shape notation.
  [[nodiscard]] std::string Shape() const {
    Binding::BindingProperty value;
    Binding::ValueResult result;
    if (!Binding::FromHostValue(record.value, value, result, "result")) return "<unreadable>";
    return Client::Shape(value);
  }

  ApiResponseRecord record;
};

// A request under construction; the texts it points to live in the object.
class HostRequest {
 public:
  HostRequest(uint32_t method, std::string target) : target_(std::move(target)) {
    record_.method = method;
  }

  HostRequest& Header(std::string name, std::string value) {
    headerTexts_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  HostRequest& Body(std::string contentType, std::string bytes) {
    contentType_ = std::move(contentType);
    body_ = std::move(bytes);
    hasBody_ = true;
    return *this;
  }
  // A native argument (a null name binds by position); the value is borrowed.
  HostRequest& Native(const char* name, const HostValue& value) {
    natives_.push_back(ApiNativeArgument{name, value});
    return *this;
  }
  HostRequest& MethodName(std::string name) {
    methodName_ = std::move(name);
    return *this;
  }
  HostRequest& Context(void* context) {
    record_.callerContext = context;
    return *this;
  }

  // Fills the record for a call to the entry whose user data is `userData`.
  const ApiRequestRecord& Record(void* userData) {
    headers_.clear();
    for (const auto& [name, value] : headerTexts_)
      headers_.push_back({name.c_str(), value.c_str()});
    record_.target = target_.c_str();
    record_.userData = userData;
    record_.headers = headers_.empty() ? nullptr : headers_.data();
    record_.headerCount = static_cast<uint32_t>(headers_.size());
    record_.nativeArguments = natives_.empty() ? nullptr : natives_.data();
    record_.nativeArgumentCount = static_cast<uint32_t>(natives_.size());
    record_.contentType = contentType_.c_str();
    // The body is copied into an exact-size buffer so that a read past its end is caught.
    bodyCopy_.assign(body_.begin(), body_.end());
    record_.body = hasBody_ ? bodyCopy_.data() : nullptr;
    record_.bodyLength = static_cast<uint32_t>(body_.size());
    record_.methodName = methodName_.c_str();
    return record_;
  }

 private:
  ApiRequestRecord record_{};
  std::string target_;
  std::vector<std::pair<std::string, std::string>> headerTexts_;
  std::vector<ApiHeader> headers_;
  std::vector<ApiNativeArgument> natives_;
  std::string contentType_;
  std::string body_;
  std::vector<uint8_t> bodyCopy_;
  bool hasBody_ = false;
  std::string methodName_;
};

// The export entry of `name` in `table`, or null.
[[nodiscard]] inline const ApiExportEntry* FindEntry(const ApiExportTable& table,
                                                     std::string_view name) {
  for (const ApiExportEntry* entry = table.entries; entry != nullptr;
       entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
    if (entry->function.name != nullptr && name == entry->function.name) return entry;
  }
  return nullptr;
}

// Calls the export entry of `name` with `request` into `response`.
inline void Send(const ApiExportTable& table, std::string_view name, HostRequest& request,
                 HostResponse& response) {
  const ApiExportEntry* entry = FindEntry(table, name);
  ASSERT_NE(entry, nullptr) << name;
  entry->callback(&response.record, &request.Record(entry->function.userData));
}

}  // namespace Oxle::Client::Api::Testing
