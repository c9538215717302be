#include "codec/msgpack.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/format/positional_format.h"
#include "codec/tree_builder.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::FormatToString;
using Binding::ValueResult;

// The format codes, in the order of their format bytes.
enum Format : uint8_t {
  kFixInt = 0,
  kFixMap = 1,
  kFixArray = 2,
  kFixStr = 3,
  kNil = 4,
  kNeverUsed = 5,
  kFalse = 6,
  kTrue = 7,
  kBin8 = 8,
  kBin16 = 9,
  kBin32 = 10,
  kExt8 = 11,
  kExt16 = 12,
  kExt32 = 13,
  kFloat32 = 14,
  kFloat64 = 15,
  kUint8 = 16,
  kUint16 = 17,
  kUint32 = 18,
  kUint64 = 19,
  kInt8 = 20,
  kInt16 = 21,
  kInt32 = 22,
  kInt64 = 23,
  kFixExt1 = 24,
  kFixExt16 = 28,
  kStr8 = 29,
  kStr16 = 30,
  kStr32 = 31,
  kArray16 = 32,
  kArray32 = 33,
  kMap16 = 34,
  kMap32 = 35,
};

// Format byte to format code.
constexpr std::array<uint8_t, 256> kFormatOf = [] {
  std::array<uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    uint8_t code;
    if (b <= 0x7F || b >= 0xE0) {
      code = kFixInt;
    } else if (b <= 0x8F) {
      code = kFixMap;
    } else if (b <= 0x9F) {
      code = kFixArray;
    } else if (b <= 0xBF) {
      code = kFixStr;
    } else {
      // 0xC0 nil, 0xC1 never used, 0xC2/0xC3 false/true, then one code per byte to 0xDF.
      code = static_cast<uint8_t>(kNil + (b - 0xC0));
    }
    table[static_cast<size_t>(b)] = code;
  }
  return table;
}();
static_assert(kFormatOf[0xC4] == kBin8 && kFormatOf[0xCA] == kFloat32 &&
              kFormatOf[0xD4] == kFixExt1 && kFormatOf[0xD9] == kStr8 && kFormatOf[0xDF] == kMap32);

class MessagePackReader {
 public:
  MessagePackReader(ValueResult& result, const uint8_t* data, size_t length)
      : data_(data), length_(length), result_(result), builder_(result.Value()) {
    open_.reserve(16);
  }

  size_t Read();

 private:
  // The item counts of an open container; the tree builder holds the container itself.
  struct Counts {
    uint64_t count;  // items; twice the entries for a map, whose keys count as items
    uint64_t index;  // items read so far
    bool map;
    bool overwrite;  // an array over an earlier one: elements are selected by index
  };

  bool Fail(std::string message) {
    result_.SetError(message);
    return false;
  }

