#include "binding/value/binding_property.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include "binding/value/base64.h"
#include "binding/value/element_stack.h"
#include "binding/value/value_context.h"
#include "binding/value/value_storage.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client::Binding {
namespace {

void ReleaseString(ValueContext* context, InternedString* record) noexcept {
  if (record != &InternTable::Empty() && !context->TearingDown()) {
    context->Strings().Release(record);
  }
}

// Byte order of keys, bytes compared as unsigned, a proper prefix first.
int CompareKeys(std::string_view key, const KeyPrefix& prefix, const StructureNode& node) noexcept {
  if (prefix.high != node.prefix.high) return prefix.high < node.prefix.high ? -1 : 1;
  if (prefix.low != node.prefix.low) return prefix.low < node.prefix.low ? -1 : 1;
  return key.compare(node.key->Text());
}

void ReplaceChild(StructureNode*& root, StructureNode* parent, StructureNode* from,
                  StructureNode* to) noexcept {
  if (parent == nullptr) {
    root = to;
  } else if (from == parent->left) {
    parent->left = to;
  } else {
    parent->right = to;
  }
}

void RotateLeft(StructureNode*& root, StructureNode* x) noexcept {
  StructureNode* y = x->right;
  x->right = y->left;
  if (y->left != nullptr) y->left->SetParent(x);
  y->SetParent(x->Parent());
  ReplaceChild(root, x->Parent(), x, y);
  y->left = x;
  x->SetParent(y);
}

void RotateRight(StructureNode*& root, StructureNode* x) noexcept {
  StructureNode* y = x->left;
  x->left = y->right;
  if (y->right != nullptr) y->right->SetParent(x);
  y->SetParent(x->Parent());
  ReplaceChild(root, x->Parent(), x, y);
  y->right = x;
  x->SetParent(y);
}

// Restores the red-black rules after `node` was linked in red.
void InsertFixup(StructureNode*& root, StructureNode* node) noexcept {
  for (StructureNode* parent = node->Parent(); parent != nullptr && parent->Red();
       parent = node->Parent()) {
    StructureNode* grand = parent->Parent();
    const bool parentIsLeft = parent == grand->left;
    StructureNode* uncle = parentIsLeft ? grand->right : grand->left;
    if (uncle != nullptr && uncle->Red()) {
      parent->SetRed(false);
      uncle->SetRed(false);
      grand->SetRed(true);
      node = grand;
      continue;
    }
    if (parentIsLeft) {
      if (node == parent->right) {
        RotateLeft(root, parent);
        parent = node;
      }
      RotateRight(root, grand);
    } else {
      if (node == parent->left) {
        RotateRight(root, parent);
        parent = node;
      }
      RotateLeft(root, grand);
    }
    parent->SetRed(false);
    grand->SetRed(true);
    break;
  }
  root->SetRed(false);
}

// Links a new node for `key` (already interned) below `parent` on the side given by `link`.
StructureNode* LinkNode(StructureMap& map, ValueContext* context, InternedString* key,
                        const KeyPrefix& prefix, StructureNode* parent, StructureNode** link) {
  StructureNode* node;
  try {
    node = context->Slab().New<StructureNode>(key, prefix, context);
  } catch (...) {
    ReleaseString(context, key);
    throw;
  }
  node->SetParent(parent);
  *link = node;
  if (map.first == nullptr || (parent == map.first && link == &parent->left)) map.first = node;
  if (map.last == nullptr || (parent == map.last && link == &parent->right)) map.last = node;
  ++map.count;
  InsertFixup(map.root, node);
  return node;
}

}  // namespace

// Gives copied strings their record in the destination tree: the same record, counted once
// more, within one tree; otherwise the record of the destination's table. Documents repeat
// their keys and many values, so a small memo of recently copied source records saves the
// table lookup for repeats.
class StringCopier {
 public:
  StringCopier(ValueContext* to, const ValueContext* from) noexcept
      : strings_(to->Strings()), sameTree_(to == from) {}

  InternedString* Copy(InternedString* record) {
    if (record == &InternTable::Empty()) return record;
    if (sameTree_) {
      ++record->refCount;
      return record;
    }
    Slot& slot = memo_[(reinterpret_cast<uintptr_t>(record) >> 4) % kMemoSize];
    if (slot.from == record) {
      ++slot.to->refCount;
      return slot.to;
    }
    InternedString* copy = strings_.Intern(record->Text(), record->hash);
    slot = Slot{record, copy};
    return copy;
  }

 private:
  struct Slot {
    const InternedString* from = nullptr;
    InternedString* to = nullptr;  // counted by the copy, so alive while copying goes on
  };
  static constexpr size_t kMemoSize = 64;

  InternTable& strings_;
  bool sameTree_;
  Slot memo_[kMemoSize] = {};
};

// Access to the private parts of values for the storage helpers below.
class ValueTreeAccess {
 public:
  // Destroys a slab object. While the whole tree is torn down its slots are not given back one
  // by one: the slab allocator releases all its pages at once when the context goes.
  template <typename T>
  static void DeleteSlot(ValueContext* context, T* object) noexcept {
    if (context->TearingDown()) {
      object->~T();
    } else {
      context->Slab().Delete(object);
    }
  }

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

