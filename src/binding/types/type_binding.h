// Typed registration: a native struct or enum is described once, next to its definition, and
// member pointers give each field's offset, converter and type descriptor.
//
//   struct Participant { uint32_t championId = 0; Outcome outcome{}; };
//   inline void DescribeBinding(TypeDescriber<Participant>& type) {
//     type.Name("Participant")
//         .Field("championId", &Participant::championId, kFieldRequired)
//         .Field("outcome", &Participant::outcome);
//   }
//   inline void DescribeBinding(TypeDescriber<Outcome>& type) {
//     type.Name("Outcome").Value("Win", Outcome::Win).Value("Loss", Outcome::Loss);
//   }
//   const TypeRecord* record = RegisterType<Participant>(registry);  // registers Outcome too
//   ValueResult result = ReadNative(value, participant, "<value>", registry);
//
// DescribeBinding is found next to the type by argument-dependent lookup; it must call Name()
// first. Fields of struct or enum type register their type first, so nesting needs no order.
// Supported field types: bool, the 8- to 64-bit integers, float, double, std::string,
// BindingProperty, Blob, registered enums and structs, and std::vector / std::map<std::string>
// of any of them except vectors and maps (descriptors do not nest further).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/format/positional_format.h"
#include "binding/types/binding_registry.h"
#include "binding/types/native_conversion.h"
#include "binding/types/type_identity.h"

namespace Oxle::Client::Binding {

template <typename T>
class TypeDescriber;

template <typename T>
concept DescribedType = requires(TypeDescriber<T>& describer) {
  DescribeBinding(describer);
};

template <typename T>
const TypeRecord* RegisterType(BindingRegistry& registry);

// How one native type converts: its binding code and the read / write / zero operations.
template <typename T>
struct Converter;

template <typename T>
concept Convertible = requires {
  Converter<T>::kCode;
};

// bool
template <>
struct Converter<bool> {
  static constexpr BindingCode kCode = BindingCode::Bool;
  static void Read(ValueResult& result, bool& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier&, const BindingRegistry*, uint8_t) {
    if (value.Kind() == ValueKind::Bool && result.Ok()) {
      out = value.GetBool(false);
      return;
    }
    const bool read = ReadBool(result, value, label);
    if (result.Ok()) out = read;
  }
  static void Write(ValueResult&, BindingProperty& target, const bool& value, const TypeIdentifier&,
                    const BindingRegistry*) {
    target.SetBool(value);
  }
  static int IsZero(const bool& value) noexcept { return value ? 0 : 1; }
};

// The integers of 8 to 64 bits.
template <typename T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
         sizeof(T) <= 8) struct Converter<T> {
  static constexpr BindingCode kCode = [] {
    constexpr bool s = std::is_signed_v<T>;
    switch (sizeof(T)) {
      case 1:
        return s ? BindingCode::Int8 : BindingCode::Uint8;
      case 2:
        return s ? BindingCode::Int16 : BindingCode::Uint16;
      case 4:
        return s ? BindingCode::Int32 : BindingCode::Uint32;
      default:
        return s ? BindingCode::Int64 : BindingCode::Uint64;
    }
  }();
  static void Read(ValueResult& result, T& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier&, const BindingRegistry*, uint8_t) {
    // An integer of the kind and range of T is stored at once; anything else (and every
    // failure) takes the general reader.
    if (result.Ok()) {
      if (value.Kind() == ValueKind::Signed) {
        const int64_t v = value.GetSigned(0);
        bool fits;
        if constexpr (std::is_signed_v<T>) {
          fits = v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
        } else {
          fits = v >= 0 && static_cast<uint64_t>(v) <= std::numeric_limits<T>::max();
        }
        if (fits) {
          out = static_cast<T>(v);
          return;
        }
      } else if (value.Kind() == ValueKind::Unsigned) {
        const uint64_t v = value.GetUnsigned(0);
        if (v <= static_cast<uint64_t>(std::numeric_limits<T>::max())) {
          out = static_cast<T>(v);
          return;
        }
      }
    }
    if constexpr (std::is_signed_v<T>) {
      const int64_t read = ReadSigned(result, value, label, std::numeric_limits<T>::min(),
                                      std::numeric_limits<T>::max(), BindingCodeName(kCode));
      if (result.Ok()) out = static_cast<T>(read);
    } else {
      const uint64_t read =
          ReadUnsigned(result, value, label, std::numeric_limits<T>::max(), BindingCodeName(kCode));
      if (result.Ok()) out = static_cast<T>(read);
    }
  }
  static void Write(ValueResult&, BindingProperty& target, const T& value, const TypeIdentifier&,
                    const BindingRegistry*) {
    if constexpr (std::is_signed_v<T>) {
      target.SetSigned(value);
    } else {
      target.SetUnsigned(value);
    }
  }
  static int IsZero(const T& value) noexcept { return value == 0 ? 1 : 0; }
};

