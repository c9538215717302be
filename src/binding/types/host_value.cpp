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

bool IsContainer(uint32_t kind) noexcept {
  return kind == HOST_VALUE_COLLECTION || kind == HOST_VALUE_STRUCTURE;
}

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

// A zeroed array of `count` records. Never null on success, even for no records: hosts may hand
// owned pointers to memcpy and the like whatever the count.
void* AllocateZeroed(size_t count, size_t recordSize) noexcept {
  if (count > SIZE_MAX / recordSize) return nullptr;
  const size_t bytes = count != 0 ? count * recordSize : 1;
  void* block = Log::Allocate(bytes);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
}

// The key as the host receives it: NUL-terminated, so up to its first NUL.
std::string_view HostKey(std::string_view key) noexcept {
  return key.substr(0, key.find('\0'));
}

// One conversion: the registry for enum names and the reason of a failure.
class HostValueBuilder {
 public:
  explicit HostValueBuilder(const BindingRegistry* registry) noexcept : registry_(registry) {}

  [[nodiscard]] BuildFailure Failure() const noexcept { return failure_; }

  // `slot` is all zero on entry; `depth` counts the containers above `value`. May throw from the
  // registry lookup; the caller catches.
  bool Build(const BindingProperty& value, HostValue& slot, uint32_t depth) {
    switch (value.Kind()) {
      case ValueKind::Empty:
        return true;
      case ValueKind::Bool:
        slot.kind = HOST_VALUE_BOOL;
        slot.payload.boolean = value.GetBool(false) ? 1 : 0;
        return true;
      case ValueKind::Signed:
        slot.kind = HOST_VALUE_SIGNED;
        slot.payload.signedValue = value.GetSigned(0);
        return true;
      case ValueKind::Unsigned:
        slot.kind = HOST_VALUE_UNSIGNED;
        slot.payload.unsignedValue = value.GetUnsigned(0);
        return true;
      case ValueKind::Float:
        slot.kind = HOST_VALUE_FLOAT;
        slot.payload.floatValue = value.GetFloat(0.0);
        return true;
      case ValueKind::String: {
        const std::string_view text = value.GetString();
        return BuildText(text.data(), text.size(), slot);
      }
      case ValueKind::Blob:
        return BuildBytes(value.GetBlob(), slot);
      case ValueKind::Enum:
        return BuildEnum(value.GetEnum(), slot);
      case ValueKind::Collection:
        return BuildCollection(value, slot, depth);
      case ValueKind::Structure:
        return BuildStructure(value, slot, depth);
    }
    return Fail(BuildFailure::UnknownKind);
  }

 private:
  bool Fail(BuildFailure failure) noexcept {
    failure_ = failure;
    return false;
  }

  // `text` is NUL-terminated at `size` at the latest; only the part before the first NUL travels.
  bool BuildText(const char* text, size_t size, HostValue& slot) noexcept {
    const void* nul = std::memchr(text, '\0', size);
    const size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
    if (!std::in_range<uint32_t>(length)) return Fail(BuildFailure::TooLarge);
    char* copy = Log::DuplicateString(text);
    if (copy == nullptr) return Fail(BuildFailure::OutOfMemory);
    slot.kind = HOST_VALUE_STRING_OWNED;
    slot.payload.string.text = copy;
    slot.payload.string.length = static_cast<uint32_t>(length);
    return true;
  }

  bool BuildBytes(const Blob& bytes, HostValue& slot) noexcept {
    if (!std::in_range<uint32_t>(bytes.size())) return Fail(BuildFailure::TooLarge);
    auto* copy = static_cast<uint8_t*>(Log::Allocate(bytes.empty() ? 1 : bytes.size()));
    if (copy == nullptr) return Fail(BuildFailure::OutOfMemory);
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    slot.kind = HOST_VALUE_BLOB_OWNED;
    slot.payload.blob.bytes = copy;
    slot.payload.blob.size = static_cast<uint32_t>(bytes.size());
    return true;
  }

  bool BuildEnum(const EnumValue& value, HostValue& slot) {
    const char* name = (registry_ != nullptr && value.type != nullptr)
                           ? registry_->EnumName(*value.type, value.value)
                           : nullptr;
    if (name != nullptr) return BuildText(name, std::strlen(name), slot);
    slot.kind = HOST_VALUE_SIGNED;
    slot.payload.signedValue = value.value;
    return true;
  }

  // The bound comes before any child is visited, as in FromHostValue: 512 containers on the path
  // from the top value down pass, 513 fail, and the walk never recurses deeper.
  bool BeginContainer(uint32_t depth, size_t count) noexcept {
    if (depth >= kMaxHostValueDepth) return Fail(BuildFailure::TooDeep);
    if (!std::in_range<uint32_t>(count)) return Fail(BuildFailure::TooLarge);
    return true;
  }

  // Each container is linked into its slot as soon as its zeroed array exists, so a failure
  // anywhere below leaves a tree that ReleaseHostValue frees completely.
  bool BuildCollection(const BindingProperty& value, HostValue& slot, uint32_t depth) {
    const std::span<const BindingProperty> elements = value.Elements();
    if (!BeginContainer(depth, elements.size())) return false;
    auto* items = static_cast<HostValue*>(AllocateZeroed(elements.size(), sizeof(HostValue)));
    if (items == nullptr) return Fail(BuildFailure::OutOfMemory);
    slot.kind = HOST_VALUE_COLLECTION;
    slot.payload.collection.items = items;
    slot.payload.collection.count = static_cast<uint32_t>(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
      if (!Build(elements[i], items[i], depth + 1)) return false;
    }
    return true;
  }

