#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/itoa.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "binding/types/binding_registry.h"
#include "binding/types/host_value.h"
#include "binding/value/base64.h"
#include "codec/json.h"

namespace Oxle::Client::Codec {

using Binding::BindingProperty;
using Binding::ValueKind;

namespace {

// The most decimal places a double is written with (all that a round trip can need).
constexpr int kMaxDecimalPlaces = 324;
constexpr size_t kIndentCount = 4;
// The first buffer's size, and the most a number can take (a double's shortest form with its
// exponent, or a signed 64-bit integer).
constexpr size_t kInitialCapacity = 256;
constexpr size_t kMaxNumberBytes = 25;
// Strings are checked in groups of this many bytes, and line starts copied in groups of
// kLineGroup. Line starts up to kPreparedIndent spaces deep (32 levels) are copied from a
// prepared text.
constexpr size_t kGroup = sizeof(uint64_t);
constexpr size_t kLineGroup = 16;
constexpr size_t kPreparedIndent = 32 * kIndentCount;

// A growing byte buffer written through a cursor. Callers reserve room for a whole token before
// putting its bytes, so the bytes themselves are stored without checks.
class JsonOutput {
 public:
  JsonOutput() = default;
  JsonOutput(const JsonOutput&) = delete;
  JsonOutput& operator=(const JsonOutput&) = delete;
  ~JsonOutput() { std::free(begin_); }

  void Reserve(size_t bytes) {
    if (static_cast<size_t>(end_ - cursor_) < bytes) Grow(bytes);
  }
  void PutUnsafe(char c) noexcept { *cursor_++ = c; }
  void PutUnsafe(const char* bytes, size_t count) noexcept {
    std::memcpy(cursor_, bytes, count);
    cursor_ += count;
  }
  void Put(char c) {
    Reserve(1);
    PutUnsafe(c);
  }
  // A short literal token, stored with a copy of its fixed size.
  template <size_t kSize>
  void Put(const char (&literal)[kSize]) {
    Reserve(kSize);
    std::memcpy(cursor_, literal, kSize);
    cursor_ += kSize - 1;
  }
  // The cursor, for writers that store a bounded number of bytes after a Reserve.
  [[nodiscard]] char* Cursor() noexcept { return cursor_; }
  void Advance(char* cursor) noexcept { cursor_ = cursor; }

  [[nodiscard]] std::string Text() const {
    return begin_ == nullptr ? std::string() : std::string(begin_, cursor_);
  }

 private:
  void Grow(size_t bytes) {
    const size_t size = static_cast<size_t>(cursor_ - begin_);
    const size_t capacity = static_cast<size_t>(end_ - begin_);
    if (bytes > SIZE_MAX - size) throw std::length_error("JSON text is too long");
    size_t wanted = capacity == 0 ? kInitialCapacity : capacity * 2;
    if (wanted < capacity || wanted - size < bytes) wanted = size + bytes;
    void* grown = std::realloc(begin_, wanted);
    if (grown == nullptr) throw std::bad_alloc();
    begin_ = static_cast<char*>(grown);
    cursor_ = begin_ + size;
    end_ = begin_ + wanted;
  }

  char* begin_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
};

// For each byte, 0 when it is written as it is, else the character after the backslash of its
// escape ('u' for the \u00XX form): the quote, the backslash and the control bytes.
constexpr auto kEscapes = [] {
  struct Table {
    char escape[256] = {};
  } table;
  for (int c = 0; c < 0x20; ++c)
    table.escape[c] = 'u';
  const auto set = [&table](unsigned char byte, char escape) { table.escape[byte] = escape; };
  set('\b', 'b');
  set('\t', 't');
  set('\n', 'n');
  set('\f', 'f');
  set('\r', 'r');
  set('"', '"');
  set('\\', '\\');
  return table;
}();
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes the value tree depth-first, members in key order: compact, or indented with
// `kIndentCount` spaces per level and `separator` where a line ends.
template <bool kIndented>
class JsonTreeWriter {
 public:
  JsonTreeWriter(JsonOutput& out, const Binding::BindingRegistry* registry,
                 std::string_view separator)
      : out_(out), registry_(registry), separator_(separator) {
    if constexpr (kIndented) {
      lineStart_.reserve(separator.size() + kPreparedIndent + kLineGroup);
      lineStart_.append(separator);
      lineStart_.append(kPreparedIndent + kLineGroup, ' ');
    }
  }

