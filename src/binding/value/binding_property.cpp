#include "binding/value/binding_property.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include "binding/value/base64.h"
#include "binding/value/element_stack.h"
#include "binding/value/string_copier.h"
#include "binding/value/structure_tree.h"
#include "binding/value/value_context.h"
#include "binding/value/value_storage.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client::Binding {

// Access to the private parts of values for the storage helpers below.
class ValueTreeAccess {
 public:
  // Element arrays of up to kMaxSlotSize bytes (3 elements, 4 on a 32-bit target) are slab
  // slots: most collections of a document are that small, and a slot costs neither a heap call
  // nor, when the tree is torn down, a free. Larger arrays come from the general heap.
  [[nodiscard]] static bool InSlab(size_t capacity) noexcept {
    return capacity * sizeof(BindingProperty) <= SlabAllocator::kMaxSlotSize;
  }

  static BindingProperty* AllocateElements(ValueContext* context, size_t capacity) {
    const size_t bytes = capacity * sizeof(BindingProperty);
    void* memory =
        InSlab(capacity) ? context->Slab().Allocate(bytes) : context->HeapArrays().Allocate(bytes);
    return static_cast<BindingProperty*>(memory);
  }

  static void FreeElements(ValueContext* context, BindingProperty* elements,
                           size_t capacity) noexcept {
    if (elements == nullptr) return;
    if (!InSlab(capacity)) {
      context->HeapArrays().Free(elements);
    } else if (!context->TearingDown()) {
      context->Slab().Free(elements, capacity * sizeof(BindingProperty));
    }
  }

  static void DestroyCollection(ValueContext* context, CollectionStorage* storage) noexcept {
    for (BindingProperty* element = storage->begin; element != storage->end; ++element) {
      element->~BindingProperty();
    }
    FreeElements(context, storage->begin, storage->Capacity());
    DeleteSlot(context, storage);
  }

  // Moves the values of [from, fromEnd) into the raw memory at `to` (values hold no pointers to
  // themselves, so relocation is a field-wise transfer); returns the end of what was written.
  // The sources are left to be dropped without destruction.
  static BindingProperty* Relocate(ValueContext* context, const BindingProperty* from,
                                   const BindingProperty* fromEnd, BindingProperty* to) noexcept {
    for (; from != fromEnd; ++from, ++to) {
      auto* moved = ::new (to) BindingProperty(BindingProperty::ChildTag::kChild, context);
      moved->payload_ = from->payload_;
      moved->kind_ = from->kind_;
    }
    return to;
  }

  // Grows the element array to hold at least `needed` elements.
  static void Grow(ValueContext* context, CollectionStorage& storage, size_t needed) {
    if (needed > BindingProperty::kMaxElements) {
      throw std::length_error("a collection cannot hold that many elements");
    }
    const size_t capacity = storage.Capacity();
    if (needed <= capacity) return;
    size_t grown = capacity + capacity / 2;
    if (grown < needed) grown = needed;
    if (grown > BindingProperty::kMaxElements) grown = BindingProperty::kMaxElements;
    BindingProperty* fresh = AllocateElements(context, grown);
    BindingProperty* out = Relocate(context, storage.begin, storage.end, fresh);
    FreeElements(context, storage.begin, capacity);
    storage.capacityEnd = fresh + grown;
    storage.end = out;
    storage.begin = fresh;
  }

  static BindingProperty& AppendEmpty(ValueContext* context, CollectionStorage& storage) {
    if (storage.end == storage.capacityEnd) Grow(context, storage, storage.Size() + 1);
    return storage.PlaceEmpty(context);
  }
};

namespace {

const Blob& EmptyBlob() noexcept {
  static const Blob empty;
  return empty;
}

}  // namespace

const BindingProperty& BindingProperty::Null() noexcept {
  static const BindingProperty null;
  return null;
}

BindingProperty::BindingProperty(const BindingProperty& other) {
  ReserveStringsFor(other);
  CopyContentFrom(other);
}

