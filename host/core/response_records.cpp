// The host-owned API response records: filled by the host, or copied from a module's answer.
#include "core/response_records.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "binding/types/host_value.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Host {

namespace {

// Empty reads in a row after which a response body counts as stalled.
constexpr int kMaxEmptyBodyReads = 1000;

// The body of a host-owned response: the whole text, read out piece by piece.
struct HostBody {
  std::string data;
  size_t offset = 0;
};

uint8_t ReadHostBody(void* stream, void* buffer, uint32_t* length, uint8_t* moreData) noexcept {
  if (stream == nullptr || length == nullptr || moreData == nullptr) return 0;
  HostBody& body = *static_cast<HostBody*>(stream);
  const size_t count = std::min<size_t>(*length, body.data.size() - body.offset);
  if (count != 0) {
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, body.data.data() + body.offset, count);
  }
  body.offset += count;
  *length = static_cast<uint32_t>(count);
  *moreData = body.offset < body.data.size() ? 1 : 0;
  return 1;
}

// Destroys the body's bytes; the object itself goes with the record's free callback, which a
// caller runs after this (release, then free), so free never meets a deleted stream.
void ReleaseHostBody(void* stream) noexcept {
  if (stream == nullptr) return;
  HostBody& body = *static_cast<HostBody*>(stream);
  std::string().swap(body.data);
  body.offset = 0;
}

}  // namespace

char* CopyText(std::string_view text) noexcept {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void FreeHostResponse(ApiResponseRecord* response) noexcept {
  if (response == nullptr) return;
  std::free(response->errorMessage);
  std::free(response->text);
  if (response->headers != nullptr) {
    for (uint32_t i = 0; i < response->headerCount; ++i) {
      std::free(const_cast<char*>(response->headers[i].name));
      std::free(const_cast<char*>(response->headers[i].value));
    }
    std::free(response->headers);
  }
  delete static_cast<HostBody*>(response->bodyStream);  // host-owned records carry HostBody
  Binding::ReleaseHostValue(response->value);
  std::memset(response, 0, sizeof *response);
}

void FillHostError(ApiResponseRecord& response, uint32_t status,
                   std::string_view message) noexcept {
  FreeHostResponse(&response);
  response.error = 1;
  response.errorMessage = CopyText(message);
  response.status = status;
  response.text = CopyText("");
  response.free = &FreeHostResponse;
}

void SetHostHeader(ApiResponseRecord& response, std::string_view name, std::string_view value) {
  auto* header = static_cast<ApiHeader*>(std::calloc(1, sizeof(ApiHeader)));
  if (header == nullptr) throw std::bad_alloc();
  response.headers = header;
  response.headerCount = 1;
  header->name = CopyText(name);
  header->value = CopyText(value);
  if (header->name == nullptr || header->value == nullptr) throw std::bad_alloc();
}

bool ReadWholeBody(const ApiResponseRecord& response, std::string& out) {
  uint8_t more = 1;
  int emptyReads = 0;
  char buffer[4096];
  while (more != 0) {
    uint32_t length = sizeof buffer;
    if (response.readBody(response.bodyStream, buffer, &length, &more) == 0) return false;
    if (length > sizeof buffer) return false;
    out.append(buffer, length);
    if (length == 0 && more != 0) {
      if (++emptyReads > kMaxEmptyBodyReads) return false;
      std::this_thread::yield();
    } else {
      emptyReads = 0;
    }
  }
  return true;
}

HeaderList ReadHeaders(const ApiHeader* headers, uint32_t count) {
  HeaderList list;
  if (headers == nullptr) return list;
  for (uint32_t i = 0; i < count; ++i) {
    list.emplace_back(headers[i].name != nullptr ? headers[i].name : "",
                      headers[i].value != nullptr ? headers[i].value : "");
  }
  return list;
}

void CopyResponse(const ApiResponseRecord& from, ApiResponseRecord& to, const std::string& label) {
  std::memset(&to, 0, sizeof to);
  to.free = &FreeHostResponse;
  Binding::BindingProperty value;
  Binding::ValueResult converted;
  if (!Binding::FromHostValue(from.value, value, converted, "<result>")) {
    FillHostError(
        to, 500,
        "The result of " + label + " did not convert: " + std::string(converted.ErrorMessage()));
    return;
  }
  if (!Binding::ToHostValue(value, nullptr, to.value)) {
    FillHostError(to, 500, "The result of " + label + " could not be copied");
    return;
  }
  to.error = from.error != 0 ? 1 : 0;
  if (from.errorMessage != nullptr) {
    to.errorMessage = CopyText(from.errorMessage);
  } else if (to.error != 0) {
    to.errorMessage = CopyText("");
  }
  to.settingByte = from.settingByte;
  to.settingCode = from.settingCode;
  to.status = from.status;
  to.text = CopyText(from.text != nullptr ? from.text : "");
  if (from.headerCount != 0 && from.headers == nullptr) {
    FillHostError(to, 500, "The response of " + label + " has headers but no header array");
    return;
  }
  if (from.headerCount != 0) {
    to.headers = static_cast<ApiHeader*>(std::calloc(from.headerCount, sizeof(ApiHeader)));
    if (to.headers != nullptr) {
      to.headerCount = from.headerCount;
      for (uint32_t i = 0; i < from.headerCount; ++i) {
        to.headers[i].name = CopyText(from.headers[i].name != nullptr ? from.headers[i].name : "");
        to.headers[i].value =
            CopyText(from.headers[i].value != nullptr ? from.headers[i].value : "");
      }
    }
  }
  if (from.bodyStream != nullptr && from.readBody != nullptr) {
    auto body = std::make_unique<HostBody>();
    if (!ReadWholeBody(from, body->data)) {
      FillHostError(to, 502, "The body of the response to " + label + " could not be read");
      return;
    }
    to.bodySize = static_cast<uint32_t>(body->data.size());
    to.bodyStream = body.release();
    to.readBody = &ReadHostBody;
    to.releaseBody = &ReleaseHostBody;
  }
}

}  // namespace Oxle::Client::Host
