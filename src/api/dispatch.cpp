#include "api/dispatch.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "api/api_handler.h"
#include "api/api_registry.h"
#include "binding/format/positional_format.h"
#include "binding/types/api_help.h"
#include "binding/types/builtin_types.h"
#include "binding/types/host_value.h"
#include "codec/ascii_case.h"
#include "codec/media_type.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Api {

using Binding::BindingCode;
using Binding::BindingProperty;
using Binding::FormatToString;
using Binding::FunctionRecord;
using Binding::ValueKind;
using Binding::ValueResult;

namespace {

// Names and values in delivery order; a repeated name keeps its first place and takes the last
// value, so binding order (and so which failure is reported first) does not depend on hashing.
// Requests carry a few pairs, which are scanned; a hash index is built only for long lists.
// Clearing keeps the pairs' strings, so a list reused for the next request rarely allocates.
class OrderedPairs {
 public:
  using Pair = std::pair<std::string, std::string>;

  // Adds `key` with `value` (both URL-decoded first when `decode`), or replaces the value of an
  // equal key already present.
  void PutLast(std::string_view key, std::string_view value, bool decode) {
    // The key is read into the next free pair, which then either stays in use or is spare.
    if (count_ == pairs_.size()) pairs_.emplace_back();
    Pair& next = pairs_[count_];
    Assign(next.first, key, decode);
    if (const size_t known = Find(next.first); known != kAbsent) {
      Assign(pairs_[known].second, value, decode);
      return;
    }
    Assign(next.second, value, decode);
    if (!index_.empty() || count_ == kScanLimit) {
      if (index_.empty()) {
        for (size_t i = 0; i < count_; ++i)
          index_.emplace(pairs_[i].first, i);
      }
      index_.emplace(next.first, count_);
    }
    ++count_;
  }
  [[nodiscard]] const std::string* FindValue(std::string_view key) const {
    const size_t found = Find(key);
    return found != kAbsent ? &pairs_[found].second : nullptr;
  }
  [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
  [[nodiscard]] auto begin() const noexcept { return pairs_.begin(); }
  [[nodiscard]] auto end() const noexcept {
    return pairs_.begin() + static_cast<std::ptrdiff_t>(count_);
  }

  // Forgets every pair. Storage beyond what usual requests need is given back; the rest stays
  // for the next request.
  void Clear() noexcept {
    count_ = 0;
    if (pairs_.capacity() > kKeptPairs) {
      std::vector<Pair>().swap(pairs_);
    } else {
      for (Pair& pair : pairs_) {
        if (pair.first.capacity() > kKeptTextCapacity) std::string().swap(pair.first);
        if (pair.second.capacity() > kKeptTextCapacity) std::string().swap(pair.second);
      }
    }
    if (!index_.empty()) std::unordered_map<std::string, size_t>().swap(index_);
  }

 private:
  static constexpr size_t kScanLimit = 16;
  static constexpr size_t kKeptPairs = 32;
  static constexpr size_t kKeptTextCapacity = 1024;

  static constexpr size_t kAbsent = static_cast<size_t>(-1);

  static void Assign(std::string& out, std::string_view text, bool decode) {
    if (decode) {
      UrlDecodeInto(out, text);
    } else {
      out.clear();
      out.append(text);
    }
  }

  // The position of `key` among the pairs in use, or kAbsent.
  [[nodiscard]] size_t Find(std::string_view key) const {
    if (!index_.empty()) {
      const auto found = index_.find(std::string(key));
      return found != index_.end() ? found->second : kAbsent;
    }
    for (size_t i = 0; i < count_; ++i) {
      if (pairs_[i].first == key) return i;
    }
    return kAbsent;
  }

  std::vector<Pair> pairs_;  // the first count_ are in use
  size_t count_ = 0;
  std::unordered_map<std::string, size_t> index_;  // name -> position, once the list is long
};

[[nodiscard]] std::string_view Text(const char* text) noexcept {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

[[nodiscard]] std::string_view SkipSpaces(std::string_view text) noexcept {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0)
    ++i;
  return text.substr(i);
}

[[nodiscard]] ArgumentLocation DeclaredLocation(const RouteBinding& binding,
                                                size_t index) noexcept {
  return index < binding.argumentLocations.size() ? binding.argumentLocations[index]
                                                  : ArgumentLocation::Any;
}

[[nodiscard]] bool IsContainerCode(BindingCode code) noexcept {
  return code == BindingCode::Object || code == BindingCode::Vector || code == BindingCode::Struct;
}

// A copy of `text` from the framework's allocator, for the host to read and the free callback
// to release.
[[nodiscard]] char* CopyTextOrThrow(const char* text) {
  char* copy = Log::DuplicateString(text);
  if (copy == nullptr) throw std::bad_alloc();
  return copy;
}

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

// Answers `response` with a failure that is not the handler's: message and status.
void FailRecord(ApiResponseRecord& response, const char* message, uint32_t status) noexcept {
  FreeResponseRecord(&response);
  response.errorMessage = Log::DuplicateString(message);
  response.error = 1;
  response.status = status;
  response.text = Log::DuplicateString("");
}

void SplitQuery(std::string_view target, OrderedPairs& query) {
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return;
  std::string_view rest = target.substr(mark + 1);
  while (true) {
    const size_t amp = rest.find('&');
    const std::string_view piece = rest.substr(0, amp);
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos) {
      query.PutLast(piece.substr(0, equals), piece.substr(equals + 1), true);
    } else {
      query.PutLast(piece, {}, true);
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
}

// One path parameter to bind: its name and its decoded value.
struct PathValue {
  std::string_view name;
  const std::string* value = nullptr;
};

// What one call of a function needs besides the records: the root of its argument tree, the
// handler's response, the header and query pairs and the path parameters. Dispatches take one
// from the ScratchPool and give it back cleared, so a request reuses the two value trees'
// contexts (string table and slab) and the buffers' storage instead of building and tearing
// down two trees and a dozen heap blocks each time. Used by one dispatch at a time.
struct DispatchScratch {
  BindingProperty arguments;
  ApiResponse call;
  OrderedPairs headers;
  OrderedPairs query;
  std::vector<std::pair<std::string_view, const std::string*>> headerArguments;
  std::vector<std::string_view> captures;
  std::vector<std::string> decoded;
  std::vector<PathValue> pathValues;

  // Empties everything in the order a call's own locals would go: the arguments first, then
  // the response. What a large request grew beyond the usual is given back.
  void Clear() noexcept {
    arguments.Clear();
    call.Reset();
    if (call.text.capacity() > kKeptTextCapacity) std::string().swap(call.text);
    headers.Clear();
    query.Clear();
    headerArguments.clear();
    captures.clear();
    pathValues.clear();
    if (decoded.size() > kKeptDecoded) std::vector<std::string>().swap(decoded);
    for (std::string& text : decoded) {
      if (text.capacity() > kKeptTextCapacity) std::string().swap(text);
    }
  }

  static constexpr size_t kKeptTextCapacity = 1024;
  static constexpr size_t kKeptDecoded = 16;
};

// A few idle scratches for the next dispatches, taken and given back without a lock. A dispatch
// that finds none (more calls at once than slots) makes its own, and one given back to a full
// pool is destroyed. Closed when the module's statics are destroyed; a dispatch after that
// makes and destroys its own scratch.
class ScratchPool {
 public:
  [[nodiscard]] DispatchScratch* Take() {
    if (!closed_.load(std::memory_order_acquire)) {
      for (std::atomic<DispatchScratch*>& slot : slots_) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        if (DispatchScratch* scratch = slot.exchange(nullptr, std::memory_order_acquire)) {
          return scratch;
        }
      }
    }
    return new DispatchScratch();
  }

  void Give(DispatchScratch* scratch) noexcept {
    scratch->Clear();
    if (!closed_.load(std::memory_order_acquire)) {
      for (std::atomic<DispatchScratch*>& slot : slots_) {
        DispatchScratch* empty = nullptr;
        if (slot.compare_exchange_strong(empty, scratch, std::memory_order_release,
                                         std::memory_order_relaxed)) {
          return;
        }
      }
    }
    delete scratch;
  }

  void Close() noexcept {
    closed_.store(true, std::memory_order_release);
    for (std::atomic<DispatchScratch*>& slot : slots_)
      delete slot.exchange(nullptr, std::memory_order_acquire);
  }

 private:
  static constexpr size_t kSlots = 8;

  std::atomic<DispatchScratch*> slots_[kSlots] = {};
  std::atomic<bool> closed_ = false;
};

// Trivially destructible, so it stays usable while other statics are destroyed.
constinit ScratchPool gScratchPool;

struct ScratchPoolCloser {
  ~ScratchPoolCloser() { gScratchPool.Close(); }
} gScratchPoolCloser;

// A scratch for the length of one call; given back cleared however the call ends.
class ScratchLease {
 public:
  ScratchLease() : scratch_(gScratchPool.Take()) {}
  ~ScratchLease() { gScratchPool.Give(scratch_); }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  [[nodiscard]] DispatchScratch& operator*() const noexcept { return *scratch_; }

