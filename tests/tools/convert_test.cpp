#include "tpk-convert/convert.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <streambuf>

namespace Oxle::Client::Tools {
namespace {

// What the C library says when asked to read a folder as a file.
#ifdef _WIN32
const std::string kDirectoryError = "Permission denied";
#else
const std::string kDirectoryError = "Is a directory";
#endif

struct Outcome {
  int code = -1;
  std::string out, err;
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

// Runs each row: its arguments (split at spaces) and input; `expected` is standard output on 0
// and standard error otherwise, the other stream empty; on 2 (bad usage) it is the message that
// precedes the usage text.
void Check(
    const std::vector<std::tuple<const char*, std::string, std::string, std::string, int>>& cases) {
  for (const auto& [name, args, input, expected, code] : cases) {
    std::vector<std::string> words;
    std::istringstream split(args);
    for (std::string word; split >> word;)
      words.push_back(word);
    const Outcome outcome = Convert(words, input);
    const std::string err = code == 2 ? "tpk-convert: " + expected + "\n" + UsageText() : expected;
    EXPECT_EQ(std::tie(outcome.code, outcome.out, outcome.err),
              std::tuple(code, code == 0 ? expected : "", code == 0 ? "" : err))
        << name;
  }
}

// One row per way in: each format sniffed and forced, each output flag, a decode failure.
TEST(ConvertTest, FormatsAndFlagsReachTheirDecoderAndWriter) {
  const std::string doc = R"({"a":[1,{}],"b":"x"})";
  const std::string lf = "{\n    \"a\": [\n        1,\n        {}\n    ],\n    \"b\": \"x\"\n}\n";
  std::string crlf;
  for (const char ch : lf)
    crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  const std::string invalid = "Error: Invalid value. at offset 0.\n", unknown = "unknown format '";
  Check({
      {"json sniffed", "", doc, "{\"a\":[1,{}],\"b\":\"x\"}\n", 0},
      {"json stops at nul", "", Bytes("[1]\0junk"), "[1]\n", 0},
      {"empty input", "", "", "\n", 0},
      {"msgpack sniffed", "", Bytes("\x82\xA1k\x01\xA1z\x92\xC3\xC0"),
       "{\"k\":1,\"z\":[true,null]}\n", 0},
      {"msgpack extra byte", "", Bytes("\x91\x01\x02"), "Extra MessgePack data found in body\n", 1},
      {"msgpack truncated", "", Bytes("\x91\xA3xy"),
       "Invalid MessagePack data. String of size 3 at position 2 is truncated.\n", 1},
      {"yaml sniffed", "", "\n---\na: yes\nb: &x [1]\nc: *x\n",
       "{\"a\":true,\"b\":[1],\"c\":[1]}\n", 0},
      {"yaml without marker is json", "", "k: v\n", invalid, 1},
      {"msgpack scalar is json", "", Bytes("\xA2hi"), invalid, 1},
      {"json forced", "--from json", "---\n1\n", "Error: Invalid value. at offset 1.\n", 1},
      {"msgpack forced", "--from msgpack", Bytes("\xA2hi"), "\"hi\"\n", 0},
      {"yaml forced", "--from=yaml", "k: [a, ~]\n", "{\"k\":[\"a\",null]}\n", 0},
      {"last --from wins", "--from json --from yaml", "k: v\n", "{\"k\":\"v\"}\n", 0},
      {"indent", "--indent", doc, lf, 0},
      {"crlf implies indent", "--crlf", doc, crlf, 0},
      {"crlf scalar", "--crlf", "7", "7\r\n", 0},
      {"yaml failure", "", "---\nk: *no\n",
       "Undefined alias encountered: \"no\". At line: 2 col: 4\n", 1},
      {"dash", "-", "[2]", "[2]\n", 0},
      {"dash after options end", "-- -", "[3]", "[3]\n", 0},
      {"unknown option", "--bogus", "[1]", "unknown option '--bogus'", 2},
      {"unknown short option", "-x", "[1]", "unknown option '-x'", 2},
      {"unknown format", "--from xml", "[1]", unknown + "xml' (json, msgpack or yaml)", 2},
      {"empty format", "--from=", "[1]", unknown + "' (json, msgpack or yaml)", 2},
      {"missing format", "--from", "[1]", "--from needs a format", 2},
      {"two files", "a.json b.json", "[1]", "only one input file may be given", 2},
      {"help", "--help", "[1]", UsageText(), 0},
      {"short help", "-h", "", UsageText(), 0},
  });
}

// Files are named without spaces here; the process id keeps presets that run this suite at the
// same time apart. The three shipped samples hold one document.
TEST(ConvertTest, ReadsTheNamedFileAndReportsOneItCannotRead) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tpk_convert_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string odd = (dir / "-odd.msgpack").string(),
                    missing = (dir / "missing.json").string();
  std::ofstream(odd, std::ios::binary) << Bytes("\x81\xA2id\x2A");
  const std::string cannot = "tpk-convert: cannot read '", sample = TPK_EXAMPLES_DIR "/sample.";
  const Outcome json = Convert({sample + "json"}, "");
  EXPECT_TRUE(json.out.starts_with(R"({"matches":[{"abandoned":false,"assists":14,)")) << json.out;
  Check({
      {"file before stdin", "-- " + odd, "[\"stdin\"]", "{\"id\":42}\n", 0},
      {"missing", missing, "", cannot + missing + "': No such file or directory\n", 1},
      {"directory", dir.string(), "", cannot + dir.string() + "': " + kDirectoryError + "\n", 1},
      {"json sample", sample + "json", "", json.out, 0},
      {"msgpack sample", sample + "msgpack", "", json.out, 0},
      {"yaml sample", sample + "yaml", "", json.out, 0},
  });
  std::filesystem::remove_all(dir);
}

// Reads fail the way a broken pipe would; writes take nothing, like a full disk.
class FailingBuffer : public std::streambuf {
 protected:
  int_type underflow() override { throw std::ios_base::failure("device error"); }
  int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(ConvertTest, StreamFailuresExitWithOne) {
  FailingBuffer buffer;
  std::istream failingIn(&buffer);
  std::ostream failingOut(&buffer);
  const auto run = [](std::istream& in, std::ostream& out) {  // the status and standard error
    std::ostringstream err;
    const int code = RunConvert({}, in, out, err);
    return std::to_string(code) + " " + err.str();
  };
  std::ostringstream out;
  std::istringstream in("[1]"), again("[1]");
  EXPECT_EQ(run(failingIn, out) + out.str(), "1 tpk-convert: cannot read standard input\n");
  EXPECT_EQ(run(in, failingOut), "1 tpk-convert: cannot write the output\n");
  failingOut.clear();
  failingOut.exceptions(std::ios_base::badbit);  // an output that throws is caught too
  EXPECT_TRUE(run(again, failingOut).starts_with("1 tpk-convert: "));
}

TEST(SniffFormatTest, PicksTheFormatADispatcherWouldPick) {
  const std::pair<std::string, InputFormat> cases[] = {
      {"", InputFormat::Json},
      {"  [", InputFormat::Json},
      {"\t\r\n ---\n", InputFormat::Yaml},
      {"--", InputFormat::Json},
      {"a: 1", InputFormat::Json},
      {Bytes("\x80"), InputFormat::MessagePack},
      {Bytes("\xDF"), InputFormat::MessagePack},
      {Bytes("\x7F"), InputFormat::Json},
      {Bytes("\xA0"), InputFormat::Json},
      // The first byte decides MessagePack; whitespace is not skipped for it.
      {Bytes(" \x81"), InputFormat::Json},
  };
  for (const auto& [data, format] : cases)
    EXPECT_EQ(SniffFormat(data), format) << "input of " << data.size() << " bytes";
}

}  // namespace
}  // namespace Oxle::Client::Tools
