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
  ~HostResponse() {
    if (record.free != nullptr) record.free(&record);
  }
  [[nodiscard]] bool Failed() const { return record.error == 1; }
  [[nodiscard]] std::string Error() const { return record.errorMessage ? record.errorMessage : ""; }
  [[nodiscard]] uint32_t Status() const { return record.status; }
  // The result value in the decoder tests' shape notation.
  [[nodiscard]] std::string Shape() const {
    Binding::BindingProperty value;
    Binding::ValueResult result;
    if (!Binding::FromHostValue(record.value, value, result, "result")) return "<unreadable>";
    return Client::Shape(value);
  }
  // The shape, or "error STATUS: message".
  [[nodiscard]] std::string Describe() const {
    return Failed() ? "error " + std::to_string(Status()) + ": " + Error() : Shape();
  }

  ApiResponseRecord record;
};

// A request under construction; the texts it points to live in the object. The other fields of
// `record` (caller context, method) are set directly.
struct HostRequest {
  HostRequest(uint32_t method, std::string target) : target(std::move(target)) {
    record.method = method;
  }
  HostRequest& Header(std::string name, std::string value) {
    headerTexts.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  HostRequest& Body(std::string type, std::string bytes) {
    contentType = std::move(type);
    body = std::move(bytes);
    hasBody = true;
    return *this;
  }
  // A native argument (a null name binds by position); the value is borrowed.
  HostRequest& Native(const char* name, const HostValue& value) {
    natives.push_back(ApiNativeArgument{name, value});
    return *this;
  }

  // Fills the record for a call to the entry whose user data is `userData`.
  const ApiRequestRecord& Record(void* userData) {
    headers.clear();
    for (const auto& [name, value] : headerTexts)
      headers.push_back({name.c_str(), value.c_str()});
    record.target = target.c_str();
    record.userData = userData;
    record.headers = headers.empty() ? nullptr : headers.data();
    record.headerCount = static_cast<uint32_t>(headers.size());
    record.nativeArguments = natives.empty() ? nullptr : natives.data();
    record.nativeArgumentCount = static_cast<uint32_t>(natives.size());
    record.contentType = contentType.c_str();
    // The body is copied into an exact-size buffer so that a read past its end is caught.
    bodyCopy.assign(body.begin(), body.end());
    record.body = hasBody ? bodyCopy.data() : nullptr;
    record.bodyLength = static_cast<uint32_t>(body.size());
    record.methodName = methodName.c_str();
    return record;
  }

  ApiRequestRecord record{};
  std::string target, contentType, body, methodName;
  std::vector<std::pair<std::string, std::string>> headerTexts;
  std::vector<ApiHeader> headers;
  std::vector<ApiNativeArgument> natives;
  std::vector<uint8_t> bodyCopy;
  bool hasBody = false;
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