// float and double
template <typename T>
requires(std::is_same_v<T, float> || std::is_same_v<T, double>) struct Converter<T> {
  static constexpr BindingCode kCode =
      std::is_same_v<T, float> ? BindingCode::Float : BindingCode::Double;
  static void Read(ValueResult& result, T& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier&, const BindingRegistry*, uint8_t) {
    const double read = ReadDouble(result, value, label, -std::numeric_limits<T>::max(),
                                   std::numeric_limits<T>::max(), BindingCodeName(kCode));
    if (result.Ok()) out = static_cast<T>(read);
  }
  static void Write(ValueResult&, BindingProperty& target, const T& value, const TypeIdentifier&,
                    const BindingRegistry*) {
    target.SetFloat(value);
  }
  static int IsZero(const T& value) noexcept { return value == 0 ? 1 : 0; }
};

template <>
struct Converter<std::string> {
  static constexpr BindingCode kCode = BindingCode::String;
  static void Read(ValueResult& result, std::string& out, const BindingProperty& value,
                   const char* label, const TypeIdentifier&, const BindingRegistry* registry,
                   uint8_t) {
    if (value.Kind() == ValueKind::String && result.Ok()) {
      // Clearing keeps the buffer and appending skips assign's check for text of `out` itself.
      out.clear();
      out.append(value.GetString());
      return;
    }
    std::string read = ReadString(result, value, label, registry);
    if (result.Ok()) out = std::move(read);
  }
  static void Write(ValueResult&, BindingProperty& target, const std::string& value,
                    const TypeIdentifier&, const BindingRegistry*) {
    target.SetString(value);
  }
  static int IsZero(const std::string& value) noexcept { return value.empty() ? 1 : 0; }
};

// A field that holds any value: copied as it is.
template <>
struct Converter<BindingProperty> {
  static constexpr BindingCode kCode = BindingCode::Object;
  static void Read(ValueResult& result, BindingProperty& out, const BindingProperty& value,
                   const char*, const TypeIdentifier&, const BindingRegistry*, uint8_t) {
    if (result.Ok()) out = value;
  }
  static void Write(ValueResult&, BindingProperty& target, const BindingProperty& value,
                    const TypeIdentifier&, const BindingRegistry*) {
    target = value;
  }
  static int IsZero(const BindingProperty& value) noexcept { return IsZeroValue(value) ? 1 : 0; }
};

// A byte vector: accepted only as a blob.
template <>
struct Converter<Blob> {
  static constexpr BindingCode kCode = BindingCode::Blob;
  static void Read(ValueResult& result, Blob& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier&, const BindingRegistry*, uint8_t) {
    if (!result.Ok()) return;
    if (value.Kind() == ValueKind::Blob) {
      out = value.GetBlob();
    } else if (value.Kind() == ValueKind::Empty) {
      FailRequired(result, label);
    } else {
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of type blob because "
                                            "the input is of an invalid type %2.",
                                            label, BindingProperty::KindName(value.Kind())));
    }
  }
  static void Write(ValueResult&, BindingProperty& target, const Blob& value, const TypeIdentifier&,
                    const BindingRegistry*) {
    target.SetBlob(value);
  }
  static int IsZero(const Blob& value) noexcept { return value.empty() ? 1 : 0; }
};

// Registered enums, 32-bit.
template <typename T>
requires(std::is_enum_v<T>&& DescribedType<T>) struct Converter<T> {
  static_assert(sizeof(T) == 4, "registered enums are 32-bit");
  static constexpr BindingCode kCode = BindingCode::Enum;
  static void Read(ValueResult& result, T& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier& type, const BindingRegistry*, uint8_t) {
    const int32_t read = ReadEnum(result, value, label, type.record);
    if (result.Ok()) out = static_cast<T>(read);
  }
  static void Write(ValueResult&, BindingProperty& target, const T& value, const TypeIdentifier&,
                    const BindingRegistry*) {
    target.SetEnum(static_cast<int32_t>(value), TypeIdOf<T>());
  }
  static int IsZero(const T& value) noexcept { return static_cast<int32_t>(value) == 0 ? 1 : 0; }
};

