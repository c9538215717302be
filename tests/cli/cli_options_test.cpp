// The command line of tpk-host: every option accepted, every wrong one refused with its line,
// and the rules behind them (export names, loopback addresses).
#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;

using Args = std::vector<std::string>;

Result<CliOptions> Parse(const Args& args) {
  return ParseOptions(args);
}

TEST(CliOptions, TheDefaultsNeedOnlyAModule) {
  const Result<CliOptions> parsed = Parse({"build/tpk-be-qel-mhx.so"});
  ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
  const CliOptions& options = parsed.Value();
  EXPECT_FALSE(options.help);
  EXPECT_FALSE(options.resourcesFile.has_value());
  EXPECT_EQ(options.listen, (ListenAddress{"127.0.0.1", 0}));
  EXPECT_FALSE(options.allowRemote);
  EXPECT_FALSE(options.allowOrigin.has_value());
  EXPECT_EQ(options.coreVersion.major, 18u);
  EXPECT_EQ(options.coreVersion.minor, 0u);
  EXPECT_EQ(options.coreVersion.patch, 0u);
  EXPECT_FALSE(options.runtimeDir.has_value());
  EXPECT_EQ(options.logLevel, kLogWarn);
  EXPECT_EQ(options.modules,
            (std::vector<ModuleSpec>{{"build/tpk-be-qel-mhx.so", "load_qel_mhx"}}));
}

TEST(CliOptions, EveryOptionIsReadInBothSpellings) {
  struct Case {
    Args args;
    std::function<void(const CliOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"--resources", "r.yaml"}, [](auto& o) { EXPECT_EQ(o.resourcesFile, "r.yaml"); }},
      {{"--resources=r.json"}, [](auto& o) { EXPECT_EQ(o.resourcesFile, "r.json"); }},
      {{"--listen", "127.0.0.1:8080"},
       [](auto& o) {
         EXPECT_EQ(o.listen, (ListenAddress{"127.0.0.1", 8080}));
       }},
      {{"--listen=127.1.2.3:65535"},
       [](auto& o) {
         EXPECT_EQ(o.listen, (ListenAddress{"127.1.2.3", 65535}));
       }},
      {{"--listen", "localhost:0"},
       [](auto& o) {
         EXPECT_EQ(o.listen, (ListenAddress{"127.0.0.1", 0}));
       }},
      {{"--listen", "[::1]:9"},
       [](auto& o) {
         EXPECT_EQ(o.listen, (ListenAddress{"::1", 9}));
       }},
      {{"--listen", "0.0.0.0:80", "--allow-remote"},
       [](auto& o) {
         EXPECT_EQ(o.listen, (ListenAddress{"0.0.0.0", 80}));
         EXPECT_TRUE(o.allowRemote);
       }},
      {{"--allow-origin", "http://localhost:5173"},
       [](auto& o) { EXPECT_EQ(o.allowOrigin, "http://localhost:5173"); }},
      {{"--allow-origin=https://app.example"},
       [](auto& o) { EXPECT_EQ(o.allowOrigin, "https://app.example"); }},
      {{"--core-version", "18.4.7"},
       [](auto& o) {
         EXPECT_EQ(o.coreVersion.major, 18u);
         EXPECT_EQ(o.coreVersion.minor, 4u);
         EXPECT_EQ(o.coreVersion.patch, 7u);
       }},
      {{"--core-version=0.0.4294967295"},
       [](auto& o) { EXPECT_EQ(o.coreVersion.patch, 4294967295u); }},
      {{"--runtime-dir", "/tmp/x"}, [](auto& o) { EXPECT_EQ(o.runtimeDir, "/tmp/x"); }},
      {{"--log-level", "okay"}, [](auto& o) { EXPECT_EQ(o.logLevel, kLogOkay); }},
      {{"--log-level=ERROR"}, [](auto& o) { EXPECT_EQ(o.logLevel, kLogError); }},
      {{"--log-level", "Always"}, [](auto& o) { EXPECT_EQ(o.logLevel, kLogAlways); }},
      {{"--help"}, [](auto& o) { EXPECT_TRUE(o.help); }},
      {{"-h"}, [](auto& o) { EXPECT_TRUE(o.help); }},
  };
  for (const Case& c : cases) {
    Args args = c.args;
    args.push_back("tpk-be-x.so");
    SCOPED_TRACE(args.front());
    const Result<CliOptions> parsed = Parse(args);
    ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
    c.check(parsed.Value());
  }
}

