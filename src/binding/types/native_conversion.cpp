#include "binding/types/native_conversion.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "binding/format/positional_format.h"
#include "binding/types/type_binding.h"

namespace Oxle::Client::Binding {
namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

void FailInvalidType(ValueResult& result, const char* label, const char* typeName,
                     const BindingProperty& value) {
  FailConversion(result,
                 FormatToString("Couldn't assign value to '%1' of type %2 because the input is of "
                                "an invalid type %3.",
                                label, typeName, BindingProperty::KindName(value.Kind())));
}

template <typename Number>
void FailOutOfRange(ValueResult& result, const Number& shown, const char* label,
                    const char* typeName) {
  FailConversion(result, FormatToString("Value %1 for '%2' of type %3 is out of range", shown,
                                        label, typeName));
}

void FailFormat(ValueResult& result, std::string_view text, const char* label,
                const char* typeName) {
  FailConversion(result, FormatToString("Value %1 for '%2' of type %3 is in an incorrect format",
                                        text, label, typeName));
}

// The number of a signed or enum value (enumerators sign-extended).
int64_t SignedOrEnumerator(const BindingProperty& value) noexcept {
  return value.Kind() == ValueKind::Signed ? value.GetSigned(0) : value.GetEnum().value;
}

// Whether the whole of `text` was consumed. The interned text is NUL-terminated, so the C
// parsers stop at its end at the latest (or at an embedded NUL, which is then "incorrect").
bool ParsedWhole(std::string_view text, const char* end) noexcept {
  return end == text.data() + text.size();
}

// A double known to lie in [min, max] (or NaN) truncated toward zero, or nothing when the
// truncation has no int64 value (2^63 compares equal to the largest int64 as a double).
std::optional<int64_t> TruncateToSigned(double v) noexcept {
  if (std::isnan(v)) return 0;  // NaN passes every range test; it reads as 0
  if (v >= kTwoTo63 || v < -kTwoTo63) return std::nullopt;
  return static_cast<int64_t>(v);
}

std::optional<uint64_t> TruncateToUnsigned(double v) noexcept {
  if (std::isnan(v)) return 0;
  if (v >= kTwoTo64 || v <= -1.0) return std::nullopt;
  return static_cast<uint64_t>(v);
}

// The signed reading of a text, as ReadSigned does it.
int64_t ParseSigned(ValueResult& result, std::string_view text, const char* label, int64_t min,
                    int64_t max, const char* typeName) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.data(), &end, 0);
  if (!ParsedWhole(text, end)) {
    FailFormat(result, text, label, typeName);
    return 0;
  }
  if (errno == ERANGE || parsed < min || parsed > max) {
    FailOutOfRange(result, text, label, typeName);
    return 0;
  }
  return parsed;
}

// ReadStruct pairs members with fields in one merge pass for types of up to this many fields.
constexpr size_t kMatchedFields = 16;
// ... and for structures of at most this many members per field of the type.
constexpr size_t kMergeMembersPerField = 4;