// Registered structs.
template <typename T>
requires(std::is_class_v<T>&& DescribedType<T>) struct Converter<T> {
  static constexpr BindingCode kCode = BindingCode::Struct;
  static void Read(ValueResult& result, T& out, const BindingProperty& value, const char* label,
                   const TypeIdentifier& type, const BindingRegistry* registry, uint8_t flags) {
    ReadStruct(registry, result, &out, value, label, type.record, flags);
  }
  static void Write(ValueResult& status, BindingProperty& target, const T& value,
                    const TypeIdentifier& type, const BindingRegistry* registry) {
    WriteStructInto(registry, status, target, &value, type.record);
  }
  static int IsZero(const T&) noexcept { return -1; }
};

// The descriptor of an element of a vector or map.
[[nodiscard]] inline TypeIdentifier ElementType(const TypeIdentifier& container) noexcept {
  return TypeIdentifier{container.elementCode, BindingCode::None, container.record};
}

template <typename E>
concept ElementConvertible = Convertible<E> && Converter<E>::kCode !=
                             BindingCode::Vector&& Converter<E>::kCode != BindingCode::Map;

// Vectors: elements read with the vector's own label; an empty element stays default-made.
template <typename E>
requires(!std::is_same_v<E, uint8_t> && ElementConvertible<E>) struct Converter<std::vector<E>> {
  static constexpr BindingCode kCode = BindingCode::Vector;
  using Element = E;
  static void Read(ValueResult& result, std::vector<E>& out, const BindingProperty& value,
                   const char* label, const TypeIdentifier& type, const BindingRegistry* registry,
                   uint8_t flags) {
    out.clear();
    if (!result.Ok()) return;
    if (value.Kind() != ValueKind::Collection) {
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of type vector because "
                                            "the input not a collection.",
                                            label));
      return;
    }
    const auto elements = value.Elements();
    out.resize(elements.size());
    const TypeIdentifier elementType = ElementType(type);
    for (size_t i = 0; i < elements.size() && result.Ok(); ++i) {
      if (elements[i].Kind() == ValueKind::Empty) continue;
      if constexpr (std::is_same_v<E, bool>) {
        bool element = false;
        Converter<bool>::Read(result, element, elements[i], label, elementType, registry, flags);
        out[i] = element;
      } else {
        Converter<E>::Read(result, out[i], elements[i], label, elementType, registry, flags);
      }
    }
  }
  static void Write(ValueResult& status, BindingProperty& target, const std::vector<E>& value,
                    const TypeIdentifier& type, const BindingRegistry* registry) {
    target.Clear();
    target.MakeCollection();
    target.Reserve(value.size());
    const TypeIdentifier elementType = ElementType(type);
    // Elements of a const vector<bool> read as plain bools, so one form serves every E.
    for (size_t i = 0; i < value.size() && status.Ok(); ++i) {
      Converter<E>::Write(status, target.Append(), value[i], elementType, registry);
    }
  }
  static int IsZero(const std::vector<E>& value) noexcept { return value.empty() ? 1 : 0; }
};

// Maps from text to elements: a structure whose members are read with the map's label.
template <typename E>
requires ElementConvertible<E>
struct Converter<std::map<std::string, E>> {
  static constexpr BindingCode kCode = BindingCode::Map;
  using Element = E;
  static void Read(ValueResult& result, std::map<std::string, E>& out, const BindingProperty& value,
                   const char* label, const TypeIdentifier& type, const BindingRegistry* registry,
                   uint8_t flags) {
    out.clear();
    if (!result.Ok()) return;
    if (value.Kind() != ValueKind::Structure) {
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of type map because "
                                            "the input not a structure.",
                                            label));
      return;
    }
    const TypeIdentifier elementType = ElementType(type);
    for (auto member : value.Members()) {
      if (!result.Ok()) return;
      E& element = out[std::string(member.key)];
      if (member.value.Kind() != ValueKind::Empty) {
        Converter<E>::Read(result, element, member.value, label, elementType, registry, flags);
      }
    }
  }
  static void Write(ValueResult& status, BindingProperty& target,
                    const std::map<std::string, E>& value, const TypeIdentifier& type,
                    const BindingRegistry* registry) {
    target.Clear();
    target.MakeStructure();
    const TypeIdentifier elementType = ElementType(type);
    for (const auto& [key, element] : value) {
      if (!status.Ok()) return;
      Converter<E>::Write(status, target.Get(key), element, elementType, registry);
    }
  }
  static int IsZero(const std::map<std::string, E>& value) noexcept {
    return value.empty() ? 1 : 0;
  }
};

