#include "codec/yaml.h"

#include <yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/format/positional_format.h"
#include "binding/types/native_conversion.h"
#include "codec/tree_builder.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::FormatToString;
using Binding::ValueKind;
using Binding::ValueResult;

constexpr size_t kMaxAliasValues = 1000000;
// Text that aliases may stand for, counted as if every alias were a full copy: strings share
// their text inside one tree, but JSON writing and host conversion spell every copy out. 64 MiB
// lets a document repeat a megabyte 64 times and keeps what it can expand to within the same
// order as the million values above.
constexpr size_t kMaxAliasBytes = size_t{64} << 20;

constexpr size_t kNoNode = SIZE_MAX;
constexpr uint64_t kUnchecked = UINT64_MAX;

constexpr std::string_view kStrTag = "tag:yaml.org,2002:str";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";
constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";

bool IsOneOf(std::string_view text, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), text) != words.end();
}
bool IsTrueWord(std::string_view text) {
  return IsOneOf(text, {"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON"});
}
bool IsFalseWord(std::string_view text) {
  return IsOneOf(text,
                 {"false", "False", "FALSE", "n", "N", "no", "No", "NO", "off", "Off", "OFF"});
}
bool IsNullWord(std::string_view text) {
  return IsOneOf(text, {"", "~", "null", "Null", "NULL"});
}

std::string_view View(const yaml_char_t* text) {
  return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text))
                         : std::string_view();
}

// How a value is reached from its container.
struct PathStep {
  enum Kind : uint8_t { kIndex = 0, kKey = 1, kRoot = 2 } kind = kRoot;
  size_t index = 0;
  std::string key;
};

// How an alias finds its value. An anchor names a path from the root, kept as a node that
// names its parent, so the anchors below one container share its path and their memory stays
// linear in the input. Until a repeated key replaces a value on that path the anchored value
// stays where it was made (members never move, and a sequence's elements stop moving when it
// closes), so an alias reaches it in O(1) and its size is measured once. A repeated key replaces
// a member's value in place; anchors below it then name whatever the path holds now, and their
// aliases walk the path afresh, paying for the walk like text they copy.
struct PathNode {
  size_t parent = kNoNode;
  size_t depth = 0;  // steps from the root
  PathStep step;
  size_t walkBytes = 0;     // the charge for walking the path again: 1 + the key bytes a step
  uint64_t replacedAt = 0;  // the replacement count when a repeated key last replaced the value
  // The latest replacedAt of this node and its ancestors, as of the count chainCheckedAt.
  uint64_t chainReplacedAt = 0;
  uint64_t chainCheckedAt = kUnchecked;
};

// What a copy of a value holds: its values, its text (strings, blobs and member keys) and the
// depth of its containers.
struct Expansion {
  size_t values = 0;
  size_t bytes = 0;
  size_t height = 0;
};

// What an anchor names: the text of a mapping key, or an anchored value.
struct AnchorRecord {
  bool isKey = false;
  // While set, an alias would copy a node that is not finished: the anchored container is
  // open, or this is the latest key anchor of a mapping that is open.
  bool open = false;
  bool measured = false;  // `size` is known (value anchors)
  std::string keyText;
  size_t node = kNoNode;      // the anchored value's place
  uint64_t registeredAt = 0;  // the replacement count when the anchor was met
  // The anchored value, once its address is final; null while the collection holding it is
  // open and may move its elements.
  const BindingProperty* target = nullptr;
  Expansion size;
};

// What the reader keeps beside each container the tree builder holds open.
struct OpenNode {
  bool sequence = false;
  PathStep step;  // how the container is reached from its parent
  const BindingProperty* self = nullptr;
  size_t node = kNoNode;              // its path node, made when an anchor below needs it
  AnchorRecord* anchor = nullptr;     // the anchor on the container itself
  AnchorRecord* keyAnchor = nullptr;  // the latest anchor on one of its keys (a mapping's)
  // Anchored elements (a sequence's), whose addresses are final once it closes.
  std::vector<AnchorRecord*> elementAnchors;
};

struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

