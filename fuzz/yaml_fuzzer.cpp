// Parses arbitrary bytes as YAML (with an explicit length, no NUL needed), then the JSON round
// trip.
#include <cstddef>
#include <cstdint>

#include "codec/yaml.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Oxle::Client::Binding::ValueResult result;
  Oxle::Client::Codec::ParseYaml(result, reinterpret_cast<const char*>(data), size);
  Oxle::Client::Fuzz::CheckJsonRoundTrip(result);
  return 0;
}
