#include "binding/types/flat_description.h"

#include <utility>

namespace Oxle::Client::Binding {
namespace {

constexpr const char* kNoText = "";

[[nodiscard]] uint32_t FlatCode(BindingCode code) noexcept {
  const auto value = static_cast<uint32_t>(code);
  return value >= 1 && value <= 19 ? value : 0;
}

[[nodiscard]] uint32_t Count(size_t size) noexcept {
  return static_cast<uint32_t>(size);
}

// The descriptor shown to the host: the second one given at registration, when set.
[[nodiscard]] const TypeIdentifier& Shown(const TypeIdentifier& first,
                                          const TypeIdentifier& second) noexcept {
  return second.code != BindingCode::None ? second : first;
}

// Only containers, enums and structs name a registered type.
[[nodiscard]] const char* TypeName(const TypeIdentifier& type) noexcept {
  switch (type.code) {
    case BindingCode::Vector:
    case BindingCode::Enum:
    case BindingCode::Struct:
    case BindingCode::Map:
      return type.record != nullptr ? type.record->name.c_str() : kNoText;
    default:
      return kNoText;
  }
}

// Links each record of the run to the next one; the last links to nothing.
template <typename Record>
[[nodiscard]] const Record* LinkRun(Record* first, size_t count) noexcept {
  if (count == 0) return nullptr;
  for (size_t i = 0; i + 1 < count; ++i)
    first[i].next = &first[i + 1];
  first[count - 1].next = nullptr;
  return first;
}

// Fills the records of the storage's arrays front to back. The arrays are sized (and so
// zero-filled) before, so the pointers handed out never move.
class Filler {
 public:
  Filler(std::vector<FlatArgumentRecord>& arguments, std::vector<FlatFieldRecord>& fields,
         std::vector<FlatEnumeratorRecord>& enumerators, std::vector<const char*>& tags) noexcept
      : arguments_(arguments), fields_(fields), enumerators_(enumerators), tags_(tags) {}

  [[nodiscard]] const char* const* Tags(const std::vector<std::string>& tags) {
    if (tags.empty()) return nullptr;
    const char** run = tags_.data() + nextTag_;
    for (const std::string& tag : tags)
      tags_[nextTag_++] = tag.c_str();
    return run;
  }

  void Function(FlatFunctionRecord& out, const FunctionRecord& function) {
    out.name = function.name.c_str();
    out.nameSpace = function.nameSpace.c_str();
    FlatArgumentRecord* arguments = arguments_.data() + nextArgument_;
    for (const ArgumentRecord& argument : function.arguments) {
      FlatArgumentRecord& record = arguments_[nextArgument_++];
      const TypeIdentifier& type = Shown(argument.type, argument.secondType);
      record.name = argument.name.c_str();
      record.description = argument.description.c_str();
      record.code = FlatCode(type.code);
      record.elementCode = FlatCode(type.elementCode);
      record.typeName = TypeName(type);
      record.optional = argument.optional ? 1 : 0;
    }
    out.arguments = LinkRun(arguments, function.arguments.size());
    out.argumentCount = Count(function.arguments.size());
    const TypeIdentifier& returns = Shown(function.returns, function.secondReturns);
    out.returnCode = FlatCode(returns.code);
    out.returnElementCode = FlatCode(returns.elementCode);
    out.returnTypeName = TypeName(returns);
    out.description = function.description.c_str();
    out.help = function.help.c_str();
    out.threadSafe = function.threadSafe ? 1 : 0;
    out.asyncTypeName = function.async && function.returns.record != nullptr
                            ? function.returns.record->name.c_str()
                            : kNoText;
    out.tags = Tags(function.tags);
    out.tagCount = Count(function.tags.size());
  }

  void Type(FlatTypeRecord& out, const TypeRecord& type) {
    out.name = type.name.c_str();
    out.nameSpace = type.nameSpace.c_str();
    out.nativeSize = type.nativeSize;
    out.description = type.description.c_str();
    out.tags = Tags(type.tags);
    out.tagCount = Count(type.tags.size());
    if (type.isEnum) {
      FlatEnumeratorRecord* enumerators = enumerators_.data() + nextEnumerator_;
      for (const auto& [name, enumerator] : type.enumerators) {
        FlatEnumeratorRecord& record = enumerators_[nextEnumerator_++];
        record.name = enumerator.name.c_str();
        record.description = enumerator.description.c_str();
        record.value = enumerator.value;
      }
      out.enumerators = LinkRun(enumerators, type.enumerators.size());
      out.count = Count(type.enumerators.size());
    } else {
      FlatFieldRecord* fields = fields_.data() + nextField_;
      for (const FieldRecord& field : type.fields) {
        FlatFieldRecord& record = fields_[nextField_++];
        const TypeIdentifier& shown = Shown(field.type, field.secondType);
        record.name = field.name.c_str();
        record.description = field.description.c_str();
        record.offset = field.offset;
        record.code = FlatCode(shown.code);
        record.elementCode = FlatCode(shown.elementCode);
        record.typeName = TypeName(shown);
        record.optional = field.optional ? 1 : 0;
      }
      out.fields = LinkRun(fields, type.fields.size());
      out.count = Count(type.fields.size());
    }
  }