  // One frame per level of nesting: scalars are written by a helper that returns before the
  // next level starts, so deep trees need little stack.
  void Write(const BindingProperty& value, size_t depth) {
    if (value.Kind() == ValueKind::Collection) {
      const auto elements = value.Elements();
      if (elements.empty()) {
        out_.Put("[]");
        return;
      }
      out_.Put('[');
      for (size_t i = 0; i < elements.size(); ++i) {
        StartItem(i == 0, depth + 1);
        Write(elements[i], depth + 1);
      }
      EndContainer(']', depth);
      return;
    }
    if (value.Kind() == ValueKind::Structure) {
      const auto members = value.Members();
      if (members.empty()) {
        out_.Put("{}");
        return;
      }
      out_.Put('{');
      bool first = true;
      for (const auto member : members) {
        StartItem(first, depth + 1);
        first = false;
        WriteKey(member.key);
        Write(member.value, depth + 1);
      }
      EndContainer('}', depth);
      return;
    }
    WriteScalar(value);
  }

  // The same walk over a value of the host boundary, read as FromHostValue reads it. False, with
  // the output unfinished, at the first thing FromHostValue refuses, and at a structure whose
  // keys are not strictly in key order: repeated and unordered keys are left to the caller's
  // longer way through FromHostValue, which ToHostValue never makes needed.
  [[nodiscard]] bool Write(const HostValue& value, size_t depth) {
    if (value.kind == HOST_VALUE_COLLECTION) {
      const HostValueArray& array = value.payload.collection;
      if (depth >= Binding::kMaxHostValueDepth || (array.items == nullptr && array.count != 0) ||
          array.count > BindingProperty::kMaxElements) {
        return false;
      }
      if (array.count == 0) {
        out_.Put("[]");
        return true;
      }
      out_.Put('[');
      for (uint32_t i = 0; i < array.count; ++i) {
        StartItem(i == 0, depth + 1);
        if (!Write(array.items[i], depth + 1)) return false;
      }
      EndContainer(']', depth);
      return true;
    }
    if (value.kind == HOST_VALUE_STRUCTURE) {
      const HostValueEntries& structure = value.payload.structure;
      if (depth >= Binding::kMaxHostValueDepth ||
          (structure.entries == nullptr && structure.count != 0)) {
        return false;
      }
      if (structure.count == 0) {
        out_.Put("{}");
        return true;
      }
      out_.Put('{');
      std::string_view previous;
      for (uint32_t i = 0; i < structure.count; ++i) {
        const HostValueEntry& entry = structure.entries[i];
        const std::string_view key = entry.key != nullptr ? entry.key : "";
        if (i != 0 && !After(key, previous)) return false;
        previous = key;
        StartItem(i == 0, depth + 1);
        WriteKey(key);
        if (!Write(entry.value, depth + 1)) return false;
      }
      EndContainer('}', depth);
      return true;
    }
    return WriteScalar(value);
  }

 private:
  // True when `key` comes after `previous` in byte order; neighbours mostly differ in their first
  // byte, which then decides.
  [[nodiscard]] static bool After(std::string_view key, std::string_view previous) noexcept {
    if (!key.empty() && !previous.empty() && key.front() != previous.front()) {
      return static_cast<unsigned char>(key.front()) > static_cast<unsigned char>(previous.front());
    }
    return key.compare(previous) > 0;
  }

