#include "binding/value/binding_property.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include "binding/value/base64.h"
#include "binding/value/value_context.h"
#include "binding/value/value_storage.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client::Binding {
namespace {

void ReleaseString(ValueContext* context, InternedString* record) noexcept {
  if (record != &InternTable::Empty()) context->Strings().Release(record);
}

int CompareKeys(std::string_view a, const InternedString& b) noexcept {
  // Byte order, bytes compared as unsigned, a proper prefix first.
  return a.compare(std::string_view(b.text));
}

StructureNode* Successor(StructureNode* node) noexcept {
  if (node->right != nullptr) {
    node = node->right;
    while (node->left != nullptr)
      node = node->left;
    return node;
  }
  StructureNode* parent = node->parent;
  while (parent != nullptr && node == parent->right) {
    node = parent;
    parent = parent->parent;
  }
  return parent;
}

void RotateLeft(StructureNode*& root, StructureNode* x) noexcept {
  StructureNode* y = x->right;
  x->right = y->left;
  if (y->left != nullptr) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    root = y;
  } else if (x == x->parent->left) {
    x->parent->left = y;
  } else {
    x->parent->right = y;
  }
  y->left = x;
  x->parent = y;
}

void RotateRight(StructureNode*& root, StructureNode* x) noexcept {
  StructureNode* y = x->left;
  x->left = y->right;
  if (y->right != nullptr) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    root = y;
  } else if (x == x->parent->right) {
    x->parent->right = y;
  } else {
    x->parent->left = y;
  }
  y->right = x;
  x->parent = y;
}

// Restores the red-black rules after `node` was linked in red.
void InsertFixup(StructureNode*& root, StructureNode* node) noexcept {
  while (node->parent != nullptr && node->parent->red) {
    StructureNode* parent = node->parent;
    StructureNode* grand = parent->parent;
    if (parent == grand->left) {
      StructureNode* uncle = grand->right;
      if (uncle != nullptr && uncle->red) {
        parent->red = false;
        uncle->red = false;
        grand->red = true;
        node = grand;
        continue;
      }
      if (node == parent->right) {
        node = parent;
        RotateLeft(root, node);
        parent = node->parent;
      }
      parent->red = false;
      grand->red = true;
      RotateRight(root, grand);
    } else {
      StructureNode* uncle = grand->left;
      if (uncle != nullptr && uncle->red) {
        parent->red = false;
        uncle->red = false;
        grand->red = true;
        node = grand;
        continue;
      }
      if (node == parent->left) {
        node = parent;
        RotateRight(root, node);
        parent = node->parent;
      }
      parent->red = false;
      grand->red = true;
      RotateLeft(root, grand);
    }
  }
  root->red = false;
}

// Links a new node for `key` (already interned) below `parent` on the side given by `link`.
StructureNode* LinkNode(StructureMap& map, ValueContext* context, InternedString* key,
                        StructureNode* parent, StructureNode** link) {
  StructureNode* node;
  try {
    node = context->Slab().New<StructureNode>(key, context);
  } catch (...) {
    ReleaseString(context, key);
    throw;
  }
  node->parent = parent;
  *link = node;
  if (map.first == nullptr || (parent == map.first && link == &parent->left)) map.first = node;
  ++map.count;
  InsertFixup(map.root, node);
  return node;
}

}  // namespace

// Access to the private parts of values for the storage helpers below.
class ValueTreeAccess {
 public:
  static void DestroyCollection(ValueContext* context, CollectionStorage* storage) noexcept {
    for (BindingProperty* element = storage->begin; element != storage->end; ++element) {
      element->~BindingProperty();
    }
    ::operator delete(storage->begin);
    context->Slab().Delete(storage);
  }

  static void DestroyStructure(ValueContext* context, StructureMap* map) noexcept {
    // Flattening rotations instead of recursion: each left child is rotated up until the node
    // has none, then the node is destroyed and its right subtree taken next.
    SlabAllocator& slab = context->Slab();
    StructureNode* node = map->root;
    while (node != nullptr) {
      if (StructureNode* left = node->left; left != nullptr) {
        node->left = left->right;
        left->right = node;
        node = left;
      } else {
        StructureNode* right = node->right;
        ReleaseString(context, node->key);
        slab.Delete(node);
        node = right;
      }
    }
    slab.Delete(map);
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
    auto* fresh = static_cast<BindingProperty*>(::operator new(grown * sizeof(BindingProperty)));
    // Values hold no pointers to themselves, so relocation is a field-wise transfer.
    BindingProperty* out = fresh;
    for (BindingProperty* element = storage.begin; element != storage.end; ++element, ++out) {
      auto* moved = ::new (out) BindingProperty(BindingProperty::ChildTag::kChild, context);
      moved->payload_ = element->payload_;
      moved->kind_ = element->kind_;
    }
    ::operator delete(storage.begin);
    storage.capacityEnd = fresh + grown;
    storage.end = out;
    storage.begin = fresh;
  }

