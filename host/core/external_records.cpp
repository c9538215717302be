#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "core/transport.h"

namespace Oxle::Client::Host {

Result<ExternalRequest> ReadExternalRequest(const ExternalRequestRecord& record) {
  if (record.url == nullptr) return Status::Error("The external request has no URL");
  ExternalRequest request;
  request.method = record.method;
  request.url = record.url;
  if (record.headerCount != 0 && record.headers == nullptr) {
    return Status::Error("The external request for " + request.url + " has " +
                         std::to_string(record.headerCount) + " headers but no header array");
  }
  for (uint32_t i = 0; i < record.headerCount; ++i) {
    const ApiHeader& header = record.headers[i];
    if (header.name == nullptr || header.value == nullptr) {
      return Status::Error("Header " + std::to_string(i) + " of the external request for " +
                           request.url + " has a null name or value");
    }
    request.headers.emplace_back(header.name, header.value);
  }
  if (record.bodyLength != 0) {
    if (record.body == nullptr) {
      return Status::Error("The external request for " + request.url + " has a body length of " +
                           std::to_string(record.bodyLength) + " but no body");
    }
    request.body.assign(reinterpret_cast<const char*>(record.body), record.bodyLength);
  }
  request.timeout = record.timeout;
  request.flags = record.flags;
  return request;
}

namespace {

// What one response record points into, kept until the module releases the record.
struct AnswerStorage {
  ExternalAnswer answer;
  std::vector<ApiHeader> headers;
};

// The release callback gets only the record, so the storage is found by the record's address.
struct AnswerRegistry {
  std::mutex mutex;  // guards answers
  std::map<const ExternalResponseRecord*, std::unique_ptr<AnswerStorage>> answers;
};

AnswerRegistry& Answers() {
  static AnswerRegistry* registry = new AnswerRegistry();  // never destroyed: a module may
                                                           // release during process exit
  return *registry;
}

void ReleaseAnswer(ExternalResponseRecord* record) noexcept {
  if (record == nullptr) return;
  std::unique_ptr<AnswerStorage> storage;
  {
    AnswerRegistry& registry = Answers();
    std::lock_guard lock(registry.mutex);
    const auto it = registry.answers.find(record);
    if (it == registry.answers.end()) return;
    storage = std::move(it->second);
    registry.answers.erase(it);
  }
  std::memset(record, 0, sizeof *record);
}

}  // namespace

void FillExternalResponse(ExternalResponseRecord& record, ExternalAnswer answer) {
  auto storage = std::make_unique<AnswerStorage>();
  storage->answer = std::move(answer);
  for (const auto& [name, value] : storage->answer.headers)
    storage->headers.push_back(ApiHeader{name.c_str(), value.c_str()});
  const ExternalAnswer& kept = storage->answer;
  record.transportResult = kept.transportResult;
  record.status = kept.status;
  record.headers = storage->headers.empty() ? nullptr : storage->headers.data();
  record.headerCount = static_cast<uint32_t>(storage->headers.size());
  record.body = reinterpret_cast<const uint8_t*>(kept.body.data());
  record.bodyLength = static_cast<uint32_t>(kept.body.size());
  record.release = &ReleaseAnswer;
  AnswerRegistry& registry = Answers();
  std::lock_guard lock(registry.mutex);
  // A record the module reuses without releasing it first: the older answer is freed here.
  registry.answers.insert_or_assign(&record, std::move(storage));
}

}  // namespace Oxle::Client::Host
