// The red-black tree of structure members: search, insertion with rebalancing, teardown and
// cloning.
#include "binding/value/structure_tree.h"

#include "binding/value/string_copier.h"
#include "binding/value/value_context.h"

namespace Oxle::Client::Binding {

namespace {

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

// The node for `key`, inserting an empty member when it is missing. `hash`, when given, is
// the key's FNV-1a hash. A key beyond the largest present one is appended without a search,
// so members added in key order cost no comparisons on the way down.
StructureNode* StructureTree::FindOrInsert(ValueContext* context, StructureMap& map,
                                           std::string_view key, const uint32_t* hash) {
  const KeyPrefix prefix(key);
  auto intern = [&] {
    return hash != nullptr ? context->Strings().Intern(key, *hash) : context->Strings().Intern(key);
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

StructureNode* StructureTree::InsertFirst(ValueContext* context, StructureMap& map,
                                          InternedString* key) {
  return LinkNode(map, context, key, KeyPrefix(key->Text()), nullptr, &map.root);
}

const StructureNode* StructureTree::Find(const StructureMap& map, std::string_view key) noexcept {
  const KeyPrefix prefix(key);
  const StructureNode* node = map.root;
  while (node != nullptr) {
    const int order = CompareKeys(key, prefix, *node);
    if (order == 0) return node;
    node = order < 0 ? node->left : node->right;
  }
  return nullptr;
}

void StructureTree::Destroy(ValueContext* context, StructureMap* map) noexcept {
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

// Gives the empty `map` the members of `from`, cloning the tree's shape and colours, so no
// key is compared and nothing is rebalanced. Iterative, so only value nesting adds stack.
void StructureTree::Clone(ValueContext* context, StructureMap& map, const StructureMap& from,
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

}  // namespace Oxle::Client::Binding
