#include "tpk-convert/convert.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace Oxle::Client::Tools {
namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome Convert(const std::vector<std::string>& args, const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  Outcome outcome;
  outcome.code = RunConvert(args, in, out, err);
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

// Bytes of a string literal, NULs and high bytes included.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string input;
  std::string out;  // exact standard output
  std::string err;  // exact standard error
  int code;
};

void Check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Outcome outcome = Convert(c.args, c.input);
    EXPECT_EQ(outcome.code, c.code) << c.name;
    EXPECT_EQ(outcome.out, c.out) << c.name;
    EXPECT_EQ(outcome.err, c.err) << c.name;
  }
}

TEST(ConvertTest, SniffsTheFormatFromTheContent) {
  Check({
      {"json object", {}, R"({"b":[1,-2,0.5],"a":true})", "{\"a\":true,\"b\":[1,-2,0.5]}\n", "", 0},
      {"json after whitespace", {}, " \r\n\t[1]", "[1]\n", "", 0},
      {"json scalar by default", {}, "\"text\"", "\"text\"\n", "", 0},
      {"msgpack map",
       {},
       Bytes("\x82\xA1"
             "a\x01\xA1"
             "b\x92\xC3\xC0"),
       "{\"a\":1,\"b\":[true,null]}\n",
       "",
       0},
      {"msgpack array 16", {}, Bytes("\xDC\x00\x02\xA1x\xFF"), "[\"x\",-1]\n", "", 0},
      {"yaml marker",
       {},
       "---\na: yes\nb: &x [1, off]\nc: *x\n",
       "{\"a\":true,\"b\":[1,false],\"c\":[1,false]}\n",
       "",
       0},
      {"yaml marker after blank lines", {}, "\n\n---\nk: v\n", "{\"k\":\"v\"}\n", "", 0},
      // Without the marker YAML is not recognised: the fallback is JSON.
      {"yaml without marker", {}, "k: v\n", "", "Error: Invalid value. at offset 0.\n", 1},
      // A scalar first byte is not a MessagePack body, so it is read as JSON.
      {"msgpack scalar", {}, Bytes("\xA2hi"), "", "Error: Invalid value. at offset 0.\n", 1},
      {"empty input", {}, "", "\n", "", 0},
      {"whitespace only", {}, " \n", "\n", "", 0},
      // JSON text ends at its first NUL, as everywhere in the framework.
      {"json stops at nul", {}, Bytes("[1]\0junk"), "[1]\n", "", 0},
  });
}

TEST(ConvertTest, FromOverridesSniffing) {
  Check({
      {"json", {"--from", "json"}, "[true]", "[true]\n", "", 0},
      {"json over a yaml marker",
       {"--from", "json"},
       "---\n1\n",
       "",
       "Error: Invalid value. at offset 1.\n",
       1},
      {"msgpack scalar", {"--from", "msgpack"}, Bytes("\xA2hi"), "\"hi\"\n", "", 0},
      {"msgpack float",
       {"--from", "msgpack"},
       Bytes("\xCB\x40\x04\x00\x00\x00\x00\x00\x00"),
       "2.5\n",
       "",
       0},
      {"msgpack empty", {"--from", "msgpack"}, "", "\n", "", 0},
      {"msgpack over json text",
       {"--from", "msgpack"},
       "{}",
       "",
       "Extra MessgePack data found in body\n",
       1},
      {"yaml without marker",
       {"--from", "yaml"},
       "k: [a, ~, 1.5]\n",
       "{\"k\":[\"a\",null,1.5]}\n",
       "",
       0},
      {"yaml reads json", {"--from", "yaml"}, R"({"a": 1})", "{\"a\":1}\n", "", 0},
      {"equals form", {"--from=yaml"}, "k: v\n", "{\"k\":\"v\"}\n", "", 0},
      {"last one wins", {"--from", "json", "--from", "yaml"}, "k: v\n", "{\"k\":\"v\"}\n", "", 0},
  });
}

TEST(ConvertTest, IndentsWithTheChosenLineEnd) {
  const std::string input = R"({"a":[1,{}],"b":"x"})";
  const std::string lf = "{\n    \"a\": [\n        1,\n        {}\n    ],\n    \"b\": \"x\"\n}\n";
  std::string crlf;
  for (const char ch : lf)
    crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  Check({
      {"compact", {}, input, "{\"a\":[1,{}],\"b\":\"x\"}\n", "", 0},
      {"indent", {"--indent"}, input, lf, "", 0},
      {"crlf implies indent", {"--crlf"}, input, crlf, "", 0},
      {"crlf with indent", {"--indent", "--crlf"}, input, crlf, "", 0},
      {"crlf scalar", {"--crlf"}, "7", "7\r\n", "", 0},
      {"crlf empty", {"--crlf"}, "", "\r\n", "", 0},
  });
}