// The descriptor of T, registering the struct or enum it names first.
template <Convertible T>
[[nodiscard]] TypeIdentifier TypeIdentifierOf(BindingRegistry& registry) {
  TypeIdentifier type{Converter<T>::kCode, BindingCode::None, nullptr};
  if constexpr (Converter<T>::kCode == BindingCode::Vector ||
                Converter<T>::kCode == BindingCode::Map) {
    using Inner = typename Converter<T>::Element;
    type.elementCode = Converter<Inner>::kCode;
    if constexpr (DescribedType<Inner>) type.record = RegisterType<Inner>(registry);
  } else if constexpr (DescribedType<T>) {
    type.record = RegisterType<T>(registry);
  }
  return type;
}

// The inline form of a field of type M, Other when it has none. Structure conversion then calls
// Converter<M> itself, as the field's TypedFieldConverter would.
template <typename M>
[[nodiscard]] constexpr NativeForm NativeFormOf() noexcept {
  if constexpr (std::is_same_v<M, bool>)
    return NativeForm::Bool;
  else if constexpr (std::is_same_v<M, int8_t>)
    return NativeForm::Int8;
  else if constexpr (std::is_same_v<M, uint8_t>)
    return NativeForm::Uint8;
  else if constexpr (std::is_same_v<M, int16_t>)
    return NativeForm::Int16;
  else if constexpr (std::is_same_v<M, uint16_t>)
    return NativeForm::Uint16;
  else if constexpr (std::is_same_v<M, int32_t>)
    return NativeForm::Int32;
  else if constexpr (std::is_same_v<M, uint32_t>)
    return NativeForm::Uint32;
  else if constexpr (std::is_same_v<M, int64_t>)
    return NativeForm::Int64;
  else if constexpr (std::is_same_v<M, uint64_t>)
    return NativeForm::Uint64;
  else if constexpr (std::is_same_v<M, float>)
    return NativeForm::Float;
  else if constexpr (std::is_same_v<M, double>)
    return NativeForm::Double;
  else if constexpr (std::is_same_v<M, std::string>)
    return NativeForm::String;
  else
    return NativeForm::Other;
}

// The field converter of a member of type M.
template <Convertible M>
class TypedFieldConverter final : public FieldConverter {
 public:
  void ReadField(ValueResult& result, void* native, const BindingProperty& value, const char* label,
                 const TypeIdentifier& type, const BindingRegistry* registry,
                 uint8_t flags) const override {
    Converter<M>::Read(result, *static_cast<M*>(native), value, label, type, registry, flags);
  }
  void WriteInto(ValueResult& status, BindingProperty& target, const void* native,
                 const TypeIdentifier& type, const BindingRegistry* registry) const override {
    Converter<M>::Write(status, target, *static_cast<const M*>(native), type, registry);
  }
  [[nodiscard]] int IsZero(const void* native) const noexcept override {
    return Converter<M>::IsZero(*static_cast<const M*>(native));
  }
  [[nodiscard]] NativeForm Form() const noexcept override { return NativeFormOf<M>(); }
};

template <typename P>
struct MemberPointerTraits;
template <typename C, typename M>
struct MemberPointerTraits<M C::*> {
  using Class = C;
  using Member = M;
};

// The byte offset of a data member. Pointers to data members hold the member's offset on the
// ABIs this module is built for (checked by the size assertion and by the tests).
template <typename T, typename M>
[[nodiscard]] uint32_t MemberOffset(M T::*member) noexcept {
  static_assert(sizeof(member) == sizeof(ptrdiff_t));
  return static_cast<uint32_t>(std::bit_cast<ptrdiff_t>(member));
}

// Describes T to a registry; DescribeBinding functions receive one.
template <typename T>
class TypeDescriber {
 public:
  explicit TypeDescriber(BindingRegistry& registry) noexcept : registry_(registry) {}

