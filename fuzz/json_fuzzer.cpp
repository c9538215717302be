// Parses arbitrary text as JSON (up to its first NUL, as the parser reads it), then the JSON
// round trip.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/json.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Oxle::Client::Fuzz::CheckJsonRoundTrip(Oxle::Client::Codec::ParseJson(text));
  return 0;
}