void BindingProperty::ReserveStringsFor(const BindingProperty& source) {
  // A whole tree copied into a tree without strings brings all of its strings: size the table
  // once instead of growing it step by step.
  if (owner_ == 0 || source.owner_ == 0 || source.context_ == nullptr) return;
  const size_t count = source.context_->Strings().Size();
  if (count != 0 && (context_ == nullptr || context_->Strings().Size() == 0)) {
    EnsureContext().Strings().Reserve(count);
  }
}

BindingProperty::BindingProperty(BindingProperty&& other) {
  *this = std::move(other);
}

BindingProperty::~BindingProperty() {
  if (owner_ != 0 && context_ != nullptr) {
    // Nothing else refers to this tree's strings, slots and arrays any more: only blobs need
    // the walk, and without any everything goes with the context.
    context_->BeginTeardown();
    if (context_->Blobs() != 0) ClearIfHeap();
    ValueContext::Destroy(context_);
    return;
  }
  ClearIfHeap();
}

ValueContext& BindingProperty::EnsureContext() {
  if (context_ == nullptr) context_ = ValueContext::Create();
  return *context_;
}

void BindingProperty::ClearContent() noexcept {
  switch (kind_) {
    case ValueKind::String:
      ReleaseString(context_, payload_.string);
      break;
    case ValueKind::Blob:
      DeleteSlot(context_, payload_.blob);
      context_->RemoveBlob();
      break;
    case ValueKind::Enum:
      DeleteSlot(context_, payload_.enumValue);
      break;
    case ValueKind::Collection:
      ValueTreeAccess::DestroyCollection(context_, payload_.collection);
      break;
    case ValueKind::Structure:
      StructureTree::Destroy(context_, payload_.structure);
      break;
    default:
      break;
  }
  kind_ = ValueKind::Empty;
  payload_.unsignedValue = 0;
}

void BindingProperty::InstallFrom(BindingProperty& detached) noexcept {
  assert(kind_ == ValueKind::Empty && detached.context_ == context_);
  payload_ = detached.payload_;
  kind_ = detached.kind_;
  detached.kind_ = ValueKind::Empty;
  detached.payload_.unsignedValue = 0;
}

void BindingProperty::CopyContentFrom(const BindingProperty& source) {
  assert(kind_ == ValueKind::Empty);
  if (source.kind_ <= ValueKind::Float) {
    payload_ = source.payload_;
    kind_ = source.kind_;
    return;
  }
  StringCopier strings(&EnsureContext(), source.context_);
  CopyContentFrom(source, strings);
}

void BindingProperty::CopyContentFrom(const BindingProperty& source, StringCopier& strings) {
  switch (source.kind_) {
    case ValueKind::Empty:
      return;
    case ValueKind::String:
      payload_.string = strings.Copy(source.payload_.string);
      kind_ = ValueKind::String;
      return;
    case ValueKind::Blob:
      payload_.blob = EnsureContext().Slab().New<Blob>(*source.payload_.blob);
      context_->AddBlob();
      kind_ = ValueKind::Blob;
      return;
    case ValueKind::Enum:
      payload_.enumValue = EnsureContext().Slab().New<EnumValue>(*source.payload_.enumValue);
      kind_ = ValueKind::Enum;
      return;
    case ValueKind::Collection: {
      CollectionStorage& storage = CollectionRef();
      const CollectionStorage& from = *source.payload_.collection;
      ValueTreeAccess::Grow(context_, storage, from.Size());
      for (const BindingProperty* element = from.begin; element != from.end; ++element) {
        BindingProperty& copy = ValueTreeAccess::AppendEmpty(context_, storage);
        if (element->kind_ <= ValueKind::Float) {
          copy.payload_ = element->payload_;
          copy.kind_ = element->kind_;
        } else {
          copy.CopyContentFrom(*element, strings);
        }
      }
      return;
    }
    case ValueKind::Structure:
      StructureTree::Clone(context_, StructureRef(), *source.payload_.structure, strings);
      return;
    default:  // bool, signed, unsigned, float
      payload_ = source.payload_;
      kind_ = source.kind_;
      return;
  }
}

