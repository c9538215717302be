// BindingRegistry: the types, functions and events of one API, and the records describing them.
//
// Records are created by registration (at start-up, before other threads look anything up),
// owned by the registry and never removed while it lives, so references to them stay valid.
// One mutex guards the maps; it is held only for the map operation itself, never while a
// converter or caller code runs. The first registration of a type name wins: later ones get a
// builder that reports AlreadyRegistered() and ignores every addition.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/types/binding_code.h"
#include "binding/types/field_converter.h"
#include "binding/value/type_id.h"

namespace Oxle::Client::Binding {

class BindingRegistry;
struct TypeRecord;

// Field flags.
inline constexpr uint8_t kFieldOmitWhenZero = 1;  // writing: skip the member when zero
inline constexpr uint8_t kFieldRequired = 2;      // reading: fail when the member is missing

struct FieldRecord {
  std::string name;
  uint32_t nameHash = 0;  // FNV-1a of the name
  std::string description;
  const TypeId* typeId = nullptr;  // the field's native type
  uint32_t offset = 0;             // inside the native structure
  TypeIdentifier type;
  TypeIdentifier secondType;  // shown instead of `type` in the flat description when set
  uint8_t flags = 0;
  std::unique_ptr<FieldConverter> converter;
  NativeForm form = NativeForm::Other;  // the converter's form, Other without one
  const TypeRecord* owner = nullptr;
  bool optional = false;  // shown by the help only
};

// A field in the name order of its type: its name (a view of the record's own), its index into
// the type's fields, and whether the entry before it has the same name.
struct FieldByName {
  std::string_view name;
  uint32_t index = 0;
  bool repeatsName = false;
};

struct EnumValueRecord {
  int32_t value = 0;
  std::string name;
  std::string description;
  const TypeRecord* owner = nullptr;
};

struct TypeRecord {
  uint32_t nativeSize = 0;
  bool isEnum = false;
  std::string name;
  uint32_t hash = 0;
  const TypeId* typeId = nullptr;
  std::string nameSpace;
  std::string description;
  std::vector<std::string> tags;
  std::unordered_map<std::string, std::string> attributes;  // filled by nothing yet
  std::vector<FieldRecord> fields;                          // registration order
  std::vector<FieldByName> fieldsByName;  // `fields` by the bytes of the name, equal names in order
  std::map<std::string, EnumValueRecord> enumerators;  // by the bytes of the name
  BindingRegistry* registry = nullptr;
};

struct ArgumentRecord {
  std::string name;
  uint32_t nameHash = 0;
  std::string description;
  bool optional = false;
  TypeIdentifier type;
  TypeIdentifier secondType;
  std::unordered_map<std::string, std::string> attributes;
};

// What a function record calls: owned by the record, defined by the layer that invokes it (the
// API layer's handlers derive from it). The registry itself never calls it.
class FunctionCallable {
 public:
  virtual ~FunctionCallable() = default;
};

struct FunctionRecord {
  std::string name;
  std::vector<ArgumentRecord> arguments;
  TypeIdentifier returns;  // for an async function, the record is its async type
  TypeIdentifier secondReturns;
  std::vector<std::string> tags;
  std::unordered_map<std::string, std::string> attributes;  // filled by nothing yet
  std::string nameSpace;
  std::string description;
  std::string help;
  bool threadSafe = false;
  bool async = false;
  BindingRegistry* registry = nullptr;
  size_t nextArgument = 0;                     // the slot AddArgument fills next
  std::shared_ptr<FunctionCallable> callable;  // the function invoker; may be null
};

struct EventRecord {
  std::string name;
  const TypeRecord* dataType = nullptr;
  std::string nameSpace;
  std::string description;
  std::vector<std::string> tags;
};

// Adds fields, enumerators and tags to a type record being registered; does nothing at all when
// the type was registered before.
class TypeBuilder {
 public:
  TypeBuilder(BindingRegistry* registry, TypeRecord* record, bool alreadyRegistered) noexcept
      : registry_(registry), record_(record), alreadyRegistered_(alreadyRegistered) {}

  TypeBuilder& AddField(std::string_view name, std::string_view description, uint32_t offset,
                        const TypeId& fieldTypeId, const TypeIdentifier& type,
                        const TypeIdentifier& secondType, uint8_t flags,
                        std::unique_ptr<FieldConverter> converter, bool optional);
  // A second registration of a name keeps one enumerator, with the last value and description.
  TypeBuilder& AddEnumValue(std::string_view name, int32_t value, std::string_view description);
  TypeBuilder& AddTag(std::string_view tag);  // an empty tag is ignored
  TypeBuilder& AddTags(std::span<const std::string> tags);
  TypeBuilder& SetDescription(std::string_view description);
  TypeBuilder& SetNameSpace(std::string_view nameSpace);

