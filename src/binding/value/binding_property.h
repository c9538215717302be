// BindingProperty: the one dynamically typed value of the framework.
//
// A value is empty, a scalar (bool, signed, unsigned, float), a string, a blob, an enum, a
// collection (elements by value, in index order) or a structure (members ordered by the bytes of
// their keys). Every value belongs to a tree: the free-standing root owns the tree's
// ValueContext (interned strings and slab allocator), created lazily by the first operation that
// needs heap storage; elements and members borrow it.
//
// Usage:
//   BindingProperty body;
//   body.Get("gameId").SetUnsigned(42);          // mutable Get turns body into a structure
//   body.Get("teams").At(1).SetString("red");    // mutable At grows the collection
//   uint64_t id = body.Get("gameId").GetUnsigned(0);
//
// Reads never fail: a wrong kind or a missing index or key gives the caller's default or the
// shared, immutable null value. Readers never convert between kinds (conversions live with the
// native-conversion layer). A reference to an element or member is invalidated by anything that
// changes its parent's storage: appending, growing through At, clearing or re-kinding.
//
// Thread rules: a tree is used by one thread at a time and takes no lock. The shared null value
// and the shared empty string are immutable and may be read from any thread.
//
// Recursive operations (copy, destruction, Accept, the aliasing check of a move) recurse once per
// nesting level with small frames; callers that accept untrusted input bound the nesting depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/type_id.h"

namespace Oxle::Client::Binding {

class ValueContext;
class ValueVisitor;
struct InternedString;
struct CollectionStorage;
struct StructureMap;
struct StructureNode;
class StringCopier;
class ElementStack;

// The kind of a value, an 8-bit code.
enum class ValueKind : uint8_t {
  Empty = 0,
  Bool = 1,
  Signed = 2,
  Unsigned = 3,
  Float = 4,
  String = 5,
  Blob = 6,
  Enum = 7,
  Collection = 8,
  Structure = 9,
};

// The bytes of a blob value.
using Blob = std::vector<uint8_t>;

// The payload of an enum value: the enumerator and the identity of its enum type.
struct EnumValue {
  int32_t value = 0;
  const TypeId* type = nullptr;
};

class BindingProperty {
 public:
  // The most elements a collection may hold; more is a std::length_error.
  static constexpr size_t kMaxElements = 0x0FFFFFFF;

  // An empty root value. No context is created until one is needed.
  BindingProperty() noexcept = default;
  // Deep copy into a new root (strings are re-interned in the new tree).
  BindingProperty(const BindingProperty& other);
  // An empty root, then move-assignment: O(1) from a root, a deep copy from an element or member.
  BindingProperty(BindingProperty&& other);
  // Deep copy. The source may live in another tree, or inside this value's own tree.
  BindingProperty& operator=(const BindingProperty& other);
  // Between two roots the contents and contexts are exchanged and the source is then cleared;
  // otherwise the content is copied (or, inside one tree, taken over) and the source cleared.
  BindingProperty& operator=(BindingProperty&& other);
  ~BindingProperty();

  // Setters replace the content (clearing it first).
  void SetBool(bool value) noexcept {
    ClearIfHeap();
    payload_.boolean = value;
    kind_ = ValueKind::Bool;
  }
  void SetSigned(int64_t value) noexcept {
    ClearIfHeap();
    payload_.signedValue = value;
    kind_ = ValueKind::Signed;
  }
  void SetUnsigned(uint64_t value) noexcept {
    ClearIfHeap();
    payload_.unsignedValue = value;
    kind_ = ValueKind::Unsigned;
  }
  void SetFloat(double value) noexcept {
    ClearIfHeap();
    payload_.floatValue = value;
    kind_ = ValueKind::Float;
  }
  // The text is interned in the tree's table (copied once per distinct text).
  void SetString(std::string_view text);
  void SetString(const char* text) {  // null means the empty string
    SetString(text != nullptr ? std::string_view(text) : std::string_view());
  }
  void SetBlob(std::span<const uint8_t> bytes);
  // Takes the bytes over without copying them.
  void SetBlob(Blob&& bytes);
  void SetEnum(int32_t value, const TypeId& type);
  // Turn the value into an empty collection / structure, unless it already is one.
  BindingProperty& MakeCollection();
  BindingProperty& MakeStructure();
  // Frees the content; the kind becomes empty. A root keeps its context.
  void Clear() noexcept {
    ClearIfHeap();
    kind_ = ValueKind::Empty;
    payload_.unsignedValue = 0;
  }

