// API help: the registered functions, types and events described as native help records (the
// Full form, converted to values through the registered BindingFull*Help types) or as one epytext
// text per item (CRLF line ends).
//
// Everything here is built on demand from registry snapshots and keeps no state; the registry's
// records must stay unchanged while a listing is built. For the flat records handed to the host,
// see flat_description.h.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "binding/types/binding_registry.h"
#include "binding/types/builtin_types.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

// Makes `out` a structure with the members "functions", "types" and "events", each item sorted by
// name in byte order. Full: a collection of converted help records, an item whose help type is
// not registered in `registry` (or whose conversion fails) staying empty. Epytext: a structure
// from item name to its text. Any other format leaves the three members empty.
void BuildApiHelp(BindingProperty& out, const BindingRegistry& registry,
                  std::span<const FunctionRecord* const> functions,
                  std::span<const TypeRecord* const> types,
                  std::span<const EventRecord* const> events, BindingHelpFormat format);
// The same from snapshots of the whole registry.
void BuildApiHelp(BindingProperty& out, const BindingRegistry& registry, BindingHelpFormat format);

// A descriptor in the Full form: {"vector", element} or {"map", element}, the record's name for
// an enum or struct ("enum" / "struct" without a record), the binding name for the other codes
// from 1 to 18, and both empty for any other code.
[[nodiscard]] BindingFullTypeIdentifier FullTypeName(const TypeIdentifier& type);
// A descriptor in epytext: "list[...]", "dict[...]", "L{Record}", "bytearray" or the binding
// name; an enum or struct without a record is plainly "enum" / "struct" (there is nothing to link
// to), and an unknown code is empty.
[[nodiscard]] std::string EpytextTypeName(const TypeIdentifier& type);

// The text up to its first NUL with '{' and '}' as "E{lb}" / "E{rb}", and a leading '-' as
// "E{-}".
[[nodiscard]] std::string EpytextEscape(std::string_view text);

// One item's epytext, appended to `out`.
void WriteFunctionEpytext(std::string& out, const FunctionRecord& function);
void WriteStructEpytext(std::string& out, const TypeRecord& type);
void WriteEnumEpytext(std::string& out, const TypeRecord& type);
void WriteEventEpytext(std::string& out, const EventRecord& event);

}  // namespace Oxle::Client::Binding