// Whether two texts are equal, by loads of whole words: the two words (or half words) at the
// start and at the end of a text overlap for lengths below twice their size, so no byte outside
// either text is read. Names are short; a library call would cost more than the comparison.
bool SameText(std::string_view a, std::string_view b) noexcept {
  const size_t size = a.size();
  if (size != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  auto load8 = [](const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  auto load4 = [](const char* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  if (size >= 8) {
    for (size_t i = 0; i + 8 < size; i += 8) {
      if (load8(x + i) != load8(y + i)) return false;
    }
    return load8(x + size - 8) == load8(y + size - 8);
  }
  if (size >= 4) {
    return load4(x) == load4(y) && load4(x + size - 4) == load4(y + size - 4);
  }
  for (size_t i = 0; i < size; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

// Fills matched[i] with the member named like type.fields[i], or null. Both sides are
// in byte order of their names (fields of equal names next to each other), so one step through
// each finds every member a search would.
void MatchMembers(BindingProperty::MemberRange<true> members, const TypeRecord& type,
                  const BindingProperty** matched) noexcept {
  auto member = members.begin();
  const auto end = members.end();
  const BindingProperty* previous = nullptr;
  for (const FieldByName& field : type.fieldsByName) {
    // A field named like the one before it has that one's member (the cursor moved past it).
    if (!field.repeatsName) {
      previous = nullptr;
      for (; member != end; ++member) {
        const auto current = *member;
        // Usually the member is the field's own: equality first, the order only when it fails.
        if (SameText(current.key, field.name)) {
          previous = &current.value;
          ++member;
          break;
        }
        if (current.key > field.name) break;
      }
    }
    matched[field.index] = previous;
  }
}

template <typename T>
void ReadAs(ValueResult& result, void* native, const BindingProperty& value,
            const FieldRecord& field, const BindingRegistry* registry, uint8_t flags) {
  Converter<T>::Read(result, *static_cast<T*>(native), value, field.name.c_str(), field.type,
                     registry, flags);
}

// Reads a field as its converter would, inline for the plain native forms.
void ReadFieldOf(ValueResult& result, void* native, const BindingProperty& value,
                 const FieldRecord& field, const BindingRegistry* registry, uint8_t flags) {
  switch (field.form) {
    case NativeForm::Bool:
      return ReadAs<bool>(result, native, value, field, registry, flags);
    case NativeForm::Int8:
      return ReadAs<int8_t>(result, native, value, field, registry, flags);
    case NativeForm::Uint8:
      return ReadAs<uint8_t>(result, native, value, field, registry, flags);
    case NativeForm::Int16:
      return ReadAs<int16_t>(result, native, value, field, registry, flags);
    case NativeForm::Uint16:
      return ReadAs<uint16_t>(result, native, value, field, registry, flags);
    case NativeForm::Int32:
      return ReadAs<int32_t>(result, native, value, field, registry, flags);
    case NativeForm::Uint32:
      return ReadAs<uint32_t>(result, native, value, field, registry, flags);
    case NativeForm::Int64:
      return ReadAs<int64_t>(result, native, value, field, registry, flags);
    case NativeForm::Uint64:
      return ReadAs<uint64_t>(result, native, value, field, registry, flags);
    case NativeForm::Float:
      return ReadAs<float>(result, native, value, field, registry, flags);
    case NativeForm::Double:
      return ReadAs<double>(result, native, value, field, registry, flags);
    case NativeForm::String:
      return ReadAs<std::string>(result, native, value, field, registry, flags);
    case NativeForm::Other:
      break;
  }
  field.converter->ReadField(result, native, value, field.name.c_str(), field.type, registry,
                             flags);
}

template <typename T>
void WriteAs(ValueResult& status, BindingProperty& target, const void* native,
             const FieldRecord& field, const BindingRegistry* registry) {
  Converter<T>::Write(status, target, *static_cast<const T*>(native), field.type, registry);
}

// Writes a field as its converter would, inline for the plain native forms.
void WriteFieldInto(ValueResult& status, BindingProperty& target, const void* native,
                    const FieldRecord& field, const BindingRegistry* registry) {
  switch (field.form) {
    case NativeForm::Bool:
      return WriteAs<bool>(status, target, native, field, registry);
    case NativeForm::Int8:
      return WriteAs<int8_t>(status, target, native, field, registry);
    case NativeForm::Uint8:
      return WriteAs<uint8_t>(status, target, native, field, registry);
    case NativeForm::Int16:
      return WriteAs<int16_t>(status, target, native, field, registry);
    case NativeForm::Uint16:
      return WriteAs<uint16_t>(status, target, native, field, registry);
    case NativeForm::Int32:
      return WriteAs<int32_t>(status, target, native, field, registry);
    case NativeForm::Uint32:
      return WriteAs<uint32_t>(status, target, native, field, registry);
    case NativeForm::Int64:
      return WriteAs<int64_t>(status, target, native, field, registry);
    case NativeForm::Uint64:
      return WriteAs<uint64_t>(status, target, native, field, registry);
    case NativeForm::Float:
      return WriteAs<float>(status, target, native, field, registry);
    case NativeForm::Double:
      return WriteAs<double>(status, target, native, field, registry);
    case NativeForm::String:
      return WriteAs<std::string>(status, target, native, field, registry);
    case NativeForm::Other:
      break;
  }
  field.converter->WriteInto(status, target, native, field.type, registry);
}

}  // namespace

void FailConversion(ValueResult& result, std::string_view message) {
  if (result.Ok()) result.SetError(message);
}

void FailRequired(ValueResult& result, const char* label) {
  FailConversion(result, FormatToString("A value for '%1' is required.", label));
}

bool ReadBool(ValueResult& result, const BindingProperty& value, const char* label) {
  if (!result.Ok()) return false;
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return false;
    case ValueKind::Bool:
      return value.GetBool(false);
    case ValueKind::String: {
      const std::string_view text = value.GetString();
      if (text == "true" || text == "1") return true;
      if (text == "false" || text == "0") return false;
      FailConversion(result,
                     FormatToString("Value %1 for '%2' of type bool is in an incorrect "
                                    "format. Options are \"true\", \"false\", \"1\", \"0\".",
                                    text, label));
      return false;
    }
    default:
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of type bool because "
                                            "the input is of an invalid type %2.",
                                            label, BindingProperty::KindName(value.Kind())));
      return false;
  }
}

int64_t ReadSigned(ValueResult& result, const BindingProperty& value, const char* label,
                   int64_t min, int64_t max, const char* typeName) {
  if (!result.Ok()) return 0;
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return 0;
    case ValueKind::Signed:
    case ValueKind::Enum: {
      const int64_t v = SignedOrEnumerator(value);
      if (v < min || v > max) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return v;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = value.GetUnsigned(0);
      if (max < 0 || v > static_cast<uint64_t>(max)) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return static_cast<int64_t>(v);
    }
    case ValueKind::Float: {
      const double v = value.GetFloat(0.0);
      const std::optional<int64_t> truncated = TruncateToSigned(v);
      if (static_cast<double>(min) > v || v > static_cast<double>(max) || !truncated) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return *truncated;
    }
    case ValueKind::String:
      return ParseSigned(result, value.GetString(), label, min, max, typeName);
    default:
      FailInvalidType(result, label, typeName, value);
      return 0;
  }
}