  // Strict readers: the payload when the kind matches exactly, else the default.
  [[nodiscard]] bool GetBool(bool fallback) const noexcept {
    return kind_ == ValueKind::Bool ? payload_.boolean : fallback;
  }
  [[nodiscard]] int64_t GetSigned(int64_t fallback) const noexcept {
    return kind_ == ValueKind::Signed ? payload_.signedValue : fallback;
  }
  [[nodiscard]] uint64_t GetUnsigned(uint64_t fallback) const noexcept {
    return kind_ == ValueKind::Unsigned ? payload_.unsignedValue : fallback;
  }
  [[nodiscard]] double GetFloat(double fallback) const noexcept {
    return kind_ == ValueKind::Float ? payload_.floatValue : fallback;
  }
  // The interned text (followed by a NUL in memory), or `fallback`, which must outlive the
  // result.
  [[nodiscard]] std::string_view GetString(std::string_view fallback = {}) const noexcept;
  // The bytes, or `fallback` (a shared empty blob by default).
  [[nodiscard]] const Blob& GetBlob() const noexcept;
  [[nodiscard]] const Blob& GetBlob(const Blob& fallback) const noexcept {
    return kind_ == ValueKind::Blob ? *payload_.blob : fallback;
  }
  [[nodiscard]] EnumValue GetEnum(EnumValue fallback = {}) const noexcept {
    return kind_ == ValueKind::Enum ? *payload_.enumValue : fallback;
  }

  [[nodiscard]] ValueKind Kind() const noexcept { return kind_; }
  // "empty", "bool", ... "structure"; the empty text for a code outside 0-9.
  [[nodiscard]] static const char* KindName(ValueKind kind) noexcept;
  // 0 for empty, the byte length of a string or blob, the element or member count of a
  // collection or structure, and 1 for the other scalars.
  [[nodiscard]] size_t Size() const noexcept;
  // True when this is a structure with that key.
  [[nodiscard]] bool Has(std::string_view key) const noexcept;
  [[nodiscard]] bool IsRoot() const noexcept { return owner_ != 0; }

  // Truth: false for empty; the flag; number != 0 (NaN is true); the string "true" or "1";
  // a non-empty blob, collection or structure; enumerator != 0.
  [[nodiscard]] bool ToBool() const noexcept;
  // Text: "true"/"false"; decimal integers; printf "%f" for floats; the string itself; base64
  // for blobs; the enumerator in decimal; the empty string for empty, collection and structure.
  [[nodiscard]] std::string ToString() const;

  // The element at `index`, or the null value when this is not a collection or too short.
  [[nodiscard]] const BindingProperty& At(size_t index) const noexcept;
  // Turns a non-collection into an empty collection and appends empty elements until `index`
  // exists. More than kMaxElements elements is a std::length_error.
  BindingProperty& At(size_t index);
  // Turns a non-collection into an empty collection and appends one empty element.
  BindingProperty& Append();
  // Room for `count` elements when this is a collection; nothing for other kinds.
  void Reserve(size_t count);

  // The member `key`, or the null value when this is not a structure or has no such key.
  [[nodiscard]] const BindingProperty& Get(std::string_view key) const noexcept;
  [[nodiscard]] const BindingProperty& Get(const char* key) const noexcept {
    return Get(std::string_view(key != nullptr ? key : ""));
  }
  // Turns a non-structure into an empty structure and inserts `key` with an empty value when
  // missing. The empty key is a valid key.
  BindingProperty& Get(std::string_view key);
  BindingProperty& Get(const char* key) { return Get(std::string_view(key != nullptr ? key : "")); }
  // The same with the key's FNV-1a hash already known (a registered field's name hash, say).
  BindingProperty& Get(std::string_view key, uint32_t keyHash);

  // Elements in index order (empty unless this is a collection).
  [[nodiscard]] std::span<const BindingProperty> Elements() const noexcept;
  [[nodiscard]] std::span<BindingProperty> Elements() noexcept;

