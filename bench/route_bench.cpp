// One match-history route end to end, beside the floor of the work it cannot avoid:
//
//   RouteGame/50KB/ours       GET /qel-mhx/v1/games/{gameId} through the module's export
//                             callback, with the host core's transport answering a 50 KB game
//                             record: dispatch, gate, request building, the host's exchange,
//                             JSON decoding, the response record and its release
//   RouteGame/50KB/rapidjson  the same document parsed into a rapidjson::Document and written
//                             back with a Writer
//
// The module is linked in and loaded by a manual-mode host; bytes processed are the document's.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <memory>
#include <string>

#include "codec/json.h"
#include "core/host.h"
#include "ratio_reporter.h"
#include "support/fake_match_service.h"
#include "tpk/plugin_abi.h"

extern "C" void* load_qel_mhx(PluginDescriptor* descriptor);

namespace Oxle::Client::Bench {
namespace {

constexpr const char* kTarget = "/qel-mhx/v1/games/4242424242";
constexpr const char* kRemoteUrl = "https://mhx.bench/v1/stats/game/EUW1/4242424242";

// A game record as the service sends it: the game's header, ten participants with their
// identities and statistics, and two teams; participants' item and stat blocks repeat until the
// text reaches at least `minimumBytes`.
std::string GameDocument(uint64_t gameId, size_t minimumBytes) {
  std::string out = "{\"gameId\":" + std::to_string(gameId) +
                    ",\"platformId\":\"EUW1\",\"gameCreation\":1700000000000,"
                    "\"gameDuration\":1834,\"queueId\":420,\"mapId\":11,\"seasonId\":13,"
                    "\"gameVersion\":\"13.24.548.1234\",\"gameMode\":\"CLASSIC\","
                    "\"gameType\":\"MATCHED_GAME\",\"teams\":[";
  for (int team = 0; team < 2; ++team) {
    if (team != 0) out += ',';
    out += "{\"teamId\":" + std::to_string(100 + 100 * team) + ",\"win\":\"" +
           (team == 0 ? "Win" : "Fail") +
           "\",\"firstBlood\":true,\"towerKills\":7,\"inhibitorKills\":1,\"baronKills\":1,"
           "\"dragonKills\":3,\"bans\":[{\"championId\":157,\"pickTurn\":1},"
           "{\"championId\":64,\"pickTurn\":2}]}";
  }
  out += "],\"participants\":[";
  size_t round = 0;
  const size_t perParticipantFloor = minimumBytes / 10;
  for (int p = 0; p < 10; ++p) {
    if (p != 0) out += ',';
    const size_t start = out.size();
    out +=
        "{\"participantId\":" + std::to_string(p + 1) +
        ",\"teamId\":" + std::to_string(p < 5 ? 100 : 200) +
        ",\"championId\":" + std::to_string(10 + p * 7) +
        ",\"spell1Id\":4,\"spell2Id\":14,\"player\":{\"accountId\":" + std::to_string(200000 + p) +
        ",\"summonerName\":\"Player " + std::to_string(p) +
        "\",\"profileIcon\":" + std::to_string(3000 + p) + "},\"timeline\":[";
    bool first = true;
    while (out.size() - start < perParticipantFloor || first) {
      if (!first) out += ',';
      first = false;
      ++round;
      out += "{\"minute\":" + std::to_string(round) +
             ",\"stats\":{\"kills\":3,\"deaths\":2,\"assists\":11,\"goldEarned\":12450,"
             "\"totalDamageDealt\":154321.5,\"visionScore\":27,\"win\":" +
             (p < 5 ? "true" : "false") + ",\"items\":[3157,3020,3089,3135,3165,0,3340]}}";
    }
    out += "]}";
  }
  return out + "]}";
}

const std::string& Document() {
  static const std::string document = GameDocument(4242424242u, 50 * 1024);
  return document;
}

// A started module with an endpoint and a platform; the transport always answers the game.
struct LoadedModule {
  LoadedModule() {
    Host::HostOptions options;
    options.mode = Host::HostMode::Manual;
    options.transport = service;
    host = std::make_unique<Host::Host>(options);
    const Host::Result<Host::ModuleId> loaded = host->LoadModule(&load_qel_mhx, "linked mhx");
    if (!loaded.Ok() || !host->StartModule(loaded.Value()).Ok()) return;
    (void)host->SetResource("/qel-platform-config/v1/namespaces/KRTMHX",
                            Codec::ParseJson(R"({"Endpoint":"https://mhx.bench"})").Value());
    (void)host->SetResource("/qel-platform-config/v1/namespaces/LoginDataPacket/platformId",
                            Codec::ParseJson(R"("EUW1")").Value());
    (void)host->RunDueWork();
    service->Always(kRemoteUrl, ModuleTest::Answer(200, Document()));
    const ApiExportTable* table = host->Module(loaded.Value()).Value().exportTable;
    for (uint32_t i = 0; table != nullptr && i < table->entryCount; ++i) {
      const char* name = table->entries[i].function.name;
      if (std::strcmp(name, "GetQelMhxV1GamesByGameId") == 0) entry = &table->entries[i];
    }
  }
  std::shared_ptr<ModuleTest::FakeMatchService> service =
      std::make_shared<ModuleTest::FakeMatchService>();
  std::unique_ptr<Host::Host> host;
  const ApiExportEntry* entry = nullptr;
};

void Ours(benchmark::State& state) {
  LoadedModule module;
  if (module.entry == nullptr) {
    state.SkipWithError("the module did not load or has no game route");
    return;
  }
  ApiRequestRecord request{};
  request.method = 2;
  request.target = kTarget;
  request.userData = module.entry->function.userData;
  const ApiExportCallback callback = module.entry->callback;
  for (auto _ : state) {
    ApiResponseRecord response;
    std::memset(&response, 0, sizeof response);
    callback(&response, &request);
    if (response.error != 0) {
      state.SkipWithError("the route failed");
      response.free(&response);
      break;
    }
    benchmark::DoNotOptimize(response.value.kind);
    response.free(&response);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Document().size()));
}

void Floor(benchmark::State& state) {
  const std::string& text = Document();
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace
}  // namespace Oxle::Client::Bench

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("RouteGame/50KB/ours", Oxle::Client::Bench::Ours);
  benchmark::RegisterBenchmark("RouteGame/50KB/rapidjson", Oxle::Client::Bench::Floor);
  return Oxle::Client::Bench::RunBenchmarksWithRatios(argc, argv, "rapidjson");
}