bool BindingProperty::Contains(const BindingProperty* candidate) const noexcept {
  if (kind_ == ValueKind::Collection) {
    const CollectionStorage& storage = *payload_.collection;
    if (candidate >= storage.begin && candidate < storage.end) return true;
    for (const BindingProperty* element = storage.begin; element != storage.end; ++element) {
      if (element->Contains(candidate)) return true;
    }
  } else if (kind_ == ValueKind::Structure) {
    for (StructureNode* node = payload_.structure->first; node != nullptr; node = Successor(node)) {
      if (&node->value == candidate || node->value.Contains(candidate)) return true;
    }
  }
  return false;
}

BindingProperty& BindingProperty::operator=(const BindingProperty& other) {
  if (this == &other) return *this;
  if (context_ != nullptr && context_ == other.context_) {
    // One tree: the source may lie inside this value or this value inside the source, so the
    // copy is built aside before this value lets go of its content.
    BindingProperty copy(ChildTag::kChild, context_);
    copy.CopyContentFrom(other);
    ClearContent();
    InstallFrom(copy);
  } else {
    ClearContent();
    ReserveStringsFor(other);
    CopyContentFrom(other);
  }
  return *this;
}

BindingProperty& BindingProperty::operator=(BindingProperty&& other) {
  if (this == &other) return *this;
  if (owner_ != 0 && other.owner_ != 0) {
    std::swap(payload_, other.payload_);
    std::swap(context_, other.context_);
    std::swap(kind_, other.kind_);
    other.ClearContent();
    return *this;
  }
  if (context_ != nullptr && context_ == other.context_) {
    // One tree. Moving a value into its own descendant leaves the source cleared, as copying
    // and then clearing the source would; otherwise the content changes hands without a copy.
    if (other.owner_ != 0 || other.Contains(this)) {
      other.ClearContent();
      return *this;
    }
    BindingProperty taken(ChildTag::kChild, context_);
    taken.InstallFrom(other);
    ClearContent();
    InstallFrom(taken);
    return *this;
  }
  ClearContent();
  CopyContentFrom(other);
  other.ClearContent();
  return *this;
}

void BindingProperty::SetString(std::string_view text) {
  // Interned before clearing: the text may be this value's own.
  InternedString* record =
      text.empty() ? &InternTable::Empty() : EnsureContext().Strings().Intern(text);
  ClearContent();
  payload_.string = record;
  kind_ = ValueKind::String;
}

void BindingProperty::SetBlob(std::span<const uint8_t> bytes) {
  Blob* blob = EnsureContext().Slab().New<Blob>(bytes.begin(), bytes.end());
  context_->AddBlob();
  ClearContent();
  payload_.blob = blob;
  kind_ = ValueKind::Blob;
}

void BindingProperty::SetBlob(Blob&& bytes) {
  Blob* blob = EnsureContext().Slab().New<Blob>(std::move(bytes));
  context_->AddBlob();
  ClearContent();
  payload_.blob = blob;
  kind_ = ValueKind::Blob;
}

void BindingProperty::SetEnum(int32_t value, const TypeId& type) {
  EnumValue* payload = EnsureContext().Slab().New<EnumValue>(EnumValue{value, &type});
  ClearContent();
  payload_.enumValue = payload;
  kind_ = ValueKind::Enum;
}

CollectionStorage& BindingProperty::CollectionRef() {
  if (kind_ != ValueKind::Collection) {
    CollectionStorage* storage = EnsureContext().Slab().New<CollectionStorage>();
    ClearContent();
    payload_.collection = storage;
    kind_ = ValueKind::Collection;
  }
  return *payload_.collection;
}

StructureMap& BindingProperty::StructureRef() {
  if (kind_ != ValueKind::Structure) {
    StructureMap* map = EnsureContext().Slab().New<StructureMap>();
    ClearContent();
    payload_.structure = map;
    kind_ = ValueKind::Structure;
  }
  return *payload_.structure;
}

BindingProperty& BindingProperty::MakeCollection() {
  CollectionRef();
  return *this;
}