  static BindingProperty& AppendEmpty(ValueContext* context, CollectionStorage& storage) {
    if (storage.end == storage.capacityEnd) Grow(context, storage, storage.Size() + 1);
    auto* element = ::new (storage.end) BindingProperty(BindingProperty::ChildTag::kChild, context);
    ++storage.end;
    return *element;
  }

  // The node for `key`, inserting an empty member when it is missing.
  static StructureNode* FindOrInsert(ValueContext* context, StructureMap& map,
                                     std::string_view key) {
    StructureNode* parent = nullptr;
    StructureNode** link = &map.root;
    while (*link != nullptr) {
      parent = *link;
      const int order = CompareKeys(key, *parent->key);
      if (order == 0) return parent;
      link = order < 0 ? &parent->left : &parent->right;
    }
    return LinkNode(map, context, context->Strings().Intern(key), parent, link);
  }

  // Appends a member whose key sorts after every present key (copying a structure in order).
  static StructureNode* AppendLast(ValueContext* context, StructureMap& map, InternedString* key) {
    StructureNode* parent = map.root;
    StructureNode** link = &map.root;
    if (parent != nullptr) {
      while (parent->right != nullptr)
        parent = parent->right;
      link = &parent->right;
    }
    return LinkNode(map, context, key, parent, link);
  }

