#include "binding/types/binding_registry.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "binding/format/positional_format.h"
#include "binding/types/type_identity.h"
#include "binding/value/interned_string.h"

namespace Oxle::Client::Binding {
namespace {

constexpr size_t kInitialBuckets = 8;

constexpr std::string_view kHashCollisionMessage =
    "Couldn't register type '%1' because its type hash 0x%2$08X already belongs to type '%3', "
    "a different native type.";

// A programming error found at start-up, before anything could convert with the wrong record.
[[noreturn]] void ThrowHashCollision(std::string_view name, const TypeRecord& holder) {
  throw std::logic_error(FormatToString(kHashCollisionMessage, name, holder.hash, holder.name));
}

}  // namespace

size_t BindingRegistry::HashOfHash::operator()(uint32_t hash) const noexcept {
  const char bytes[4] = {static_cast<char>(hash & 0xFF), static_cast<char>((hash >> 8) & 0xFF),
                         static_cast<char>((hash >> 16) & 0xFF),
                         static_cast<char>((hash >> 24) & 0xFF)};
  return Fnv1a(std::string_view(bytes, 4));
}

size_t BindingRegistry::NameHash::operator()(std::string_view name) const noexcept {
  return Fnv1a(name);
}

BindingRegistry::BindingRegistry()
    : functions_(kInitialBuckets),
      events_(kInitialBuckets),
      typesByName_(kInitialBuckets),
      typesByHash_(kInitialBuckets) {}

BindingRegistry::~BindingRegistry() = default;

TypeBuilder BindingRegistry::BeginType(uint32_t nativeSize, std::string_view name,
                                       const TypeId& typeId, bool isEnum) {
  std::string key(name);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = typesByName_.find(key);
    if (found != typesByName_.end()) {
      const TypeRecord& existing = *found->second;
      // The same name for another type of the same hash would hand that type this record.
      if (existing.hash == typeId.Hash() && !SameTypeIdentity(*existing.typeId, typeId)) {
        ThrowHashCollision(key, existing);
      }
      return TypeBuilder(this, found->second.get(), true);
    }
  }
  auto record = std::make_unique<TypeRecord>();
  record->nativeSize = nativeSize;
  record->isEnum = isEnum;
  record->name = key;
  record->hash = typeId.Hash();
  record->typeId = &typeId;
  record->registry = this;
  TypeRecord* raw = record.get();
  std::lock_guard<std::mutex> lock(mutex_);
  // Lookups by hash would give another type that hashes alike this record and its field
  // offsets. The same type under a second name is no collision; that name is found by name only.
  if (raw->hash != kReservedTypeHash) {
    auto holder = typesByHash_.find(raw->hash);
    if (holder != typesByHash_.end() && !SameTypeIdentity(*holder->second->typeId, typeId)) {
      ThrowHashCollision(raw->name, *holder->second);
    }
  }
  // Another thread may have registered the name meanwhile: the first one stays.
  auto [slot, inserted] = typesByName_.emplace(std::move(key), std::move(record));
  if (!inserted) return TypeBuilder(this, slot->second.get(), true);
  if (raw->hash != kReservedTypeHash) typesByHash_.emplace(raw->hash, raw);
  return TypeBuilder(this, raw, false);
}

std::unique_ptr<FunctionRecord> BindingRegistry::CreateFunction(std::string_view name,
                                                                size_t argumentCount) {
  auto function = std::make_unique<FunctionRecord>();
  function->name = std::string(name);
  function->arguments.resize(argumentCount);
  function->registry = this;
  function->attributes.reserve(kInitialBuckets);
  return function;
}

FunctionRecord* BindingRegistry::RegisterFunction(std::string_view name, size_t argumentCount) {
  return InsertFunction(CreateFunction(name, argumentCount));
}

FunctionRecord* BindingRegistry::InsertFunction(std::unique_ptr<FunctionRecord> function) {
  FunctionRecord* raw = function.get();
  std::lock_guard<std::mutex> lock(mutex_);
  auto [slot, inserted] = functions_.try_emplace(raw->name, nullptr);
  if (inserted) {
    slot->second = std::move(function);
  } else {
    shadowedFunctions_.push_back(std::move(function));
  }
  ++functionCounter_;
  return raw;
}

ArgumentRecord& BindingRegistry::AddArgument(
    FunctionRecord& function, std::string_view name, std::string_view description,
    const TypeIdentifier* secondType,
    const std::unordered_map<std::string, std::string>* attributes) {
  if (function.nextArgument >= function.arguments.size()) {
    function.arguments.resize(function.nextArgument + 1);
  }
  ArgumentRecord& argument = function.arguments[function.nextArgument++];
  argument.name = std::string(name);
  argument.nameHash = Fnv1a(name);
  argument.description = std::string(description);
  if (secondType != nullptr) argument.secondType = *secondType;
  if (attributes != nullptr) argument.attributes = *attributes;
  return argument;
}

EventRecord* BindingRegistry::RegisterEvent(std::string_view name, const TypeRecord* dataType) {
  auto event = std::make_unique<EventRecord>();
  event->name = std::string(name);
  event->dataType = dataType;
  EventRecord* raw = event.get();
  std::lock_guard<std::mutex> lock(mutex_);
  auto [slot, inserted] = events_.try_emplace(raw->name, nullptr);
  if (inserted) {
    slot->second = std::move(event);
  } else {
    shadowedEvents_.push_back(std::move(event));
  }
  return raw;
}