  [[nodiscard]] bool WriteScalar(const HostValue& value) {
    switch (value.kind) {
      case HOST_VALUE_EMPTY:
        out_.Put("null");
        return true;
      case HOST_VALUE_BOOL:
        WriteBool(value.payload.boolean != 0);
        return true;
      case HOST_VALUE_SIGNED:
        WriteSigned(value.payload.signedValue);
        return true;
      case HOST_VALUE_UNSIGNED:
        WriteUnsigned(value.payload.unsignedValue);
        return true;
      case HOST_VALUE_FLOAT:
        WriteFloat(value.payload.floatValue);
        return true;
      case HOST_VALUE_STRING_BORROWED:
      case HOST_VALUE_STRING_OWNED:
        WriteString(value.payload.string.text != nullptr ? value.payload.string.text : "");
        return true;
      case HOST_VALUE_BLOB_BORROWED:
      case HOST_VALUE_BLOB_OWNED:
        if (value.payload.blob.bytes == nullptr && value.payload.blob.size != 0) return false;
        WriteString(Binding::Base64Encode({value.payload.blob.bytes, value.payload.blob.size}));
        return true;
      default:
        return false;
    }
  }

  void WriteScalar(const BindingProperty& value) {
    switch (value.Kind()) {
      case ValueKind::Collection:
      case ValueKind::Structure:  // written by Write, never passed here
      case ValueKind::Empty:
        out_.Put("null");
        return;
      case ValueKind::Bool:
        WriteBool(value.GetBool(false));
        return;
      case ValueKind::Signed:
        WriteSigned(value.GetSigned(0));
        return;
      case ValueKind::Unsigned:
        WriteUnsigned(value.GetUnsigned(0));
        return;
      case ValueKind::Float:
        WriteFloat(value.GetFloat(0));
        return;
      case ValueKind::String:
        WriteString(value.GetString());
        return;
      case ValueKind::Blob:
        WriteString(Binding::Base64Encode(value.GetBlob()));
        return;
      case ValueKind::Enum:
        WriteEnum(value.GetEnum());
        return;
    }
  }

  // The key and what follows it: ": " in indented text, ':' in compact text.
  void WriteKey(std::string_view key) {
    WriteString(key);
    if constexpr (kIndented) {
      out_.Put(": ");
    } else {
      out_.Put(':');
    }
  }

  // The comma before every item but the first, then in indented text a new line indented to
  // the item's depth.
  void StartItem(bool first, size_t depth) {
    if (!first) out_.Put(',');
    if constexpr (kIndented) NewLine(depth);
  }

  void EndContainer(char bracket, size_t depth) {
    if constexpr (kIndented) NewLine(depth);
    out_.Put(bracket);
  }

  // The separator and the indent of `depth`, copied from the prepared line start in groups of
  // sixteen bytes: the room reserved and the line start's padding cover the last group's
  // overshoot, which the next token overwrites.
  void NewLine(size_t depth) {
    const size_t count = separator_.size() + depth * kIndentCount;
    const size_t prepared = lineStart_.size() - kLineGroup;
    out_.Reserve(count + kLineGroup);
    char* const to = out_.Cursor();
    if (count <= prepared) {
      for (size_t done = 0; done < count; done += kLineGroup) {
        std::memcpy(to + done, lineStart_.data() + done, kLineGroup);
      }
      out_.Advance(to + count);
      return;
    }
    std::memcpy(to, lineStart_.data(), separator_.size());
    std::memset(to + separator_.size(), ' ', depth * kIndentCount);
    out_.Advance(to + count);
  }

  void WriteBool(bool value) {
    if (value) {
      out_.Put("true");
    } else {
      out_.Put("false");
    }
  }

  void WriteUnsigned(uint64_t number) {
    out_.Reserve(kMaxNumberBytes);
    out_.Advance(rapidjson::internal::u64toa(number, out_.Cursor()));
  }

  void WriteSigned(int64_t number) {
    out_.Reserve(kMaxNumberBytes);
    out_.Advance(rapidjson::internal::i64toa(number, out_.Cursor()));
  }

