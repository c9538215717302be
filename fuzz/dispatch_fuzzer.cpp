// Calls the export table of a small API the way a host does, with every request word taken from
// the input, into a response record full of garbage. Traps unless the record keeps its promises
// (free set; error flag 0 or 1 and set exactly with a message, and then no value; a text; headers
// and body callbacks where counted; a body readable to its end within its size), unless the free
// callback leaves it zero (the free slot may stay set), and unless the framework's allocation
// counters show as many frees as allocations across the call. Allocation failure aborts under
// the sanitizers, so a missing message is never an out-of-memory answer here.
//
// Input layout (integers little-endian; reads past the end give zero bytes and empty texts):
//   u8   entry: the route's index in registration order (mod routes + 1); one past the last
//        route calls the first one's callback with no user data
//   u32  method code, any value
//   u8   flags: bits 0-2 content type (0 "application/json", 1 "application/vnd.api+json",
//        2 "Application/JSON; charset=utf-8", 3 "application/x-msgpack", 4 "application/x-yaml",
//        5 "text/plain", 6 a text from the input, 7 null); bit 3 a body is present; bits 4-5
//        header count; bits 6-7 native argument count
//   u8   flags: bit 0 release the body stream before the free callback
//   u16  length + target bytes
//   u8   length + method name bytes (an empty name is sent as null)
//   per header: u8 length + name bytes, u8 length + value bytes
//   if content type 6: u8 length + content type bytes
//   if a body is present: u16 length + body bytes (sent in a heap buffer of exactly that size)
//   per native argument: u8 name (0 by position, else kNames[(n - 1) % size]), then a value:
//     u8 kind (mod 12: the HostValue kinds 0-10 and one invalid kind), then for kinds 1-4 a u64,
//     for 5-8 u8 length + bytes, for 9 u8 count (mod 4) values, for 10 u8 count (mod 4) times
//     (u8 length + key bytes, value); nested values are scalars, strings or blobs only.
// Texts end at their first NUL byte, as the host's texts do.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/api_registry.h"
#include "api/api_response.h"
#include "api/route_registration.h"
#include "binding/types/type_binding.h"
#include "log/allocation_hooks.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Fuzz {
namespace {

using Api::ApiResponse;
using Api::HttpMethod;
using Api::RequestInfo;
using Api::ValueOrError;
using Binding::BindingProperty;
using L = Api::ArgumentLocation;

struct Range {
  uint32_t from = 0;
  uint32_t to = 0;
};
struct Item {
  uint64_t id = 0;
  std::string name;
  std::vector<std::string> tags;
  Range range;
};

void DescribeBinding(Binding::TypeDescriber<Range>& type) {
  type.Name("Range").Field("from", &Range::from).Field("to", &Range::to);
}
void DescribeBinding(Binding::TypeDescriber<Item>& type) {
  type.Name("Item")
      .Field("id", &Item::id)
      .Field("name", &Item::name)
      .Field("tags", &Item::tags)
      .Field("range", &Item::range);
}

// A body of `size` pattern bytes; a failing one refuses every read after the first.
class PatternBody final : public Api::BodyStream {
 public:
  PatternBody(uint32_t size, bool failing) : size_(size), failing_(failing) {}
  bool Read(void* buffer, uint32_t& length, bool& moreData) override {
    if (failing_ && sent_ > 0) {
      length = 0;
      moreData = false;
      return false;
    }
    length = std::min(length, size_ - sent_);
    std::memset(buffer, 'a' + static_cast<int>(sent_ % 26), length);
    sent_ += length;
    moreData = sent_ < size_;
    return true;
  }
  uint32_t Size() const override { return size_; }

 private:
  uint32_t size_;
  uint32_t sent_ = 0;
  bool failing_;
};

// Native argument names: the routes' own, one of the header argument and an unknown one.
constexpr std::array kNames = {"id",   "name", "range", "meta", "tags",    "extra", "path",
                               "frag", "n",    "size",  "item", "x-token", "limit", "zz"};

struct Service {
  Api::ApiRegistry registry;
  std::vector<const Binding::FunctionRecord*> functions;  // in registration order
  std::vector<const ApiExportEntry*> entries;             // the same order

