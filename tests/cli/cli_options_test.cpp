// The command line of tpk-host: every option accepted, every wrong one refused with its line,
// and the rules behind them (export names, loopback addresses).
#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/host_app.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;

using Args = std::vector<std::string>;

// What a parse set, besides the defaults, in the order of the fields.
std::string Text(const CliOptions& o) {
  const CliOptions d;
  const auto version = [](const CoreVersion& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
  };
  std::string text;
  const auto add = [&](bool set, const std::string& what) { text += set ? " " + what : ""; };
  add(o.help, "help");
  add(o.resourcesFile.has_value(), "resources=" + o.resourcesFile.value_or(""));
  add(o.listen != d.listen, "listen=" + o.listen.host + "/" + std::to_string(o.listen.port));
  add(o.allowRemote, "remote");
  add(o.allowOrigin.has_value(), "origin=" + o.allowOrigin.value_or(""));
  add(version(o.coreVersion) != version(d.coreVersion), "core=" + version(o.coreVersion));
  add(o.runtimeDir.has_value(), "runtime=" + o.runtimeDir.value_or(""));
  add(o.logLevel != d.logLevel, "log=" + std::to_string(o.logLevel));
  for (const ModuleSpec& module : o.modules)
    add(true, module.path + "=" + module.exportName);
  return text.empty() ? text : text.substr(1);
}

// Each command line gives the options it sets besides the defaults, or (after "!") its one line
// after "tpk-host: ".
TEST(CliOptions, EveryOptionIsReadInBothSpellingsAndEveryMistakeGetsOneExactLine) {
  const std::string m = "tpk-be-x.so", x = " tpk-be-x.so=load_x";
  const std::string listen =
      "--listen wants ADDRESS:PORT with a numeric address (or localhost) and a port "
      "0-65535, not '";
  const std::string remote =
      " is not a loopback address; add --allow-remote to serve other machines";
  const std::string core = "--core-version wants X.Y.Z, not '";
  const std::string origin = "--allow-origin wants an origin such as http://localhost:5173, not '";
  const std::string tell = "!can't tell the export of module '";
  const std::string exportOf =
      "' (its file name is not tpk-be-NAME.so); give --export NAME before it";
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"build/tpk-be-qel-mhx.so"}, "build/tpk-be-qel-mhx.so=load_qel_mhx"},
      {{"--resources", "r.yaml", m}, "resources=r.yaml" + x},
      {{"--resources=r.json", m}, "resources=r.json" + x},
      {{"--listen", "127.0.0.1:8080", m}, "listen=127.0.0.1/8080" + x},
      {{"--listen=127.1.2.3:65535", m}, "listen=127.1.2.3/65535" + x},
      {{"--listen", "localhost:7", m}, "listen=127.0.0.1/7" + x},
      {{"--listen", "[::1]:9", m}, "listen=::1/9" + x},
      {{"--listen", "0.0.0.0:80", "--allow-remote", m}, "listen=0.0.0.0/80 remote" + x},
      {{"--allow-origin", "http://localhost:5173", m}, "origin=http://localhost:5173" + x},
      {{"--allow-origin=https://app.example", m}, "origin=https://app.example" + x},
      {{"--core-version", "18.4.7", m}, "core=18.4.7" + x},
      {{"--core-version=0.0.4294967295", m}, "core=0.0.4294967295" + x},
      {{"--runtime-dir", "/tmp/x", m}, "runtime=/tmp/x" + x},
      {{"--log-level", "okay", m}, "log=" + std::to_string(kLogOkay) + x},
      {{"--log-level=ERROR", m}, "log=" + std::to_string(kLogError) + x},
      {{"--log-level", "Always", m}, "log=" + std::to_string(kLogAlways) + x},
      {{"--log-level", "warn", m}, "tpk-be-x.so=load_x"},
      {{"-h", m}, "help" + x},
      // Help needs no module and wins over later checks.
      {{"--listen", "10.0.0.1:80", "--help"}, "help listen=10.0.0.1/80"},
      // Modules keep their order; "--" ends the options.
      {{"/a/tpk-be-qel-mhx.so", "--export", "start_here", "lib/other.so", "--export=x", "--",
        "--odd.so"},
       "/a/tpk-be-qel-mhx.so=load_qel_mhx lib/other.so=start_here --odd.so=x"},
      {{}, "!no module given (see --help)"},
      {{"--verbose", m}, "!unknown option '--verbose' (see --help)"},
      {{"-x", m}, "!unknown option '-x' (see --help)"},
      {{"--allow-remote=yes", m}, "!option '--allow-remote' takes no value"},
      {{m, "--listen"}, "!option '--listen' needs a value"},
      {{m, "--resources"}, "!option '--resources' needs a value"},
      {{"--resources=", m}, "!option '--resources' needs a file name"},
      {{"--runtime-dir", "", m}, "!option '--runtime-dir' needs a directory"},
      {{"--listen", "127.0.0.1", m}, "!" + listen + "127.0.0.1'"},
      {{"--listen", "127.0.0.1:65536", m}, "!" + listen + "127.0.0.1:65536'"},
      {{"--listen", "example.com:80", m}, "!" + listen + "example.com:80'"},
      {{"--listen", "::1:80", m}, "!" + listen + "::1:80'"},
      {{"--listen", "127.0.0.1:-1", m}, "!" + listen + "127.0.0.1:-1'"},
      {{"--listen", "0.0.0.0:8080", m}, "!--listen 0.0.0.0:8080" + remote},
      {{"--listen", "[::]:1", m}, "!--listen [::]:1" + remote},
      {{"--core-version", "18.0", m}, "!" + core + "18.0'"},
      {{"--core-version", "18.0.0.1", m}, "!" + core + "18.0.0.1'"},
      {{"--core-version", "18.-1.0", m}, "!" + core + "18.-1.0'"},
      {{"--core-version", "1.2.4294967296", m}, "!" + core + "1.2.4294967296'"},
      {{"--log-level", "debug", m}, "!--log-level wants okay, warn, error or always, not 'debug'"},
      {{"--allow-origin", "*", m}, "!" + origin + "*'"},
      {{"--allow-origin", "http://a.example/app", m}, "!" + origin + "http://a.example/app'"},
      {{"--allow-origin", "ftp://a.example", m}, "!" + origin + "ftp://a.example'"},
      {{"--log-level", "warn", "--log-level=error", m}, "!option '--log-level' is given twice"},
      {{"libx.so"}, tell + "libx.so" + exportOf},
      {{"tpk-be-.so"}, tell + "tpk-be-.so" + exportOf},
      {{m, "--", "--odd-name.so"}, tell + "--odd-name.so" + exportOf},
      {{m, "--export", "f"}, "!--export 'f' names no module"},
      {{"--export", "f", "--export", "g", m}, "!--export 'f' names no module"},
      {{"--export=", m}, "!option '--export' needs a symbol name"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Result<CliOptions> parsed = ParseOptions(args);
    EXPECT_EQ(parsed.Ok() ? Text(parsed.Value()) : "!" + parsed.ErrorMessage(),
              expected.starts_with("!") ? "!tpk-host: " + expected.substr(1) : expected);
  }
}