uint64_t ReadUnsigned(ValueResult& result, const BindingProperty& value, const char* label,
                      uint64_t max, const char* typeName) {
  if (!result.Ok()) return 0;
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return 0;
    case ValueKind::Signed:
    case ValueKind::Enum: {
      const int64_t v = SignedOrEnumerator(value);
      if (v < 0 || static_cast<uint64_t>(v) > max) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return static_cast<uint64_t>(v);
    }
    case ValueKind::Unsigned: {
      const uint64_t v = value.GetUnsigned(0);
      if (v > max) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return v;
    }
    case ValueKind::Float: {
      const double v = value.GetFloat(0.0);
      const std::optional<uint64_t> truncated = TruncateToUnsigned(v);
      if (v < 0.0 || v > static_cast<double>(max) || !truncated || *truncated > max) {
        FailOutOfRange(result, v, label, typeName);
        return 0;
      }
      return *truncated;
    }
    case ValueKind::String: {
      const std::string_view text = value.GetString();
      // strtoull would negate a leading '-'; only the first byte is looked at.
      if (!text.empty() && text.front() == '-') {
        FailOutOfRange(result, text, label, typeName);
        return 0;
      }
      errno = 0;
      char* end = nullptr;
      const unsigned long long parsed = std::strtoull(text.data(), &end, 0);
      if (!ParsedWhole(text, end)) {
        FailFormat(result, text, label, typeName);
        return 0;
      }
      if (errno == ERANGE || parsed > max) {
        FailOutOfRange(result, text, label, typeName);
        return 0;
      }
      return parsed;
    }
    default:
      FailInvalidType(result, label, typeName, value);
      return 0;
  }
}