class YamlReader {
 public:
  YamlReader(ValueResult& result, const char* text, size_t length)
      : result_(result), builder_(result.Value()) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text), length);
    anchors_.reserve(8);
    paths_.emplace_back();  // the root
  }
  ~YamlReader() { yaml_parser_delete(&parser_); }
  YamlReader(const YamlReader&) = delete;
  YamlReader& operator=(const YamlReader&) = delete;

  void Run();

 private:
  bool Fail(std::string_view message, const yaml_mark_t& mark) {
    result_.SetError(
        FormatToString("%1 At line: %2 col: %3", message, mark.line + 1, mark.column + 1));
    return false;
  }
  bool FailPlain(std::string_view message) {
    result_.SetError(message);
    return false;
  }

  bool Handle(const yaml_event_t& event);
  bool Scalar(const yaml_event_t& event, bool keyPosition);
  bool TypeScalar(BindingProperty& target, std::string_view tag, std::string_view text,
                  bool quoted);
  bool OpenContainer(const yaml_event_t& event, bool sequence, bool keyPosition);
  void CloseContainer();
  bool Alias(const yaml_event_t& event, bool keyPosition);
  AnchorRecord* AddAnchor(std::string_view name, const yaml_mark_t& mark);
  // Records `value`, just filled (a scalar) or opened (a container, already in open_), as
  // anchored by `record`.
  void PlaceAnchor(AnchorRecord& record, const BindingProperty& value, bool container);
  size_t AddNode(size_t parent, const PathStep& step, const BindingProperty& value);
  // The path node of the innermost open container, made along with any missing above it.
  size_t InnermostNode();
  // The latest replacement on the path to `node`.
  uint64_t ChainReplacedAt(size_t node);
  // The value an alias of `record` copies, or null on failure. `stale` tells whether a repeated
  // key has replaced a value on its path since it was anchored: the path is then walked afresh.
  const BindingProperty* Resolve(const AnchorRecord& record, const yaml_mark_t& mark, bool& stale);
  bool Charge(size_t values, size_t bytes, const yaml_mark_t& mark);
  // Called with the slot a value event fills: a repeated key replaces what it held.
  void NoteReplacement(const BindingProperty& slot);
  void SelectKey(std::string_view key) {
    const size_t before = builder_.Innermost()->Size();
    builder_.Key(key);
    repeatedKey_ = builder_.Innermost()->Size() == before;
    // Assigned in place: the step's text keeps its buffer from key to key.
    slotStep_.kind = PathStep::kKey;
    slotStep_.index = 0;
    slotStep_.key.assign(key);
  }

  ValueResult& result_;
  TreeBuilder builder_;
  yaml_parser_t parser_;
  std::vector<OpenNode> open_;  // beside the builder's open containers, innermost last
  PathStep slotStep_;           // how the value due next is reached from its container
  bool repeatedKey_ = false;    // the key just selected was already a member
  std::unordered_map<std::string, AnchorRecord, NameHash, std::equal_to<>> anchors_;
  std::vector<PathNode> paths_;  // [0] is the root
  // The latest path node made for each member value, so that a repeated key finds it.
  std::unordered_map<const BindingProperty*, size_t> memberNodes_;
  uint64_t replacements_ = 0;
  std::vector<size_t> chain_;  // scratch for walks up the path nodes
  size_t aliasValues_ = 0;
  size_t aliasBytes_ = 0;
};

AnchorRecord* YamlReader::AddAnchor(std::string_view name, const yaml_mark_t& mark) {
  auto [slot, inserted] = anchors_.try_emplace(std::string(name));
  if (!inserted) {
    Fail(FormatToString("Duplicate occurrence of anchor \"%1\".", name), mark);
    return nullptr;
  }
  return &slot->second;
}

size_t YamlReader::AddNode(size_t parent, const PathStep& step, const BindingProperty& value) {
  const size_t id = paths_.size();
  PathNode& node = paths_.emplace_back();
  const PathNode& above = paths_[parent];
  node.parent = parent;
  node.depth = above.depth + 1;
  node.step = step;
  node.walkBytes = above.walkBytes + 1 + step.key.size();
  if (step.kind == PathStep::kKey) memberNodes_[&value] = id;
  return id;
}

size_t YamlReader::InnermostNode() {
  size_t first = open_.size();
  while (open_[first - 1].node == kNoNode)
    --first;
  for (size_t i = first; i < open_.size(); ++i) {
    open_[i].node = AddNode(open_[i - 1].node, open_[i].step, *open_[i].self);
  }
  return open_.back().node;
}

void YamlReader::PlaceAnchor(AnchorRecord& record, const BindingProperty& value, bool container) {
  record.registeredAt = replacements_;
  record.target = &value;
  const size_t parentDepth = open_.size() - (container ? 1 : 0);
  if (parentDepth == 0) {
    record.node = 0;  // the root
    return;
  }
  record.node = container ? InnermostNode() : AddNode(InnermostNode(), slotStep_, value);
  OpenNode& parent = open_[parentDepth - 1];
  if (parent.sequence) {
    record.target = nullptr;
    parent.elementAnchors.push_back(&record);
  }
}