  Service() {
    Log::InstallAllocationTracking();
    Api::ApiRegistry& r = registry;
    const auto add = [&](const Binding::FunctionRecord* function) {
      functions.push_back(function);
    };
    add(Api::RegisterRoute(
        r, HttpMethod::Get, "/items/{id}",
        [](uint64_t id, bool verbose, std::string name, Range range) -> ValueOrError<Item> {
          if (id == 0) {
            ApiResponse error = ApiResponse::Error("No such item", 404);
            error.headers["retry-after"] = name;
            return error;
          }
          return Item{id, verbose ? name + "!" : name, {name, name}, range};
        },
        {{"id", L::Path},
         {"verbose", L::Query},
         {"name", L::Query, "", true},
         {"range", L::Query}}));
    add(Api::RegisterRoute(
        r, HttpMethod::Post, "/items",
        [](Item item, std::string token, BindingProperty meta) {
          item.tags.push_back(token);
          item.name += meta.ToString();
          return item;
        },
        {{"item", L::Body}, {"x-token", L::Header}, {"meta", L::Query, "", true}}));
    add(Api::RegisterRoute(r, HttpMethod::Get, "/files/{+path}",
                           [](std::string path, std::vector<std::string> tags, uint64_t limit) {
                             BindingProperty value;
                             value.Append().SetString(path);
                             for (size_t i = 0; i < tags.size() && (limit == 0 || i < limit); ++i)
                               value.Append().SetString(tags[i]);
                             return ApiResponse::FromValue(std::move(value));
                           },
                           {{"path", L::Path}, {"tags", L::Query}, {"limit", L::Query, "", true}}));
    add(Api::RegisterRoute(r, HttpMethod::Get, "/doc{#frag}",
                           [](std::string frag) { (void)frag.size(); }, {{"frag", L::Path}}));
    add(Api::RegisterRoute(r, HttpMethod::Get, "/status", [] {
      ApiResponse response;
      response.status = 299;
      response.text = "fine";
      response.settingByte = 7;
      response.settingCode = 2;
      response.headers["a"] = "1";
      response.headers["b"] = "";
      return response;
    }));
    add(Api::RegisterRoute(r, HttpMethod::Any, "/echo/{id}",
                           [](const RequestInfo& request, std::string id, BindingProperty extra) {
                             BindingProperty value;
                             value.Get("id").SetString(id);
                             value.Get("target").SetString(request.target);
                             value.Get("method").SetUnsigned(static_cast<uint32_t>(request.method));
                             value.Get("methodName").SetString(request.methodName);
                             value.Get("headers").SetUnsigned(request.headers.size());
                             value.Get("extra") = extra;
                             ApiResponse response = ApiResponse::FromValue(std::move(value));
                             response.settingCode = static_cast<uint32_t>(id.size());
                             return response;
                           },
                           {{"id", L::Path}, {"extra", L::Any, "", true}}));
    add(Api::RegisterRoute(r, HttpMethod::Delete, "/jobs/{n}",
                           [](uint64_t n) {
                             if (n % 3 == 0)
                               throw std::runtime_error("job " + std::to_string(n) + " is busy");
                             ApiResponse response;
                             response.result.Value().SetUnsigned(n);
                             return response;
                           },
                           {{"n", L::Path}}));
    add(Api::RegisterRoute(r, HttpMethod::Get, "/stream/{size}",
                           [](uint64_t size) {
                             ApiResponse response;
                             response.status = 200;
                             response.body = std::make_unique<PatternBody>(
                                 static_cast<uint32_t>(size % 65536), size % 5 == 4);
                             if (size % 7 == 6) response.SetError("stream dropped");
                             return response;
                           },
                           {{"size", L::Path}}));
    add(Api::RegisterRoute(r, HttpMethod::Other, "/ping",
                           [](const RequestInfo& request) { (void)request.headers.size(); }));
    const ApiExportTable& table = registry.BuildExportTable();
    for (const Binding::FunctionRecord* function : functions) {
      const ApiExportEntry* found = nullptr;
      for (const ApiExportEntry* entry = table.entries; entry != nullptr;
           entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
        if (entry->function.name != nullptr && function->name == entry->function.name)
          found = entry;
      }
      if (found == nullptr) __builtin_trap();  // a route was not registered as expected
      entries.push_back(found);
    }
  }
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t Number(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
      value |= uint64_t{Byte()} << (8 * i);
    return value;
  }
  std::string Bytes(size_t length) {
    length = std::min(length, size_ - pos_);
    std::string bytes(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return bytes;
  }
  std::string Short() { return Bytes(Byte()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Everything the request points to, kept alive (and in place) for the call.
struct Storage {
  std::deque<std::string> texts;
  std::deque<std::vector<uint8_t>> blobs;
  std::deque<std::vector<HostValue>> arrays;
  std::deque<std::vector<HostValueEntry>> entries;

  const char* Text(std::string text) { return texts.emplace_back(std::move(text)).c_str(); }
};

HostValue ReadValue(Reader& in, Storage& storage, bool nested) {
  HostValue value;
  std::memset(&value, 0, sizeof value);
  value.kind = in.Byte() % 12;
  if (nested && value.kind > HOST_VALUE_BLOB_OWNED) value.kind = HOST_VALUE_STRING_BORROWED;
  switch (value.kind) {
    case HOST_VALUE_BOOL:
    case HOST_VALUE_SIGNED:
    case HOST_VALUE_UNSIGNED:
    case HOST_VALUE_FLOAT:
      value.payload.unsignedValue = in.Number(8);
      break;
    case HOST_VALUE_STRING_BORROWED:
    case HOST_VALUE_STRING_OWNED: {
      const char* text = storage.Text(in.Short());
      value.payload.string = {text, static_cast<uint32_t>(std::strlen(text))};
      break;
    }
    case HOST_VALUE_BLOB_BORROWED:
    case HOST_VALUE_BLOB_OWNED: {
      const std::string bytes = in.Short();
      std::vector<uint8_t>& blob = storage.blobs.emplace_back(bytes.begin(), bytes.end());
      value.payload.blob = {blob.data(), static_cast<uint32_t>(blob.size())};
      break;
    }
    case HOST_VALUE_COLLECTION: {
      std::vector<HostValue>& items = storage.arrays.emplace_back(in.Byte() % 4);
      for (HostValue& item : items)
        item = ReadValue(in, storage, true);
      value.payload.collection = {items.data(), static_cast<uint32_t>(items.size())};
      break;
    }
    case HOST_VALUE_STRUCTURE: {
      std::vector<HostValueEntry>& members = storage.entries.emplace_back(in.Byte() % 4);
      for (HostValueEntry& member : members) {
        member.key = storage.Text(in.Short());
        member.value = ReadValue(in, storage, true);
        member.keyOwned = 0;
      }
      value.payload.structure = {members.data(), static_cast<uint32_t>(members.size())};
      break;
    }
    default:
      break;
  }
  return value;
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads the record as a host does, body included, checking what the record promises.
void ReadResponse(ApiResponseRecord& record, bool releaseEarly) {
  Check(record.free != nullptr);
  Check(record.error <= 1);
  Check((record.error == 1) == (record.errorMessage != nullptr));
  if (record.error == 1) Check(record.value.kind == HOST_VALUE_EMPTY);
  Check(record.value.kind <= HOST_VALUE_STRUCTURE);
  Check(record.settingCode <= 3);
  Check(record.text != nullptr);
  Check(record.headerCount == 0 || record.headers != nullptr);
  for (uint32_t i = 0; i < record.headerCount; ++i)
    Check(record.headers[i].name != nullptr && record.headers[i].value != nullptr);
  if (record.bodyStream == nullptr) return;
  Check(record.readBody != nullptr && record.releaseBody != nullptr && record.reserved == 0);
  std::array<uint8_t, 1000> buffer;
  uint64_t total = 0;
  for (uint8_t more = 1; more != 0;) {
    uint32_t length = buffer.size();
    if (record.readBody(record.bodyStream, buffer.data(), &length, &more) == 0) break;
    Check(length <= buffer.size());
    total += length;
    Check(total <= record.bodySize);  // also ends a stream that never ends
  }
  if (releaseEarly) record.releaseBody(record.bodyStream);
}

}  // namespace
}  // namespace Oxle::Client::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Oxle::Client::Fuzz;
  namespace Log = Oxle::Client::Log;
  static Service api;
  Reader in(data, size);
  Storage storage;

  const size_t selector = in.Byte() % (api.entries.size() + 1);
  ApiRequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.method = static_cast<uint32_t>(in.Number(4));
  const uint8_t flags = in.Byte();
  const bool releaseEarly = (in.Byte() & 1) != 0;
  request.target = storage.Text(in.Bytes(in.Number(2)));
  const std::string methodName = in.Short();
  request.methodName = methodName.empty() ? nullptr : storage.Text(methodName);

  std::vector<ApiHeader> headers((flags >> 4) & 3);
  for (ApiHeader& header : headers) {
    header.name = storage.Text(in.Short());
    header.value = storage.Text(in.Short());
  }
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<uint32_t>(headers.size());

  static constexpr std::array<const char*, 6> kContentTypes = {
      "application/json",      "application/vnd.api+json", "Application/JSON; charset=utf-8",
      "application/x-msgpack", "application/x-yaml",       "text/plain"};
  const unsigned contentType = flags & 7;
  if (contentType < kContentTypes.size()) request.contentType = kContentTypes[contentType];
  if (contentType == 6) request.contentType = storage.Text(in.Short());

  std::unique_ptr<uint8_t[]> body;
  if ((flags & 8) != 0) {
    const std::string bytes = in.Bytes(in.Number(2));
    body = std::make_unique<uint8_t[]>(bytes.size());
    std::memcpy(body.get(), bytes.data(), bytes.size());
    request.body = body.get();
    request.bodyLength = static_cast<uint32_t>(bytes.size());
  }

  std::vector<ApiNativeArgument> natives(flags >> 6);
  for (ApiNativeArgument& native : natives) {
    const uint8_t name = in.Byte();
    native.name = name == 0 ? nullptr : kNames[(name - 1) % kNames.size()];
    native.value = ReadValue(in, storage, false);
  }
  request.nativeArguments = natives.empty() ? nullptr : natives.data();
  request.nativeArgumentCount = static_cast<uint32_t>(natives.size());

  int callerContext = 0;
  request.callerContext = &callerContext;
  const bool noUserData = selector == api.entries.size();
  const ApiExportEntry& entry = *api.entries[noUserData ? 0 : selector];
  request.userData = noUserData ? nullptr : entry.function.userData;

  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  ApiResponseRecord record;
  std::memset(&record, 0xA5, sizeof record);  // the host's record may hold anything
  entry.callback(&record, &request);
  ReadResponse(record, releaseEarly);
  const ApiResponseFreeCallback release = record.free;
  release(&record);
  const Log::AllocationCounters after = Log::ReadAllocationCounters();

  // Released means zero, except that the free callback may stay set so a second free is safe.
  ApiResponseRecord zero;
  std::memset(&zero, 0, sizeof zero);
  zero.free = record.free == release ? release : nullptr;
  Check(std::memcmp(&record, &zero, sizeof record) == 0);
  Check(after.allocations - before.allocations == after.frees - before.frees);
  Check(after.bytesAllocated - before.bytesAllocated == after.bytesFreed - before.bytesFreed);
  return 0;
}
