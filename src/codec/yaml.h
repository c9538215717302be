// YAML reading: one document of YAML text into a BindingProperty, over libyaml's event parser.
//
// Scalars are typed by their tag, or, when plain, by the YAML 1.1 words for booleans and null and
// by C strtod for numbers; quoted scalars stay strings. Anchors and aliases are resolved as they
// are met: an alias becomes an independent deep copy of its anchored node (or the text of an
// anchored key). Limits where YAML alone would let a document exhaust the process: containers
// nested deeper than 512 fail ("Nesting is too deep."), including nesting built by aliases, and
// alias copies that together would exceed 1,000,000 values fail before they are made. Departures
// from YAML: one document only, mapping keys must be string scalars, duplicate anchors fail.
// There is no YAML writer.
#pragma once

#include <cstddef>

#include "binding/value/value_result.h"

namespace Oxle::Client::Codec {

// Parses text[0, length) (no NUL needed) into `result`: ok with the value, or failed with the
// message. An empty text gives an ok, empty result.
void ParseYaml(Binding::ValueResult& result, const char* text, size_t length);

}  // namespace Oxle::Client::Codec