uint64_t YamlReader::ChainReplacedAt(size_t id) {
  chain_.clear();
  for (size_t at = id; at != kNoNode && paths_[at].chainCheckedAt != replacements_;
       at = paths_[at].parent) {
    chain_.push_back(at);
  }
  for (size_t i = chain_.size(); i-- > 0;) {
    PathNode& node = paths_[chain_[i]];
    const uint64_t above = node.parent == kNoNode ? 0 : paths_[node.parent].chainReplacedAt;
    node.chainReplacedAt = std::max(node.replacedAt, above);
    node.chainCheckedAt = replacements_;
  }
  return paths_[id].chainReplacedAt;
}

void YamlReader::NoteReplacement(const BindingProperty& slot) {
  if (!repeatedKey_) return;
  repeatedKey_ = false;
  // Values below the replaced one lose their addresses, and anchors there now name whatever the
  // new value holds at their path.
  auto found = memberNodes_.find(&slot);
  if (found != memberNodes_.end()) paths_[found->second].replacedAt = ++replacements_;
}

bool YamlReader::Charge(size_t values, size_t bytes, const yaml_mark_t& mark) {
  if (values > kMaxAliasValues - aliasValues_) {
    return Fail("Aliases expand to too many values.", mark);
  }
  if (bytes > kMaxAliasBytes - aliasBytes_) {
    return Fail("Aliases expand to too many bytes.", mark);
  }
  aliasValues_ += values;
  aliasBytes_ += bytes;
  return true;
}

const BindingProperty* YamlReader::Resolve(const AnchorRecord& record, const yaml_mark_t& mark,
                                           bool& stale) {
  const PathNode& node = paths_[record.node];
  stale =
      record.registeredAt != replacements_ && ChainReplacedAt(record.node) > record.registeredAt;
  if (!stale) {
    if (record.target != nullptr) return record.target;
    // An element of a sequence that is still open: its address moves as the sequence grows.
    return &open_[node.depth - 1].self->At(node.step.index);
  }
  // Only documents with repeated keys get here.
  if (!Charge(0, node.walkBytes, mark)) return nullptr;
  chain_.clear();
  for (size_t at = record.node; at != 0; at = paths_[at].parent)
    chain_.push_back(at);
  const BindingProperty* value = &result_.Value();
  for (size_t i = chain_.size(); i-- > 0;) {
    const PathStep& step = paths_[chain_[i]].step;
    value = step.kind == PathStep::kIndex ? &value->At(step.index) : &value->Get(step.key);
  }
  return value;
}

bool YamlReader::TypeScalar(BindingProperty& target, std::string_view tag, std::string_view text,
                            bool quoted) {
  if (!tag.empty()) {
    if (tag == kStrTag) {
      target.SetString(text);
    } else if (tag == kIntTag || tag == kFloatTag) {
      BindingProperty input;
      input.SetString(text);
      ValueResult conversion;
      if (tag == kFloatTag) {
        const double value = Binding::ReadDouble(conversion, input, "yaml", -1.7976931348623157e308,
                                                 1.7976931348623157e308, "double");
        if (conversion.Ok()) target.SetFloat(value);
      } else if (!text.empty() && text.front() == '-') {
        const int64_t value =
            Binding::ReadSigned(conversion, input, "yaml", INT64_MIN, INT64_MAX, "int64_t");
        if (conversion.Ok()) target.SetSigned(value);
      } else {
        const uint64_t value =
            Binding::ReadUnsigned(conversion, input, "yaml", UINT64_MAX, "uint64_t");
        if (conversion.Ok()) target.SetUnsigned(value);
      }
      if (!conversion.Ok()) return FailPlain(conversion.ErrorMessage());
    } else if (tag == kBoolTag) {
      if (IsTrueWord(text)) target.SetBool(true);
      if (IsFalseWord(text)) target.SetBool(false);
    } else {
      return FailPlain(FormatToString("Unsupported YAML tag '%1'.", tag));
    }
    return true;
  }
  if (quoted) {
    target.SetString(text);
    return true;
  }
  if (IsNullWord(text)) return true;
  // The event's text is NUL-terminated, so strtod stops at its end at the latest.
  char* end = nullptr;
  const double number = std::strtod(text.data(), &end);
  if (end == text.data() + text.size() && std::isfinite(number)) {
    if (std::trunc(number) != number) {
      target.SetFloat(number);
    } else if (number < 0) {
      // Below the int64 range a whole number keeps its value as a float.
      if (number >= -9223372036854775808.0) {
        target.SetSigned(static_cast<int64_t>(number));
      } else {
        target.SetFloat(number);
      }
    } else if (number < 18446744073709551616.0) {
      target.SetUnsigned(static_cast<uint64_t>(number));
    } else {
      target.SetFloat(number);
    }
    return true;
  }
  if (IsTrueWord(text)) {
    target.SetBool(true);
  } else if (IsFalseWord(text)) {
    target.SetBool(false);
  } else {
    target.SetString(text);
  }
  return true;
}

