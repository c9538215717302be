// The check every decoder harness makes after decoding: the value written as JSON parses back,
// and from then on writing and parsing keep the same tree. The first pass may lose what JSON
// cannot carry (kinds of numbers, blobs, text after a NUL), and floats may move in their last
// places, since numbers are read with the parser's normal precision.
#pragma once

#include <cmath>
#include <cstdlib>
#include <string>

#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"
#include "codec/json.h"

namespace Oxle::Client::Fuzz {

inline bool SameTree(const Binding::BindingProperty& a, const Binding::BindingProperty& b) {
  using Binding::ValueKind;
  if (a.Kind() != b.Kind()) return false;
  switch (a.Kind()) {
    case ValueKind::Float: {
      const double x = a.GetFloat(0), y = b.GetFloat(0);
      return x == y || std::fabs(x - y) <= 1e-12 * std::fmax(std::fabs(x), std::fabs(y));
    }
    case ValueKind::Collection: {
      if (a.Size() != b.Size()) return false;
      for (size_t i = 0; i < a.Size(); ++i) {
        if (!SameTree(a.At(i), b.At(i))) return false;
      }
      return true;
    }
    case ValueKind::Structure: {
      if (a.Size() != b.Size()) return false;
      for (auto member : a.Members()) {
        if (!b.Has(member.key) || !SameTree(member.value, b.Get(member.key))) return false;
      }
      return true;
    }
    default:
      return a.GetSigned(0) == b.GetSigned(0) && a.GetUnsigned(0) == b.GetUnsigned(0) &&
             a.GetBool(false) == b.GetBool(false) && a.GetString() == b.GetString();
  }
}

inline void CheckJsonRoundTrip(const Binding::ValueResult& decoded) {
  if (!decoded.Ok()) return;
  const Binding::ValueResult reparsed =
      Codec::ParseJson(Codec::WriteJson(decoded.Value(), nullptr, nullptr));
  if (!reparsed.Ok()) std::abort();
  const Binding::ValueResult again =
      Codec::ParseJson(Codec::WriteJson(reparsed.Value(), nullptr, nullptr));
  if (!again.Ok() || !SameTree(reparsed.Value(), again.Value())) std::abort();
  const Binding::ValueResult indented =
      Codec::ParseJson(Codec::WriteJson(reparsed.Value(), nullptr, "\r\n"));
  if (!indented.Ok() || !SameTree(reparsed.Value(), indented.Value())) std::abort();
}

}  // namespace Oxle::Client::Fuzz
