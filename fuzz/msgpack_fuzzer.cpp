// Decodes arbitrary bytes as MessagePack: no crash, no read outside the input (the sanitizers
// watch), consumption within the input, then the JSON round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/msgpack.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Oxle::Client::Binding::ValueResult result;
  size_t consumed = 0;
  Oxle::Client::Codec::ReadMessagePack(result, consumed, data, size);
  if (consumed > size) std::abort();
  Oxle::Client::Fuzz::CheckJsonRoundTrip(result);
  return 0;
}