double ReadDouble(ValueResult& result, const BindingProperty& value, const char* label, double min,
                  double max, const char* typeName) {
  if (!result.Ok()) return 0.0;
  // Integer inputs are compared with the bounds as integers, each bound only when it has one.
  const bool minFits = min >= -kTwoTo63 && min < kTwoTo63;
  const bool maxFits = max >= -kTwoTo63 && max < kTwoTo63;
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return 0.0;
    case ValueKind::Signed:
    case ValueKind::Enum: {
      const int64_t v = SignedOrEnumerator(value);
      if ((minFits && v < static_cast<int64_t>(min)) ||
          (maxFits && v > static_cast<int64_t>(max)) || (!minFits && min >= kTwoTo63) ||
          (!maxFits && max < -kTwoTo63)) {
        FailOutOfRange(result, v, label, typeName);
        return 0.0;
      }
      return static_cast<double>(v);
    }
    case ValueKind::Unsigned: {
      const uint64_t v = value.GetUnsigned(0);
      const bool maxFitsUnsigned = max >= 0.0 && max < kTwoTo64;
      if ((maxFitsUnsigned && v > static_cast<uint64_t>(max)) || max < 0.0) {
        FailOutOfRange(result, v, label, typeName);
        return 0.0;
      }
      return static_cast<double>(v);
    }
    case ValueKind::Float: {
      const double v = value.GetFloat(0.0);
      if (min > v || v > max) {
        FailOutOfRange(result, v, label, typeName);
        return 0.0;
      }
      return v;
    }
    case ValueKind::String: {
      const std::string_view text = value.GetString();
      errno = 0;
      char* end = nullptr;
      const double parsed = std::strtod(text.data(), &end);
      if (!ParsedWhole(text, end)) {
        FailFormat(result, text, label, typeName);
        return 0.0;
      }
      if (errno == ERANGE || min > parsed || parsed > max) {
        FailOutOfRange(result, text, label, typeName);
        return 0.0;
      }
      return parsed;
    }
    default:
      FailInvalidType(result, label, typeName, value);
      return 0.0;
  }
}

int32_t ReadEnum(ValueResult& result, const BindingProperty& value, const char* label,
                 const TypeRecord* type) {
  if (!result.Ok()) return 0;
  const char* typeName = type != nullptr ? type->name.c_str() : "";
  auto notValid = [&](const auto& shown) {
    FailConversion(result, FormatToString("%1 is not a valid %2 enumeration value for '%3'.", shown,
                                          typeName, label));
    return 0;
  };
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return 0;
    case ValueKind::Signed: {
      const int64_t v = value.GetSigned(0);
      const auto candidate = static_cast<int32_t>(static_cast<uint32_t>(v));
      return BindingRegistry::IsEnumValue(type, candidate) ? candidate : notValid(v);
    }
    case ValueKind::Unsigned: {
      const uint64_t v = value.GetUnsigned(0);
      const auto candidate = static_cast<int32_t>(static_cast<uint32_t>(v));
      return BindingRegistry::IsEnumValue(type, candidate) ? candidate : notValid(v);
    }
    case ValueKind::Enum: {
      const int32_t v = value.GetEnum().value;
      return BindingRegistry::IsEnumValue(type, v) ? v : notValid(v);
    }
    case ValueKind::String: {
      const std::string_view text = value.GetString();
      if (type != nullptr) {
        auto found = type->enumerators.find(std::string(text));
        if (found != type->enumerators.end()) return found->second.value;
      }
      ValueResult parse;
      const int64_t parsed = ParseSigned(parse, text, label, INT64_MIN, INT64_MAX, typeName);
      const auto candidate = static_cast<int32_t>(static_cast<uint32_t>(parsed));
      if (parse.Ok() && BindingRegistry::IsEnumValue(type, candidate)) return candidate;
      return notValid(text);
    }
    default:
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of enum type because "
                                            "the input is of an invalid type %2.",
                                            label, BindingProperty::KindName(value.Kind())));
      return 0;
  }
}

std::string ReadString(ValueResult& result, const BindingProperty& value, const char* label,
                       const BindingRegistry* registry) {
  if (!result.Ok()) return std::string();
  switch (value.Kind()) {
    case ValueKind::Empty:
      FailRequired(result, label);
      return std::string();
    case ValueKind::String:
      return std::string(value.GetString());
    case ValueKind::Enum: {
      const EnumValue enumValue = value.GetEnum();
      const char* name = registry != nullptr && enumValue.type != nullptr
                             ? registry->EnumName(*enumValue.type, enumValue.value)
                             : nullptr;
      if (name != nullptr) return name;
      FailConversion(result, FormatToString("%1 is not a valid enumeration value for '%2'.",
                                            enumValue.value, label));
      return std::string();
    }
    default:
      FailConversion(result, FormatToString("Couldn't assign value to '%1' because the input is "
                                            "not a string.",
                                            label));
      return std::string();
  }
}