  // The host reads keys up to their first NUL, so keys equal that far are one member there.
  // Keys are in byte order with a prefix first, which makes such keys neighbours ("a", "a\0b",
  // "a\0c"); the last of them is sent, under the shared key, as a later write to a member
  // replaces its value. The count grows entry by entry, so a failure leaves no unfilled entry
  // and a merge leaves the array's tail unused.
  bool BuildStructure(const BindingProperty& value, HostValue& slot, uint32_t depth) {
    const auto members = value.Members();
    if (!BeginContainer(depth, members.size())) return false;
    auto* entries =
        static_cast<HostValueEntry*>(AllocateZeroed(members.size(), sizeof(HostValueEntry)));
    if (entries == nullptr) return Fail(BuildFailure::OutOfMemory);
    slot.kind = HOST_VALUE_STRUCTURE;
    slot.payload.structure.entries = entries;
    slot.payload.structure.count = 0;
    HostValueEntry* entry = entries;
    for (auto member = members.begin(); member != members.end(); ++member) {
      const std::string_view key = HostKey((*member).key);
      const auto next = std::next(member);
      if (next != members.end() && HostKey((*next).key) == key) continue;
      // Keys are interned texts, NUL-terminated in memory.
      char* copy = Log::DuplicateString(key.data());
      if (copy == nullptr) return Fail(BuildFailure::OutOfMemory);
      entry->key = copy;
      entry->keyOwned = 1;
      ++slot.payload.structure.count;
      if (!Build((*member).value, entry->value, depth + 1)) return false;
      ++entry;
    }
    return true;
  }

  const BindingRegistry* registry_;
  BuildFailure failure_ = BuildFailure::None;
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
    if (builder.Build(value, out, 0)) return true;
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

// ---- ReleaseHostValue ----

void ReleaseLeaf(HostValue& value) noexcept {
  if (value.kind == HOST_VALUE_STRING_OWNED) {
    Log::Free(const_cast<char*>(value.payload.string.text));
  } else if (value.kind == HOST_VALUE_BLOB_OWNED) {
    Log::Free(const_cast<uint8_t*>(value.payload.blob.bytes));
  }
}

// The array of a container being released and how many of its records are still to do; they
// are released from the last to the first.
struct ReleaseLevel {
  uint32_t kind = HOST_VALUE_EMPTY;
  void* array = nullptr;
  uint32_t remaining = 0;
};

ReleaseLevel LevelOf(const HostValue& value) noexcept {
  if (value.kind == HOST_VALUE_COLLECTION) {
    return {value.kind, value.payload.collection.items, value.payload.collection.count};
  }
  return {value.kind, value.payload.structure.entries, value.payload.structure.count};
}

HostValueEntry* EntryOfValue(HostValue* value) noexcept {
  return reinterpret_cast<HostValueEntry*>(reinterpret_cast<char*>(value) -
                                           offsetof(HostValueEntry, value));
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

// Containers are released without recursion, so no nesting depth can exhaust the stack. When the
// walk enters a child container, the child's own slot in its parent's array is no longer needed,
// so it keeps the way back: the parent's kind, the child's index and the slot that leads back
// from the parent. Returning reads them and finds the parent's array from the slot's address.
void ReleaseHostValue(HostValue& value) noexcept {
  if (IsContainer(value.kind)) {
    ReleaseLevel level = LevelOf(value);
    HostValue* back = nullptr;  // the slot holding the way back from `level`; null at the top
    for (;;) {
      if (level.remaining == 0) {
        Log::Free(level.array);
        if (back == nullptr) break;
        HostValue* slot = back;
        const uint32_t index = slot->payload.collection.count;
        back = slot->payload.collection.items;
        level.kind = slot->kind;
        level.remaining = index;  // the records before the child are still to do
        level.array = level.kind == HOST_VALUE_COLLECTION
                          ? static_cast<void*>(slot - index)
                          : static_cast<void*>(EntryOfValue(slot) - index);
        continue;
      }
      const uint32_t index = --level.remaining;
      HostValue* slot = nullptr;
      if (level.kind == HOST_VALUE_COLLECTION) {
        slot = static_cast<HostValue*>(level.array) + index;
      } else {
        HostValueEntry& entry = static_cast<HostValueEntry*>(level.array)[index];
        if (entry.keyOwned != 0) Log::Free(const_cast<char*>(entry.key));
        slot = &entry.value;
      }
      if (IsContainer(slot->kind)) {
        const ReleaseLevel child = LevelOf(*slot);
        slot->kind = level.kind;
        slot->payload.collection.items = back;
        slot->payload.collection.count = index;
        back = slot;
        level = child;
      } else {
        ReleaseLeaf(*slot);
      }
    }
  } else {
    ReleaseLeaf(value);
  }
  std::memset(&value, 0, sizeof(value));
}

}  // namespace Oxle::Client::Binding
