#include "codec/tree_builder.h"

#include <cassert>

namespace Oxle::Client::Codec {

using Binding::BindingProperty;
using Binding::ValueKind;

namespace {
// Most documents nest only a few levels; this avoids regrowing the stack for them.
constexpr size_t kInitialStack = 16;
}  // namespace

TreeBuilder::TreeBuilder(BindingProperty& root) : root_(root) {
  stack_.reserve(kInitialStack);
}

BindingProperty& TreeBuilder::Slot() {
  if (member_ != nullptr) {
    BindingProperty& selected = *member_;
    member_ = nullptr;
    return selected;
  }
  if (stack_.empty()) return root_;
  BindingProperty& container = *stack_.back();
  assert(container.Kind() == ValueKind::Collection && "a value inside a structure needs a key");
  return container.Append();
}

BindingProperty* TreeBuilder::Open(ValueKind kind, ContainerMode mode) {
  if (stack_.size() >= kMaxDepth) return nullptr;
  BindingProperty& slot = Slot();
  if (mode == ContainerMode::Replace || slot.Kind() != kind) slot.Clear();
  if (kind == ValueKind::Collection) {
    slot.MakeCollection();
  } else {
    slot.MakeStructure();
  }
  stack_.push_back(&slot);
  return &slot;
}

bool TreeBuilder::BeginCollection(ContainerMode mode) {
  return Open(ValueKind::Collection, mode) != nullptr;
}

bool TreeBuilder::BeginStructure(ContainerMode mode) {
  return Open(ValueKind::Structure, mode) != nullptr;
}

void TreeBuilder::End() noexcept {
  assert(!stack_.empty());
  stack_.pop_back();
  member_ = nullptr;
}

void TreeBuilder::Element(size_t index) {
  assert(!stack_.empty() && stack_.back()->Kind() == ValueKind::Collection);
  member_ = &stack_.back()->At(index);
}

void TreeBuilder::Key(std::string_view key) {
  assert(!stack_.empty() && stack_.back()->Kind() == ValueKind::Structure);
  member_ = &stack_.back()->Get(key);
}

}  // namespace Oxle::Client::Codec
