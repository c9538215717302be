#include "binding/types/host_value.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/format/positional_format.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Binding {
namespace {

constexpr std::string_view kIncompatibleKindMessage =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible type "
    "'%2'.";
constexpr std::string_view kTooDeepMessage =
    "Couldn't assign value to '%1' because the input is nested too deeply.";
constexpr std::string_view kNullDataMessage =
    "Couldn't assign value to '%1' because the input %2 has a null pointer and a size of %3.";
constexpr std::string_view kTooManyElementsMessage =
    "Couldn't assign value to '%1' because the input collection has %2 elements, more than %3.";

// ---- ToHostValue ----

// Why a conversion failed; each has its message below.
enum class BuildFailure { None, TooDeep, TooLarge, OutOfMemory, UnknownKind };

constexpr std::string_view kToHostTooDeepMessage =
    "Couldn't convert value to a host value because it is nested too deeply.";
constexpr std::string_view kToHostTooLargeMessage =
    "Couldn't convert value to a host value because a text, blob or container is too large.";
constexpr std::string_view kToHostOutOfMemoryMessage =
    "Couldn't convert value to a host value because memory ran out.";
constexpr std::string_view kToHostUnknownKindMessage =
    "Couldn't convert value to a host value because it holds a value of unknown kind.";
constexpr std::string_view kToHostExceptionMessage = "Couldn't convert value to a host value: %1";

std::string_view FailureMessage(BuildFailure failure) noexcept {
  switch (failure) {
    case BuildFailure::TooDeep:
      return kToHostTooDeepMessage;
    case BuildFailure::TooLarge:
      return kToHostTooLargeMessage;
    case BuildFailure::UnknownKind:
      return kToHostUnknownKindMessage;
    default:
      return kToHostOutOfMemoryMessage;
  }
}

// The part of a text or key that travels, NUL-terminated: up to its first NUL.
std::string_view HostText(std::string_view text) noexcept {
  const void* nul = std::memchr(text.data(), '\0', text.size());
  return nul != nullptr
             ? text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()))
             : text;
}

// Calls `visit(key, value)` for the members of a structure as the host receives them, stopping
// at the first false. Keys travel up to their first NUL, so keys equal that far are one member
// there. Keys are in byte order with a prefix first, which makes such keys neighbours ("a",
// "a\0b", "a\0c"); the last of them is sent, under the shared key, as a later write to a member
// replaces its value. A key is cut once, and a neighbour compared only when it continues the cut
// key with a NUL.
template <typename Members, typename Visit>
bool ForEachHostMember(const Members& members, Visit&& visit) {
  for (auto member = members.begin(); member != members.end(); ++member) {
    const std::string_view key = HostText((*member).key);
    if (const auto next = std::next(member); next != members.end()) {
      const std::string_view following = (*next).key;
      if (following.size() > key.size() && following[key.size()] == '\0' &&
          following.starts_with(key)) {
        continue;
      }
    }
    if (!visit(key, (*member).value)) return false;
  }
  return true;
}

// Arrays are laid out on 8-byte boundaries.
constexpr size_t kArrayAlignment = 8;

// The room of an array of `count` records (at least one byte, so never null), rounded up to the
// alignment; `count` is at most (SIZE_MAX - kArrayAlignment) / recordSize.
constexpr size_t ArrayBytes(size_t count, size_t recordSize) noexcept {
  const size_t bytes = count != 0 ? count * recordSize : 1;
  return (bytes + kArrayAlignment - 1) / kArrayAlignment * kArrayAlignment;
}

// The room of a blob's bytes: at least one, so never null.
constexpr size_t BlobBytes(size_t size) noexcept {
  return size != 0 ? size : 1;
}

// One conversion, in two walks over the value: the first checks it and measures what it needs,
// the second builds it in one block from the allocation hooks. The top value's own array, text or
// bytes come first in the block, so releasing the value frees that one pointer; every nested
// array, text, blob and key lies after it in the same block. Arrays (zeroed) come before the
// texts, keys and blobs. Nothing is null, even for empty texts, blobs and arrays.
class HostValueBuilder {
 public:
  explicit HostValueBuilder(const BindingRegistry* registry) noexcept : registry_(registry) {}

  [[nodiscard]] BuildFailure Failure() const noexcept { return failure_; }

  // `out` is all zero on entry and, on failure, on return. May throw from the registry lookup
  // (in the first walk, before anything is allocated); the caller catches.
  bool Convert(const BindingProperty& value, HostValue& out) {
    if (!Measure(value, 0)) return false;
    const size_t bytes = arrayBytes_ + dataBytes_;
    if (bytes == 0) {
      Build(value, out);  // a scalar: nothing to allocate
      return true;
    }
    block_ = static_cast<char*>(Log::Allocate(bytes));
    if (block_ == nullptr) return Fail(BuildFailure::OutOfMemory);
    std::memset(block_, 0, arrayBytes_);
    nextArray_ = block_;
    nextData_ = block_ + arrayBytes_;
    Build(value, out);
    return true;
  }