bool YamlReader::Scalar(const yaml_event_t& event, bool keyPosition) {
  const auto& scalar = event.data.scalar;
  const std::string_view text(reinterpret_cast<const char*>(scalar.value), scalar.length);
  const std::string_view tag = View(scalar.tag);
  const std::string_view anchor = View(scalar.anchor);
  if (keyPosition) {
    if (!tag.empty() && tag != kStrTag) {
      return Fail("Invalid mapping key. Only string scalar keys are allowed.", event.start_mark);
    }
    SelectKey(text);
    if (!anchor.empty()) {
      AnchorRecord* record = AddAnchor(anchor, event.start_mark);
      if (record == nullptr) return false;
      record->isKey = true;
      record->keyText.assign(text);
      OpenNode& mapping = open_.back();
      if (mapping.keyAnchor != nullptr) mapping.keyAnchor->open = false;
      mapping.keyAnchor = record;
      record->open = true;
    }
    return true;
  }
  const bool quoted = scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
                      scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE;
  BindingProperty& slot = builder_.Slot();
  NoteReplacement(slot);
  if (!TypeScalar(slot, tag, text, quoted)) return false;
  if (!anchor.empty()) {
    AnchorRecord* record = AddAnchor(anchor, event.start_mark);
    if (record == nullptr) return false;
    PlaceAnchor(*record, slot, false);
  }
  return true;
}

bool YamlReader::OpenContainer(const yaml_event_t& event, bool sequence, bool keyPosition) {
  if (keyPosition) {
    return Fail(sequence ? "Unexpected start of sequence." : "Unexpected start of mapping.",
                event.start_mark);
  }
  const std::string_view anchor =
      View(sequence ? event.data.sequence_start.anchor : event.data.mapping_start.anchor);
  OpenNode node;
  node.sequence = sequence;
  if (open_.empty()) {
    node.node = 0;
  } else {
    node.step = slotStep_;
  }
  const bool opened = sequence ? builder_.BeginCollection() : builder_.BeginStructure();
  if (!opened) return Fail("Nesting is too deep.", event.start_mark);
  node.self = builder_.Innermost();
  NoteReplacement(*node.self);
  open_.push_back(std::move(node));
  if (!anchor.empty()) {
    AnchorRecord* record = AddAnchor(anchor, event.start_mark);
    if (record == nullptr) return false;
    PlaceAnchor(*record, *open_.back().self, true);
    record->open = true;
    open_.back().anchor = record;
  }
  return true;
}

void YamlReader::CloseContainer() {
  OpenNode& node = open_.back();
  if (node.anchor != nullptr) node.anchor->open = false;
  if (node.keyAnchor != nullptr) node.keyAnchor->open = false;
  for (AnchorRecord* record : node.elementAnchors) {
    record->target = &node.self->At(paths_[record->node].step.index);
  }
  builder_.End();
  open_.pop_back();
}

// Adds what a copy of `value` holds to `total`, stopping once past either of `cap`'s counts.
void Measure(const BindingProperty& value, size_t depth, const Expansion& cap, Expansion& total) {
  if (total.values > cap.values || total.bytes > cap.bytes) return;
  ++total.values;
  switch (value.Kind()) {
    case ValueKind::String:
    case ValueKind::Blob:
      total.bytes += value.Size();
      break;
    case ValueKind::Collection:
      total.height = std::max(total.height, depth + 1);
      for (const BindingProperty& element : value.Elements()) {
        Measure(element, depth + 1, cap, total);
      }
      break;
    case ValueKind::Structure:
      total.height = std::max(total.height, depth + 1);
      for (auto member : value.Members()) {
        total.bytes += member.key.size();
        Measure(member.value, depth + 1, cap, total);
      }
      break;
    default:
      break;
  }
}