  [[nodiscard]] bool AlreadyRegistered() const noexcept { return alreadyRegistered_; }
  [[nodiscard]] TypeRecord* Record() const noexcept { return record_; }
  [[nodiscard]] BindingRegistry* Registry() const noexcept { return registry_; }
  [[nodiscard]] uint32_t FieldCursor() const noexcept { return fieldCursor_; }

 private:
  BindingRegistry* registry_;
  TypeRecord* record_;
  uint32_t fieldCursor_ = 0;
  bool alreadyRegistered_;
};

class BindingRegistry {
 public:
  BindingRegistry();
  BindingRegistry(const BindingRegistry&) = delete;
  BindingRegistry& operator=(const BindingRegistry&) = delete;
  ~BindingRegistry();

  // Registers a struct or enum type, or finds the earlier registration of `name`. A
  // std::logic_error when another native type (a TypeId of the same hash and another name) holds
  // the hash, unless it is the reserved one.
  [[nodiscard]] TypeBuilder BeginType(uint32_t nativeSize, std::string_view name,
                                      const TypeId& typeId, bool isEnum);
  // A function record with `argumentCount` empty argument slots, inserted under its name (the
  // first function of a name stays; a later one is still returned, owned by the registry, but
  // found by no lookup).
  FunctionRecord* RegisterFunction(std::string_view name, size_t argumentCount);
  // The same record, not inserted yet: the caller completes it and then inserts it.
  [[nodiscard]] std::unique_ptr<FunctionRecord> CreateFunction(std::string_view name,
                                                               size_t argumentCount);
  FunctionRecord* InsertFunction(std::unique_ptr<FunctionRecord> function);
  // Fills the function's next argument slot.
  static ArgumentRecord& AddArgument(
      FunctionRecord& function, std::string_view name, std::string_view description,
      const TypeIdentifier* secondType = nullptr,
      const std::unordered_map<std::string, std::string>* attributes = nullptr);
  // Creates and inserts an event record (the first of a name stays).
  EventRecord* RegisterEvent(std::string_view name, const TypeRecord* dataType);
  // The event of that name, created with `dataType` when there is none; `created` tells which.
  EventRecord* FindOrRegisterEvent(std::string_view name, const TypeRecord* dataType,
                                   bool& created);

  [[nodiscard]] const TypeRecord* FindTypeByHash(const TypeId& typeId) const;
  [[nodiscard]] const TypeRecord* FindTypeByHash(uint32_t hash) const;
  [[nodiscard]] const TypeRecord* FindTypeByName(std::string_view name) const;
  [[nodiscard]] const FunctionRecord* FindFunction(std::string_view name) const;
  [[nodiscard]] const EventRecord* FindEvent(std::string_view name) const;
  // The name of the first enumerator, in name order, with `value`; null when there is none.
  [[nodiscard]] const char* EnumName(const TypeId& typeId, int32_t value) const;
  [[nodiscard]] static bool IsEnumValue(const TypeRecord* type, int32_t value) noexcept;

  // Snapshots for the help system.
  [[nodiscard]] std::vector<const FunctionRecord*> CopyFunctions() const;
  [[nodiscard]] std::vector<const TypeRecord*> CopyTypes() const;
  [[nodiscard]] std::vector<const EventRecord*> CopyEvents() const;
  [[nodiscard]] size_t FunctionCount() const;

  // Set once the built-in registrations are done.
  [[nodiscard]] bool Ready() const noexcept { return ready_.load(std::memory_order_acquire); }
  void SetReady() noexcept { ready_.store(true, std::memory_order_release); }

 private:
  // FNV-1a over the 4 bytes of the hash, little-endian.
  struct HashOfHash {
    size_t operator()(uint32_t hash) const noexcept;
  };
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept;
  };

  template <typename Record>
  using ByName =
      std::unordered_map<std::string, std::unique_ptr<Record>, NameHash, std::equal_to<>>;

  template <typename Record>
  [[nodiscard]] std::vector<const Record*> Snapshot(const ByName<Record>& records) const;

  // Guards every map below and functionCounter_.
  mutable std::mutex mutex_;
  ByName<FunctionRecord> functions_;
  size_t functionCounter_ = 0;
  ByName<EventRecord> events_;
  ByName<TypeRecord> typesByName_;
  std::unordered_map<uint32_t, TypeRecord*, HashOfHash> typesByHash_;
  // Records that lost to an earlier one of the same name, kept so references stay valid.
  std::vector<std::unique_ptr<FunctionRecord>> shadowedFunctions_;
  std::vector<std::unique_ptr<EventRecord>> shadowedEvents_;
  std::atomic<bool> ready_{false};
};

}  // namespace Oxle::Client::Binding