 private:
  bool Fail(BuildFailure failure) noexcept {
    failure_ = failure;
    return false;
  }

  // The name an enum travels as, or null for its number.
  [[nodiscard]] const char* EnumName(const EnumValue& value) const {
    return registry_ != nullptr && value.type != nullptr
               ? registry_->EnumName(*value.type, value.value)
               : nullptr;
  }

  // ---- the first walk: limits and sizes ----

  // Room for `bytes` more in the block; a block beyond the address space is memory run out.
  bool Reserve(size_t& part, size_t bytes) noexcept {
    if (bytes > SIZE_MAX - arrayBytes_ - dataBytes_) return Fail(BuildFailure::OutOfMemory);
    part += bytes;
    return true;
  }

  bool AddData(size_t length) noexcept {
    if (!std::in_range<uint32_t>(length)) return Fail(BuildFailure::TooLarge);
    return Reserve(dataBytes_, length + 1);  // a NUL after a text
  }

  // The bound comes before any child is visited, as in FromHostValue: 512 containers on the path
  // from the top value down pass, 513 fail, and the walk never recurses deeper.
  bool AddArray(uint32_t depth, size_t count, size_t recordSize) noexcept {
    if (depth >= kMaxHostValueDepth) return Fail(BuildFailure::TooDeep);
    if (!std::in_range<uint32_t>(count)) return Fail(BuildFailure::TooLarge);
    if (count > (SIZE_MAX - kArrayAlignment) / recordSize) return Fail(BuildFailure::OutOfMemory);
    return Reserve(arrayBytes_, ArrayBytes(count, recordSize));
  }

  bool Measure(const BindingProperty& value, uint32_t depth) {
    switch (value.Kind()) {
      case ValueKind::Empty:
      case ValueKind::Bool:
      case ValueKind::Signed:
      case ValueKind::Unsigned:
      case ValueKind::Float:
        return true;
      case ValueKind::String:
        return AddData(HostText(value.GetString()).size());
      case ValueKind::Blob: {
        const size_t size = value.GetBlob().size();
        if (!std::in_range<uint32_t>(size)) return Fail(BuildFailure::TooLarge);
        return Reserve(dataBytes_, BlobBytes(size));
      }
      case ValueKind::Enum: {
        const char* name = EnumName(value.GetEnum());
        enumNames_.push_back(name);
        return name == nullptr || AddData(std::strlen(name));
      }
      case ValueKind::Collection: {
        const std::span<const BindingProperty> elements = value.Elements();
        if (!AddArray(depth, elements.size(), sizeof(HostValue))) return false;
        for (const BindingProperty& element : elements)
          if (!Measure(element, depth + 1)) return false;
        return true;
      }
      case ValueKind::Structure: {
        const auto members = value.Members();
        if (!AddArray(depth, members.size(), sizeof(HostValueEntry))) return false;
        return ForEachHostMember(members, [&](std::string_view key, const BindingProperty& member) {
          return AddData(key.size()) && Measure(member, depth + 1);
        });
      }
    }
    return Fail(BuildFailure::UnknownKind);
  }

  // ---- the second walk: the value in the block; cannot fail ----

  // `count` zeroed records.
  void* TakeArray(size_t count, size_t recordSize) noexcept {
    char* array = nextArray_;
    nextArray_ += ArrayBytes(count, recordSize);
    return array;
  }

  const char* TakeText(std::string_view text) noexcept {
    char* copy = nextData_;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    nextData_ += text.size() + 1;
    return copy;
  }

  void BuildText(std::string_view text, HostValue& slot) noexcept {
    slot.kind = HOST_VALUE_STRING_OWNED;
    slot.payload.string.text = TakeText(text);
    slot.payload.string.length = static_cast<uint32_t>(text.size());
  }

