// Writes the OpenAPI documents the validator checks: that of the match-history module, loaded
// from its shared object as tpk-host loads it, and that of the edge-case modules.
//   tpk_openapi_documents MODULE.so MODULE_DOCUMENT.json EDGE_DOCUMENT.json
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli/openapi.h"
#include "codec/json.h"
#include "core/host.h"
#include "openapi/edge_api.h"

namespace {

using namespace Oxle::Client;

bool Write(const std::string& path, const Binding::BindingProperty& document) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << Codec::WriteJson(document, nullptr, "\n") << "\n";
  out.close();
  if (!out) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s MODULE.so MODULE_DOCUMENT.json EDGE_DOCUMENT.json\n", argv[0]);
    return 2;
  }
  Host::HostOptions options;
  options.mode = Host::HostMode::Manual;
  Host::Host host(options);
  const Host::Result<Host::ModuleId> loaded = host.LoadModule(argv[1], "load_qel_mhx");
  if (!loaded.Ok()) {
    std::fprintf(stderr, "%s\n", loaded.ErrorMessage().c_str());
    return 1;
  }
  const Host::Result<Host::ModuleInfo> info = host.Module(loaded.Value());
  if (!info.Ok()) {
    std::fprintf(stderr, "%s\n", info.ErrorMessage().c_str());
    return 1;
  }
  const Host::CoreVersion& v = info.Value().moduleVersion;
  const std::vector<Host::Cli::OpenApiModule> module = {
      {info.Value().shortName,
       std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch),
       info.Value().exportTable}};
  if (!Write(argv[2], Host::Cli::BuildOpenApiDocument(module, "http://127.0.0.1:8080"))) return 1;

  OpenApiEdge::Alpha alpha;
  OpenApiEdge::Beta beta;
  const std::vector<Host::Cli::OpenApiModule> edge = {alpha.Module(), beta.Module()};
  if (!Write(argv[3], Host::Cli::BuildOpenApiDocument(edge, "http://127.0.0.1:8080"))) return 1;
  return 0;
}
