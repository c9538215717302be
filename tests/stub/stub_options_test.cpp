// The stub's command line: what each option sets, the one line each mistake gets, and which
// addresses count as loopback.
#include "stub/stub_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Oxle::Client::Host::Stub {
namespace {

TEST(StubOptions, EachCommandLineSetsItsOptionsOrGetsItsOneLine) {
  const uint32_t late = kDefaultLateMs;
  const std::string listen = "invalid --listen address '";
  const std::string form = "' (expected HOST:PORT, for example 127.0.0.1:0)";
  const std::string ms = " (expected milliseconds from 0 to 600000)";
  const std::string remote = ", which is not a loopback address (add --allow-remote to allow it)";
  struct Case {
    std::vector<std::string> args;
    StubOptions expected;
    std::string error = "";  // after "tpk-mhx-stub: "
  };
  const Case cases[] = {
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
      {{"--bogus"}, {}, "unknown option '--bogus' (see --help)"},
      {{"-x"}, {}, "unknown option '-x' (see --help)"},
      {{"extra"}, {}, "unexpected argument 'extra' (see --help)"},
      {{"--listen"}, {}, "option '--listen' needs a value"},
      {{"--late-ms"}, {}, "option '--late-ms' needs a value"},
      {{"--help=yes"}, {}, "option '--help' takes no value"},
      {{"--listen", "127.0.0.1"}, {}, listen + "127.0.0.1" + form},
      {{"--listen", "127.0.0.1:65536"}, {}, listen + "127.0.0.1:65536" + form},
      {{"--listen", "127.0.0.1:-1"}, {}, listen + "127.0.0.1:-1" + form},
      {{"--listen", "127.0.0.1:"}, {}, listen + "127.0.0.1:" + form},
      {{"--listen", "host.example:80"}, {}, listen + "host.example:80" + form},
      {{"--listen", "::1:80"}, {}, listen + "::1:80" + form},
      {{"--listen", "[::1]80"}, {}, listen + "[::1]80" + form},
      {{"--late-ms", "600001"}, {}, "invalid --late-ms '600001'" + ms},
      {{"--late-ms", "-5"}, {}, "invalid --late-ms '-5'" + ms},
      {{"--listen", "10.1.2.3:0"}, {}, "refusing to listen on 10.1.2.3" + remote},
      {{"--listen", "[::]:0"}, {}, "refusing to listen on ::" + remote},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto parsed = ParseStubOptions(c.args);
    ASSERT_EQ(parsed.Ok(), c.error.empty()) << parsed.ErrorMessage();
    EXPECT_EQ(parsed.Ok() ? parsed.Value() : c.expected, c.expected);
    EXPECT_EQ(parsed.Ok() ? "" : parsed.ErrorMessage(),
              c.error.empty() ? "" : "tpk-mhx-stub: " + c.error);
  }
}

TEST(StubOptions, LoopbackIsTheWhole127NetworkAndIpv6OneAndUrlsBracketIpv6) {
  for (const char* host : {"127.0.0.1", "127.0.0.0", "127.255.255.254", "::1"})
    EXPECT_TRUE(IsLoopbackAddress(host)) << host;
  for (const char* host : {"128.0.0.1", "0.0.0.0", "10.0.0.1", "::", "::ffff:127.0.0.1",
                           "localhost", "", "127.0.0.1 "})
    EXPECT_FALSE(IsLoopbackAddress(host)) << host;
  EXPECT_EQ(ServiceUrl("::1", 1), "http://[::1]:1");
}

}  // namespace
}  // namespace Oxle::Client::Host::Stub