  // `slot` is all zero on entry.
  void Build(const BindingProperty& value, HostValue& slot) {
    switch (value.Kind()) {
      case ValueKind::Empty:
        return;
      case ValueKind::Bool:
        slot.kind = HOST_VALUE_BOOL;
        slot.payload.boolean = value.GetBool(false) ? 1 : 0;
        return;
      case ValueKind::Signed:
        slot.kind = HOST_VALUE_SIGNED;
        slot.payload.signedValue = value.GetSigned(0);
        return;
      case ValueKind::Unsigned:
        slot.kind = HOST_VALUE_UNSIGNED;
        slot.payload.unsignedValue = value.GetUnsigned(0);
        return;
      case ValueKind::Float:
        slot.kind = HOST_VALUE_FLOAT;
        slot.payload.floatValue = value.GetFloat(0.0);
        return;
      case ValueKind::String:
        BuildText(HostText(value.GetString()), slot);
        return;
      case ValueKind::Blob: {
        const Blob& bytes = value.GetBlob();
        auto* copy = reinterpret_cast<uint8_t*>(nextData_);
        if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
        nextData_ += BlobBytes(bytes.size());
        slot.kind = HOST_VALUE_BLOB_OWNED;
        slot.payload.blob.bytes = copy;
        slot.payload.blob.size = static_cast<uint32_t>(bytes.size());
        return;
      }
      case ValueKind::Enum:
        // The name the first walk looked up and measured.
        if (const char* name = enumNames_[nextEnum_++]) {
          BuildText(name, slot);
        } else {
          slot.kind = HOST_VALUE_SIGNED;
          slot.payload.signedValue = value.GetEnum().value;
        }
        return;
      case ValueKind::Collection:
        BuildCollection(value, slot);
        return;
      case ValueKind::Structure:
        BuildStructure(value, slot);
        return;
    }
  }

  void BuildCollection(const BindingProperty& value, HostValue& slot) {
    const std::span<const BindingProperty> elements = value.Elements();
    auto* items = static_cast<HostValue*>(TakeArray(elements.size(), sizeof(HostValue)));
    slot.kind = HOST_VALUE_COLLECTION;
    slot.payload.collection.items = items;
    slot.payload.collection.count = static_cast<uint32_t>(elements.size());
    for (size_t i = 0; i < elements.size(); ++i)
      Build(elements[i], items[i]);
  }

  // Members as ForEachHostMember gives them; a merge leaves the array's tail unused (and zero).
  void BuildStructure(const BindingProperty& value, HostValue& slot) {
    const auto members = value.Members();
    auto* entries = static_cast<HostValueEntry*>(TakeArray(members.size(), sizeof(HostValueEntry)));
    slot.kind = HOST_VALUE_STRUCTURE;
    slot.payload.structure.entries = entries;
    slot.payload.structure.count = 0;
    HostValueEntry* entry = entries;
    (void)ForEachHostMember(members, [&](std::string_view key, const BindingProperty& member) {
      entry->key = TakeText(key);
      entry->keyOwned = 1;
      ++slot.payload.structure.count;
      Build(member, entry->value);
      ++entry;
      return true;
    });
  }

  const BindingRegistry* registry_;
  BuildFailure failure_ = BuildFailure::None;
  size_t arrayBytes_ = 0, dataBytes_ = 0;
  char* block_ = nullptr;
  char* nextArray_ = nullptr;
  char* nextData_ = nullptr;
  std::vector<const char*> enumNames_;  // of the enums in walk order, null for a number
  size_t nextEnum_ = 0;
};

// The exception message; empty when even formatting it fails.
std::string ExceptionMessage(const char* what) noexcept {
  try {
    return FormatToString(kToHostExceptionMessage, what);
  } catch (...) {
    return {};
  }
}

// Builds `out`; on failure releases it and, when `result` is given and still ok, records why.
// Nothing in a handler may throw, the function being noexcept.
bool Convert(const BindingProperty& value, const BindingRegistry* registry, HostValue& out,
             ValueResult* result) noexcept {
  std::memset(&out, 0, sizeof(out));
  HostValueBuilder builder(registry);
  std::string formatted;
  std::string_view message = kToHostOutOfMemoryMessage;
  try {
    if (builder.Convert(value, out)) return true;
    message = FailureMessage(builder.Failure());
  } catch (const std::bad_alloc&) {
    message = kToHostOutOfMemoryMessage;
  } catch (const std::exception& error) {
    formatted = ExceptionMessage(error.what());
    if (!formatted.empty()) message = formatted;
  } catch (...) {
    formatted = ExceptionMessage("unknown exception");
    if (!formatted.empty()) message = formatted;
  }
  ReleaseHostValue(out);
  if (result != nullptr && result->Ok()) {
    try {
      result->SetError(message);
    } catch (...) {
      // No memory even for the message: the false return still tells the failure.
    }
  }
  return false;
}

// ---- FromHostValue ----

// The first failure recorded wins.
void Fail(ValueResult& result, std::string_view message) {
  if (result.Ok()) result.SetError(message);
}

bool Read(const HostValue& in, BindingProperty& property, ValueResult& result, const char* label,
          uint32_t depth);