EventRecord* BindingRegistry::FindOrRegisterEvent(std::string_view name, const TypeRecord* dataType,
                                                  bool& created) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [slot, inserted] = events_.try_emplace(std::string(name), nullptr);
  created = inserted;
  if (inserted) {
    slot->second = std::make_unique<EventRecord>();
    slot->second->name = slot->first;
    slot->second->dataType = dataType;
  }
  return slot->second.get();
}

const TypeRecord* BindingRegistry::FindTypeByHash(const TypeId& typeId) const {
  return FindTypeByHash(typeId.Hash());
}

const TypeRecord* BindingRegistry::FindTypeByHash(uint32_t hash) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = typesByHash_.find(hash);
  return found != typesByHash_.end() ? found->second : nullptr;
}

const TypeRecord* BindingRegistry::FindTypeByName(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = typesByName_.find(name);
  return found != typesByName_.end() ? found->second.get() : nullptr;
}

const FunctionRecord* BindingRegistry::FindFunction(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = functions_.find(name);
  return found != functions_.end() ? found->second.get() : nullptr;
}

const EventRecord* BindingRegistry::FindEvent(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = events_.find(name);
  return found != events_.end() ? found->second.get() : nullptr;
}

const char* BindingRegistry::EnumName(const TypeId& typeId, int32_t value) const {
  const TypeRecord* type = FindTypeByHash(typeId);
  if (type == nullptr) return nullptr;
  // Enumerators are complete once registration is over; no lock is needed to read them.
  for (const auto& [name, enumerator] : type->enumerators) {
    if (enumerator.value == value) return enumerator.name.c_str();
  }
  return nullptr;
}

bool BindingRegistry::IsEnumValue(const TypeRecord* type, int32_t value) noexcept {
  if (type == nullptr) return false;
  return std::any_of(type->enumerators.begin(), type->enumerators.end(),
                     [value](const auto& entry) { return entry.second.value == value; });
}

template <typename Record>
std::vector<const Record*> BindingRegistry::Snapshot(const ByName<Record>& records) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<const Record*> out;
  out.reserve(records.size());
  for (const auto& [name, record] : records)
    out.push_back(record.get());
  return out;
}

std::vector<const FunctionRecord*> BindingRegistry::CopyFunctions() const {
  return Snapshot(functions_);
}

std::vector<const TypeRecord*> BindingRegistry::CopyTypes() const {
  return Snapshot(typesByName_);
}

std::vector<const EventRecord*> BindingRegistry::CopyEvents() const {
  return Snapshot(events_);
}

size_t BindingRegistry::FunctionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return functionCounter_;
}

TypeBuilder& TypeBuilder::AddField(std::string_view name, std::string_view description,
                                   uint32_t offset, const TypeId& fieldTypeId,
                                   const TypeIdentifier& type, const TypeIdentifier& secondType,
                                   uint8_t flags, std::unique_ptr<FieldConverter> converter,
                                   bool optional) {
  if (alreadyRegistered_) return *this;
  auto& byName = record_->fieldsByName;
  const auto index = static_cast<uint32_t>(record_->fields.size());
  const auto position = std::upper_bound(
      byName.begin(), byName.end(), name,
      [](std::string_view key, const FieldByName& other) { return key < other.name; });
  // Equal names go after the earlier ones, so only the entry just before can share the name.
  const bool repeatsName = position != byName.begin() && (position - 1)->name == name;
  byName.insert(position, FieldByName{{}, index, repeatsName});
  FieldRecord& field = record_->fields.emplace_back();
  field.name = std::string(name);
  field.nameHash = Fnv1a(name);
  field.description = std::string(description);
  field.typeId = &fieldTypeId;
  field.offset = offset;
  field.type = type;
  if (secondType.code != BindingCode::None) field.secondType = secondType;
  field.flags = flags;
  if (converter != nullptr) field.form = converter->Form();
  field.converter = std::move(converter);
  field.owner = record_;
  field.optional = optional;
  // Adding the record may have moved the others, and with them the text of short names.
  for (FieldByName& entry : byName)
    entry.name = record_->fields[entry.index].name;
  fieldCursor_ = offset;
  return *this;
}

TypeBuilder& TypeBuilder::AddEnumValue(std::string_view name, int32_t value,
                                       std::string_view description) {
  if (alreadyRegistered_) return *this;
  EnumValueRecord& enumerator = record_->enumerators[std::string(name)];
  enumerator.value = value;
  enumerator.name = std::string(name);
  enumerator.description = std::string(description);
  enumerator.owner = record_;
  return *this;
}

TypeBuilder& TypeBuilder::AddTag(std::string_view tag) {
  if (!alreadyRegistered_ && !tag.empty()) record_->tags.emplace_back(tag);
  return *this;
}

TypeBuilder& TypeBuilder::AddTags(std::span<const std::string> tags) {
  for (const std::string& tag : tags)
    AddTag(tag);
  return *this;
}

TypeBuilder& TypeBuilder::SetDescription(std::string_view description) {
  if (!alreadyRegistered_) record_->description = std::string(description);
  return *this;
}

TypeBuilder& TypeBuilder::SetNameSpace(std::string_view nameSpace) {
  if (!alreadyRegistered_) record_->nameSpace = std::string(nameSpace);
  return *this;
}

}  // namespace Oxle::Client::Binding
