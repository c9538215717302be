// TreeBuilder: the slot/stack bookkeeping with which every decoder (JSON, MessagePack, YAML)
// fills a BindingProperty in place, one parse event at a time, with no intermediate tree.
// Invariants: the stack holds the open containers, innermost last, never more than kMaxDepth;
// a Begin* that would open container number kMaxDepth + 1 returns false and changes nothing,
// so the decoder stops before its own recursion or frame stack can grow further.
// Not a parser and not for building values by hand (use BindingProperty's setters for that).
//
// A builder made with ElementPlacement::Deferred gathers the elements of each open collection on
// an ElementStack and places them when the collection closes, in one array of exactly their
// count (JSON, which learns a collection's size only at its end). While such a collection is
// open, it reads as empty and elements already filled cannot be reached through it.
//
// Usage by a decoder, per event:
//   value:         builder.Slot().SetUnsigned(n);   (then nothing; the slot is consumed)
//   open:          if (!builder.BeginCollection()) { fail "Nesting is too deep." }
//   close:         builder.End();
//   structure key: builder.Key(text);  (selects or creates the member; a repeated key reuses it)
//
// How the other decoders use it:
// - MessagePack merges a map over an earlier map and an array over an earlier array: it opens
//   containers with ContainerMode::Keep, which keeps an existing structure's members (a repeated
//   key then lands on the old member) and an existing collection's elements, which it addresses
//   by index (Element) so that they are overwritten from the first. Its element and pair counts
//   stay in the MessagePack loop, which calls End() when a count runs out.
// - YAML: a scalar arriving while AwaitingKey() is true becomes the key (Key(text)); the loop
//   keeps, beside each open container, its anchors and how it is reached from the root.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/element_stack.h"

namespace Oxle::Client::Codec {

// How Begin* treats a slot that already holds a container of the same kind.
enum class ContainerMode : unsigned char {
  Replace,  // always start empty (JSON, YAML: a later value replaces an earlier one)
  Keep,     // keep what is there and add to it (MessagePack's merge of repeated maps/arrays)
};

// Where the elements of a collection go while it is filled.
enum class ElementPlacement : unsigned char {
  InPlace,   // appended to the collection one by one: Innermost() sees them
  Deferred,  // gathered aside and placed when the collection closes (see above)
};

class TreeBuilder {
 public:
  // The deepest nesting of collections and structures any decoder accepts.
  static constexpr size_t kMaxDepth = 512;

  // Fills `root`, which must outlive the builder. `root` is not cleared.
  explicit TreeBuilder(Binding::BindingProperty& root,
                       ElementPlacement placement = ElementPlacement::InPlace);
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  // The value the next value event fills: a new element appended to an innermost collection,
  // the member the preceding Key selected in an innermost structure, or the root at top level.
  // Precondition: !AwaitingKey(). The reference is valid until the next event.
  [[nodiscard]] Binding::BindingProperty& Slot();

  // Make the slot a collection / structure and open it. False, with nothing changed, when that
  // would nest deeper than kMaxDepth.
  [[nodiscard]] bool BeginCollection(ContainerMode mode = ContainerMode::Replace);
  [[nodiscard]] bool BeginStructure(ContainerMode mode = ContainerMode::Replace);
  // Closes the innermost open container. Precondition: Depth() > 0. Throws std::bad_alloc when
  // a deferred collection's elements cannot be placed.
  void End();

  // Selects (creating when missing) the member `key` of the innermost structure as the slot of
  // the next value event. Precondition: the innermost open container is a structure.
  void Key(std::string_view key);

  // Selects element `index` of the innermost collection (created, with any before it, when
  // missing) as the slot of the next value event, instead of a new element: how a container
  // decoded over an earlier one overwrites it from the start. Precondition: the innermost open
  // container is a collection, `index` is below BindingProperty::kMaxElements, and elements are
  // placed in place.
  void Element(size_t index);

  // Makes room for `count` elements in the innermost open collection (a count the decoder knows
  // is backed by its input). Precondition: count <= BindingProperty::kMaxElements.
  void ReserveElements(size_t count) {
    if (!stack_.empty() && stack_.back().firstElement == kInPlace)
      Container(stack_.back()).Reserve(count);
  }

  // The innermost open container, or null at top level.
  [[nodiscard]] const Binding::BindingProperty* Innermost() const noexcept {
    return stack_.empty() ? nullptr : &Container(stack_.back());
  }

  // The number of open containers.
  [[nodiscard]] size_t Depth() const noexcept { return stack_.size(); }
  // True when the innermost open container is a structure and no key has selected a member.
  [[nodiscard]] bool AwaitingKey() const noexcept {
    return !stack_.empty() && stack_.back().kind == Binding::ValueKind::Structure &&
           member_ == nullptr;
  }

 private:
  static constexpr size_t kInPlace = static_cast<size_t>(-1);

  // An open container: at a fixed address, or (inside a deferred collection) on the element
  // stack, whose entries move as it grows.
  struct Frame {
    Binding::BindingProperty* fixed;  // null when the container is on the element stack
    size_t stackIndex;                // its index there otherwise
    size_t firstElement;              // a deferred collection's first element; kInPlace else
    Binding::ValueKind kind;
  };

  [[nodiscard]] Binding::BindingProperty& Container(const Frame& frame) const noexcept {
    return frame.fixed != nullptr ? *frame.fixed : (*elements_)[frame.stackIndex];
  }
  // The slot of the next value, and where it lies (see Frame).
  [[nodiscard]] Frame NextSlot();
  [[nodiscard]] bool Open(Binding::ValueKind kind, ContainerMode mode);

  Binding::BindingProperty& root_;
  const ElementPlacement placement_;
  // Open containers, innermost last. Only the innermost container is ever added to, and a
  // structure's members live in fixed nodes, so a fixed address stays valid while it is open.
  std::vector<Frame> stack_;
  // The member a key selected and no value has filled yet; null otherwise.
  Binding::BindingProperty* member_ = nullptr;
  // The elements of open deferred collections; made with the first of them.
  std::unique_ptr<Binding::ElementStack> elements_;
};

}  // namespace Oxle::Client::Codec