 private:
  DispatchScratch* scratch_;
};

[[nodiscard]] RequestInfo MakeRequestInfo(const ApiRequestRecord& request, HttpMethod method,
                                          std::string_view methodName,
                                          const OrderedPairs& headers) {
  RequestInfo info;
  info.callerContext = request.callerContext;
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  info.time = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
          sinceEpoch)
          .count());
  if (const auto* userData = static_cast<const ApiExportUserData*>(request.userData)) {
    info.registry = static_cast<const ApiRegistry*>(userData->registry);
  }
  info.target = std::string(Text(request.target));
  info.method = method;
  info.methodName = std::string(methodName);
  for (const auto& [name, value] : headers)
    info.headers[name] = value;
  return info;
}

void DecodeBody(ApiResponse& call, BindingProperty& target, const ApiRequestRecord& request) {
  const std::optional<Codec::MediaFormat> format =
      Codec::FormatByPrefix(Text(request.contentType), Codec::kBodyUse);
  if (!format) {
    call.SetError("Unsupported body content type");
    call.status = 415;
    return;
  }
  ValueResult decoded = Codec::DecodeMedia(
      *format, {reinterpret_cast<const char*>(request.body), request.bodyLength});
  if (!decoded.Ok()) {
    call.SetError(decoded.ErrorMessage());
    return;
  }
  target = std::move(decoded.Value());
}

}  // namespace