  // Members in key order (empty unless this is a structure).
  template <bool kConst>
  class MemberIterator;
  template <bool kConst>
  class MemberRange;
  [[nodiscard]] MemberRange<true> Members() const noexcept;
  [[nodiscard]] MemberRange<false> Members() noexcept;

  // Walks the value depth-first; members in key order.
  void Accept(ValueVisitor& visitor) const;

  // The shared immutable empty value that reads return when they find nothing.
  [[nodiscard]] static const BindingProperty& Null() noexcept;

  // The tree's context, or null while none has been needed yet (for tests and diagnostics).
  [[nodiscard]] const ValueContext* Context() const noexcept { return context_; }

 private:
  friend struct CollectionStorage;
  friend struct StructureMap;
  friend struct StructureNode;
  friend class ValueTreeAccess;
  friend class StringCopier;
  friend class StructureTree;
  friend class ElementStack;

  enum class ChildTag { kChild };
  // An element or member of the tree of `context`.
  BindingProperty(ChildTag, ValueContext* context) noexcept : context_(context), owner_(0) {}

  ValueContext& EnsureContext();
  // Frees heap content; the caller then stores the new kind and payload.
  void ClearIfHeap() noexcept {
    if (kind_ > ValueKind::Float) ClearContent();
  }
  void ClearContent() noexcept;
  // Copies `source` into this empty value.
  void CopyContentFrom(const BindingProperty& source);
  void CopyContentFrom(const BindingProperty& source, StringCopier& strings);
  void ReserveStringsFor(const BindingProperty& source);
  void InstallFrom(BindingProperty& detached) noexcept;
  [[nodiscard]] bool Contains(const BindingProperty* candidate) const noexcept;
  CollectionStorage& CollectionRef();
  StructureMap& StructureRef();
  // Append() when this is no collection yet or its element array is full.
  BindingProperty& AppendGrowing();

  union Payload {
    bool boolean;
    int64_t signedValue;
    uint64_t unsignedValue;
    double floatValue;
    InternedString* string;
    Blob* blob;
    EnumValue* enumValue;
    CollectionStorage* collection;
    StructureMap* structure;
  };

  Payload payload_{.unsignedValue = 0};
  ValueContext* context_ = nullptr;
  ValueKind kind_ = ValueKind::Empty;
  uint8_t owner_ = 1;
};

static_assert(sizeof(void*) != 4 || sizeof(BindingProperty) == 16,
              "a value is 16 bytes on a 32-bit target");
static_assert(sizeof(BindingProperty) <= 24, "a value is at most 24 bytes");

// A member seen through iteration: its key text and its value.
template <bool kConst>
struct MemberView {
  std::string_view key;
  std::conditional_t<kConst, const BindingProperty&, BindingProperty&> value;
};

// Forward iterator over a structure's members in key order.
template <bool kConst>
class BindingProperty::MemberIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = MemberView<kConst>;
  using difference_type = std::ptrdiff_t;

  MemberIterator() noexcept = default;
  explicit MemberIterator(StructureNode* node) noexcept : node_(node) {}
  [[nodiscard]] MemberView<kConst> operator*() const noexcept;
  MemberIterator& operator++() noexcept;
  MemberIterator operator++(int) noexcept {
    MemberIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const MemberIterator& a, const MemberIterator& b) noexcept {
    return a.node_ == b.node_;
  }

 private:
  StructureNode* node_ = nullptr;
};

template <bool kConst>
class BindingProperty::MemberRange {
 public:
  MemberRange(StructureNode* first, size_t count) noexcept : first_(first), count_(count) {}
  [[nodiscard]] MemberIterator<kConst> begin() const noexcept {
    return MemberIterator<kConst>(first_);
  }
  [[nodiscard]] MemberIterator<kConst> end() const noexcept { return MemberIterator<kConst>(); }
  [[nodiscard]] size_t size() const noexcept { return count_; }
  [[nodiscard]] bool empty() const noexcept { return count_ == 0; }

 private:
  StructureNode* first_;
  size_t count_;
};

}  // namespace Oxle::Client::Binding

// The storage layout, for the inline reads defined with it.
#include "binding/value/value_storage.h"  // IWYU pragma: export
