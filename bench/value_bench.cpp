// Building, deep-copying and destroying value trees, beside the same work done with
// nlohmann::json in the same run. Benchmarks are named Operation/Case/Impl; after the run the
// program prints ours/nlohmann time ratios per Operation/Case (below 1 means we are faster),
// from the medians when run with --benchmark_repetitions=N.
#include <benchmark/benchmark.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "binding/value/binding_property.h"
#include "ratio_reporter.h"

namespace {

using Oxle::Client::Binding::BindingProperty;
using Json = nlohmann::json;

// Case (a): one structure of 10,000 string members with distinct keys.
const std::vector<std::string>& MemberKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> out;
    for (int i = 0; i < 10000; ++i)
      out.push_back("member" + std::to_string(i * 7919 % 10000));
    return out;
  }();
  return keys;
}

const std::vector<std::string>& MemberValues() {
  static const std::vector<std::string> values = [] {
    std::vector<std::string> out;
    for (int i = 0; i < 10000; ++i)
      out.push_back("value number " + std::to_string(i));
    return out;
  }();
  return values;
}

void BuildStrings(BindingProperty& out) {
  const auto& keys = MemberKeys();
  const auto& values = MemberValues();
  for (size_t i = 0; i < keys.size(); ++i)
    out.Get(keys[i]).SetString(values[i]);
}

void BuildStrings(Json& out) {
  out = Json::object();
  const auto& keys = MemberKeys();
  const auto& values = MemberValues();
  for (size_t i = 0; i < keys.size(); ++i)
    out[keys[i]] = values[i];
}

// Case (b): one collection of 100,000 mixed scalars.
void BuildScalars(BindingProperty& out) {
  out.MakeCollection();
  out.Reserve(100000);
  for (int i = 0; i < 100000; ++i) {
    BindingProperty& element = out.Append();
    switch (i % 5) {
      case 0:
        element.SetSigned(-i);
        break;
      case 1:
        element.SetUnsigned(static_cast<uint64_t>(i) * 977);
        break;
      case 2:
        element.SetFloat(i * 0.5);
        break;
      case 3:
        element.SetBool(i % 2 == 0);
        break;
      default:
        break;
    }
  }
}

void BuildScalars(Json& out) {
  out = Json::array();
  out.get_ref<Json::array_t&>().reserve(100000);
  for (int i = 0; i < 100000; ++i) {
    switch (i % 5) {
      case 0:
        out.push_back(static_cast<int64_t>(-i));
        break;
      case 1:
        out.push_back(static_cast<uint64_t>(i) * 977);
        break;
      case 2:
        out.push_back(i * 0.5);
        break;
      case 3:
        out.push_back(i % 2 == 0);
        break;
      default:
        out.push_back(nullptr);
        break;
    }
  }
}

// Case (c): a 6-level answer shaped like a match list: games, participants, stats, items.
template <typename Value, typename SetString, typename SetInt, typename SetBool>
void BuildAnswer(Value& root, Value& (*member)(Value&, const char*),
                 Value& (*element)(Value&, size_t), SetString setString, SetInt setInt,
                 SetBool setBool) {
  Value& games = member(member(root, "games"), "games");
  setInt(member(root, "accountId"), 2411);
  setString(member(root, "platformId"), "QX1");
  for (size_t g = 0; g < 20; ++g) {
    Value& game = element(games, g);
    setInt(member(game, "gameId"), 5000000000 + g);
    setInt(member(game, "gameCreation"), 1700000000000 + g * 1000);
    setString(member(game, "gameMode"), g % 2 ? "standard" : "duel");
    setString(member(game, "gameVersion"), "4.2.17.9001");
    Value& participants = member(game, "participants");
    for (size_t p = 0; p < 10; ++p) {
      Value& participant = element(participants, p);
      setInt(member(participant, "participantId"), p + 1);
      setInt(member(participant, "championId"), 100 + p * 3 + g);
      setInt(member(participant, "teamId"), p < 5 ? 100 : 200);
      Value& stats = member(participant, "stats");
      setBool(member(stats, "win"), p < 5);
      setInt(member(stats, "kills"), (g + p) % 17);
      setInt(member(stats, "deaths"), (g * p) % 11);
      setInt(member(stats, "assists"), (g + 2 * p) % 23);
      setInt(member(stats, "gold"), 9000 + g * 10 + p);
      setInt(member(stats, "damage"), 120000 + g * 100 + p);
      setInt(member(stats, "level"), 18);
      Value& items = member(stats, "items");
      for (size_t i = 0; i < 7; ++i)
        setInt(element(items, i), 1000 + i * 37 + p);
    }
  }
}

