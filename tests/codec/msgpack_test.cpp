#include "codec/msgpack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Bytes = std::vector<uint8_t>;

// Decodes from a heap copy with no byte after the input, so ASan sees any read past the end;
// gives the tree's shape or "!" and the exact message, then "@" and the bytes consumed.
std::string Decode(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  Binding::ValueResult result;
  size_t consumed = 0;
  ReadMessagePack(result, consumed, bytes.empty() ? nullptr : exact.get(), bytes.size());
  return (result.Ok() ? Shape(result.Value()) : "!" + std::string(result.ErrorMessage())) + "@" +
         std::to_string(consumed);
}

TEST(MessagePackTest, DecodesEachFamilyOrNamesTheExactPosition) {
  const std::string invalid = "!Invalid MessagePack data", truncated = invalid + ". ";
  Bytes deep(512, 0x91), tooDeep(513, 0x91), maps;
  deep.push_back(0x07);
  tooDeep.push_back(0x07);
  for (int i = 0; i < 600; ++i)
    maps.insert(maps.end(), {0x81, 0xA0});
  const std::pair<Bytes, std::string> cases[] = {
      {{0x05}, "i5@1"},
      {{0xCC, 0x05}, "u5@2"},
      {{0xFF}, "i-1@1"},
      {{0xD0, 0xFF}, "i-1@2"},
      {{0xD1, 0x80, 0x00}, "i-32768@3"},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "i-9223372036854775808@9"},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "u18446744073709551615@9"},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, "f1.5@5"},
      {{0xCB, 0x40, 0x04, 0, 0, 0, 0, 0, 0}, "f2.5@9"},
      {{0xC0}, "~@1"},
      {{0xC2}, "F@1"},
      {{0xC3}, "T@1"},
      {{0xA2, 'h', 'i'}, "'hi'@3"},
      {{0xD9, 0x01, 'x'}, "'x'@3"},
      {{0xDA, 0x00, 0x00}, "''@3"},
      {{0xC4, 0x02, 0x01, 0x02}, "b'0102'@4"},
      {{0xC6, 0, 0, 0, 0}, "b''@5"},
      {{0x93, 0x01, 0x02, 0x03}, "[i1,i2,i3]@4"},
      {{0x81, 0xA1, 'a', 0xC3}, "{a:T;}@4"},
      {{0xDC, 0x00, 0x01, 0x90}, "[[]]@4"},
      {{0xDF, 0, 0, 0, 1, 0xA1, 'k', 0x80}, "{k:{};}@8"},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x02}, "{a:i2;b:i1;}@7"},
      {{0x81, 0x01, 0x02}, invalid + " at position 2. Map keys must be strings.@2"},
      {{0xC7}, invalid + " at position 1.@1"},
      {{0xC1}, invalid + " at position 1.@1"},
      {{0x91, 0xD8, 0x00}, invalid + " at position 2.@2"},
      {{0xCE, 0x00, 0x01}, truncated + "32-bit integer value at position 1 is truncated.@1"},
      {{0xCC}, truncated + "8-bit integer value at position 1 is truncated.@1"},
      {{0xDA, 0x00}, truncated + "16-bit integer value at position 1 is truncated.@1"},
      {{0xCB, 0x00}, truncated + "64-bit integer value at position 1 is truncated.@1"},
      {{0xCA, 0x00}, truncated + "32-bit integer value at position 1 is truncated.@1"},
      {{0xA5, 'a', 'b'}, truncated + "String of size 5 at position 1 is truncated.@1"},
      {{0xC5, 0x00, 0x09, 0x01}, truncated + "Raw bytes of size 9 at position 3 are truncated.@3"},
      {{0x81, 0xA3, 'a'}, truncated + "String of size 3 at position 2 is truncated.@2"},
      // Data ending between items ends the containers early.
      {{0x92, 0x01}, "[i1]@2"},
      {{0x82, 0xA1, 'a', 0x01}, "{a:i1;}@4"},
      {{0x82, 0xA1, 'a'}, "{}@3"},
      {{0x01, 0x02}, "i1@1"},
      {{}, "~@0"},
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, "[]@5"},
      {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF}, "{}@5"},
      // Repeated keys overwrite scalars and merge containers, up to the keys' first NUL: a map
      // merges into an earlier map, an array overwrites from its first element and keeps the
      // rest, a scalar replaces a container; a key of nothing but a NUL is the empty key.
      {{0x82, 0xA1, 'k', 0x01, 0xA1, 'k', 0x02}, "{k:i2;}@7"},
      {{0x82, 0xA1, 'm', 0x81, 0xA1, 'a', 1, 0xA1, 'm', 0x81, 0xA1, 'b', 2},
       "{m:{a:i1;b:i2;};}@13"},
      {{0x82, 0xA1, 'v', 0x92, 0x01, 0x02, 0xA1, 'v', 0x91, 0x09}, "{v:[i9,i2];}@10"},
      {{0x82, 0xA1, 'k', 0x92, 0x01, 0x02, 0xA1, 'k', 0x05}, "{k:i5;}@9"},
      {{0x82, 0xA1, 'k', 0x81, 0xA1, 'a', 0x01, 0xA1, 'k', 0xC0}, "{k:~;}@10"},
      {{0x83, 0xA3, 'a', 0, 'b', 1, 0xA3, 'a', 0, 'c', 2, 0xA1, 'b', 3}, "{a:i2;b:i3;}@14"},
      {{0x82, 0xA3, 'a', 0x00, 'b', 0x01, 0xA1, 'a', 0x05}, "{a:i5;}@9"},
      {{0x81, 0xA2, 0x00, 'x', 0x07}, "{:i7;}@5"},
      // Nesting of 512 passes and one more fails.
      {deep, std::string(512, '[') + "i7" + std::string(512, ']') + "@513"},
      {tooDeep, invalid + " at position 513. Nesting is too deep.@513"},
      {maps, invalid + " at position 1025. Nesting is too deep.@1025"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(Decode(input), expected);
}