BindingProperty& BindingProperty::MakeStructure() {
  StructureRef();
  return *this;
}

const Blob& BindingProperty::GetBlob() const noexcept {
  return GetBlob(EmptyBlob());
}

const char* BindingProperty::KindName(ValueKind kind) noexcept {
  static constexpr const char* kNames[] = {"empty",  "bool", "signed", "unsigned",   "float",
                                           "string", "blob", "enum",   "collection", "structure"};
  const auto code = static_cast<size_t>(kind);
  return code < std::size(kNames) ? kNames[code] : "";
}

size_t BindingProperty::Size() const noexcept {
  switch (kind_) {
    case ValueKind::Empty:
      return 0;
    case ValueKind::String:
      return payload_.string->size;
    case ValueKind::Blob:
      return payload_.blob->size();
    case ValueKind::Collection:
      return payload_.collection->Size();
    case ValueKind::Structure:
      return payload_.structure->count;
    default:
      return 1;
  }
}

bool BindingProperty::Has(std::string_view key) const noexcept {
  return kind_ == ValueKind::Structure && StructureTree::Find(*payload_.structure, key);
}

bool BindingProperty::ToBool() const noexcept {
  switch (kind_) {
    case ValueKind::Bool:
      return payload_.boolean;
    case ValueKind::Signed:
      return payload_.signedValue != 0;
    case ValueKind::Unsigned:
      return payload_.unsignedValue != 0;
    case ValueKind::Float:
      return !(payload_.floatValue == 0.0);  // NaN is true
    case ValueKind::String: {
      const std::string_view text = payload_.string->Text();
      return text == "true" || text == "1";
    }
    case ValueKind::Blob:
      return !payload_.blob->empty();
    case ValueKind::Enum:
      return payload_.enumValue->value != 0;
    case ValueKind::Collection:
      return payload_.collection->Size() != 0;
    case ValueKind::Structure:
      return payload_.structure->count != 0;
    default:
      return false;
  }
}

std::string BindingProperty::ToString() const {
  switch (kind_) {
    case ValueKind::Bool:
      return payload_.boolean ? "true" : "false";
    case ValueKind::Signed:
      return std::to_string(payload_.signedValue);
    case ValueKind::Unsigned:
      return std::to_string(payload_.unsignedValue);
    case ValueKind::Float: {
      // "%f" of the largest double is 309 digits, a sign, a point and 6 decimals.
      char text[320];
      const int length = std::snprintf(text, sizeof text, "%f", payload_.floatValue);
      return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
    }
    case ValueKind::String:
      return std::string(payload_.string->Text());
    case ValueKind::Blob:
      return Base64Encode(*payload_.blob);
    case ValueKind::Enum:
      return std::to_string(payload_.enumValue->value);
    default:
      return std::string();
  }
}

const BindingProperty& BindingProperty::At(size_t index) const noexcept {
  if (kind_ != ValueKind::Collection || index >= payload_.collection->Size()) return Null();
  return payload_.collection->begin[index];
}

BindingProperty& BindingProperty::At(size_t index) {
  CollectionStorage& storage = CollectionRef();
  if (index >= storage.Size()) {
    if (index >= kMaxElements) {
      throw std::length_error("a collection cannot hold that many elements");
    }
    ValueTreeAccess::Grow(context_, storage, index + 1);
    while (storage.Size() <= index)
      ValueTreeAccess::AppendEmpty(context_, storage);
  }
  return storage.begin[index];
}

BindingProperty& BindingProperty::AppendGrowing() {
  CollectionStorage& storage = CollectionRef();
  return ValueTreeAccess::AppendEmpty(context_, storage);
}

void BindingProperty::Reserve(size_t count) {
  if (kind_ != ValueKind::Collection) return;
  ValueTreeAccess::Grow(context_, *payload_.collection, count);
}

const BindingProperty& BindingProperty::Get(std::string_view key) const noexcept {
  if (kind_ != ValueKind::Structure) return Null();
  const StructureNode* node = StructureTree::Find(*payload_.structure, key);
  return node != nullptr ? node->value : Null();
}