TEST(CliOptions, ExportNamesLoopbackAddressesAndTheUsageText) {
  const std::pair<const char*, const char*> exports[] = {
      {"tpk-be-qel-mhx.so", "load_qel_mhx"},
      {"/opt/x/tpk-be-a-b-c.so", "load_a_b_c"},
      {"tpk-be-x.so", "load_x"},
  };
  for (const auto& [path, name] : exports)
    EXPECT_EQ(ExportNameFor(path), name) << path;
  for (const char* path :
       {"tpk-be-x.so.1", "tpk-be-x", "be-x.so", "dir/tpk-be-.so", "tpk-be-/x.so"})
    EXPECT_FALSE(ExportNameFor(path).has_value()) << path;
  for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "0:0:0:0:0:0:0:1"})
    EXPECT_TRUE(IsLoopbackAddress(host)) << host;
  for (const char* host :
       {"0.0.0.0", "128.0.0.1", "10.0.0.1", "::", "::2", "::ffff:127.0.0.1", "localhost", ""})
    EXPECT_FALSE(IsLoopbackAddress(host)) << host;
  EXPECT_EQ(HostAndPort("127.0.0.1", 80), "127.0.0.1:80");
  EXPECT_EQ(HostAndPort("::1", 80), "[::1]:80");
  EXPECT_NE(UsageText().find("\n  --allow-origin ORIGIN"), std::string::npos);
  // The host answers --help with the usage text before it looks at anything else.
  std::ostringstream out, err;
  const std::string help[] = {"--help", "/nonexistent/tpk-be-x.so"};
  EXPECT_EQ(RunHost(help, out, err), 0);
  EXPECT_EQ(out.str() + err.str(), UsageText());
}

}  // namespace