  // Reads a big-endian field of `width` bytes, or fails with the truncation message.
  bool ReadField(unsigned width, uint64_t& out) {
    if (length_ - position_ < width) {
      const char* bits = width == 1 ? "8" : width == 2 ? "16" : width == 4 ? "32" : "64";
      return Fail(
          FormatToString("Invalid MessagePack data. %1-bit integer value at position %2 "
                         "is truncated.",
                         bits, position_));
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
      value = value << 8 | data_[position_ + i];
    position_ += width;
    out = value;
    return true;
  }

  // The length that follows a str / bin / array / map format of `width` bytes (0: in the byte).
  bool ReadLength(uint8_t formatByte, unsigned width, uint64_t& out) {
    if (width == 0) {
      out = formatByte & (formatByte <= 0x9F ? 0x0F : 0x1F);
      return true;
    }
    return ReadField(width, out);
  }

  // Takes `size` bytes of text or blob; fails with the matching truncation message.
  bool TakeBytes(uint64_t size, bool text, std::string_view& out) {
    if (size > length_ - position_) {
      return Fail(FormatToString(text ? "Invalid MessagePack data. String of size %1 at position "
                                        "%2 is truncated."
                                      : "Invalid MessagePack data. Raw bytes of size %1 at "
                                        "position %2 are truncated.",
                                 size, position_));
    }
    out = std::string_view(reinterpret_cast<const char*>(data_ + position_),
                           static_cast<size_t>(size));
    position_ += static_cast<size_t>(size);
    return true;
  }

  bool ReadKey();
  bool ReadValue();
  bool OpenContainer(uint8_t formatByte, bool map, unsigned width);
  bool ReadText(uint8_t formatByte, unsigned width, bool isText);
  bool ReadNumber(uint8_t format);
  // A scalar is complete: at the root, so is the document.
  bool ScalarDone() {
    if (open_.empty()) rootDone_ = true;
    return true;
  }

  const uint8_t* data_;
  size_t length_;
  size_t position_ = 0;
  ValueResult& result_;
  TreeBuilder builder_;
  std::vector<Counts> open_;
  // The key read last, a view into the input; its member is created only when its value comes,
  // so data ending after a key leaves no member behind.
  std::string_view pendingKey_;
  bool rootDone_ = false;
};

bool MessagePackReader::ReadKey() {
  const uint8_t formatByte = data_[position_++];
  unsigned width;
  switch (kFormatOf[formatByte]) {
    case kFixStr:
      width = 0;
      break;
    case kStr8:
      width = 1;
      break;
    case kStr16:
      width = 2;
      break;
    case kStr32:
      width = 4;
      break;
    default:
      return Fail(FormatToString(
          "Invalid MessagePack data at position %1. Map keys must be strings.", position_));
  }
  uint64_t size;
  if (!ReadLength(formatByte, width, size) || !TakeBytes(size, true, pendingKey_)) return false;
  return true;
}

// Opens a map or an array whose count follows in `width` bytes (0: in the format byte).
bool MessagePackReader::OpenContainer(uint8_t formatByte, bool map, unsigned width) {
  uint64_t count;
  if (!ReadLength(formatByte, width, count)) return false;
  // A container over an earlier one of the same kind merges into it (maps) or overwrites it
  // from the first element on (arrays).
  const bool opened = map ? builder_.BeginStructure(ContainerMode::Keep)
                          : builder_.BeginCollection(ContainerMode::Keep);
  if (!opened) {
    return Fail(
        FormatToString("Invalid MessagePack data at position %1. Nesting is too deep.", position_));
  }
  // Only an array decoded over an earlier, non-empty one addresses its elements by index;
  // any other is appended to. Room is made up front for what the declared count, the
  // remaining bytes (each element takes one at least) and a modest cap all allow, so a
  // declared count never allocates ahead of the data; larger arrays grow as they fill.
  const bool overwrite = !map && builder_.Innermost()->Size() != 0;
  if (!map && !overwrite) {
    constexpr uint64_t kReserveCap = 1024;
    const uint64_t remaining = length_ - position_;
    builder_.ReserveElements(static_cast<size_t>(std::min({count, remaining, kReserveCap})));
  }
  open_.push_back(Counts{map ? count * 2 : count, 0, map, overwrite});
  return true;
}

// Reads a string (`isText`) or a blob whose size follows in `width` bytes (0: in the byte).
bool MessagePackReader::ReadText(uint8_t formatByte, unsigned width, bool isText) {
  uint64_t size;
  std::string_view bytes;
  if (!ReadLength(formatByte, width, size) || !TakeBytes(size, isText, bytes)) return false;
  if (isText) {
    builder_.Slot().SetString(bytes);
  } else {
    builder_.Slot().SetBlob(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  return ScalarDone();
}

// Reads the field of a float, unsigned or signed integer format.
bool MessagePackReader::ReadNumber(uint8_t format) {
  uint64_t field = 0;
  switch (format) {
    case kFloat32:
      if (!ReadField(4, field)) return false;
      builder_.Slot().SetFloat(std::bit_cast<float>(static_cast<uint32_t>(field)));
      return ScalarDone();
    case kFloat64:
      if (!ReadField(8, field)) return false;
      builder_.Slot().SetFloat(std::bit_cast<double>(field));
      return ScalarDone();
    case kUint8:
    case kUint16:
    case kUint32:
    case kUint64:
      if (!ReadField(1u << (format - kUint8), field)) return false;
      builder_.Slot().SetUnsigned(field);
      return ScalarDone();
    default: {  // kInt8 to kInt64
      const unsigned width = 1u << (format - kInt8);
      if (!ReadField(width, field)) return false;
      // Sign-extend from the field's width.
      const unsigned shift = 64 - 8 * width;
      builder_.Slot().SetSigned(static_cast<int64_t>(field << shift) >> shift);
      return ScalarDone();
    }
  }
}

// Reads the value due next into the builder's slot.
bool MessagePackReader::ReadValue() {
  const uint8_t formatByte = data_[position_++];
  const uint8_t format = kFormatOf[formatByte];
  switch (format) {
    case kFixInt:
      builder_.Slot().SetSigned(static_cast<int8_t>(formatByte));
      return ScalarDone();
    case kNil:
      builder_.Slot().Clear();
      return ScalarDone();
    case kFalse:
    case kTrue:
      builder_.Slot().SetBool(format == kTrue);
      return ScalarDone();
    case kFixMap:
      return OpenContainer(formatByte, true, 0);
    case kFixArray:
      return OpenContainer(formatByte, false, 0);
    case kFixStr:
      return ReadText(formatByte, 0, true);
    case kBin8:
    case kBin16:
    case kBin32:
      return ReadText(formatByte, 1u << (format - kBin8), false);
    case kStr8:
    case kStr16:
    case kStr32:
      return ReadText(formatByte, 1u << (format - kStr8), true);
    case kArray16:
      return OpenContainer(formatByte, false, 2);
    case kArray32:
      return OpenContainer(formatByte, false, 4);
    case kMap16:
      return OpenContainer(formatByte, true, 2);
    case kMap32:
      return OpenContainer(formatByte, true, 4);
    case kFloat32:
    case kFloat64:
    case kUint8:
    case kUint16:
    case kUint32:
    case kUint64:
    case kInt8:
    case kInt16:
    case kInt32:
    case kInt64:
      return ReadNumber(format);
    default:  // 0xC1, ext and fixext
      return Fail(FormatToString("Invalid MessagePack data at position %1.", position_));
  }
}

size_t MessagePackReader::Read() {
  while (!rootDone_) {
    // Close the containers whose items are all read; the object is complete when the last
    // one closes.
    while (!open_.empty() && open_.back().index == open_.back().count) {
      builder_.End();
      open_.pop_back();
      if (open_.empty()) rootDone_ = true;
    }
    if (rootDone_ || position_ >= length_) break;
    if (!open_.empty()) {
      Counts& top = open_.back();
      if (top.map) {
        if (top.index++ % 2 == 0) {
          if (!ReadKey()) break;
          continue;
        }
        // Keys are equal up to their first NUL, as everywhere in the value model (and the host
        // sees them cut there): a later such key, like a repeated one, selects the same member.
        builder_.Key(pendingKey_.substr(0, pendingKey_.find('\0')));
      } else {
        if (top.index >= BindingProperty::kMaxElements) {
          Fail(FormatToString("Invalid MessagePack data at position %1. The array is too large.",
                              position_));
          break;
        }
        if (top.overwrite) {
          builder_.Element(static_cast<size_t>(top.index));
        }
        ++top.index;
      }
    }
    if (!ReadValue()) break;
  }
  return position_;
}

}  // namespace

void ReadMessagePack(ValueResult& result, size_t& consumed, const uint8_t* data, size_t length) {
  result.SetOk();
  if (data == nullptr) length = 0;
  MessagePackReader reader(result, data, length);
  consumed = reader.Read();
}

bool LooksLikeMessagePack(const uint8_t* data, size_t length) noexcept {
  if (data == nullptr || length == 0) return false;
  const uint8_t first = data[0];
  return (first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF);
}

}  // namespace Oxle::Client::Codec