TEST(CliOptions, HelpNeedsNoModuleAndWinsOverLaterChecks) {
  const Result<CliOptions> parsed = Parse({"--listen", "10.0.0.1:80", "--help"});
  ASSERT_TRUE(parsed.Ok()) << parsed.ErrorMessage();
  EXPECT_TRUE(parsed.Value().help);
}

TEST(CliOptions, ModulesKeepTheirOrderAndExportsComeFromNamesOrFromExport) {
  const Result<CliOptions> parsed = Parse({"/a/tpk-be-qel-mhx.so", "--export", "start_here",
                                           "lib/other.so", "tpk-be-b.so", "--", "--odd-name.so"});
  // "--" ends the options: what follows is a module even when it looks like one.
  ASSERT_FALSE(parsed.Ok());
  EXPECT_EQ(parsed.ErrorMessage(),
            "tpk-host: can't tell the export of module '--odd-name.so' (its file name is not "
            "tpk-be-NAME.so); give --export NAME before it");
  const Result<CliOptions> good = Parse({"/a/tpk-be-qel-mhx.so", "--export", "start_here",
                                         "lib/other.so", "--export=x", "--", "--odd.so"});
  ASSERT_TRUE(good.Ok()) << good.ErrorMessage();
  EXPECT_EQ(good.Value().modules, (std::vector<ModuleSpec>{{"/a/tpk-be-qel-mhx.so", "load_qel_mhx"},
                                                           {"lib/other.so", "start_here"},
                                                           {"--odd.so", "x"}}));
}