  void WriteFloat(double number) {
    // A non-finite number has no JSON text; null keeps the output JSON.
    if (!std::isfinite(number)) {
      out_.Put("null");
      return;
    }
    out_.Reserve(kMaxNumberBytes);
    out_.Advance(rapidjson::internal::dtoa(number, out_.Cursor(), kMaxDecimalPlaces));
  }

  void WriteEnum(const Binding::EnumValue& value) {
    const char* name = nullptr;
    if (registry_ != nullptr && value.type != nullptr) {
      name = registry_->EnumName(*value.type, value.value);
    }
    if (name != nullptr) {
      WriteString(name);
    } else {
      WriteSigned(value.value);
    }
  }

  // The text in quotes: the quote, the backslash and the control bytes escaped, every other
  // byte as it is (UTF-8 is not checked). Eight bytes at a time are copied and checked together;
  // a group holding a byte to escape is redone byte by byte.
  void WriteString(std::string_view text) {
    if (text.size() > (SIZE_MAX - 2 - kGroup) / 6) throw std::length_error("JSON text is too long");
    out_.Reserve(2 + text.size() * 6 + kGroup);
    char* to = out_.Cursor();
    *to++ = '"';
    const char* from = text.data();
    const char* const end = from + text.size();
    while (static_cast<size_t>(end - from) >= kGroup) {
      uint64_t group;
      std::memcpy(&group, from, kGroup);
      std::memcpy(to, &group, kGroup);
      if (!NeedsEscape(group)) {
        from += kGroup;
        to += kGroup;
        continue;
      }
      for (const char* const stop = from + kGroup; from != stop; ++from)
        to = PutByte(to, *from);
    }
    for (; from != end; ++from)
      to = PutByte(to, *from);
    *to++ = '"';
    out_.Advance(to);
  }

  // True when one of the eight bytes is a control byte, a quote or a backslash. Each term is
  // the classic test for a byte below a bound (a zero byte after the XOR): exact about whether
  // any byte matches, which is all that is asked.
  [[nodiscard]] static bool NeedsEscape(uint64_t group) noexcept {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    const uint64_t quote = group ^ (kOnes * '"');
    const uint64_t backslash = group ^ (kOnes * '\\');
    const uint64_t control = (group - kOnes * 0x20) & ~group;
    const uint64_t quotes = (quote - kOnes) & ~quote;
    const uint64_t backslashes = (backslash - kOnes) & ~backslash;
    return ((control | quotes | backslashes) & kHigh) != 0;
  }

  [[nodiscard]] static char* PutByte(char* to, char c) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    const char escape = kEscapes.escape[byte];
    if (escape == 0) {
      *to++ = c;
      return to;
    }
    *to++ = '\\';
    *to++ = escape;
    if (escape == 'u') {
      *to++ = '0';
      *to++ = '0';
      *to++ = kHexDigits[byte >> 4];
      *to++ = kHexDigits[byte & 0xF];
    }
    return to;
  }

  JsonOutput& out_;
  const Binding::BindingRegistry* registry_;
  std::string_view separator_;
  // The separator, then the spaces of kPreparedIndent, then one group of padding.
  std::string lineStart_;
};

}  // namespace

std::string WriteJson(const BindingProperty& value, const Binding::BindingRegistry* registry,
                      const char* lineSeparator) {
  if (value.Kind() == ValueKind::Empty) return std::string();
  JsonOutput out;
  if (lineSeparator == nullptr || *lineSeparator == '\0') {
    JsonTreeWriter<false>(out, registry, {}).Write(value, 0);
  } else {
    JsonTreeWriter<true>(out, registry, lineSeparator).Write(value, 0);
  }
  return out.Text();
}

bool WriteJson(const HostValue& value, std::string& out) {
  out.clear();
  if (value.kind == HOST_VALUE_EMPTY) return true;
  JsonOutput text;
  if (!JsonTreeWriter<false>(text, nullptr, {}).Write(value, 0)) return false;
  out = text.Text();
  return true;
}

}  // namespace Oxle::Client::Codec
