#include "codec/tree_builder.h"

#include <cassert>

namespace Oxle::Client::Codec {

using Binding::BindingProperty;
using Binding::ElementStack;
using Binding::ValueKind;

namespace {
// Most documents nest only a few levels; this avoids regrowing the stack for them.
constexpr size_t kInitialStack = 16;
}  // namespace

TreeBuilder::TreeBuilder(BindingProperty& root, ElementPlacement placement)
    : root_(root), placement_(placement) {
  stack_.reserve(kInitialStack);
}

TreeBuilder::~TreeBuilder() = default;

TreeBuilder::Frame TreeBuilder::NextSlot() {
  if (member_ != nullptr) {
    BindingProperty* selected = member_;
    member_ = nullptr;
    return Frame{selected, 0, kInPlace, ValueKind::Empty};
  }
  if (stack_.empty()) return Frame{&root_, 0, kInPlace, ValueKind::Empty};
  const Frame& innermost = stack_.back();
  assert(innermost.kind == ValueKind::Collection && "a value inside a structure needs a key");
  if (innermost.firstElement != kInPlace) {
    elements_->Push();
    return Frame{nullptr, elements_->Size() - 1, kInPlace, ValueKind::Empty};
  }
  return Frame{&Container(innermost).Append(), 0, kInPlace, ValueKind::Empty};
}

BindingProperty& TreeBuilder::Slot() {
  return Container(NextSlot());
}

bool TreeBuilder::Open(ValueKind kind, ContainerMode mode) {
  if (stack_.size() >= kMaxDepth) return false;
  Frame frame = NextSlot();
  BindingProperty& slot = Container(frame);
  if (mode == ContainerMode::Replace || slot.Kind() != kind) slot.Clear();
  if (kind == ValueKind::Collection) {
    slot.MakeCollection();
    // A collection that already has elements (kept under ContainerMode::Keep) is added to in
    // place.
    if (placement_ == ElementPlacement::Deferred && slot.Size() == 0) {
      if (!elements_) elements_ = std::make_unique<ElementStack>(slot);
      frame.firstElement = elements_->Size();
    }
  } else {
    slot.MakeStructure();
  }
  frame.kind = kind;
  stack_.push_back(frame);
  return true;
}

bool TreeBuilder::BeginCollection(ContainerMode mode) {
  return Open(ValueKind::Collection, mode);
}

bool TreeBuilder::BeginStructure(ContainerMode mode) {
  return Open(ValueKind::Structure, mode);
}

void TreeBuilder::End() {
  assert(!stack_.empty());
  const Frame& innermost = stack_.back();
  if (innermost.firstElement != kInPlace) {
    elements_->MoveInto(Container(innermost), innermost.firstElement);
  }
  stack_.pop_back();
  member_ = nullptr;
}

void TreeBuilder::Element(size_t index) {
  assert(!stack_.empty() && stack_.back().kind == ValueKind::Collection &&
         stack_.back().firstElement == kInPlace);
  member_ = &Container(stack_.back()).At(index);
}

void TreeBuilder::Key(std::string_view key) {
  assert(!stack_.empty() && stack_.back().kind == ValueKind::Structure);
  member_ = &Container(stack_.back()).Get(key);
}

}  // namespace Oxle::Client::Codec