// `depth` counts the containers above `in`; the check comes before any child is visited, so the
// walk never recurses more than kMaxHostValueDepth + 1 calls deep whatever the input.
bool ReadCollection(const HostValue& in, BindingProperty& property, ValueResult& result,
                    const char* label, uint32_t depth) {
  if (depth >= kMaxHostValueDepth) {
    Fail(result, FormatToString(kTooDeepMessage, label));
    return false;
  }
  const HostValue* items = in.payload.collection.items;
  const uint32_t count = in.payload.collection.count;
  if (items == nullptr && count != 0) {
    Fail(result, FormatToString(kNullDataMessage, label, "collection", count));
    return false;
  }
  if (count > BindingProperty::kMaxElements) {
    Fail(result,
         FormatToString(kTooManyElementsMessage, label, count, BindingProperty::kMaxElements));
    return false;
  }
  property.Clear();
  property.MakeCollection();
  property.Reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!Read(items[i], property.At(i), result, label, depth + 1)) return false;
  }
  return true;
}

bool ReadStructure(const HostValue& in, BindingProperty& property, ValueResult& result,
                   const char* label, uint32_t depth) {
  if (depth >= kMaxHostValueDepth) {
    Fail(result, FormatToString(kTooDeepMessage, label));
    return false;
  }
  const HostValueEntry* entries = in.payload.structure.entries;
  const uint32_t count = in.payload.structure.count;
  if (entries == nullptr && count != 0) {
    Fail(result, FormatToString(kNullDataMessage, label, "structure", count));
    return false;
  }
  property.Clear();
  property.MakeStructure();
  for (uint32_t i = 0; i < count; ++i) {
    const HostValueEntry& entry = entries[i];
    // Get(const char*) takes a null key as the empty key.
    if (!Read(entry.value, property.Get(entry.key), result, label, depth + 1)) return false;
  }
  return true;
}

bool Read(const HostValue& in, BindingProperty& property, ValueResult& result, const char* label,
          uint32_t depth) {
  switch (in.kind) {
    case HOST_VALUE_EMPTY:
      property.Clear();
      return true;
    case HOST_VALUE_BOOL:
      property.SetBool(in.payload.boolean != 0);
      return true;
    case HOST_VALUE_SIGNED:
      property.SetSigned(in.payload.signedValue);
      return true;
    case HOST_VALUE_UNSIGNED:
      property.SetUnsigned(in.payload.unsignedValue);
      return true;
    case HOST_VALUE_FLOAT:
      property.SetFloat(in.payload.floatValue);
      return true;
    case HOST_VALUE_STRING_BORROWED:
    case HOST_VALUE_STRING_OWNED:
      // Up to the first NUL; senders do not agree on what the length counts. Null is "".
      property.SetString(in.payload.string.text);
      return true;
    case HOST_VALUE_BLOB_BORROWED:
    case HOST_VALUE_BLOB_OWNED: {
      const uint8_t* bytes = in.payload.blob.bytes;
      const uint32_t size = in.payload.blob.size;
      if (bytes == nullptr && size != 0) {
        Fail(result, FormatToString(kNullDataMessage, label, "blob", size));
        return false;
      }
      property.SetBlob(std::span<const uint8_t>(bytes, size));
      return true;
    }
    case HOST_VALUE_COLLECTION:
      return ReadCollection(in, property, result, label, depth);
    case HOST_VALUE_STRUCTURE:
      return ReadStructure(in, property, result, label, depth);
    default:
      Fail(result, FormatToString(kIncompatibleKindMessage, label, HostValueKindName(in.kind)));
      return false;
  }
}

}  // namespace

const char* HostValueKindName(uint32_t kind) noexcept {
  static constexpr const char* kNames[] = {"",      "bool",       "signed",   "unsigned",
                                           "float", "string",     "string",   "blob",
                                           "blob",  "collection", "structure"};
  return kind < std::size(kNames) ? kNames[kind] : "";
}

bool ToHostValue(const BindingProperty& value, const BindingRegistry* registry,
                 HostValue& out) noexcept {
  return Convert(value, registry, out, nullptr);
}

bool ToHostValue(const BindingProperty& value, const BindingRegistry* registry, HostValue& out,
                 ValueResult& result) noexcept {
  return Convert(value, registry, out, &result);
}

bool FromHostValue(const HostValue& in, BindingProperty& property, ValueResult& result,
                   const char* label) {
  return Read(in, property, result, label != nullptr ? label : "", 0);
}

// Everything ToHostValue built hangs in the one block that the top value's own pointer starts.
void ReleaseHostValue(HostValue& value) noexcept {
  switch (value.kind) {
    case HOST_VALUE_STRING_OWNED:
      Log::Free(const_cast<char*>(value.payload.string.text));
      break;
    case HOST_VALUE_BLOB_OWNED:
      Log::Free(const_cast<uint8_t*>(value.payload.blob.bytes));
      break;
    case HOST_VALUE_COLLECTION:
      Log::Free(value.payload.collection.items);
      break;
    case HOST_VALUE_STRUCTURE:
      Log::Free(value.payload.structure.entries);
      break;
    default:
      break;
  }
  std::memset(&value, 0, sizeof(value));
}

}  // namespace Oxle::Client::Binding