  static void DestroyStructure(ValueContext* context, StructureMap* map) noexcept {
    // Flattening rotations instead of recursion: each left child is rotated up until the node
    // has none, then the node is destroyed and its right subtree taken next.
    StructureNode* node = map->root;
    while (node != nullptr) {
      if (StructureNode* left = node->left; left != nullptr) {
        node->left = left->right;
        left->right = node;
        node = left;
      } else {
        StructureNode* right = node->right;
        ReleaseString(context, node->key);
        DeleteSlot(context, node);
        node = right;
      }
    }
    DeleteSlot(context, map);
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

  // The node for `key`, inserting an empty member when it is missing. `hash`, when given, is
  // the key's FNV-1a hash. A key beyond the largest present one is appended without a search,
  // so members added in key order cost no comparisons on the way down.
  static StructureNode* FindOrInsert(ValueContext* context, StructureMap& map, std::string_view key,
                                     const uint32_t* hash = nullptr) {
    const KeyPrefix prefix(key);
    auto intern = [&] {
      return hash != nullptr ? context->Strings().Intern(key, *hash)
                             : context->Strings().Intern(key);
    };
    if (map.last != nullptr && CompareKeys(key, prefix, *map.last) > 0) {
      return LinkNode(map, context, intern(), prefix, map.last, &map.last->right);
    }
    StructureNode* parent = nullptr;
    StructureNode** link = &map.root;
    while (*link != nullptr) {
      parent = *link;
      const int order = CompareKeys(key, prefix, *parent);
      if (order == 0) return parent;
      link = order < 0 ? &parent->left : &parent->right;
    }
    return LinkNode(map, context, intern(), prefix, parent, link);
  }

  static const StructureNode* Find(const StructureMap& map, std::string_view key) noexcept {
    const KeyPrefix prefix(key);
    const StructureNode* node = map.root;
    while (node != nullptr) {
      const int order = CompareKeys(key, prefix, *node);
      if (order == 0) return node;
      node = order < 0 ? node->left : node->right;
    }
    return nullptr;
  }

  // Gives the empty `map` the members of `from`, cloning the tree's shape and colours, so no
  // key is compared and nothing is rebalanced. Iterative, so only value nesting adds stack.
  static void CloneStructure(ValueContext* context, StructureMap& map, const StructureMap& from,
                             StringCopier& strings) {
    if (from.root == nullptr) return;
    SlabAllocator& slab = context->Slab();
    auto cloneNode = [&](const StructureNode* source, StructureNode* parent) {
      // Nodes and records are scattered over the heap: start loading the records of the
      // children (whose nodes were requested one step earlier) and the grandchildren's nodes
      // while this node is copied.
      for (const StructureNode* child : {source->left, source->right}) {
        if (child == nullptr) continue;
        __builtin_prefetch(child->key);
        __builtin_prefetch(child->value.payload_.string);
        __builtin_prefetch(child->left);
        __builtin_prefetch(child->right);
      }
      InternedString* key = strings.Copy(source->key);
      StructureNode* node;
      try {
        node = slab.New<StructureNode>(key, source->prefix, context);
      } catch (...) {
        ReleaseString(context, key);
        throw;
      }
      node->parentAndColour = reinterpret_cast<uintptr_t>(parent) | (source->parentAndColour & 1);
      ++map.count;
      return node;
    };
    // Every node is linked into the tree before its value is filled in, so a failure part way
    // leaves a tree that destruction can take apart.
    const StructureNode* source = from.root;
    StructureNode* node = map.root = cloneNode(source, nullptr);
    node->value.CopyContentFrom(source->value, strings);
    for (;;) {
      if (source->left != nullptr && node->left == nullptr) {
        source = source->left;
        node = node->left = cloneNode(source, node);
      } else if (source->right != nullptr && node->right == nullptr) {
        source = source->right;
        node = node->right = cloneNode(source, node);
      } else {
        source = source->Parent();
        node = node->Parent();
        if (node == nullptr) break;
        continue;
      }
      node->value.CopyContentFrom(source->value, strings);
    }
    map.first = Leftmost(map.root);
    StructureNode* rightmost = map.root;
    while (rightmost->right != nullptr)
      rightmost = rightmost->right;
    map.last = rightmost;
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
      ValueTreeAccess::DeleteSlot(context_, payload_.blob);
      context_->RemoveBlob();
      break;
    case ValueKind::Enum:
      ValueTreeAccess::DeleteSlot(context_, payload_.enumValue);
      break;
    case ValueKind::Collection:
      ValueTreeAccess::DestroyCollection(context_, payload_.collection);
      break;
    case ValueKind::Structure:
      ValueTreeAccess::DestroyStructure(context_, payload_.structure);
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
      ValueTreeAccess::CloneStructure(context_, StructureRef(), *source.payload_.structure,
                                      strings);
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
  return kind_ == ValueKind::Structure && ValueTreeAccess::Find(*payload_.structure, key);
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
  const StructureNode* node = ValueTreeAccess::Find(*payload_.structure, key);
  return node != nullptr ? node->value : Null();
}

BindingProperty& BindingProperty::Get(std::string_view key, uint32_t keyHash) {
  assert(keyHash == Fnv1a(key));
  if (kind_ != ValueKind::Structure) return Get(key);
  return ValueTreeAccess::FindOrInsert(context_, *payload_.structure, key, &keyHash)->value;
}

BindingProperty& BindingProperty::Get(std::string_view key) {
  if (kind_ == ValueKind::Structure) {
    return ValueTreeAccess::FindOrInsert(context_, *payload_.structure, key)->value;
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
  return LinkNode(*map, context_, record, KeyPrefix(record->Text()), nullptr, &map->root)->value;
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
