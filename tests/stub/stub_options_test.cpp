// The stub's command line: what each option sets, the one line each mistake gets, and which
// addresses count as loopback.
#include "stub/stub_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Oxle::Client::Host::Stub {
namespace {

StubOptions With(const std::string& host, uint16_t port, uint32_t lateMs = kDefaultLateMs,
                 bool allowRemote = false, bool help = false) {
  StubOptions options;
  options.host = host;
  options.port = port;
  options.lateMs = lateMs;
  options.allowRemote = allowRemote;
  options.help = help;
  return options;
}

TEST(StubOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    StubOptions expected;
  };
  const std::vector<Case> cases = {
      {{}, With("127.0.0.1", 0)},
      {{"--listen", "127.0.0.1:8080"}, With("127.0.0.1", 8080)},
      {{"--listen=127.0.0.1:65535"}, With("127.0.0.1", 65535)},
      {{"--listen", "127.9.8.7:0"}, With("127.9.8.7", 0)},
      {{"--listen", "localhost:5000"}, With("127.0.0.1", 5000)},
      {{"--listen", "[::1]:5000"}, With("::1", 5000)},
      {{"--late-ms", "0"}, With("127.0.0.1", 0, 0)},
      {{"--late-ms=600000"}, With("127.0.0.1", 0, 600000)},
      {{"--listen", "10.1.2.3:80", "--allow-remote"}, With("10.1.2.3", 80, kDefaultLateMs, true)},
      {{"--allow-remote", "--listen", "0.0.0.0:80"}, With("0.0.0.0", 80, kDefaultLateMs, true)},
      {{"--help"}, With("127.0.0.1", 0, kDefaultLateMs, false, true)},
      {{"-h", "--listen", "10.0.0.1:1"}, With("10.0.0.1", 1, kDefaultLateMs, false, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto parsed = ParseStubOptions(c.args);
    ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
    EXPECT_EQ(parsed.Value(), c.expected);
  }
}

TEST(StubOptions, EachMistakeIsOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string badListen = "' (expected HOST:PORT, for example 127.0.0.1:0)";
  const std::vector<Case> cases = {
      {{"--bogus"}, "tpk-mhx-stub: unknown option '--bogus' (see --help)"},
      {{"-x"}, "tpk-mhx-stub: unknown option '-x' (see --help)"},
      {{"extra"}, "tpk-mhx-stub: unexpected argument 'extra' (see --help)"},
      {{"--listen"}, "tpk-mhx-stub: option '--listen' needs a value"},
      {{"--late-ms"}, "tpk-mhx-stub: option '--late-ms' needs a value"},
      {{"--help=yes"}, "tpk-mhx-stub: option '--help' takes no value"},
      {{"--listen", "127.0.0.1"}, "tpk-mhx-stub: invalid --listen address '127.0.0.1" + badListen},
      {{"--listen", "127.0.0.1:65536"},
       "tpk-mhx-stub: invalid --listen address '127.0.0.1:65536" + badListen},
      {{"--listen", "127.0.0.1:-1"},
       "tpk-mhx-stub: invalid --listen address '127.0.0.1:-1" + badListen},
      {{"--listen", "127.0.0.1:"},
       "tpk-mhx-stub: invalid --listen address '127.0.0.1:" + badListen},
      {{"--listen", "host.example:80"},
       "tpk-mhx-stub: invalid --listen address 'host.example:80" + badListen},
      {{"--listen", "::1:80"}, "tpk-mhx-stub: invalid --listen address '::1:80" + badListen},
      {{"--listen", "[::1]80"}, "tpk-mhx-stub: invalid --listen address '[::1]80" + badListen},
      {{"--late-ms", "600001"},
       "tpk-mhx-stub: invalid --late-ms '600001' (expected milliseconds from 0 to 600000)"},
      {{"--late-ms", "-5"},
       "tpk-mhx-stub: invalid --late-ms '-5' (expected milliseconds from 0 to 600000)"},
      {{"--listen", "10.1.2.3:0"},
       "tpk-mhx-stub: refusing to listen on 10.1.2.3, which is not a loopback address (add "
       "--allow-remote to allow it)"},
      {{"--listen", "[::]:0"},
       "tpk-mhx-stub: refusing to listen on ::, which is not a loopback address (add "
       "--allow-remote to allow it)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto parsed = ParseStubOptions(c.args);
    ASSERT_FALSE(parsed.Ok());
    EXPECT_EQ(parsed.ErrorMessage(), c.message);
  }
}

TEST(StubOptions, LoopbackIsTheWhole127NetworkAndIpv6One) {
  for (const char* host : {"127.0.0.1", "127.0.0.0", "127.255.255.254", "::1"})
    EXPECT_TRUE(IsLoopbackAddress(host)) << host;
  for (const char* host : {"128.0.0.1", "0.0.0.0", "10.0.0.1", "::", "::ffff:127.0.0.1",
                           "localhost", "", "127.0.0.1 "})
    EXPECT_FALSE(IsLoopbackAddress(host)) << host;
}

TEST(StubOptions, ServiceUrlBracketsIpv6) {
  EXPECT_EQ(ServiceUrl("127.0.0.1", 8080), "http://127.0.0.1:8080");
  EXPECT_EQ(ServiceUrl("::1", 1), "http://[::1]:1");
}

TEST(StubOptions, UsageNamesEveryOption) {
  const std::string usage = StubUsageText();
  for (const char* option : {"--listen", "--late-ms", "--allow-remote", "--help"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace Oxle::Client::Host::Stub