ArgumentSet::ArgumentSet(const FunctionRecord& function) : ArgumentSet(function, owned_) {}

ArgumentSet::ArgumentSet(const FunctionRecord& function, BindingProperty& storage)
    : function_(function), values_(storage) {
  values_.Clear();
  values_.MakeCollection();
  if (!function.arguments.empty()) values_.At(function.arguments.size() - 1);
}

size_t ArgumentSet::Find(std::string_view name) const noexcept {
  // Functions have a handful of arguments: a scan beats building an index per call.
  for (size_t i = 0; i < function_.arguments.size(); ++i) {
    if (function_.arguments[i].name == name) return i;
  }
  return function_.arguments.size();
}

void DecodeParameter(ApiResponse& call, BindingProperty& target, const FunctionRecord& function,
                     std::string_view parameterName, const std::string& valueText,
                     std::string_view contentType, bool sniff) {
  const bool guess = sniff && contentType.empty() && !valueText.empty();
  const auto first = static_cast<unsigned char>(guess ? valueText[0] : 0);
  const std::string_view trimmed = guess ? SkipSpaces(valueText) : std::string_view();
  std::optional<Codec::MediaFormat> format =
      Codec::FormatByPrefix(contentType, Codec::kParameterUse);
  if (!format && guess) {
    if ((first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF)) {
      format = Codec::MediaFormat::MessagePack;
    } else if (!trimmed.empty() && (trimmed[0] == '{' || trimmed[0] == '[')) {
      format = Codec::MediaFormat::Json;
    } else if (trimmed.starts_with("---")) {
      format = Codec::MediaFormat::Yaml;
    }
  }
  if (!format) {
    if (Codec::StartsWithNoCase(contentType, "application/octet-stream")) {
      target.SetBlob(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(valueText.data()),
                                              valueText.size()));
    } else {
      target.SetString(valueText);
    }
    return;
  }
  // Bytes after the first MessagePack value are not the parameter's concern.
  ValueResult decoded = Codec::DecodeMedia(*format, valueText, {.wholeMessagePack = false});
  if (!decoded.Ok()) {
    call.SetError(FormatToString("Couldn't deserialize %1 value for parameter '%2' of '%3': %4",
                                 Codec::MediaFormatName(*format), parameterName, function.name,
                                 decoded.ErrorMessage()));
    return;
  }
  target = std::move(decoded.Value());
}