BindingProperty& BindingProperty::Get(std::string_view key, uint32_t keyHash) {
  assert(keyHash == Fnv1a(key));
  if (kind_ != ValueKind::Structure) return Get(key);
  return StructureTree::FindOrInsert(context_, *payload_.structure, key, &keyHash)->value;
}

BindingProperty& BindingProperty::Get(std::string_view key) {
  if (kind_ == ValueKind::Structure) {
    return StructureTree::FindOrInsert(context_, *payload_.structure, key)->value;
  }
  // The key is interned before the old content goes: it may be text of that content.
  InternedString* record = EnsureContext().Strings().Intern(key);
  StructureMap* map;
  try {
    map = context_->Slab().New<StructureMap>();
  } catch (...) {
    ReleaseString(context_, record);
    throw;
  }
  ClearContent();
  payload_.structure = map;
  kind_ = ValueKind::Structure;
  return StructureTree::InsertFirst(context_, *map, record)->value;
}

void BindingProperty::Accept(ValueVisitor& visitor) const {
  switch (kind_) {
    case ValueKind::Empty:
      visitor.OnEmpty();
      return;
    case ValueKind::Bool:
      visitor.OnBool(payload_.boolean);
      return;
    case ValueKind::Signed:
      visitor.OnSigned(payload_.signedValue);
      return;
    case ValueKind::Unsigned:
      visitor.OnUnsigned(payload_.unsignedValue);
      return;
    case ValueKind::Float:
      visitor.OnFloat(payload_.floatValue);
      return;
    case ValueKind::String:
      visitor.OnString(payload_.string->Text());
      return;
    case ValueKind::Blob:
      visitor.OnBlob(*payload_.blob);
      return;
    case ValueKind::Enum:
      visitor.OnEnum(*payload_.enumValue);
      return;
    case ValueKind::Collection: {
      const CollectionStorage& storage = *payload_.collection;
      visitor.BeginCollection(storage.Size());
      for (size_t i = 0; i < storage.Size(); ++i) {
        visitor.BeginElement(i);
        storage.begin[i].Accept(visitor);
        visitor.EndElement(i);
      }
      visitor.EndCollection();
      return;
    }
    case ValueKind::Structure:
      visitor.BeginStructure(payload_.structure->count);
      for (StructureNode* node = payload_.structure->first; node != nullptr;
           node = Successor(node)) {
        const std::string_view key = node->key->Text();
        visitor.BeginMember(key);
        node->value.Accept(visitor);
        visitor.EndMember(key);
      }
      visitor.EndStructure();
      return;
  }
}

ElementStack::ElementStack(BindingProperty& member) : context_(&member.EnsureContext()) {}

ElementStack::~ElementStack() {
  for (BindingProperty* element = begin_; element != end_; ++element)
    element->~BindingProperty();
  ::operator delete(begin_);
}

void ElementStack::GrowBuffer() {
  const size_t size = Size();
  const size_t capacity = size == 0 ? 64 : size * 2;
  auto* fresh = static_cast<BindingProperty*>(::operator new(capacity * sizeof(BindingProperty)));
  ValueTreeAccess::Relocate(context_, begin_, end_, fresh);
  ::operator delete(begin_);
  begin_ = fresh;
  end_ = fresh + size;
  capacityEnd_ = fresh + capacity;
}

void ElementStack::MoveInto(BindingProperty& collection, size_t first) {
  assert(collection.kind_ == ValueKind::Collection && collection.context_ == context_);
  assert(first <= Size() && !(&collection >= begin_ + first && &collection < end_));
  CollectionStorage& storage = *collection.payload_.collection;
  assert(storage.Size() == 0);
  const size_t count = Size() - first;
  if (count == 0) return;
  ValueTreeAccess::Grow(context_, storage, count);
  storage.end = ValueTreeAccess::Relocate(context_, begin_ + first, end_, storage.begin);
  end_ = begin_ + first;
}

}  // namespace Oxle::Client::Binding
