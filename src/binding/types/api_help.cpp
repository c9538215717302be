#include "binding/types/api_help.h"

#include <algorithm>
#include <vector>

#include "binding/types/native_conversion.h"
#include "binding/types/type_identity.h"

namespace Oxle::Client::Binding {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kParagraphEnd = "\r\n\r\n";

// The records without nulls, sorted by name in byte order (equal names keep their order).
template <typename Record>
std::vector<const Record*> SortedByName(std::span<const Record* const> records) {
  std::vector<const Record*> sorted;
  sorted.reserve(records.size());
  for (const Record* record : records) {
    if (record != nullptr) sorted.push_back(record);
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Record* a, const Record* b) { return a->name < b->name; });
  return sorted;
}

void AppendEscaped(std::string& out, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  if (!text.empty() && text.front() == '-') {
    out += "E{-}";
    text.remove_prefix(1);
  }
  for (const char c : text) {
    if (c == '{') {
      out += "E{lb}";
    } else if (c == '}') {
      out += "E{rb}";
    } else {
      out += c;
    }
  }
}

void AppendDescription(std::string& out, std::string_view description) {
  if (description.empty()) return;
  AppendEscaped(out, description);
  out += kParagraphEnd;
}

void AppendTags(std::string& out, const std::vector<std::string>& tags) {
  if (tags.empty()) return;
  out += "@tags: ";
  for (size_t i = 0; i < tags.size(); ++i) {
    if (i != 0) out += ',';
    out += tags[i];
  }
  out += kLineEnd;
}

void AppendTypeLine(std::string& out, std::string_view name, const TypeIdentifier& type) {
  out += "@type ";
  out += name;
  out += ": ";
  out += EpytextTypeName(type);
  out += kLineEnd;
}

std::string RecordName(const TypeRecord* record) {
  return record != nullptr ? record->name : "";
}

BindingFullFunctionHelp FunctionHelp(const FunctionRecord& function) {
  BindingFullFunctionHelp help;
  help.name = function.name;
  help.nameSpace = function.nameSpace;
  help.arguments.reserve(function.arguments.size());
  for (const ArgumentRecord& argument : function.arguments) {
    help.arguments.push_back(BindingFullArgumentHelp{
        argument.name, argument.description, FullTypeName(argument.type), argument.optional});
  }
  help.returns = FullTypeName(function.returns);
  help.description = function.description;
  help.help = function.help;
  help.threadSafe = function.threadSafe;
  if (function.async) help.async = RecordName(function.returns.record);
  help.tags = function.tags;
  return help;
}

BindingFullTypeHelp TypeHelp(const TypeRecord& type) {
  BindingFullTypeHelp help;
  help.name = type.name;
  help.nameSpace = type.nameSpace;
  help.size = type.nativeSize;
  help.description = type.description;
  help.tags = type.tags;
  if (type.isEnum) {
    help.values.reserve(type.enumerators.size());
    for (const auto& [name, enumerator] : type.enumerators) {
      help.values.push_back(
          BindingFullEnumValueHelp{enumerator.name, enumerator.description, enumerator.value});
    }
  } else {
    help.fields.reserve(type.fields.size());
    for (const FieldRecord& field : type.fields) {
      help.fields.push_back(BindingFullFieldHelp{field.name, field.description, field.offset,
                                                 FullTypeName(field.type), field.optional});
    }
  }
  return help;
}

// The data type of an event, named as the enum or struct it is.
TypeIdentifier EventDataType(const EventRecord& event) {
  const bool isEnum = event.dataType != nullptr && event.dataType->isEnum;
  return TypeIdentifier{isEnum ? BindingCode::Enum : BindingCode::Struct, BindingCode::None,
                        event.dataType};
}

BindingFullEventHelp EventHelp(const EventRecord& event) {
  BindingFullEventHelp help;
  help.name = event.name;
  help.nameSpace = event.nameSpace;
  help.type = FullTypeName(EventDataType(event));
  help.description = event.description;
  help.tags = event.tags;
  return help;
}

// Appends the item's help record to `list`; the element stays empty when the record cannot be
// converted.
template <typename Help>
void AppendFull(BindingProperty& list, const BindingRegistry& registry, const TypeRecord* helpType,
                const Help& help) {
  BindingProperty& element = list.Append();
  ValueResult status;
  WriteStructInto(&registry, status, element, &help, helpType);
  if (!status.Ok()) element.Clear();
}

void AppendEpytext(BindingProperty& list, const std::string& name, const std::string& text) {
  list.Get(std::string_view(name)).SetString(std::string_view(text));
}

}  // namespace

BindingFullTypeIdentifier FullTypeName(const TypeIdentifier& type) {
  switch (type.code) {
    case BindingCode::Vector:
    case BindingCode::Map: {
      const TypeIdentifier element{type.elementCode, BindingCode::None, type.record};
      return {BindingCodeName(type.code), FullTypeName(element).type};
    }
    case BindingCode::Enum:
    case BindingCode::Struct:
      return {type.record != nullptr ? type.record->name : BindingCodeName(type.code), ""};
    default:
      return {BindingCodeName(type.code), ""};
  }
}

