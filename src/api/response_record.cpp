// Response records: filling, failing and freeing them, and the body stream behind one.
#include "api/response_record.h"

#include <cstring>
#include <memory>
#include <new>

#include "binding/types/host_value.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Api {

namespace {

// The object behind a record's body stream word: the stream, until the host releases it.
struct BodyHandle {
  BodyStream* stream = nullptr;
};

uint8_t ReadBody(void* object, void* buffer, uint32_t* length, uint8_t* moreData) noexcept {
  auto* handle = static_cast<BodyHandle*>(object);
  if (handle == nullptr || handle->stream == nullptr || length == nullptr) return 0;
  try {
    bool more = false;
    const bool ok = handle->stream->Read(buffer, *length, more);
    if (moreData != nullptr) *moreData = more ? 1 : 0;
    return ok ? 1 : 0;
  } catch (...) {
    *length = 0;
    if (moreData != nullptr) *moreData = 0;
    return 0;
  }
}

void ReleaseBody(void* object) noexcept {
  auto* handle = static_cast<BodyHandle*>(object);
  if (handle == nullptr) return;
  delete handle->stream;
  handle->stream = nullptr;
}

}  // namespace

char* CopyTextOrThrow(const char* text) {
  char* copy = Log::DuplicateString(text);
  if (copy == nullptr) throw std::bad_alloc();
  return copy;
}

void FailRecord(ApiResponseRecord& response, const char* message, uint32_t status) noexcept {
  FreeResponseRecord(&response);
  response.errorMessage = Log::DuplicateString(message);
  response.error = 1;
  response.status = status;
  response.text = Log::DuplicateString("");
}

void ResetResponseRecord(ApiResponseRecord& response) noexcept {
  std::memset(&response, 0, sizeof response);
  response.free = &FreeResponseRecord;
}

void FreeResponseRecord(ApiResponseRecord* response) noexcept {
  if (response == nullptr) return;
  Binding::ReleaseHostValue(response->value);
  Log::Free(response->errorMessage);
  Log::Free(response->text);
  if (response->headers != nullptr) {
    for (uint32_t i = 0; i < response->headerCount; ++i) {
      Log::Free(const_cast<char*>(response->headers[i].name));
      Log::Free(const_cast<char*>(response->headers[i].value));
    }
    Log::Free(response->headers);
  }
  if (auto* handle = static_cast<BodyHandle*>(response->bodyStream)) {
    ReleaseBody(handle);
    delete handle;
  }
  ResetResponseRecord(*response);
}

void FillResponseRecord(ApiResponseRecord& response, ApiResponse& call,
                        const Binding::BindingRegistry* registry) {
  bool converted = true;
  if (!call.Ok()) {
    Binding::ReleaseHostValue(response.value);
    // The message is interned text, NUL-terminated in memory.
    response.errorMessage = CopyTextOrThrow(call.result.ErrorMessage().data());
    response.error = 1;
  } else {
    converted = Binding::ToHostValue(call.result.Value(), registry, response.value);
  }
  response.settingByte = call.settingByte;
  response.settingCode = call.settingCode >= 1 && call.settingCode <= 3 ? call.settingCode : 0;
  response.status = converted ? call.status : 400;
  response.text = CopyTextOrThrow(call.text.c_str());
  if (!call.headers.empty()) {
    // Every slot is zeroed first, so a failure part way leaves nothing the free callback
    // cannot release.
    const size_t count = call.headers.size();
    auto* headers = static_cast<ApiHeader*>(Log::Allocate(count * sizeof(ApiHeader)));
    if (headers == nullptr) throw std::bad_alloc();
    std::memset(headers, 0, count * sizeof(ApiHeader));
    response.headers = headers;
    response.headerCount = static_cast<uint32_t>(count);
    size_t i = 0;
    for (const auto& [name, value] : call.headers) {
      headers[i].name = CopyTextOrThrow(name.c_str());
      headers[i].value = CopyTextOrThrow(value.c_str());
      ++i;
    }
  }
  if (call.body) {
    auto handle = std::make_unique<BodyHandle>();
    response.bodySize = call.body->Size();
    handle->stream = call.body.release();
    response.bodyStream = handle.release();
    response.reserved = 0;
    response.readBody = &ReadBody;
    response.releaseBody = &ReleaseBody;
  }
}

}  // namespace Oxle::Client::Api
