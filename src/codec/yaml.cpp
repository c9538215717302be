#include "codec/yaml.h"

#include <yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

// How an open node is reached from its parent.
struct PathStep {
  enum Kind : uint8_t { kIndex = 0, kKey = 1, kRoot = 2 } kind = kRoot;
  size_t index = 0;
  std::string key;
};

// What an anchor names: the text of a mapping key, or the path of an anchored node.
struct AnchorRecord {
  bool isKey = false;
  std::string keyText;
  std::vector<PathStep> path;
};

// What the reader keeps beside each container the tree builder holds open.
struct OpenNode {
  bool sequence = false;
  PathStep step;          // how the container is reached from its parent
  std::string anchor;     // the anchor on the container itself
  std::string keyAnchor;  // the last anchor on one of its keys (a mapping's)
};

class YamlReader {
 public:
  YamlReader(ValueResult& result, const char* text, size_t length)
      : result_(result), builder_(result.Value()) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text), length);
    anchors_.reserve(8);
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
  bool Alias(const yaml_event_t& event, bool keyPosition);
  bool RegisterAnchor(std::string_view name, AnchorRecord record, const yaml_mark_t& mark);
  // The path of the value due next: the open containers' steps and the slot's own.
  std::vector<PathStep> SlotPath() const;
  void SelectKey(std::string_view key) {
    builder_.Key(key);
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
  std::unordered_map<std::string, AnchorRecord> anchors_;
  size_t aliasValues_ = 0;
};

std::vector<PathStep> YamlReader::SlotPath() const {
  std::vector<PathStep> path;
  path.reserve(open_.size() + 2);
  path.push_back(PathStep{});
  for (size_t i = 1; i < open_.size(); ++i)
    path.push_back(open_[i].step);
  if (!open_.empty()) path.push_back(slotStep_);
  return path;
}

bool YamlReader::RegisterAnchor(std::string_view name, AnchorRecord record,
                                const yaml_mark_t& mark) {
  auto [slot, inserted] = anchors_.try_emplace(std::string(name), std::move(record));
  if (!inserted) {
    return Fail(FormatToString("Duplicate occurrence of anchor \"%1\".", name), mark);
  }
  return true;
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
      AnchorRecord record;
      record.isKey = true;
      record.keyText.assign(text);
      if (!RegisterAnchor(anchor, std::move(record), event.start_mark)) return false;
      open_.back().keyAnchor.assign(anchor);
    }
    return true;
  }
  std::vector<PathStep> path;
  if (!anchor.empty()) path = SlotPath();
  const bool quoted = scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
                      scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE;
  if (!TypeScalar(builder_.Slot(), tag, text, quoted)) return false;
  if (!anchor.empty()) {
    AnchorRecord record;
    record.path = std::move(path);
    if (!RegisterAnchor(anchor, std::move(record), event.start_mark)) return false;
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
  // The container's own path is the path of the slot it fills.
  std::vector<PathStep> path;
  if (!anchor.empty()) path = SlotPath();
  OpenNode node;
  node.sequence = sequence;
  node.step = open_.empty() ? PathStep{} : slotStep_;
  const bool opened = sequence ? builder_.BeginCollection() : builder_.BeginStructure();
  if (!opened) return Fail("Nesting is too deep.", event.start_mark);
  open_.push_back(std::move(node));
  if (!anchor.empty()) {
    AnchorRecord record;
    record.path = std::move(path);
    if (!RegisterAnchor(anchor, std::move(record), event.start_mark)) return false;
    open_.back().anchor.assign(anchor);
  }
  return true;
}

// The number of values in `value` (stopping past `cap`) and the depth of its containers.
void Measure(const BindingProperty& value, size_t depth, size_t cap, size_t& count,
             size_t& maxDepth) {
  if (count > cap) return;
  ++count;
  if (value.Kind() == ValueKind::Collection) {
    maxDepth = std::max(maxDepth, depth + 1);
    for (const BindingProperty& element : value.Elements()) {
      Measure(element, depth + 1, cap, count, maxDepth);
    }
  } else if (value.Kind() == ValueKind::Structure) {
    maxDepth = std::max(maxDepth, depth + 1);
    for (auto member : value.Members())
      Measure(member.value, depth + 1, cap, count, maxDepth);
  }
}

bool YamlReader::Alias(const yaml_event_t& event, bool keyPosition) {
  const std::string_view name = View(event.data.alias.anchor);
  for (const OpenNode& node : open_) {
    if (node.anchor == name || node.keyAnchor == name) {
      return Fail(FormatToString("Cannot deserialize cyclic aliases. Alias \"%1\".", name),
                  event.start_mark);
    }
  }
  auto found = anchors_.find(std::string(name));
  if (found == anchors_.end()) {
    return Fail(FormatToString("Undefined alias encountered: \"%1\".", name), event.start_mark);
  }
  const AnchorRecord& record = found->second;
  // Walked afresh whenever needed: taking a slot may move the elements of the collection the
  // anchored node lives in.
  auto walk = [&]() -> const BindingProperty& {
    const BindingProperty* node = &result_.Value();
    for (size_t i = 1; i < record.path.size(); ++i) {
      const PathStep& step = record.path[i];
      node = step.kind == PathStep::kIndex ? &node->At(step.index) : &node->Get(step.key);
    }
    return *node;
  };
  if (keyPosition) {
    const BindingProperty* source = record.isKey ? nullptr : &walk();
    // An alias as a mapping key: usable when it names a key or a string.
    if (record.isKey || source->Kind() == ValueKind::String) {
      SelectKey(record.isKey ? std::string_view(record.keyText) : source->GetString());
      return true;
    }
    return Fail("Invalid mapping key. Only string scalar keys are allowed.", event.start_mark);
  }
  if (record.isKey) {
    builder_.Slot().SetString(record.keyText);
    return true;
  }
  size_t count = 0;
  size_t depth = 0;
  Measure(walk(), 0, kMaxAliasValues, count, depth);
  aliasValues_ += count;
  if (aliasValues_ > kMaxAliasValues) {
    return Fail("Aliases expand to too many values.", event.start_mark);
  }
  if (builder_.Depth() + depth > TreeBuilder::kMaxDepth) {
    return Fail("Nesting is too deep.", event.start_mark);
  }
  // The source may lie in the tree being built; copying into one tree is safe for any overlap.
  BindingProperty& slot = builder_.Slot();
  slot = walk();
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
      builder_.End();
      open_.pop_back();
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