  void Event(FlatEventRecord& out, const EventRecord& event) {
    out.name = event.name.c_str();
    out.nameSpace = event.nameSpace.c_str();
    out.dataTypeName = event.dataType != nullptr ? event.dataType->name.c_str() : kNoText;
    out.description = event.description.c_str();
    out.tags = Tags(event.tags);
    out.tagCount = Count(event.tags.size());
  }

 private:
  std::vector<FlatArgumentRecord>& arguments_;
  std::vector<FlatFieldRecord>& fields_;
  std::vector<FlatEnumeratorRecord>& enumerators_;
  std::vector<const char*>& tags_;
  size_t nextArgument_ = 0;
  size_t nextField_ = 0;
  size_t nextEnumerator_ = 0;
  size_t nextTag_ = 0;
};

template <typename Record>
[[nodiscard]] std::vector<const Record*> WithoutNulls(std::span<const Record* const> records) {
  std::vector<const Record*> kept;
  kept.reserve(records.size());
  for (const Record* record : records) {
    if (record != nullptr) kept.push_back(record);
  }
  return kept;
}

}  // namespace

const FlatFunctionRecord* FlatApiDescription::FindFunction(std::string_view name) const {
  const auto found = functionsByName_.find(name);
  return found != functionsByName_.end() ? &functions_[found->second] : nullptr;
}

FlatApiArrays BuildFlatApiDescription(FlatApiDescription& storage,
                                      std::span<const FunctionRecord* const> functions,
                                      std::span<const TypeRecord* const> types,
                                      std::span<const EventRecord* const> events) {
  const auto functionList = WithoutNulls(functions);
  const auto typeList = WithoutNulls(types);
  const auto eventList = WithoutNulls(events);

  size_t argumentCount = 0, fieldCount = 0, enumeratorCount = 0, tagCount = 0;
  for (const FunctionRecord* function : functionList) {
    argumentCount += function->arguments.size();
    tagCount += function->tags.size();
  }
  for (const TypeRecord* type : typeList) {
    if (type->isEnum) {
      enumeratorCount += type->enumerators.size();
    } else {
      fieldCount += type->fields.size();
    }
    tagCount += type->tags.size();
  }
  for (const EventRecord* event : eventList)
    tagCount += event->tags.size();

  // Built aside and moved in, so a failed build leaves the old description intact.
  FlatApiDescription built;
  built.functions_.resize(functionList.size());
  built.arguments_.resize(argumentCount);
  built.types_.resize(typeList.size());
  built.fields_.resize(fieldCount);
  built.enumerators_.resize(enumeratorCount);
  built.events_.resize(eventList.size());
  built.tags_.resize(tagCount);
  Filler filler(built.arguments_, built.fields_, built.enumerators_, built.tags_);
  built.functionsByName_.reserve(functionList.size());
  for (size_t i = 0; i < functionList.size(); ++i) {
    filler.Function(built.functions_[i], *functionList[i]);
    built.functionsByName_.emplace(functionList[i]->name, i);
  }
  for (size_t i = 0; i < typeList.size(); ++i)
    filler.Type(built.types_[i], *typeList[i]);
  for (size_t i = 0; i < eventList.size(); ++i)
    filler.Event(built.events_[i], *eventList[i]);

  FlatApiArrays& arrays = built.arrays_;
  arrays.functions = LinkRun(built.functions_.data(), built.functions_.size());
  arrays.functionCount = Count(built.functions_.size());
  arrays.types = LinkRun(built.types_.data(), built.types_.size());
  arrays.typeCount = Count(built.types_.size());
  arrays.events = LinkRun(built.events_.data(), built.events_.size());
  arrays.eventCount = Count(built.events_.size());
  storage = std::move(built);
  return storage.arrays_;
}

}  // namespace Oxle::Client::Binding
