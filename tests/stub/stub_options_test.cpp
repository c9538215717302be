// The stub's command line: what each option sets, the one line each mistake gets, and which
// addresses count as loopback.
#include "stub/stub_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Oxle::Client::Host::Stub {
namespace {

TEST(StubOptions, AcceptedCommandLines) {
  const uint32_t late = kDefaultLateMs;
  const std::vector<std::pair<std::vector<std::string>, StubOptions>> cases = {
      {{}, {false, "127.0.0.1", 0}},
      {{"--listen", "127.0.0.1:8080"}, {false, "127.0.0.1", 8080}},
      {{"--listen=127.0.0.1:65535"}, {false, "127.0.0.1", 65535}},
      {{"--listen", "127.9.8.7:0"}, {false, "127.9.8.7", 0}},
      {{"--listen", "localhost:5000"}, {false, "127.0.0.1", 5000}},
      {{"--listen", "[::1]:5000"}, {false, "::1", 5000}},
      {{"--late-ms", "0"}, {false, "127.0.0.1", 0, 0}},
      {{"--late-ms=600000"}, {false, "127.0.0.1", 0, 600000}},
      {{"--listen", "10.1.2.3:80", "--allow-remote"}, {false, "10.1.2.3", 80, late, true}},
      {{"--allow-remote", "--listen", "0.0.0.0:80"}, {false, "0.0.0.0", 80, late, true}},
      {{"--help"}, {true, "127.0.0.1", 0}},
      {{"-h", "--listen", "10.0.0.1:1"}, {true, "10.0.0.1", 1}},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto parsed = ParseStubOptions(args);
    ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
    EXPECT_EQ(parsed.Value(), expected);
  }
}

TEST(StubOptions, EachMistakeIsOneLine) {
  const std::string listen = "tpk-mhx-stub: invalid --listen address '";
  const std::string expected = "' (expected HOST:PORT, for example 127.0.0.1:0)";
  const std::string late = "' (expected milliseconds from 0 to 600000)";
  const std::string remote = ", which is not a loopback address (add --allow-remote to allow it)";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "tpk-mhx-stub: unknown option '--bogus' (see --help)"},
      {{"-x"}, "tpk-mhx-stub: unknown option '-x' (see --help)"},
      {{"extra"}, "tpk-mhx-stub: unexpected argument 'extra' (see --help)"},
      {{"--listen"}, "tpk-mhx-stub: option '--listen' needs a value"},
      {{"--late-ms"}, "tpk-mhx-stub: option '--late-ms' needs a value"},
      {{"--help=yes"}, "tpk-mhx-stub: option '--help' takes no value"},
      {{"--listen", "127.0.0.1"}, listen + "127.0.0.1" + expected},
      {{"--listen", "127.0.0.1:65536"}, listen + "127.0.0.1:65536" + expected},
      {{"--listen", "127.0.0.1:-1"}, listen + "127.0.0.1:-1" + expected},
      {{"--listen", "127.0.0.1:"}, listen + "127.0.0.1:" + expected},
      {{"--listen", "host.example:80"}, listen + "host.example:80" + expected},
      {{"--listen", "::1:80"}, listen + "::1:80" + expected},
      {{"--listen", "[::1]80"}, listen + "[::1]80" + expected},
      {{"--late-ms", "600001"}, "tpk-mhx-stub: invalid --late-ms '600001" + late},
      {{"--late-ms", "-5"}, "tpk-mhx-stub: invalid --late-ms '-5" + late},
      {{"--listen", "10.1.2.3:0"}, "tpk-mhx-stub: refusing to listen on 10.1.2.3" + remote},
      {{"--listen", "[::]:0"}, "tpk-mhx-stub: refusing to listen on ::" + remote},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto parsed = ParseStubOptions(args);
    ASSERT_FALSE(parsed.Ok());
    EXPECT_EQ(parsed.ErrorMessage(), message);
  }
}

TEST(StubOptions, LoopbackIsTheWhole127NetworkAndIpv6OneAndUrlsBracketIpv6) {
  for (const char* host : {"127.0.0.1", "127.0.0.0", "127.255.255.254", "::1"})
    EXPECT_TRUE(IsLoopbackAddress(host)) << host;
  for (const char* host : {"128.0.0.1", "0.0.0.0", "10.0.0.1", "::", "::ffff:127.0.0.1",
                           "localhost", "", "127.0.0.1 "})
    EXPECT_FALSE(IsLoopbackAddress(host)) << host;
  EXPECT_EQ(ServiceUrl("127.0.0.1", 8080), "http://127.0.0.1:8080");
  EXPECT_EQ(ServiceUrl("::1", 1), "http://[::1]:1");
}

}  // namespace
}  // namespace Oxle::Client::Host::Stub
