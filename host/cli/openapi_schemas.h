// The schemas of the OpenAPI document (internal to tpk_cli, for openapi.cpp): each module's
// registered types as components, the schema of a binding type descriptor that refers to them,
// the host's own Error component and the bearer scheme, and the small helpers both halves of the
// document use. The rules they follow are listed with BuildOpenApiDocument (openapi.h). Pure:
// they read the export tables and keep nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/types/binding_code.h"
#include "binding/value/binding_property.h"
#include "cli/openapi.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Host::Cli::OpenApi {

using Binding::BindingCode;
using Binding::BindingProperty;

// Every linked list of a table is walked at most this far, so a list that loops back ends.
inline constexpr size_t kMaxLinks = size_t{1} << 16;

inline constexpr std::string_view kSchemaPrefix = "#/components/schemas/";
inline constexpr std::string_view kErrorComponent = "Error";

[[nodiscard]] inline std::string_view Text(const char* text) noexcept {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

[[nodiscard]] inline BindingCode CodeOf(uint32_t code) noexcept {
  return code <= static_cast<uint32_t>(BindingCode::Map) ? static_cast<BindingCode>(code)
                                                         : BindingCode::None;
}

// `base`, or `base` with "_2", "_3"... appended, whichever `taken` does not hold yet.
[[nodiscard]] std::string Unique(const std::set<std::string>& taken, const std::string& base);

// `out` as a list of those strings.
void SetStrings(BindingProperty& out, const std::vector<std::string>& texts);

// The registered types of one module: by name (the first record of a name wins, as in the
// registry) and the component each one is written as.
struct ModuleTypes {
  explicit ModuleTypes(const ApiExportTable* table);
  // The component a type of that name is written as, or null for a name not registered.
  [[nodiscard]] const std::string* KeyOf(std::string_view typeName) const;

  std::vector<const FlatTypeRecord*> types;  // named, in list order
  std::unordered_map<std::string_view, const FlatTypeRecord*> byName;
  std::unordered_map<std::string_view, std::string> keys;
};

// Writes the schema of a binding type descriptor, referring to the module's components.
class SchemaWriter {
 public:
  explicit SchemaWriter(const ModuleTypes& types) noexcept : types_(types) {}

  void Write(BindingProperty& out, uint32_t code, uint32_t elementCode,
             std::string_view typeName) const;

  // The same with a description; a reference is wrapped, since "$ref" takes no siblings.
  void WriteDescribed(BindingProperty& out, uint32_t code, uint32_t elementCode,
                      std::string_view typeName, std::string_view description) const;

  // The component of a registered type.
  void WriteComponent(BindingProperty& out, const FlatTypeRecord& type) const;

 private:
  [[nodiscard]] bool Refers(uint32_t code, std::string_view typeName) const;

  // A vector's items or a map's values: descriptors nest one level only.
  void Element(BindingProperty& out, uint32_t code, std::string_view typeName) const;

  void Named(BindingProperty& out, BindingCode code, std::string_view typeName) const;

  static void Integer(BindingProperty& out, std::string_view format, std::optional<int64_t> minimum,
                      std::optional<uint64_t> maximum);

  static void Number(BindingProperty& out, std::string_view format);

  const ModuleTypes& types_;
};

// Names every module's types as components (in `moduleTypes`, one per module) and writes the
// ones not written yet into `schemas`. A type whose component would read exactly like an earlier
// module's component of the same name (its references included) shares it; another one of a
// taken name is named "<module>.<name>".
void WriteComponents(BindingProperty& schemas, std::span<const OpenApiModule> modules,
                     std::vector<ModuleTypes>& moduleTypes);

// The Error schema and response and the bearer security scheme, into "components".
void WriteErrorComponents(BindingProperty& components);

}  // namespace Oxle::Client::Host::Cli::OpenApi
