// BuildOpenApiDocument: the OpenAPI 3.0.3 description of the functions the loaded modules serve
// over HTTP, built from their export tables alone (entries, argument locations, flat records), as
// a value tree for the JSON writer. Pure: it reads the tables and keeps nothing; the tables must
// stay valid for the call. It describes what the host routes and dispatch accepts, not more:
// how each export becomes a path, an operation, parameters and schemas is listed below.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Host::Cli {

struct OpenApiModule {
  std::string name;
  std::string version;
  const ApiExportTable* table = nullptr;  // null: the module serves nothing
};

// The document of the modules, in load order (the order in which the host tries their routes).
//
// Paths. Each export entry with a callback and a template is served at its template, trimmed of
// one trailing "/" as the host does: "{name}" and "{+name}" become "{name}" (a "{+name}" value
// may hold "/", marked "x-tpk-template": "{+name}" on its parameter). A template the host can
// never match from an HTTP request target (not starting with "/", or holding "#", "?" or a
// "{#name}" fragment) and a route an earlier one already serves (the same path, parameter names
// aside, and method: the host picks the earlier one) are left out, as are entries without a
// callback or a template; "x-tpk-unserved" lists each one as {module, function, method ("*" for
// any), path, reason}. Templates that differ only in parameter names share the first one's
// path, their parameters renamed in order.
//
// Operations. Methods 1-7 are the matching OpenAPI operation. Method 0 (any) is documented under
// each of the seven, with operationId "<Method><name>" ("GetThings") and "x-tpk-any-method".
// Method 8 (named) has no OpenAPI operation: it is listed in the path's "x-tpk-methods" under its
// method name. operationId is the function's name; names that occur more than once take the
// function's namespace (or, without one, the module's name) and a ".", then "_2", "_3"... if
// still equal. summary is the function's description, description its help; the tag is the
// module's name.
//
// Parameters, as dispatch binds them: a template parameter is "in: path" with the schema of the
// argument of that name (a string when no argument may take it); other arguments at location 0
// (anywhere) or 1 are "in: query", at 4 "in: header" under the lower-cased name (dispatch looks
// the lower-cased name up); a location-2 argument absent from the template is not listed (no
// request can supply it). An argument is required unless it is optional, a bool (absent means
// false, shown as "default": false) or of code "object" (absent is an empty value). A query or
// header value of code object, vector or struct is JSON text ("content" application/json).
// The first location-5 argument is the requestBody, in JSON, MessagePack or YAML (dispatch
// never gives the body to a location-0 argument).
//
// Responses: "200" with the return value's schema as application/json (no content for return
// code 0), and "default": the component response "Error", a JSON {"status", "message"}.
//
// Schemas by binding code: bool boolean; int8...uint64 integer with the code as format and the
// type's bounds (int32 and int64 use the standard formats); float and double number; string
// string; blob string with format byte (base64); vector array with items; map object with
// additionalProperties; enum and struct "$ref" to their component (when the name is not
// registered: an integer, which is how an unnamed enum is written, or any object); object,
// callback and 0 any value. Components: every registered type of every module, a struct as an
// object with its fields (required unless optional), an enum as a string enum of its
// enumerator names (values cross the boundary by name). A type name is used as its component's
// name (characters other than letters, digits, ".", "-" and "_" replaced by "_"); a later
// module's type that differs from an earlier one of the same name is named "<module>.<name>".
[[nodiscard]] Binding::BindingProperty BuildOpenApiDocument(std::span<const OpenApiModule> modules,
                                                            std::string_view serverUrl);

}  // namespace Oxle::Client::Host::Cli