TEST(CliOptions, WrongCommandLinesGiveOneExactLine) {
  struct Case {
    Args args;
    const char* line;
  };
  const Case cases[] = {
      {{}, "tpk-host: no module given (see --help)"},
      {{"--verbose", "tpk-be-x.so"}, "tpk-host: unknown option '--verbose' (see --help)"},
      {{"-x", "tpk-be-x.so"}, "tpk-host: unknown option '-x' (see --help)"},
      {{"--allow-remote=yes", "tpk-be-x.so"}, "tpk-host: option '--allow-remote' takes no value"},
      {{"tpk-be-x.so", "--listen"}, "tpk-host: option '--listen' needs a value"},
      {{"tpk-be-x.so", "--resources"}, "tpk-host: option '--resources' needs a value"},
      {{"--resources=", "tpk-be-x.so"}, "tpk-host: option '--resources' needs a file name"},
      {{"--runtime-dir", "", "tpk-be-x.so"}, "tpk-host: option '--runtime-dir' needs a directory"},
      {{"--listen", "127.0.0.1", "tpk-be-x.so"},
       "tpk-host: --listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
       "0-65535, not '127.0.0.1'"},
      {{"--listen", "127.0.0.1:65536", "tpk-be-x.so"},
       "tpk-host: --listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
       "0-65535, not '127.0.0.1:65536'"},
      {{"--listen", "example.com:80", "tpk-be-x.so"},
       "tpk-host: --listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
       "0-65535, not 'example.com:80'"},
      {{"--listen", "::1:80", "tpk-be-x.so"},
       "tpk-host: --listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
       "0-65535, not '::1:80'"},
      {{"--listen", "127.0.0.1:-1", "tpk-be-x.so"},
       "tpk-host: --listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
       "0-65535, not '127.0.0.1:-1'"},
      {{"--listen", "0.0.0.0:8080", "tpk-be-x.so"},
       "tpk-host: --listen 0.0.0.0:8080 is not a loopback address; add --allow-remote to serve "
       "other machines"},
      {{"--listen", "[::]:1", "tpk-be-x.so"},
       "tpk-host: --listen [::]:1 is not a loopback address; add --allow-remote to serve other "
       "machines"},
      {{"--core-version", "18.0", "tpk-be-x.so"},
       "tpk-host: --core-version wants X.Y.Z, not '18.0'"},
      {{"--core-version", "18.0.0.1", "tpk-be-x.so"},
       "tpk-host: --core-version wants X.Y.Z, not '18.0.0.1'"},
      {{"--core-version", "18.-1.0", "tpk-be-x.so"},
       "tpk-host: --core-version wants X.Y.Z, not '18.-1.0'"},
      {{"--core-version", "1.2.4294967296", "tpk-be-x.so"},
       "tpk-host: --core-version wants X.Y.Z, not '1.2.4294967296'"},
      {{"--log-level", "debug", "tpk-be-x.so"},
       "tpk-host: --log-level wants okay, warn, error or always, not 'debug'"},
      {{"--allow-origin", "*", "tpk-be-x.so"},
       "tpk-host: --allow-origin wants an origin such as http://localhost:5173, not '*'"},
      {{"--allow-origin", "http://a.example/app", "tpk-be-x.so"},
       "tpk-host: --allow-origin wants an origin such as http://localhost:5173, not "
       "'http://a.example/app'"},
      {{"--allow-origin", "ftp://a.example", "tpk-be-x.so"},
       "tpk-host: --allow-origin wants an origin such as http://localhost:5173, not "
       "'ftp://a.example'"},
      {{"--log-level", "warn", "--log-level=error", "tpk-be-x.so"},
       "tpk-host: option '--log-level' is given twice"},
      {{"libx.so"},
       "tpk-host: can't tell the export of module 'libx.so' (its file name is not "
       "tpk-be-NAME.so); give --export NAME before it"},
      {{"tpk-be-.so"},
       "tpk-host: can't tell the export of module 'tpk-be-.so' (its file name is not "
       "tpk-be-NAME.so); give --export NAME before it"},
      {{"tpk-be-x.so", "--export", "f"}, "tpk-host: --export 'f' names no module"},
      {{"--export", "f", "--export", "g", "tpk-be-x.so"}, "tpk-host: --export 'f' names no module"},
      {{"--export=", "tpk-be-x.so"}, "tpk-host: option '--export' needs a symbol name"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args)
      joined += arg + " ";
    SCOPED_TRACE(joined);
    const Result<CliOptions> parsed = Parse(c.args);
    ASSERT_FALSE(parsed.Ok());
    EXPECT_EQ(parsed.ErrorMessage(), c.line);
  }
}

TEST(CliOptions, ExportNamesFollowTheModuleFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"tpk-be-qel-mhx.so", "load_qel_mhx"},
      {"/opt/x/tpk-be-a-b-c.so", "load_a_b_c"},
      {"tpk-be-x.so", "load_x"},
  };
  for (const auto& [path, name] : cases)
    EXPECT_EQ(ExportNameFor(path), name) << path;
  for (const char* path :
       {"tpk-be-x.so.1", "tpk-be-x", "be-x.so", "dir/tpk-be-.so", "tpk-be-/x.so"})
    EXPECT_FALSE(ExportNameFor(path).has_value()) << path;
}

TEST(CliOptions, OnlyLoopbackAddressesCountAsLoopback) {
  for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "0:0:0:0:0:0:0:1"})
    EXPECT_TRUE(IsLoopbackAddress(host)) << host;
  for (const char* host :
       {"0.0.0.0", "128.0.0.1", "10.0.0.1", "::", "::2", "::ffff:127.0.0.1", "localhost", ""})
    EXPECT_FALSE(IsLoopbackAddress(host)) << host;
  EXPECT_EQ(HostAndPort("127.0.0.1", 80), "127.0.0.1:80");
  EXPECT_EQ(HostAndPort("::1", 80), "[::1]:80");
}

TEST(CliOptions, TheUsageTextNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* option : {"--resources FILE", "--listen ADDRESS:PORT", "--allow-remote",
                             "--allow-origin ORIGIN", "--core-version X.Y.Z", "--runtime-dir DIR",
                             "--log-level LEVEL", "--export NAME", "-h, --help", "MODULE.so"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