void BindIndexed(ApiResponse& call, BindingProperty& target, const FunctionRecord& function,
                 std::string_view path, const std::string& valueText,
                 std::string_view contentType) {
  BindingProperty* current = &target;
  std::string_view rest = path;
  // Every segment nests one level deeper, and values are destroyed and converted recursively,
  // so a path may not nest deeper than any decoder may.
  if (static_cast<size_t>(std::count(path.begin(), path.end(), '.')) >= kMaxIndexPathSegments) {
    call.SetError(
        FormatToString("Couldn't assign value to '%1' because the input is nested too deeply.",
                       path.substr(0, path.find('.'))));
    return;
  }
  while (true) {
    const size_t dot = rest.find('.');
    const std::string_view segment = rest.substr(0, dot);
    if (!segment.empty() && segment[0] >= '0' && segment[0] <= '9') {
      const std::string digits(segment);
      char* end = nullptr;
      errno = 0;
      const unsigned long index = std::strtoul(digits.c_str(), &end, 0);
      if (*end != '\0') {
        call.SetError(FormatToString("Index %1 is in an incorrect format", segment));
        return;
      }
      // Indices from 0x80000000 up are out of range by rule; a collection grown that far would
      // exhaust memory long before, so the bound is far lower.
      if (errno == ERANGE || index > kMaxArgumentIndex) {
        call.SetError(FormatToString("Index %1 is out of range", segment));
        return;
      }
      if (current->Kind() != ValueKind::Collection) {
        current->Clear();
        current->MakeCollection();
      }
      current = &current->At(index);
    } else {
      if (current->Kind() != ValueKind::Structure) {
        current->Clear();
        current->MakeStructure();
      }
      current = &current->Get(segment);
    }
    if (dot == std::string_view::npos) {
      DecodeParameter(call, *current, function, segment, valueText, contentType, false);
      return;
    }
    rest.remove_prefix(dot + 1);
  }
}

void BindArgument(ApiResponse& call, ArgumentSet& arguments, const FunctionRecord& function,
                  const RouteBinding& binding, std::string_view key, const std::string& valueText,
                  std::string_view contentType, ArgumentLocation location) {
  const size_t dot = key.find('.');
  const std::string_view name = key.substr(0, dot);
  const size_t index = arguments.Find(name);
  if (index >= function.arguments.size()) {
    call.SetError(FormatToString("Unknown argument '%1' for '%2'.", name, function.name));
    return;
  }
  const ArgumentLocation declared = DeclaredLocation(binding, index);
  if (declared != ArgumentLocation::Any && declared != location) {
    call.SetError(FormatToString("Argument '%1' for '%2' was specified in an invalid location.",
                                 name, function.name));
    return;
  }
  BindingProperty& target = arguments.Values()[index];
  if (dot != std::string_view::npos && dot + 1 < key.size()) {
    BindIndexed(call, target, function, key.substr(dot + 1), valueText, contentType);
    return;
  }
  const BindingCode code = function.arguments[index].type.code;
  if (valueText.empty()) {
    switch (code) {
      case BindingCode::Bool:
        target.SetBool(true);
        return;
      case BindingCode::Object:
      case BindingCode::Struct:
        target.Clear();
        target.MakeStructure();
        return;
      case BindingCode::Vector:
        target.Clear();
        target.MakeCollection();
        return;
      default:
        call.SetError(FormatToString("Expected value for argument '%1'.", name));
        return;
    }
  }
  DecodeParameter(call, target, function, name, valueText, contentType, IsContainerCode(code));
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

namespace {

// Runs `function` through `binding` with the path parameters `pathValues` (in binding order):
// binds the arguments, prepares and invokes the handler and writes the result into `response`.
// `method` and `methodName` are the request's, as matched.
void InvokeBound(ApiResponseRecord& response, const ApiRequestRecord& request,
                 const FunctionRecord& function, const RouteBinding& binding, HttpMethod method,
                 std::string_view methodName, std::span<const PathValue> pathValues,
                 DispatchScratch& scratch) {
  ApiResponse& call = scratch.call;

  // Headers, by their names as delivered; an argument looks itself up in lower case.
  OrderedPairs& headers = scratch.headers;
  for (uint32_t i = 0; i < request.headerCount && request.headers != nullptr; ++i) {
    headers.PutLast(Text(request.headers[i].name), Text(request.headers[i].value), false);
  }
  auto& headerArguments = scratch.headerArguments;
  if (!headers.empty()) {
    for (size_t i = 0; i < function.arguments.size(); ++i) {
      const ArgumentLocation declared = DeclaredLocation(binding, i);
      if (declared != ArgumentLocation::Any && declared != ArgumentLocation::Header) continue;
      const std::string lower = Codec::AsciiLower(function.arguments[i].name);
      if (const std::string* value = headers.FindValue(lower)) {
        headerArguments.emplace_back(function.arguments[i].name, value);
      }
    }
  }

  OrderedPairs& query = scratch.query;
  SplitQuery(Text(request.target), query);

  ArgumentSet arguments(function, scratch.arguments);
  const std::span<BindingProperty> values = arguments.Values();
  for (size_t i = 0; i < function.arguments.size(); ++i) {
    const Binding::ArgumentRecord& argument = function.arguments[i];
    if (argument.type.code == BindingCode::Bool && !argument.optional &&
        values[i].Kind() == ValueKind::Empty) {
      values[i].SetBool(false);
    }
  }
  for (const auto& [name, value] : headerArguments) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, name, *value, {}, ArgumentLocation::Header);
  }
  for (const PathValue& parameter : pathValues) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, parameter.name, *parameter.value, {},
                 ArgumentLocation::Path);
  }
  for (const auto& [name, value] : query) {
    if (!call.Ok()) break;
    BindArgument(call, arguments, function, binding, name, value, {}, ArgumentLocation::Query);
  }

  // Native arguments: by name, or by position after the path parameters.
  for (uint32_t i = 0; call.Ok() && i < request.nativeArgumentCount; ++i) {
    if (request.nativeArguments == nullptr) break;
    const ApiNativeArgument& entry = request.nativeArguments[i];
    size_t index = function.arguments.size();
    std::string label;
    if (entry.name != nullptr) {
      label = entry.name;
      index = arguments.Find(label);
    } else {
      const size_t position = size_t{i} + pathValues.size();
      label = std::to_string(position);
      if (position < function.arguments.size()) index = position;
    }
    if (index >= function.arguments.size()) {
      call.SetError(FormatToString("Unknown argument '%1' for '%2'.", label, function.name));
      break;
    }
    (void)Binding::FromHostValue(entry.value, values[index], call.result,
                                 function.arguments[index].name.c_str());
  }

  if (call.Ok() && request.body != nullptr) {
    for (size_t i = 0; i < function.arguments.size(); ++i) {
      if (DeclaredLocation(binding, i) == ArgumentLocation::Body) {
        DecodeBody(call, values[i], request);
        break;
      }
    }
  }

  std::unique_ptr<PreparedCall> prepared;
  if (call.Ok()) prepared = binding.handler->Prepare(call, values, request.callerContext);
  // Everything that failed so far is the caller's: arguments or a body that do not bind, or do
  // not convert to the handler's native types. Only the handler's own failures keep status 0.
  if (!call.Ok() && call.status == 0) call.status = 400;
  if (call.Ok()) {
    if (IsRequestAware(binding.handler->ResultType())) {
      const RequestInfo info = MakeRequestInfo(request, method, methodName, headers);
      binding.handler->Invoke(call, &info, prepared.get(), request.callerContext);
    } else {
      binding.handler->Invoke(call, nullptr, prepared.get(), request.callerContext);
    }
  }
  FillResponseRecord(response, call, function.registry);
  if (prepared) binding.handler->Release(std::move(prepared));
}