void BuildAnswer(BindingProperty& out) {
  BuildAnswer<BindingProperty>(
      out, [](BindingProperty& v, const char* k) -> BindingProperty& { return v.Get(k); },
      [](BindingProperty& v, size_t i) -> BindingProperty& { return v.At(i); },
      [](BindingProperty& v, const char* s) { v.SetString(s); },
      [](BindingProperty& v, uint64_t n) { v.SetUnsigned(n); },
      [](BindingProperty& v, bool b) { v.SetBool(b); });
}

void BuildAnswer(Json& out) {
  BuildAnswer<Json>(
      out, [](Json& v, const char* k) -> Json& { return v[k]; },
      [](Json& v, size_t i) -> Json& { return v[i]; }, [](Json& v, const char* s) { v = s; },
      [](Json& v, uint64_t n) { v = n; }, [](Json& v, bool b) { v = b; });
}

// Only the operation itself is timed, by hand (a steady clock around it): pausing the
// benchmark's timer around the rest costs more than a small tree's destruction. A destroy case
// runs a fixed number of iterations, since its untimed build costs many times what it measures
// and the library would otherwise run until the timed part alone reached its minimum time.
using Clock = std::chrono::steady_clock;
constexpr benchmark::IterationCount kDestroyIterations = 200;

void Record(benchmark::State& state, Clock::time_point start) {
  state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

template <typename Value, void (*Build)(Value&)>
void BenchBuild(benchmark::State& state) {
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    Value value;
    Build(value);
    benchmark::DoNotOptimize(value);
    Record(state, start);
    { Value gone = std::move(value); }
  }
}

template <typename Value, void (*Build)(Value&)>
void BenchCopy(benchmark::State& state) {
  Value source;
  Build(source);
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    Value copy(source);
    benchmark::DoNotOptimize(copy);
    Record(state, start);
    { Value gone = std::move(copy); }
  }
}

template <typename Value, void (*Build)(Value&)>
void BenchDestroy(benchmark::State& state) {
  for (auto _ : state) {
    auto* value = new Value();
    Build(*value);
    const Clock::time_point start = Clock::now();
    delete value;
    Record(state, start);
  }
}

#define TPK_VALUE_BENCH(Case, Build)                                                              \
  BENCHMARK(BenchBuild<BindingProperty, Build>)                                                   \
      ->Name("ValueBuild/" Case "/ours")                                                          \
      ->UseManualTime();                                                                          \
  BENCHMARK(BenchBuild<Json, Build>)->Name("ValueBuild/" Case "/nlohmann")->UseManualTime();      \
  BENCHMARK(BenchCopy<BindingProperty, Build>)->Name("ValueCopy/" Case "/ours")->UseManualTime(); \
  BENCHMARK(BenchCopy<Json, Build>)->Name("ValueCopy/" Case "/nlohmann")->UseManualTime();        \
  BENCHMARK(BenchDestroy<BindingProperty, Build>)                                                 \
      ->Name("ValueDestroy/" Case "/ours")                                                        \
      ->UseManualTime()                                                                           \
      ->Iterations(kDestroyIterations);                                                           \
  BENCHMARK(BenchDestroy<Json, Build>)                                                            \
      ->Name("ValueDestroy/" Case "/nlohmann")                                                    \
      ->UseManualTime()                                                                           \
      ->Iterations(kDestroyIterations)

TPK_VALUE_BENCH("strings10k", BuildStrings);
TPK_VALUE_BENCH("scalars100k", BuildScalars);
TPK_VALUE_BENCH("answer6", BuildAnswer);

}  // namespace

int main(int argc, char** argv) {
  return Oxle::Client::Bench::RunBenchmarksWithRatios(argc, argv, "nlohmann");
}