TEST(ConvertTest, DecodeFailuresPrintTheDecodersMessage) {
  Check({
      {"bad json", {}, R"({"a":)", "", "Error: Invalid value. at offset 5.\n", 1},
      {"json trailing value",
       {},
       "[1] x",
       "",
       "Error: The document root must not be followed by other values. at offset 4.\n",
       1},
      {"truncated msgpack",
       {},
       Bytes("\x91\xA3"
             "ab"),
       "",
       "Invalid MessagePack data. String of size 3 at position 2 is truncated.\n",
       1},
      {"truncated msgpack integer",
       {},
       Bytes("\x81\xA1k\xCD\x01"),
       "",
       "Invalid MessagePack data. 16-bit integer value at position 4 is truncated.\n",
       1},
      {"truncated forced msgpack",
       {"--from", "msgpack"},
       Bytes("\xA3"
             "ab"),
       "",
       "Invalid MessagePack data. String of size 3 at position 1 is truncated.\n",
       1},
      {"msgpack key not a string",
       {},
       Bytes("\x81\x01\x02"),
       "",
       "Invalid MessagePack data at position 2. Map keys must be strings.\n",
       1},
      {"msgpack extra byte",
       {},
       Bytes("\x91\x01\x02"),
       "",
       "Extra MessgePack data found in body\n",
       1},
      {"msgpack extra nul", {}, Bytes("\x80\x00"), "", "Extra MessgePack data found in body\n", 1},
      {"yaml syntax",
       {},
       "---\na: [1\n",
       "",
       "YAML parser error: did not find expected ',' or ']'. At line: 2 col: 0\n",
       1},
      {"yaml undefined alias",
       {},
       "---\nk: *nope\n",
       "",
       "Undefined alias encountered: \"nope\". At line: 2 col: 4\n",
       1},
      {"yaml cyclic alias",
       {},
       "---\n&a [*a]\n",
       "",
       "Cannot deserialize cyclic aliases. Alias \"a\". At line: 2 col: 5\n",
       1},
  });
}

TEST(ConvertTest, BadUsageExitsWithTwoAndTheUsageText) {
  const std::string usage = UsageText();
  Check({
      {"unknown option",
       {"--bogus"},
       "[1]",
       "",
       "tpk-convert: unknown option '--bogus'\n" + usage,
       2},
      {"unknown short option", {"-x"}, "[1]", "", "tpk-convert: unknown option '-x'\n" + usage, 2},
      {"unknown format",
       {"--from", "xml"},
       "[1]",
       "",
       "tpk-convert: unknown format 'xml' (json, msgpack or yaml)\n" + usage,
       2},
      {"empty format",
       {"--from="},
       "[1]",
       "",
       "tpk-convert: unknown format '' (json, msgpack or yaml)\n" + usage,
       2},
      {"missing format", {"--from"}, "[1]", "", "tpk-convert: --from needs a format\n" + usage, 2},
      {"two files",
       {"a.json", "b.json"},
       "[1]",
       "",
       "tpk-convert: only one input file may be given\n" + usage,
       2},
      {"help", {"--help"}, "[1]", usage, "", 0},
      {"short help", {"-h"}, "", usage, "", 0},
  });
  EXPECT_TRUE(
      usage.starts_with("usage: tpk-convert [--from json|msgpack|yaml] [--indent] "
                        "[--crlf] [FILE]\n"));
}

TEST(ConvertTest, DashMeansStandardInput) {
  Check({
      {"dash", {"-"}, "[2]", "[2]\n", "", 0},
      {"dash after options end", {"--", "-"}, "[3]", "[3]\n", "", 0},
  });
}

class ConvertFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process id keeps presets that run this suite at the same time apart.
    dir_ = std::filesystem::temp_directory_path() /
           ("tpk_convert_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(ConvertFileTest, ReadsTheNamedFileNotStandardInput) {
  const std::string path = Write("doc.msgpack", Bytes("\x81\xA2id\x2A"));
  const Outcome outcome = Convert({path}, "[\"stdin\"]");
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(outcome.out, "{\"id\":42}\n");
  EXPECT_EQ(outcome.err, "");
}

TEST_F(ConvertFileTest, FileNamedLikeAnOptionAfterDoubleDash) {
  const std::string path = Write("-odd.json", "[true]");
  const Outcome outcome = Convert({"--", path}, "");
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(outcome.out, "[true]\n");
}

TEST_F(ConvertFileTest, UnreadableFilesExitWithOne) {
  const std::string missing = (dir_ / "missing.json").string();
  const std::string directory = dir_.string();
  Check({
      {"missing",
       {missing},
       "",
       "",
       "tpk-convert: cannot read '" + missing + "': No such file or directory\n",
       1},
      {"empty name",
       {""},
       "[1]",
       "",
       "tpk-convert: cannot read '': No such file or directory\n",
       1},
      {"directory",
       {directory},
       "",
       "",
       "tpk-convert: cannot read '" + directory + "': Is a directory\n",
       1},
  });
}