bool YamlReader::Alias(const yaml_event_t& event, bool keyPosition) {
  const std::string_view name = View(event.data.alias.anchor);
  const yaml_mark_t& mark = event.start_mark;
  auto found = anchors_.find(name);
  if (found == anchors_.end()) {
    return Fail(FormatToString("Undefined alias encountered: \"%1\".", name), mark);
  }
  AnchorRecord& record = found->second;
  if (record.open) {
    return Fail(FormatToString("Cannot deserialize cyclic aliases. Alias \"%1\".", name), mark);
  }
  if (record.isKey) {
    if (!Charge(1, record.keyText.size(), mark)) return false;
    if (keyPosition) {
      SelectKey(record.keyText);
    } else {
      BindingProperty& slot = builder_.Slot();
      NoteReplacement(slot);
      slot.SetString(record.keyText);
    }
    return true;
  }
  bool stale = false;
  if (keyPosition) {
    // An alias as a mapping key: usable when it names a string.
    const BindingProperty* source = Resolve(record, mark, stale);
    if (source == nullptr) return false;
    if (source->Kind() != ValueKind::String) {
      return Fail("Invalid mapping key. Only string scalar keys are allowed.", mark);
    }
    const std::string_view text = source->GetString();
    if (!Charge(1, text.size(), mark)) return false;
    SelectKey(text);
    return true;
  }
  // The slot first: taking it may move the elements of the sequence the source lives in.
  BindingProperty& slot = builder_.Slot();
  NoteReplacement(slot);
  const BindingProperty* source = Resolve(record, mark, stale);
  if (source == nullptr) return false;
  Expansion size = record.size;
  if (stale || !record.measured) {
    // Measured once per anchor: until a repeated key replaces something on its path, the
    // anchored value cannot change. Past the budget's remainder the count stops.
    size = Expansion{};
    const Expansion cap{kMaxAliasValues - aliasValues_, kMaxAliasBytes - aliasBytes_, 0};
    Measure(*source, 0, cap, size);
    if (!stale && size.values <= cap.values && size.bytes <= cap.bytes) {
      record.size = size;
      record.measured = true;
    }
  }
  if (!Charge(size.values, size.bytes, mark)) return false;
  if (builder_.Depth() + size.height > TreeBuilder::kMaxDepth) {
    return Fail("Nesting is too deep.", mark);
  }
  // The source may lie in the tree being built; copying into one tree is safe for any overlap.
  slot = *source;
  return true;
}

bool YamlReader::Handle(const yaml_event_t& event) {
  switch (event.type) {
    case YAML_STREAM_START_EVENT:
    case YAML_DOCUMENT_END_EVENT:
      return true;
    case YAML_DOCUMENT_START_EVENT:
      // A document after one that left the root empty fills the root instead.
      if (result_.Value().Kind() != ValueKind::Empty) {
        return FailPlain("Multi-document YAML is not supported.");
      }
      if (!anchors_.empty()) paths_[0].replacedAt = ++replacements_;
      return true;
    default:
      break;
  }
  const bool keyPosition = builder_.AwaitingKey();
  if (!open_.empty() && open_.back().sequence && event.type != YAML_SEQUENCE_END_EVENT) {
    slotStep_.kind = PathStep::kIndex;
    slotStep_.index = builder_.Innermost()->Size();
  }
  switch (event.type) {
    case YAML_SCALAR_EVENT:
      return Scalar(event, keyPosition);
    case YAML_SEQUENCE_START_EVENT:
      return OpenContainer(event, true, keyPosition);
    case YAML_MAPPING_START_EVENT:
      return OpenContainer(event, false, keyPosition);
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT:
      CloseContainer();
      return true;
    case YAML_ALIAS_EVENT:
      return Alias(event, keyPosition);
    default:
      return true;
  }
}

void YamlReader::Run() {
  yaml_event_t event;
  bool parsed = yaml_parser_parse(&parser_, &event) != 0;
  while (parsed) {
    const bool end = event.type == YAML_STREAM_END_EVENT;
    const bool ok = end || Handle(event);
    yaml_event_delete(&event);
    if (end || !ok) break;
    parsed = yaml_parser_parse(&parser_, &event) != 0;
  }
  if (result_.Ok() && parser_.error != YAML_NO_ERROR) {
    result_.SetError(FormatToString("YAML parser error: %1. At line: %2 col: %3",
                                    parser_.problem != nullptr ? parser_.problem : "",
                                    parser_.problem_mark.line, parser_.problem_mark.column));
  }
}

}  // namespace

void ParseYaml(ValueResult& result, const char* text, size_t length) {
  result.SetOk();
  if (text == nullptr) length = 0;
  YamlReader reader(result, text != nullptr ? text : "", length);
  reader.Run();
}

}  // namespace Oxle::Client::Codec
