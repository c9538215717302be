// YAML reading: one document of YAML text into a BindingProperty, over libyaml's event parser.
//
// Scalars are typed by their tag, or, when plain, by the YAML 1.1 words for booleans and null and
// by C strtod for numbers; quoted scalars stay strings. Anchors and aliases are resolved as they
// are met: an alias becomes an independent deep copy of its anchored node (or the text of an
// anchored key). Limits where YAML alone would let a document exhaust the process: containers
// nested deeper than 512 fail ("Nesting is too deep."), including nesting built by aliases; each
// alias is charged, before its copy is made, what a full copy would hold, and together they may
// stand for at most 1,000,000 values ("Aliases expand to too many values.") and 64 MiB of text,
// strings and member keys alike ("Aliases expand to too many bytes."), an alias of a key or used
// as a key counting its text. Anchors take memory linear in the text. Departures from YAML: one
// document only, mapping keys must be string scalars, duplicate anchors fail. There is no YAML
// writer.
#pragma once

#include <cstddef>

#include "binding/value/value_result.h"

namespace Oxle::Client::Codec {

// Parses text[0, length) (no NUL needed) into `result`: ok with the value, or failed with the
// message. An empty text gives an ok, empty result.
void ParseYaml(Binding::ValueResult& result, const char* text, size_t length);

}  // namespace Oxle::Client::Codec
