// The module as a host loads it: from the built shared object by path. Its dynamic symbol table
// holds the one export, its logger is its own (the host's copy of the framework keeps its
// targets), and the routes, tokens and counters behave as when it is linked in.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "log/logger.h"
#include "log/logging_functions.h"
#include "module_test_support.h"

namespace ModuleTest {
namespace {

// The names of the defined non-local (global, weak, unique) symbols of an ELF file's .dynsym (32 or
// 64-bit, little-endian); a description of the problem in place of the names when the file is not
// one.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
  auto read = [&](size_t offset, size_t size) -> uint64_t {
    if (offset + size > bytes.size() || offset + size < offset) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
      value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
    return value;
  };
  if (bytes.size() < 52 ||
      std::memcmp(bytes.data(),
                  "\x7f"
                  "ELF",
                  4) != 0 ||
      bytes[5] != 1) {
    return {"<not a little-endian ELF file>"};
  }
  const bool is64 = bytes[4] == 2;
  const uint64_t sectionOffset = is64 ? read(0x28, 8) : read(0x20, 4);
  const uint64_t sectionSize = is64 ? read(0x3A, 2) : read(0x2E, 2);
  const uint64_t sectionCount = is64 ? read(0x3C, 2) : read(0x30, 2);
  auto section = [&](uint64_t index, int field) -> uint64_t {
    // field: 0 type, 1 offset, 2 size, 3 link, 4 entry size
    const size_t base = sectionOffset + index * sectionSize;
    if (is64) {
      const size_t at[] = {4, 0x18, 0x20, 0x28, 0x38};
      const size_t width[] = {4, 8, 8, 4, 8};
      return read(base + at[field], width[field]);
    }
    const size_t at[] = {4, 0x10, 0x14, 0x18, 0x24};
    return read(base + at[field], 4);
  };
  std::set<std::string> names;
  bool found = false;
  for (uint64_t i = 0; i < sectionCount; ++i) {
    if (section(i, 0) != 11) continue;  // SHT_DYNSYM
    found = true;
    const uint64_t strings = section(section(i, 3), 1);
    const uint64_t entry = section(i, 4);
    if (entry == 0) return {"<bad symbol entry size>"};
    for (uint64_t at = section(i, 1); at + entry <= section(i, 1) + section(i, 2); at += entry) {
      const uint64_t name = read(at, 4);
      const uint64_t info = is64 ? read(at + 4, 1) : read(at + 12, 1);
      const uint64_t index = is64 ? read(at + 6, 2) : read(at + 14, 2);
      const uint64_t binding = info >> 4;
      if (index == 0 || binding == 0) continue;  // undefined or local; global, weak, unique stay
      std::string text;
      for (uint64_t c = strings + name; c < bytes.size() && bytes[c] != 0; ++c) {
        text += static_cast<char>(bytes[c]);
      }
      names.insert(text);
    }
  }
  if (!found) return {"<no .dynsym>"};
  return names;
}

#ifdef TPK_MODULE_PATH
constexpr bool kHaveModule = true;
#define TPK_PATH TPK_MODULE_PATH
#else
constexpr bool kHaveModule = false;
#define TPK_PATH ""
#endif

#define REQUIRE_MODULE() \
  if (!kHaveModule) GTEST_SKIP() << "this build links the module in-process only"

TEST(ModuleFile, TheDynamicSymbolTableHoldsOnlyTheExport) {
  REQUIRE_MODULE();
  EXPECT_EQ(DefinedDynamicSymbols(TPK_PATH), std::set<std::string>{"load_qel_mhx"});
}

TEST(ModuleFile, TheSymbolReaderReadsElfFilesAndRefusesOthers) {
  const std::set<std::string> names = DefinedDynamicSymbols("/proc/self/exe");
  EXPECT_EQ(names.count("<no .dynsym>") + names.count("<not a little-endian ELF file>"), 0u);
  EXPECT_EQ(DefinedDynamicSymbols("/proc/self/status"),
            std::set<std::string>{"<not a little-endian ELF file>"});
}

TEST(ModuleFile, ByPathTheModulesLoggerIsItsOwnAndInProcessItIsShared) {
  REQUIRE_MODULE();
  struct Case {
    Load load;
    bool hostLineReachesTheSink;
  };
  const Case cases[] = {{Load::ByPath, false}, {Load::InProcess, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.load == Load::ByPath ? "by path" : "in process");
    MhxHost mhx(c.load);
    ASSERT_FALSE(mhx.Post("/qel-mhx/v1/mhx-endpoint-override", R"({"url":"u"})").failed);
    Log::Log(Log::ALWAYS, 1, 0, "from the test's own logger");
    const std::vector<Host::LogEntry> entries = mhx.logs->Entries();
    const Host::LogEntry moduleLine{Host::kLogAlways, "qel-mhx", "Mhx Endpoint Override: 'u'"};
    const Host::LogEntry hostLine{Host::kLogAlways, "qel-mhx", "from the test's own logger"};
    EXPECT_NE(std::find(entries.begin(), entries.end(), moduleLine), entries.end());
    EXPECT_EQ(std::find(entries.begin(), entries.end(), hostLine) != entries.end(),
              c.hostLineReachesTheSink);
    ASSERT_TRUE(mhx.host->UnloadModule(mhx.id).Ok());
  }
}

TEST(ModuleFile, ByPathTheRoutesAnswerWithoutLeakingTokens) {
  REQUIRE_MODULE();
  MhxHost mhx(Load::ByPath);
  mhx.Ready();
  const std::string base = kBase;
  mhx.service->Once(base + "/v1/stats/game/EUW1/5", Answer(404, ""));
  const ApiCallResult missing = mhx.Get("/qel-mhx/v1/games/5");
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.errorMessage, "Not found");
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v1/delta").value), "{\"echo\":\"" + base + "/v1/deltas/auth\"}");
  EXPECT_EQ(Json(mhx.Get("/qel-mhx/v2/recently-played-champions/4100").value),
            Json(Json(ChampionsDocument(1, 1, 1))));
  EXPECT_EQ(Json(*mhx.host->GetResource("/qel-mhx/v2/recently-played-champions/current-summoner")),
            Json(Json(ChampionsDocument(1, 1, 1))));
  const auto sent = mhx.service->Requests();
  ASSERT_FALSE(sent.empty());
  std::string authorization;
  for (const auto& [name, value] : sent.back().headers) {
    if (name == "AUTHORIZATION") authorization = value;
  }
  EXPECT_EQ(authorization.substr(0, 12), "VekTokenRaw ");
  for (const std::string& secret :
       {std::string(kIdToken), std::string(kVekSecret), authorization}) {
    for (const auto& entry : mhx.logs->Entries())
      EXPECT_EQ(entry.text.find(secret), std::string::npos);
    for (const auto& answer : mhx.answers)
      EXPECT_EQ(answer.find(secret), std::string::npos);
  }
}

TEST(ModuleFile, ByPathRouteCallsLeaveTheModulesLiveAllocationsAsTheyWere) {
  REQUIRE_MODULE();
  MhxHost mhx(Load::ByPath);
  mhx.Ready();
  auto live = [&] {
    const Host::ModuleMemoryStats stats = mhx.host->GetMemoryStats(mhx.id).Value();
    return std::pair{stats.allocations - stats.frees, stats.bytesAllocated - stats.bytesFreed};
  };
  (void)mhx.Get("/qel-mhx/v1/games/1");  // warm up what is built once
  const auto before = live();
  for (int i = 0; i < 20; ++i) {
    (void)mhx.Get("/qel-mhx/v1/games/" + std::to_string(i));
    (void)mhx.Get("/qel-mhx/v1/matchlists/77");
    (void)mhx.Get("/qel-mhx/v2/recently-played-champions/4100");
    (void)mhx.Get("/qel-mhx/v1/games/nope");
  }
  EXPECT_EQ(live(), before);
  EXPECT_GT(mhx.host->GetMemoryStats(mhx.id).Value().allocations, 0u);
}

}  // namespace
}  // namespace ModuleTest