  static const StructureNode* Find(const StructureMap& map, std::string_view key) noexcept {
    const StructureNode* node = map.root;
    while (node != nullptr) {
      const int order = CompareKeys(key, *node->key);
      if (order == 0) return node;
      node = order < 0 ? node->left : node->right;
    }
    return nullptr;
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
  CopyContentFrom(other);
}

BindingProperty::BindingProperty(BindingProperty&& other) {
  *this = std::move(other);
}

BindingProperty::~BindingProperty() {
  ClearContent();
  if (owner_ != 0) delete context_;
}

ValueContext& BindingProperty::EnsureContext() {
  if (context_ == nullptr) context_ = new ValueContext();
  return *context_;
}

void BindingProperty::ClearContent() noexcept {
  switch (kind_) {
    case ValueKind::String:
      ReleaseString(context_, payload_.string);
      break;
    case ValueKind::Blob:
      context_->Slab().Delete(payload_.blob);
      break;
    case ValueKind::Enum:
      context_->Slab().Delete(payload_.enumValue);
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

void BindingProperty::Clear() noexcept {
  ClearContent();
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
  switch (source.kind_) {
    case ValueKind::Empty:
      return;
    case ValueKind::String: {
      InternedString* record = source.payload_.string;
      if (record != &InternTable::Empty()) {
        if (source.context_ == context_) {
          ++record->refCount;
        } else {
          record = EnsureContext().Strings().Intern(record->text, record->hash);
        }
      }
      payload_.string = record;
      kind_ = ValueKind::String;
      return;
    }
    case ValueKind::Blob:
      payload_.blob = EnsureContext().Slab().New<Blob>(*source.payload_.blob);
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
        ValueTreeAccess::AppendEmpty(context_, storage).CopyContentFrom(*element);
      }
      return;
    }
    case ValueKind::Structure: {
      StructureMap& map = StructureRef();
      const bool sameTree = source.context_ == context_;
      for (StructureNode* node = source.payload_.structure->first; node != nullptr;
           node = Successor(node)) {
        InternedString* key = node->key;
        if (key != &InternTable::Empty()) {
          if (sameTree) {
            ++key->refCount;
          } else {
            key = context_->Strings().Intern(key->text, key->hash);
          }
        }
        ValueTreeAccess::AppendLast(context_, map, key)->value.CopyContentFrom(node->value);
      }
      return;
    }
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

void BindingProperty::SetBool(bool value) {
  ClearContent();
  payload_.boolean = value;
  kind_ = ValueKind::Bool;
}

void BindingProperty::SetSigned(int64_t value) {
  ClearContent();
  payload_.signedValue = value;
  kind_ = ValueKind::Signed;
}

void BindingProperty::SetUnsigned(uint64_t value) {
  ClearContent();
  payload_.unsignedValue = value;
  kind_ = ValueKind::Unsigned;
}

void BindingProperty::SetFloat(double value) {
  ClearContent();
  payload_.floatValue = value;
  kind_ = ValueKind::Float;
}

void BindingProperty::SetString(std::string_view text) {
  // Interned before clearing: the text may be this value's own.
  InternedString* record =
      text.empty() ? &InternTable::Empty() : EnsureContext().Strings().Intern(text);
  ClearContent();
  payload_.string = record;
  kind_ = ValueKind::String;
}

void BindingProperty::SetString(const char* text) {
  SetString(text != nullptr ? std::string_view(text) : std::string_view());
}

void BindingProperty::SetString(std::string&& text) {
  InternedString* record =
      text.empty() ? &InternTable::Empty() : EnsureContext().Strings().Intern(std::move(text));
  ClearContent();
  payload_.string = record;
  kind_ = ValueKind::String;
}

void BindingProperty::SetBlob(std::span<const uint8_t> bytes) {
  Blob* blob = EnsureContext().Slab().New<Blob>(bytes.begin(), bytes.end());
  ClearContent();
  payload_.blob = blob;
  kind_ = ValueKind::Blob;
}

void BindingProperty::SetBlob(Blob&& bytes) {
  Blob* blob = EnsureContext().Slab().New<Blob>(std::move(bytes));
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

bool BindingProperty::GetBool(bool fallback) const noexcept {
  return kind_ == ValueKind::Bool ? payload_.boolean : fallback;
}

int64_t BindingProperty::GetSigned(int64_t fallback) const noexcept {
  return kind_ == ValueKind::Signed ? payload_.signedValue : fallback;
}

uint64_t BindingProperty::GetUnsigned(uint64_t fallback) const noexcept {
  return kind_ == ValueKind::Unsigned ? payload_.unsignedValue : fallback;
}

double BindingProperty::GetFloat(double fallback) const noexcept {
  return kind_ == ValueKind::Float ? payload_.floatValue : fallback;
}

const std::string& BindingProperty::GetString() const noexcept {
  return kind_ == ValueKind::String ? payload_.string->text : InternTable::Empty().text;
}

std::string_view BindingProperty::GetString(std::string_view fallback) const noexcept {
  return kind_ == ValueKind::String ? std::string_view(payload_.string->text) : fallback;
}

const Blob& BindingProperty::GetBlob() const noexcept {
  return GetBlob(EmptyBlob());
}

const Blob& BindingProperty::GetBlob(const Blob& fallback) const noexcept {
  return kind_ == ValueKind::Blob ? *payload_.blob : fallback;
}

EnumValue BindingProperty::GetEnum(EnumValue fallback) const noexcept {
  return kind_ == ValueKind::Enum ? *payload_.enumValue : fallback;
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
      return payload_.string->text.size();
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
      const std::string& text = payload_.string->text;
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
      return payload_.string->text;
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

BindingProperty& BindingProperty::Append() {
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
  return LinkNode(*map, context_, record, nullptr, &map->root)->value;
}

std::span<const BindingProperty> BindingProperty::Elements() const noexcept {
  if (kind_ != ValueKind::Collection) return {};
  return {payload_.collection->begin, payload_.collection->end};
}

std::span<BindingProperty> BindingProperty::Elements() noexcept {
  if (kind_ != ValueKind::Collection) return {};
  return {payload_.collection->begin, payload_.collection->end};
}

BindingProperty::MemberRange<true> BindingProperty::Members() const noexcept {
  if (kind_ != ValueKind::Structure) return {nullptr, 0};
  return {payload_.structure->first, payload_.structure->count};
}

BindingProperty::MemberRange<false> BindingProperty::Members() noexcept {
  if (kind_ != ValueKind::Structure) return {nullptr, 0};
  return {payload_.structure->first, payload_.structure->count};
}

template <bool kConst>
MemberView<kConst> BindingProperty::MemberIterator<kConst>::operator*() const noexcept {
  return {node_->key->text, node_->value};
}

template <bool kConst>
BindingProperty::MemberIterator<kConst>&
BindingProperty::MemberIterator<kConst>::operator++() noexcept {
  node_ = Successor(node_);
  return *this;
}

template class BindingProperty::MemberIterator<true>;
template class BindingProperty::MemberIterator<false>;

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
      visitor.OnString(payload_.string->text);
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
        const std::string_view key = node->key->text;
        visitor.BeginMember(key);
        node->value.Accept(visitor);
        visitor.EndMember(key);
      }
      visitor.EndStructure();
      return;
  }
}

}  // namespace Oxle::Client::Binding
