// Decoding and encoding the shared corpora (twitter, citm_catalog, canada as JSON and
// MessagePack, a large API description as YAML) with our codecs, beside the libraries a user
// would otherwise pick, in one run. Benchmarks are named Operation/Case/Impl:
//   JsonParse          ours (ParseJson into a BindingProperty), rapidjson (Document::Parse,
//                      default flags), nlohmann (json::parse);
//   JsonWrite          ours (WriteJson, compact), rapidjson (Writer over a Document of the same
//                      file), nlohmann (dump());
//   JsonWriteIndented  ours (WriteJson with "\n"), rapidjson (PrettyWriter), nlohmann (dump(4));
//   MsgpackRead        ours (ReadMessagePack), msgpackcxx (msgpack::unpack), nlohmann
//                      (json::from_msgpack);
//   YamlParse          ours (ParseYaml), libyaml (a bare event loop that builds nothing),
//                      yamlcpp (YAML::Load).
// Every iteration includes freeing what it built. Bytes processed are the input file's size for
// every implementation (for the writers, the size of the JSON file written back), so MB/s compare
// directly within an Operation/Case. After the run the program prints ours/<anchor> time ratios
// (below 1 means we are faster), from the medians when run with --benchmark_repetitions=N.
//
// The corpora are read from TPK_BENCH_DATA_DIR; a missing or unreadable file skips its
// benchmarks with an error instead of failing the run.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <yaml-cpp/yaml.h>
#include <yaml.h>
#include <msgpack.hpp>

#include <cstdint>
#include <exception>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"
#include "codec/json.h"
#include "codec/msgpack.h"
#include "codec/yaml.h"
#include "ratio_reporter.h"

#ifndef TPK_BENCH_DATA_DIR
#error "TPK_BENCH_DATA_DIR must name the folder of the benchmark corpora"
#endif

namespace {

using Oxle::Client::Binding::BindingProperty;
using Oxle::Client::Binding::ValueResult;
using Oxle::Client::Codec::ParseJson;
using Oxle::Client::Codec::ParseYaml;
using Oxle::Client::Codec::ReadMessagePack;
using Oxle::Client::Codec::WriteJson;
using Json = nlohmann::json;

// The bytes of `name` in the corpus folder, read once; nothing when it cannot be read.
const std::optional<std::string>& Corpus(const std::string& name) {
  static std::map<std::string, std::optional<std::string>> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  std::optional<std::string> bytes;
  std::ifstream in(std::string(TPK_BENCH_DATA_DIR) + "/" + name, std::ios::binary);
  if (in) {
    std::ostringstream content;
    content << in.rdbuf();
    if (in.good() || in.eof()) bytes = std::move(content).str();
  }
  return cache.emplace(name, std::move(bytes)).first->second;
}

// The corpus `name`, or null after marking the benchmark skipped.
const std::string* CorpusOrSkip(benchmark::State& state, const std::string& name) {
  const std::optional<std::string>& bytes = Corpus(name);
  if (!bytes) {
    state.SkipWithError(("cannot read " + std::string(TPK_BENCH_DATA_DIR) + "/" + name).c_str());
    return nullptr;
  }
  return &*bytes;
}

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// Runs `check` once before timing; an exception or a false result skips the benchmark.
bool Validate(benchmark::State& state, const std::function<std::string()>& check) {
  std::string error;
  try {
    error = check();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) return true;
  state.SkipWithError(error.c_str());
  return false;
}

// JsonParse

void JsonParseOurs(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] { return std::string(ParseJson(*text).ErrorMessage()); })) return;
  for (auto _ : state) {
    ValueResult result = ParseJson(*text);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void JsonParseRapidJson(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] {
        rapidjson::Document document;
        document.Parse(text->c_str());
        return document.HasParseError() ? std::string("rapidjson rejects the file") : "";
      })) {
    return;
  }
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text->c_str());
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void JsonParseNlohmann(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] {
        const Json document = Json::parse(*text);
        return document.is_discarded() ? std::string("nlohmann rejects the file") : "";
      })) {
    return;
  }
  for (auto _ : state) {
    Json document = Json::parse(*text);
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// JsonWrite and JsonWriteIndented: the tree is built once, outside the timing.

void JsonWriteOurs(benchmark::State& state, const std::string& file, const char* lineSeparator) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  ValueResult parsed = ParseJson(*text);
  if (!parsed.Ok()) {
    state.SkipWithError(std::string(parsed.ErrorMessage()).c_str());
    return;
  }
  const BindingProperty& value = parsed.Value();
  for (auto _ : state) {
    std::string out = WriteJson(value, nullptr, lineSeparator);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

template <typename Writer>
void JsonWriteRapidJson(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  rapidjson::Document document;
  document.Parse(text->c_str());
  if (document.HasParseError()) {
    state.SkipWithError("rapidjson rejects the file");
    return;
  }
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void JsonWriteNlohmann(benchmark::State& state, const std::string& file, int indent) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  Json document;
  if (!Validate(state, [&] {
        document = Json::parse(*text);
        return std::string();
      })) {
    return;
  }
  for (auto _ : state) {
    std::string out = document.dump(indent);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// MsgpackRead

void MsgpackReadOurs(benchmark::State& state, const std::string& file) {
  const std::string* data = CorpusOrSkip(state, file);
  if (data == nullptr) return;
  if (!Validate(state, [&] {
        ValueResult result;
        size_t consumed = 0;
        ReadMessagePack(result, consumed, Bytes(*data), data->size());
        if (!result.Ok()) return std::string(result.ErrorMessage());
        return consumed == data->size() ? std::string() : "the object ends before the file";
      })) {
    return;
  }
  for (auto _ : state) {
    ValueResult result;
    size_t consumed = 0;
    ReadMessagePack(result, consumed, Bytes(*data), data->size());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->size()));
}

void MsgpackReadMsgpackCxx(benchmark::State& state, const std::string& file) {
  const std::string* data = CorpusOrSkip(state, file);
  if (data == nullptr) return;
  if (!Validate(state, [&] {
        const msgpack::object_handle handle = msgpack::unpack(data->data(), data->size());
        return handle.get().is_nil() ? std::string("msgpack-cxx reads nil") : "";
      })) {
    return;
  }
  for (auto _ : state) {
    msgpack::object_handle handle = msgpack::unpack(data->data(), data->size());
    benchmark::DoNotOptimize(handle.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->size()));
}

void MsgpackReadNlohmann(benchmark::State& state, const std::string& file) {
  const std::string* data = CorpusOrSkip(state, file);
  if (data == nullptr) return;
  if (!Validate(state, [&] {
        const Json document = Json::from_msgpack(data->begin(), data->end());
        return document.is_discarded() ? std::string("nlohmann rejects the file") : "";
      })) {
    return;
  }
  for (auto _ : state) {
    Json document = Json::from_msgpack(data->begin(), data->end());
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->size()));
}

// YamlParse

void YamlParseOurs(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] {
        ValueResult result;
        ParseYaml(result, text->data(), text->size());
        return std::string(result.ErrorMessage());
      })) {
    return;
  }
  for (auto _ : state) {
    ValueResult result;
    ParseYaml(result, text->data(), text->size());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// Parses `text` with libyaml's event parser, dropping every event; the event count, or -1 on a
// parser error.
int64_t CountYamlEvents(const std::string& text) {
  yaml_parser_t parser;
  if (yaml_parser_initialize(&parser) == 0) return -1;
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  int64_t events = 0;
  for (bool done = false; !done;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      events = -1;
      break;
    }
    done = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    ++events;
  }
  yaml_parser_delete(&parser);
  return events;
}