TEST(MessagePackTest, AMillionOpenArraysFailQuicklyOnASmallStack) {
  const Bytes deep(1000000, 0x91);
  std::string message;
  auto work = [&] { message = Decode(deep); };
  RunOnSmallStack(work);
  EXPECT_EQ(message, "!Invalid MessagePack data at position 513. Nesting is too deep.@513");
}

TEST(MessagePackTest, EveryTruncationOfAValidDocumentDecodesOrFailsCleanly) {
  const Bytes document = {0x84, 0xA4, 'n',  'a',  'm',  'e',  0xD9, 0x03, 'a',  'b',  'c',  0xA3,
                          'i',  'd',  's',  0x93, 0xCD, 0x01, 0x00, 0xD2, 0xFF, 0xFF, 0xFF, 0xFE,
                          0xCB, 0x3F, 0xF0, 0,    0,    0,    0,    0,    0,    0xA3, 'b',  'i',
                          'n',  0xC5, 0x00, 0x02, 0xAA, 0xBB, 0xA1, 'm',  0x81, 0xA1, 'x',  0xC3};
  EXPECT_EQ(Decode(document), "{bin:b'aabb';ids:[u256,i-2,f1];m:{x:T;};name:'abc';}@48");
  for (size_t cut = 0; cut < document.size(); ++cut) {
    const std::string decoded =
        Decode(Bytes(document.begin(), document.begin() + static_cast<long>(cut)));
    EXPECT_LE(std::stoul(decoded.substr(decoded.rfind('@') + 1)), cut);
    EXPECT_TRUE(decoded[0] != '!' || decoded.find("truncated") != std::string::npos) << decoded;
  }
}

TEST(MessagePackTest, SniffsMapsAndArraysOnly) {
  const std::tuple<uint8_t, size_t, bool> cases[] = {
      {0x80, 1, true}, {0x7F, 1, false}, {0x9F, 1, true},  {0xA0, 1, false}, {0xDB, 1, false},
      {0xDC, 1, true}, {0xDF, 1, true},  {0xE0, 1, false}, {0x80, 0, false}};
  for (const auto& [first, size, expected] : cases)
    EXPECT_EQ(LooksLikeMessagePack(&first, size), expected) << int{first} << "/" << size;
  EXPECT_FALSE(LooksLikeMessagePack(nullptr, 4));
}

}  // namespace
}  // namespace Oxle::Client::Codec