void ReadStruct(const BindingRegistry* registry, ValueResult& result, void* nativeBase,
                const BindingProperty& value, const char* label, const TypeRecord* type,
                uint8_t flags) {
  if (type == nullptr) {
    FailConversion(result, FormatToString("Couldn't assign value to '%1' because the input is an "
                                          "unregistered structure or not a structure at all.",
                                          label));
    return;
  }
  if (result.Ok() && value.Kind() != ValueKind::Structure) {
    FailConversion(result, FormatToString("Couldn't assign value to '%1' of type %2 because the "
                                          "input not a structure.",
                                          label, type->name));
  }
  auto* base = static_cast<unsigned char*>(nativeBase);
  const size_t fieldCount = type->fields.size();
  // The members of every field, found in one pass that walks the members (in key order) beside
  // the fields in name order, instead of a search per field. Worth it unless the structure holds
  // many more members than the type has fields; larger types search per field.
  const BindingProperty* matched[kMatchedFields];
  const auto members = value.Members();
  const bool merge = result.Ok() && fieldCount <= kMatchedFields &&
                     members.size() <= fieldCount * kMergeMembersPerField;
  if (merge) MatchMembers(members, *type, matched);
  for (size_t i = 0; i < fieldCount; ++i) {
    if (!result.Ok()) return;
    const FieldRecord& field = type->fields[i];
    const BindingProperty* member = merge ? matched[i] : &value.Get(field.name);
    if (member != nullptr && member->Kind() != ValueKind::Empty) {
      if (field.converter != nullptr) {
        ReadFieldOf(result, base + field.offset, *member, field, registry, flags);
      }
    } else if ((field.flags & kFieldRequired) != 0) {
      FailConversion(result, FormatToString("Couldn't assign value to '%1' of type %2 because the "
                                            "input structure doesn't have required field '%3'.",
                                            label, type->name, field.name));
    }
  }
}

void ReadTop(ValueResult& result, void* native, const BindingProperty& value, const char* label,
             const TypeRecord* type, const BindingRegistry* registry, uint8_t flags) {
  if (!result.Ok()) return;
  if (value.Kind() == ValueKind::Empty) {
    FailRequired(result, label);
    return;
  }
  ReadStruct(registry, result, native, value, label, type, flags);
}

void WriteStructInto(const BindingRegistry* registry, ValueResult& status, BindingProperty& target,
                     const void* nativeBase, const TypeRecord* type) {
  if (type == nullptr) {
    FailConversion(status, "Couldn't convert native value because it's an unregistered structure.");
    return;
  }
  target.Clear();
  target.MakeStructure();
  const auto* base = static_cast<const unsigned char*>(nativeBase);
  // Members are added in key order, which appends each without a search. Only a failure could
  // tell the order apart, and every write failure has the same message.
  for (const FieldByName& entry : type->fieldsByName) {
    const FieldRecord& field = type->fields[entry.index];
    if (!status.Ok()) return;
    if (field.converter == nullptr) continue;
    const void* native = base + field.offset;
    const bool omitWhenZero = (field.flags & kFieldOmitWhenZero) != 0;
    const int zero = omitWhenZero ? field.converter->IsZero(native) : 0;
    if (zero == 1) continue;
    if (zero == 0) {
      WriteFieldInto(status, target.Get(field.name, field.nameHash), native, field, registry);
      continue;
    }
    // Only the written value tells whether it is zero: write it aside first.
    ValueResult written;
    field.converter->WriteField(written, native, field.type, registry);
    if (!written.Ok()) {
      FailConversion(status, written.ErrorMessage());
      return;
    }
    if (!IsZeroValue(written.Value())) {
      target.Get(field.name, field.nameHash) = std::move(written.Value());
    }
  }
}

void WriteStruct(const BindingRegistry* registry, ValueResult& result, const void* nativeBase,
                 const TypeRecord* type) {
  result.SetOk();
  WriteStructInto(registry, result, result.Value(), nativeBase, type);
}

bool IsZeroValue(const BindingProperty& value) noexcept {
  switch (value.Kind()) {
    case ValueKind::Empty:
      return true;
    case ValueKind::Bool:
      return !value.GetBool(false);
    case ValueKind::Signed:
      return value.GetSigned(1) == 0;
    case ValueKind::Unsigned:
      return value.GetUnsigned(1) == 0;
    case ValueKind::Float:
      return value.GetFloat(1.0) == 0.0;
    case ValueKind::Enum:
      return value.GetEnum().value == 0;
    default:  // string, blob, collection, structure
      return value.Size() == 0;
  }
}

}  // namespace Oxle::Client::Binding