// What Dispatch does for the one pattern BuildRoutePattern gives for `binding`, without a
// registry: the same checks, matching and binding order, without building the pattern, the
// match or its parameter map. `response` is reset.
void DispatchBinding(ApiResponseRecord& response, const ApiRequestRecord& request,
                     const RouteBinding& binding) {
  // Routes are matched against the path alone (see Dispatch).
  const std::string_view target = Text(request.target);
  const std::string_view path = target.substr(0, target.find('?'));
  const HttpMethod method = HttpMethodFromHost(request.method);
  const std::string_view methodName =
      method == HttpMethod::Other ? Text(request.methodName) : std::string_view();
  const bool methodAccepted = binding.method == HttpMethod::Any ||
                              (binding.method == method && (binding.method != HttpMethod::Other ||
                                                            binding.methodName == methodName));
  if (!methodAccepted) {
    FailRecord(response, "Invalid function", 404);
    return;
  }

  ScratchLease lease;
  DispatchScratch& scratch = *lease;
  const std::string_view pathTemplate = RouteTemplate(binding);
  if (pathTemplate.find('{') == std::string_view::npos) {
    if (path != pathTemplate) {
      FailRecord(response, "Invalid function", 404);
      return;
    }
  } else {
    // The binding's matcher, unless the binding was changed behind its back.
    std::shared_ptr<const PathMatcher> compiled;
    const PathMatcher* matcher = binding.pathMatcher.get();
    if (matcher == nullptr || matcher->Template() != pathTemplate) {
      compiled = PathMatcher::Compile(pathTemplate);
      matcher = compiled.get();
    }
    if (!matcher->Match(path, scratch.captures)) {
      FailRecord(response, "Invalid function", 404);
      return;
    }
    const std::vector<uint32_t>& stored = matcher->StoredCaptures();
    if (scratch.decoded.size() < stored.size()) scratch.decoded.resize(stored.size());
    for (size_t i = 0; i < stored.size(); ++i) {
      const uint32_t capture = stored[i];
      UrlDecodeInto(scratch.decoded[i], scratch.captures[capture]);
      scratch.pathValues.push_back(
          PathValue{matcher->Parameters()[capture].name, &scratch.decoded[i]});
    }
  }
  if (binding.function == nullptr || !binding.handler) {
    FailRecord(response, "Invalid function", 404);
    return;
  }
  InvokeBound(response, request, *binding.function, binding, method, methodName, scratch.pathValues,
              scratch);
}

}  // namespace