// The three shipped samples hold one document, so each must print exactly this.
TEST(ConvertSamplesTest, EverySampleConvertsToTheSameDocument) {
  const std::string expected =
      R"({"matches":[{"abandoned":false,"assists":14,"champion":"Vesper","deaths":2,)"
      R"("durationSeconds":1834,"gameId":6021487733,"items":[101,102,103,104],"kda":11.5,)"
      R"("kills":9,"notes":null,"queue":{"id":7,"name":"Ranked"},"ratingChange":21,"win":true},)"
      R"({"abandoned":false,"assists":3,"champion":"Orrin","deaths":8,"durationSeconds":2210,)"
      R"("gameId":6021399120,"items":[105,106],"kda":0.75,"kills":3,)"
      R"("notes":"disconnected at 12 minutes","queue":{"id":7,"name":"Ranked"},)"
      R"("ratingChange":-18,"win":false},{"abandoned":false,"assists":21,"champion":"Mirelle",)"
      R"("deaths":4,"durationSeconds":1297,"gameId":6021310005,"items":[],"kda":8.25,"kills":12,)"
      R"("notes":null,"queue":{"id":9,"name":"Casual"},"ratingChange":0,"win":true}],)"
      R"("player":{"accountUuid":"7f3c1e2a-90b4-4d7e-8a51-c2f0e6d9b314","level":187,)"
      R"("name":"Zoë the Bold"},"total":3})"
      "\n";
  for (const char* name : {"sample.json", "sample.msgpack", "sample.yaml"}) {
    const Outcome outcome = Convert({std::string(TPK_EXAMPLES_DIR) + "/" + name}, "");
    EXPECT_EQ(outcome.code, 0) << name;
    EXPECT_EQ(outcome.out, expected) << name;
    EXPECT_EQ(outcome.err, "") << name;
  }
}

// A buffer whose reads fail the way a broken pipe or device would.
class FailingBuffer : public std::streambuf {
 protected:
  int_type underflow() override { throw std::ios_base::failure("device error"); }
};

TEST(ConvertStreamTest, UnreadableStandardInputExitsWithOne) {
  FailingBuffer buffer;
  std::istream in(&buffer);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunConvert({}, in, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "tpk-convert: cannot read standard input\n");
}

// A buffer that takes nothing, like a full disk.
class FullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(ConvertStreamTest, UnwritableOutputExitsWithOne) {
  std::istringstream in("[1]");
  FullBuffer buffer;
  std::ostream out(&buffer);
  std::ostringstream err;
  EXPECT_EQ(RunConvert({}, in, out, err), 1);
  EXPECT_EQ(err.str(), "tpk-convert: cannot write the output\n");
}

TEST(ConvertStreamTest, NoExceptionEscapesWhenTheOutputThrows) {
  std::istringstream in("[1]");
  FullBuffer buffer;
  std::ostream out(&buffer);
  out.exceptions(std::ios_base::badbit);
  std::ostringstream err;
  int code = -1;
  EXPECT_NO_THROW(code = RunConvert({}, in, out, err));
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(err.str().starts_with("tpk-convert: ")) << err.str();
}

TEST(SniffFormatTest, PicksTheFormatADispatcherWouldPick) {
  struct SniffCase {
    std::string data;
    InputFormat format;
  };
  const std::vector<SniffCase> cases = {
      {"", InputFormat::Json},
      {"{", InputFormat::Json},
      {"  [", InputFormat::Json},
      {"---", InputFormat::Yaml},
      {"\t\r\n ---\n", InputFormat::Yaml},
      {"--", InputFormat::Json},
      {"a: 1", InputFormat::Json},
      {Bytes("\x80"), InputFormat::MessagePack},
      {Bytes("\x9F"), InputFormat::MessagePack},
      {Bytes("\xDC"), InputFormat::MessagePack},
      {Bytes("\xDF"), InputFormat::MessagePack},
      {Bytes("\x7F"), InputFormat::Json},
      {Bytes("\xA0"), InputFormat::Json},
      {Bytes("\xDB"), InputFormat::Json},
      {Bytes("\xE0"), InputFormat::Json},
      // The first byte decides MessagePack; whitespace is not skipped for it.
      {Bytes(" \x81"), InputFormat::Json},
  };
  for (const SniffCase& c : cases) {
    EXPECT_EQ(SniffFormat(c.data), c.format) << "input of " << c.data.size() << " bytes";
  }
}

}  // namespace
}  // namespace Oxle::Client::Tools