  // Registers the type under `name`; the first call a describer gets.
  TypeDescriber& Name(std::string_view name) {
    builder_.emplace(registry_.BeginType(static_cast<uint32_t>(sizeof(T)), name, TypeIdOf<T>(),
                                         std::is_enum_v<T>));
    return *this;
  }
  TypeDescriber& Description(std::string_view description) {
    Builder().SetDescription(description);
    return *this;
  }
  TypeDescriber& NameSpace(std::string_view nameSpace) {
    Builder().SetNameSpace(nameSpace);
    return *this;
  }
  TypeDescriber& Tag(std::string_view tag) {
    Builder().AddTag(tag);
    return *this;
  }

  // A field of a struct: `flags` is kFieldRequired and/or kFieldOmitWhenZero.
  template <typename P>
  requires std::is_member_object_pointer_v<P> TypeDescriber& Field(
      std::string_view name, P member, uint8_t flags = 0, std::string_view description = {},
      bool optional = false) {
    using M = typename MemberPointerTraits<P>::Member;
    static_assert(std::is_same_v<typename MemberPointerTraits<P>::Class, T>,
                  "a field must be a member of the described type");
    static_assert(Convertible<M>, "no conversion for this field type");
    TypeBuilder& builder = Builder();
    if (builder.AlreadyRegistered()) return *this;
    const TypeIdentifier type = TypeIdentifierOf<M>(registry_);
    builder.AddField(name, description, MemberOffset(member), TypeIdOf<M>(), type, {}, flags,
                     std::make_unique<TypedFieldConverter<M>>(), optional);
    return *this;
  }

  // A field declared to the API with `declared` as its type while its native form converts as
  // the member's own type does (a list of values presented as one "object", for example).
  template <typename P>
  requires std::is_member_object_pointer_v<P> TypeDescriber& FieldAs(
      std::string_view name, P member, const TypeId& declaredTypeId, const TypeIdentifier& declared,
      uint8_t flags = 0, std::string_view description = {}) {
    using M = typename MemberPointerTraits<P>::Member;
    static_assert(std::is_same_v<typename MemberPointerTraits<P>::Class, T>,
                  "a field must be a member of the described type");
    static_assert(Convertible<M>, "no conversion for this field type");
    TypeBuilder& builder = Builder();
    if (builder.AlreadyRegistered()) return *this;
    builder.AddField(name, description, MemberOffset(member), declaredTypeId, declared, {}, flags,
                     std::make_unique<TypedFieldConverter<M>>(), false);
    return *this;
  }

  // An enumerator of an enum.
  TypeDescriber& Value(std::string_view name, T value,
                       std::string_view description = {}) requires std::is_enum_v<T> {
    Builder().AddEnumValue(name, static_cast<int32_t>(value), description);
    return *this;
  }

  [[nodiscard]] const TypeRecord* Record() const noexcept {
    return builder_ ? builder_->Record() : nullptr;
  }

 private:
  TypeBuilder& Builder() {
    // Name() must come first: without it there is nothing to describe into.
    if (!builder_) Name(StaticType::Name<T>());
    return *builder_;
  }

  BindingRegistry& registry_;
  std::optional<TypeBuilder> builder_;
};

// Registers T (and the types of its fields) and gives its record; a type registered before is
// returned as it is. A different type already registered under T's hash is a std::logic_error.
template <typename T>
const TypeRecord* RegisterType(BindingRegistry& registry) {
  const TypeRecord* known = registry.FindTypeByHash(TypeIdOf<T>());
  // The record under T's hash may belong to a type whose signature merely hashes alike; then
  // registering T goes on, and BeginType refuses it.
  if (known != nullptr && SameTypeIdentity(*known->typeId, TypeIdOf<T>())) return known;
  TypeDescriber<T> describer(registry);
  DescribeBinding(describer);
  return describer.Record();
}

// Reads a whole registered structure from `value`.
template <typename T>
requires(std::is_class_v<T>&& DescribedType<T>) [[nodiscard]] ValueResult
    ReadNative(const BindingProperty& value, T& out, const char* label, BindingRegistry& registry,
               uint8_t flags = 0) {
  ValueResult result;
  ReadTop(result, &out, value, label, RegisterType<T>(registry), &registry, flags);
  return result;
}

// Writes a registered structure into a new value.
template <typename T>
requires(std::is_class_v<T>&& DescribedType<T>) [[nodiscard]] ValueResult
    WriteNative(const T& value, BindingRegistry& registry) {
  ValueResult result;
  WriteStruct(&registry, result, &value, RegisterType<T>(registry));
  return result;
}

}  // namespace Oxle::Client::Binding