void InvokeFunction(ApiResponseRecord& response, const ApiRequestRecord& request,
                    const RouteMatch& match) {
  ScratchLease lease;
  DispatchScratch& scratch = *lease;
  for (const auto& [name, value] : match.pathParameters)
    scratch.pathValues.push_back(PathValue{name, &value});
  InvokeBound(response, request, *match.function, *match.binding, match.method, match.methodName,
              scratch.pathValues, scratch);
}

void InvokeBuiltin(const ApiRegistry& registry, ApiResponseRecord& response,
                   const ApiRequestRecord& request, const RouteMatch& match) {
  if (match.function->name != "Help") {
    FailRecord(response, "Unsupported builtin function", 400);
    return;
  }
  // The listing's form: "format" in the query (a name or a number), Full by default.
  Binding::BindingHelpFormat format = Binding::BindingHelpFormat::Full;
  OrderedPairs query;
  SplitQuery(Text(request.target), query);
  for (const auto& [key, value] : query) {
    if (key != "format") continue;
    if (value == "Epytext" || value == "2") format = Binding::BindingHelpFormat::Epytext;
    if (value == "Full" || value == "1") format = Binding::BindingHelpFormat::Full;
  }
  const auto functions = registry.CopyFunctions();
  const auto types = registry.CopyTypes();
  const auto events = registry.CopyEvents();
  BindingProperty listing;
  Binding::BuildApiHelp(listing, registry, functions, types, events, format);
  if (!Binding::ToHostValue(listing, &registry, response.value)) response.status = 400;
  response.text = CopyTextOrThrow("");
}

void Dispatch(const ApiRegistry* registry, ApiResponseRecord& response,
              const ApiRequestRecord& request, std::span<const RoutePattern> patterns) {
  ResetResponseRecord(response);
  RouteMatch match;
  // Routes are matched against the path alone: a query left on the target would otherwise keep
  // every literal route from matching and end up inside a trailing path parameter.
  const std::string_view target = Text(request.target);
  match.target = std::string(target.substr(0, target.find('?')));
  match.method = HttpMethodFromHost(request.method);
  if (match.method == HttpMethod::Other) match.methodName = std::string(Text(request.methodName));
  if (!MatchRoutes(match, patterns, false) || match.function == nullptr ||
      match.binding == nullptr || !match.binding->handler) {
    FailRecord(response, "Invalid function", 404);
    return;
  }
  if (registry != nullptr) {
    for (const std::string& tag : match.function->tags) {
      if (tag == "$builtin") {
        InvokeBuiltin(*registry, response, request, match);
        return;
      }
    }
  }
  InvokeFunction(response, request, match);
}

void ExportCallback(ApiResponseRecord* response, const ApiRequestRecord* request) noexcept {
  if (response == nullptr) return;
  // The host's record may hold anything: from here on it holds only what the free callback
  // can release.
  ResetResponseRecord(*response);
  const auto* userData =
      request != nullptr ? static_cast<const ApiExportUserData*>(request->userData) : nullptr;
  const auto* binding =
      userData != nullptr ? static_cast<const RouteBinding*>(userData->binding) : nullptr;
  if (binding == nullptr) {
    FailRecord(*response, "Invalid function", 404);
    return;
  }
  try {
    DispatchBinding(*response, *request, *binding);
  } catch (const std::exception& error) {
    FailRecord(*response, error.what(), 500);
  } catch (...) {
    FailRecord(*response, "Unknown error", 500);
  }
}

}  // namespace Oxle::Client::Api