std::string EpytextTypeName(const TypeIdentifier& type) {
  const TypeIdentifier element{type.elementCode, BindingCode::None, type.record};
  switch (type.code) {
    case BindingCode::Blob:
      return "bytearray";
    case BindingCode::Vector:
      return "list[" + EpytextTypeName(element) + "]";
    case BindingCode::Map:
      return "dict[" + EpytextTypeName(element) + "]";
    case BindingCode::Enum:
    case BindingCode::Struct:
      if (type.record == nullptr) return BindingCodeName(type.code);
      return "L{" + type.record->name + "}";
    default:
      return BindingCodeName(type.code);
  }
}

std::string EpytextEscape(std::string_view text) {
  std::string out;
  AppendEscaped(out, text);
  return out;
}

void WriteFunctionEpytext(std::string& out, const FunctionRecord& function) {
  AppendDescription(out, function.description);
  AppendDescription(out, function.help);
  for (const ArgumentRecord& argument : function.arguments) {
    if (!argument.description.empty()) {
      out += "@param ";
      out += argument.name;
      out += ": ";
      if (argument.optional) out += "(optional) ";
      AppendEscaped(out, argument.description);
      out += kLineEnd;
    }
    AppendTypeLine(out, argument.name, argument.type);
  }
  const std::string returns = EpytextTypeName(function.returns);
  if (function.returns.code != BindingCode::None) {
    out += "@rtype: ";
    out += returns;
    out += kLineEnd;
  }
  AppendTags(out, function.tags);
  if (function.threadSafe) {
    out += "@threadsafe: true";
    out += kLineEnd;
  }
  if (function.async) {
    out += "@async: ";
    out += returns;
    out += kLineEnd;
  }
}

void WriteStructEpytext(std::string& out, const TypeRecord& type) {
  AppendDescription(out, type.description);
  for (const FieldRecord& field : type.fields) {
    // Field descriptions go out as written: they are short notes, not markup.
    out += "@ivar ";
    out += field.name;
    out += ": ";
    out += field.description;
    out += kLineEnd;
    AppendTypeLine(out, field.name, field.type);
  }
  AppendTags(out, type.tags);
}

void WriteEnumEpytext(std::string& out, const TypeRecord& type) {
  AppendDescription(out, type.description);
  std::vector<const EnumValueRecord*> byValue;
  byValue.reserve(type.enumerators.size());
  for (const auto& [name, enumerator] : type.enumerators)
    byValue.push_back(&enumerator);
  // Equal values keep the name order of the map.
  std::stable_sort(
      byValue.begin(), byValue.end(),
      [](const EnumValueRecord* a, const EnumValueRecord* b) { return a->value < b->value; });
  for (const EnumValueRecord* enumerator : byValue) {
    out += "@cvar ";
    out += enumerator->name;
    out += ": (";
    out += std::to_string(enumerator->value);
    out += ')';
    if (!enumerator->description.empty()) {
      out += ' ';
      out += enumerator->description;
    }
    out += kLineEnd;
  }
  AppendTags(out, type.tags);
  out += "@size: ";
  out += std::to_string(type.nativeSize);
  out += kLineEnd;
}

void WriteEventEpytext(std::string& out, const EventRecord& event) {
  AppendEscaped(out, event.description);
  out += kParagraphEnd;
  AppendTags(out, event.tags);
}

void BuildApiHelp(BindingProperty& out, const BindingRegistry& registry,
                  std::span<const FunctionRecord* const> functions,
                  std::span<const TypeRecord* const> types,
                  std::span<const EventRecord* const> events, BindingHelpFormat format) {
  out.Clear();
  out.MakeStructure();
  // The three members exist in every format, empty when nothing goes into them.
  for (const char* member : {"functions", "types", "events"})
    out.Get(member);
  BindingProperty& functionList = out.Get("functions");
  BindingProperty& typeList = out.Get("types");
  BindingProperty& eventList = out.Get("events");
  if (format == BindingHelpFormat::Full) {
    const TypeRecord* functionHelp = registry.FindTypeByHash(TypeIdOf<BindingFullFunctionHelp>());
    const TypeRecord* typeHelp = registry.FindTypeByHash(TypeIdOf<BindingFullTypeHelp>());
    const TypeRecord* eventHelp = registry.FindTypeByHash(TypeIdOf<BindingFullEventHelp>());
    for (const FunctionRecord* function : SortedByName(functions))
      AppendFull(functionList, registry, functionHelp, FunctionHelp(*function));
    for (const TypeRecord* type : SortedByName(types))
      AppendFull(typeList, registry, typeHelp, TypeHelp(*type));
    for (const EventRecord* event : SortedByName(events))
      AppendFull(eventList, registry, eventHelp, EventHelp(*event));
  } else if (format == BindingHelpFormat::Epytext) {
    for (const FunctionRecord* function : SortedByName(functions)) {
      std::string text;
      WriteFunctionEpytext(text, *function);
      AppendEpytext(functionList, function->name, text);
    }
    for (const TypeRecord* type : SortedByName(types)) {
      std::string text;
      if (type->isEnum) {
        WriteEnumEpytext(text, *type);
      } else {
        WriteStructEpytext(text, *type);
      }
      AppendEpytext(typeList, type->name, text);
    }
    for (const EventRecord* event : SortedByName(events)) {
      std::string text;
      WriteEventEpytext(text, *event);
      AppendEpytext(eventList, event->name, text);
    }
  }
}

void BuildApiHelp(BindingProperty& out, const BindingRegistry& registry, BindingHelpFormat format) {
  BuildApiHelp(out, registry, registry.CopyFunctions(), registry.CopyTypes(), registry.CopyEvents(),
               format);
}

}  // namespace Oxle::Client::Binding
