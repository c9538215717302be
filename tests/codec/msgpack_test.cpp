#include "codec/msgpack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::ValueResult;

struct Decoded {
  ValueResult result;
  size_t consumed = 0;
};

// Decodes from a heap copy with no byte after the input, so ASan sees any read past the end.
Decoded Decode(const std::vector<uint8_t>& bytes) {
  Decoded decoded;
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  ReadMessagePack(decoded.result, decoded.consumed, bytes.empty() ? nullptr : exact.get(),
                  bytes.size());
  return decoded;
}

struct Case {
  std::vector<uint8_t> input;
  std::string expected;  // the tree's shape, or the exact message
  size_t consumed;
};

// Each input decodes, to the expected shape, consuming the expected bytes.
void ExpectDecoded(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Decoded decoded = Decode(c.input);
    EXPECT_TRUE(decoded.result.Ok()) << c.expected << ": " << decoded.result.ErrorMessage();
    EXPECT_EQ(Shape(decoded.result.Value()), c.expected);
    EXPECT_EQ(decoded.consumed, c.consumed) << c.expected;
  }
}

TEST(MessagePackTest, DecodesEachFamily) {
  const std::vector<Case> cases = {
      {{0x05}, "i5", 1},
      {{0xCC, 0x05}, "u5", 2},
      {{0xFF}, "i-1", 1},
      {{0xD0, 0xFF}, "i-1", 2},
      {{0xD1, 0x80, 0x00}, "i-32768", 3},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "i-9223372036854775808", 9},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "u18446744073709551615", 9},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, "f1.5", 5},
      {{0xCB, 0x40, 0x04, 0, 0, 0, 0, 0, 0}, "f2.5", 9},
      {{0xC0}, "~", 1},
      {{0xC2}, "F", 1},
      {{0xC3}, "T", 1},
      {{0xA2, 'h', 'i'}, "'hi'", 3},
      {{0xD9, 0x01, 'x'}, "'x'", 3},
      {{0xDA, 0x00, 0x00}, "''", 3},
      {{0xC4, 0x02, 0x01, 0x02}, "b'0102'", 4},
      {{0xC6, 0, 0, 0, 0}, "b''", 5},
      {{0x93, 0x01, 0x02, 0x03}, "[i1,i2,i3]", 4},
      {{0x81, 0xA1, 'a', 0xC3}, "{a:T;}", 4},
      {{0xDC, 0x00, 0x01, 0x90}, "[[]]", 4},
      {{0xDF, 0, 0, 0, 1, 0xA1, 'k', 0x80}, "{k:{};}", 8},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x02}, "{a:i2;b:i1;}", 7},
  };
  ExpectDecoded(cases);
}

TEST(MessagePackTest, FailuresNameTheExactPosition) {
  const std::vector<Case> cases = {
      {{0x81, 0x01, 0x02}, "Invalid MessagePack data at position 2. Map keys must be strings.", 2},
      {{0xC7}, "Invalid MessagePack data at position 1.", 1},
      {{0xC1}, "Invalid MessagePack data at position 1.", 1},
      {{0x91, 0xD8, 0x00}, "Invalid MessagePack data at position 2.", 2},
      {{0xCE, 0x00, 0x01},
       "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
       1},
      {{0xCC}, "Invalid MessagePack data. 8-bit integer value at position 1 is truncated.", 1},
      {{0xDA, 0x00},
       "Invalid MessagePack data. 16-bit integer value at position 1 is truncated.",
       1},
      {{0xCB, 0x00},
       "Invalid MessagePack data. 64-bit integer value at position 1 is truncated.",
       1},
      {{0xCA, 0x00},
       "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
       1},
      {{0xA5, 'a', 'b'},
       "Invalid MessagePack data. String of size 5 at position 1 is truncated.",
       1},
      {{0xC5, 0x00, 0x09, 0x01},
       "Invalid MessagePack data. Raw bytes of size 9 at position 3 are truncated.",
       3},
      {{0x81, 0xA3, 'a'},
       "Invalid MessagePack data. String of size 3 at position 2 is truncated.",
       2},
  };
  for (const Case& c : cases) {
    const Decoded decoded = Decode(c.input);
    EXPECT_FALSE(decoded.result.Ok()) << c.expected;
    EXPECT_EQ(decoded.result.ErrorMessage(), c.expected);
    EXPECT_EQ(decoded.consumed, c.consumed) << c.expected;
  }
}

TEST(MessagePackTest, DataEndingBetweenItemsEndsTheContainersEarly) {
  const std::vector<Case> cases = {
      {{0x92, 0x01}, "[i1]", 2},
      {{0x82, 0xA1, 'a', 0x01}, "{a:i1;}", 4},
      {{0x82, 0xA1, 'a'}, "{}", 3},
      {{0x01, 0x02}, "i1", 1},
      {{}, "~", 0},
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, "[]", 5},
      {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF}, "{}", 5},
  };
  ExpectDecoded(cases);
}