void YamlParseLibYaml(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] {
        return CountYamlEvents(*text) < 0 ? std::string("libyaml rejects the file") : "";
      })) {
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(CountYamlEvents(*text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void YamlParseYamlCpp(benchmark::State& state, const std::string& file) {
  const std::string* text = CorpusOrSkip(state, file);
  if (text == nullptr) return;
  if (!Validate(state, [&] {
        const YAML::Node document = YAML::Load(*text);
        return document.IsMap() ? std::string() : "yaml-cpp reads no map";
      })) {
    return;
  }
  for (auto _ : state) {
    YAML::Node document = YAML::Load(*text);
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

using Bench = void (*)(benchmark::State&, const std::string&);

// Registers Operation/`corpus`/Impl for each (Impl, function) of `impls`, reading `file`.
void Register(const char* operation, const char* corpus, const std::string& file,
              std::initializer_list<std::pair<const char*, Bench>> impls) {
  for (const auto& [impl, run] : impls) {
    const std::string name = std::string(operation) + "/" + corpus + "/" + impl;
    benchmark::RegisterBenchmark(name.c_str(), run, file)->Unit(benchmark::kMillisecond);
  }
}

void RegisterAll() {
  static constexpr const char* kJsonCorpora[] = {"twitter", "citm_catalog", "canada"};
  for (const char* corpus : kJsonCorpora) {
    Register("JsonParse", corpus, std::string(corpus) + ".json",
             {{"ours", JsonParseOurs},
              {"rapidjson", JsonParseRapidJson},
              {"nlohmann", JsonParseNlohmann}});
  }
  for (const char* corpus : kJsonCorpora) {
    Register("JsonWrite", corpus, std::string(corpus) + ".json",
             {{"ours", [](benchmark::State& state,
                          const std::string& file) { JsonWriteOurs(state, file, nullptr); }},
              {"rapidjson", JsonWriteRapidJson<rapidjson::Writer<rapidjson::StringBuffer>>},
              {"nlohmann", [](benchmark::State& state, const std::string& file) {
                 JsonWriteNlohmann(state, file, -1);
               }}});
  }
  for (const char* corpus : kJsonCorpora) {
    Register("JsonWriteIndented", corpus, std::string(corpus) + ".json",
             {{"ours", [](benchmark::State& state,
                          const std::string& file) { JsonWriteOurs(state, file, "\n"); }},
              {"rapidjson", JsonWriteRapidJson<rapidjson::PrettyWriter<rapidjson::StringBuffer>>},
              {"nlohmann", [](benchmark::State& state, const std::string& file) {
                 JsonWriteNlohmann(state, file, 4);
               }}});
  }
  for (const char* corpus : kJsonCorpora) {
    Register("MsgpackRead", corpus, std::string(corpus) + ".msgpack",
             {{"ours", MsgpackReadOurs},
              {"msgpackcxx", MsgpackReadMsgpackCxx},
              {"nlohmann", MsgpackReadNlohmann}});
  }
  Register("YamlParse", "swagger", "docker-engine-api-swagger.yaml",
           {{"ours", YamlParseOurs}, {"libyaml", YamlParseLibYaml}, {"yamlcpp", YamlParseYamlCpp}});
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return Oxle::Client::Bench::RunBenchmarksWithRatios(
      argc, argv, {"rapidjson", "nlohmann", "msgpackcxx", "libyaml", "yamlcpp"});
}