TEST(MessagePackTest, RepeatedKeysOverwriteScalarsAndMergeContainersUpToTheirFirstNul) {
  const std::vector<Case> cases = {
      {{0x82, 0xA1, 'k', 0x01, 0xA1, 'k', 0x02}, "{k:i2;}", 7},
      // A map over an earlier map merges into it.
      {{0x82, 0xA1, 'm', 0x81, 0xA1, 'a', 0x01, 0xA1, 'm', 0x81, 0xA1, 'b', 0x02},
       "{m:{a:i1;b:i2;};}",
       13},
      // An array over an earlier array overwrites from the first element and keeps the rest.
      {{0x82, 0xA1, 'v', 0x92, 0x01, 0x02, 0xA1, 'v', 0x91, 0x09}, "{v:[i9,i2];}", 10},
      // A scalar after a container under the same key replaces it, and is read.
      {{0x82, 0xA1, 'k', 0x92, 0x01, 0x02, 0xA1, 'k', 0x05}, "{k:i5;}", 9},
      {{0x82, 0xA1, 'k', 0x81, 0xA1, 'a', 0x01, 0xA1, 'k', 0xC0}, "{k:~;}", 10},
      // Keys are equal up to their first NUL; a key of nothing but a NUL is the empty key.
      {{0x83, 0xA3, 'a', 0x00, 'b', 0x01, 0xA3, 'a', 0x00, 'c', 0x02, 0xA1, 'b', 0x03},
       "{a:i2;b:i3;}",
       14},
      {{0x82, 0xA3, 'a', 0x00, 'b', 0x01, 0xA1, 'a', 0x05}, "{a:i5;}", 9},
      {{0x81, 0xA2, 0x00, 'x', 0x07}, "{:i7;}", 5},
  };
  ExpectDecoded(cases);
}

TEST(MessagePackTest, NestingOfFiveHundredTwelvePassesAndOneMoreFails) {
  std::vector<uint8_t> deep(512, 0x91);
  deep.push_back(0x07);
  const Decoded ok = Decode(deep);
  EXPECT_TRUE(ok.result.Ok()) << ok.result.ErrorMessage();
  EXPECT_EQ(ok.consumed, deep.size());

  std::vector<uint8_t> tooDeep(513, 0x91);
  tooDeep.push_back(0x07);
  const Decoded failed = Decode(tooDeep);
  EXPECT_EQ(failed.result.ErrorMessage(),
            "Invalid MessagePack data at position 513. Nesting is too deep.");

  std::vector<uint8_t> maps;
  for (int i = 0; i < 600; ++i)
    maps.insert(maps.end(), {0x81, 0xA0});
  EXPECT_EQ(Decode(maps).result.ErrorMessage(),
            "Invalid MessagePack data at position 1025. Nesting is too deep.");
}

TEST(MessagePackTest, AMillionOpenArraysFailQuicklyOnASmallStack) {
  const std::vector<uint8_t> deep(1000000, 0x91);
  std::string message;
  auto work = [&] { message = std::string(Decode(deep).result.ErrorMessage()); };
  RunOnSmallStack(work);
  EXPECT_EQ(message, "Invalid MessagePack data at position 513. Nesting is too deep.");
}

TEST(MessagePackTest, EveryTruncationOfAValidDocumentDecodesOrFailsCleanly) {
  const std::vector<uint8_t> document = {0x84, 0xA4, 'n',  'a',  'm',  'e',  0xD9, 0x03, 'a',  'b',
                                         'c',  0xA3, 'i',  'd',  's',  0x93, 0xCD, 0x01, 0x00, 0xD2,
                                         0xFF, 0xFF, 0xFF, 0xFE, 0xCB, 0x3F, 0xF0, 0,    0,    0,
                                         0,    0,    0,    0xA3, 'b',  'i',  'n',  0xC5, 0x00, 0x02,
                                         0xAA, 0xBB, 0xA1, 'm',  0x81, 0xA1, 'x',  0xC3};
  const Decoded whole = Decode(document);
  ASSERT_TRUE(whole.result.Ok()) << whole.result.ErrorMessage();
  EXPECT_EQ(Shape(whole.result.Value()), "{bin:b'aabb';ids:[u256,i-2,f1];m:{x:T;};name:'abc';}");
  EXPECT_EQ(whole.consumed, document.size());
  for (size_t cut = 0; cut < document.size(); ++cut) {
    const std::vector<uint8_t> prefix(document.begin(), document.begin() + static_cast<long>(cut));
    const Decoded decoded = Decode(prefix);
    EXPECT_LE(decoded.consumed, cut);
    if (!decoded.result.Ok()) {
      EXPECT_NE(decoded.result.ErrorMessage().find("truncated"), std::string::npos)
          << "cut at " << cut << ": " << decoded.result.ErrorMessage();
    }
  }
}

TEST(MessagePackTest, SniffsMapsAndArraysOnly) {
  const struct {
    uint8_t first;
    size_t size;
    bool expected;
  } cases[] = {{0x80, 1, true},  {0x9F, 1, true},  {0xDC, 1, true}, {0xDF, 1, true},
               {0xA0, 1, false}, {0x01, 1, false}, {0x80, 0, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(LooksLikeMessagePack(&c.first, c.size), c.expected) << int{c.first} << "/" << c.size;
  }
  EXPECT_FALSE(LooksLikeMessagePack(nullptr, 4));
}

}  // namespace
}  // namespace Oxle::Client::Codec
