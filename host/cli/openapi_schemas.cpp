// The schemas of the OpenAPI document: components of the modules' types and the host's Error.
#include "cli/openapi_schemas.h"

#include <cctype>
#include <limits>
#include <map>
#include <utility>

#include "codec/json.h"

namespace Oxle::Client::Host::Cli::OpenApi {

std::string Unique(const std::set<std::string>& taken, const std::string& base) {
  if (!taken.contains(base)) return base;
  for (size_t n = 2;; ++n) {
    std::string candidate = base + "_" + std::to_string(n);
    if (!taken.contains(candidate)) return candidate;
  }
}

void SetStrings(BindingProperty& out, const std::vector<std::string>& texts) {
  out.MakeCollection();
  for (const std::string& text : texts)
    out.Append().SetString(text);
}

namespace {

// A component name: the characters a components key may hold, every other one as "_".
[[nodiscard]] std::string ComponentKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    const bool allowed =
        std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    if (!allowed) c = '_';
  }
  return key;
}

[[nodiscard]] std::vector<const FlatFieldRecord*> FieldsOf(const FlatTypeRecord& type) {
  std::vector<const FlatFieldRecord*> fields;
  for (const FlatFieldRecord* f = type.fields; f != nullptr && fields.size() < kMaxLinks;
       f = f->next) {
    fields.push_back(f);
  }
  return fields;
}

[[nodiscard]] std::vector<const FlatEnumeratorRecord*> EnumeratorsOf(const FlatTypeRecord& type) {
  std::vector<const FlatEnumeratorRecord*> enumerators;
  for (const FlatEnumeratorRecord* e = type.enumerators;
       e != nullptr && enumerators.size() < kMaxLinks; e = e->next) {
    enumerators.push_back(e);
  }
  return enumerators;
}

}  // namespace

ModuleTypes::ModuleTypes(const ApiExportTable* table) {
  if (table == nullptr) return;
  size_t walked = 0;
  for (const FlatTypeRecord* t = table->types; t != nullptr && walked < kMaxLinks;
       t = t->next, ++walked) {
    const std::string_view name = Text(t->name);
    if (!name.empty() && byName.emplace(name, t).second) types.push_back(t);
  }
}

const std::string* ModuleTypes::KeyOf(std::string_view typeName) const {
  const auto found = keys.find(typeName);
  return found != keys.end() ? &found->second : nullptr;
}

void SchemaWriter::Write(BindingProperty& out, uint32_t code, uint32_t elementCode,
                         std::string_view typeName) const {
  out.MakeStructure();
  switch (CodeOf(code)) {
    case BindingCode::Bool:
      out.Get("type").SetString("boolean");
      break;
    case BindingCode::Int8:
      Integer(out, "int8", std::numeric_limits<int8_t>::min(), std::numeric_limits<int8_t>::max());
      break;
    case BindingCode::Uint8:
      Integer(out, "uint8", 0, std::numeric_limits<uint8_t>::max());
      break;
    case BindingCode::Int16:
      Integer(out, "int16", std::numeric_limits<int16_t>::min(),
              std::numeric_limits<int16_t>::max());
      break;
    case BindingCode::Uint16:
      Integer(out, "uint16", 0, std::numeric_limits<uint16_t>::max());
      break;
    case BindingCode::Int32:
      Integer(out, "int32", std::numeric_limits<int32_t>::min(),
              std::numeric_limits<int32_t>::max());
      break;
    case BindingCode::Uint32:
      Integer(out, "uint32", 0, std::numeric_limits<uint32_t>::max());
      break;
    case BindingCode::Int64:
      // 64-bit bounds are left out: most readers of the document hold numbers as doubles.
      Integer(out, "int64", std::nullopt, std::nullopt);
      break;
    case BindingCode::Uint64:
      Integer(out, "uint64", 0, std::nullopt);
      break;
    case BindingCode::Float:
      Number(out, "float");
      break;
    case BindingCode::Double:
      Number(out, "double");
      break;
    case BindingCode::String:
      out.Get("type").SetString("string");
      break;
    case BindingCode::Blob:
      // The JSON writer writes blobs in base64.
      out.Get("type").SetString("string");
      out.Get("format").SetString("byte");
      break;
    case BindingCode::Vector:
      out.Get("type").SetString("array");
      Element(out.Get("items"), elementCode, typeName);
      break;
    case BindingCode::Map:
      out.Get("type").SetString("object");
      Element(out.Get("additionalProperties"), elementCode, typeName);
      break;
    case BindingCode::Enum:
    case BindingCode::Struct:
      Named(out, CodeOf(code), typeName);
      break;
    case BindingCode::None:
    case BindingCode::Object:
    case BindingCode::Callback:
      break;  // any value: the empty schema
  }
}

void SchemaWriter::WriteDescribed(BindingProperty& out, uint32_t code, uint32_t elementCode,
                                  std::string_view typeName, std::string_view description) const {
  if (description.empty()) {
    Write(out, code, elementCode, typeName);
    return;
  }
  if (Refers(code, typeName)) {
    Write(out.Get("allOf").Append(), code, elementCode, typeName);
  } else {
    Write(out, code, elementCode, typeName);
  }
  out.Get("description").SetString(description);
}

void SchemaWriter::WriteComponent(BindingProperty& out, const FlatTypeRecord& type) const {
  out.MakeStructure();
  if (!Text(type.description).empty()) out.Get("description").SetString(type.description);
  if (type.enumerators != nullptr) {
    out.Get("type").SetString("string");
    BindingProperty& names = out.Get("enum");
    for (const FlatEnumeratorRecord* e : EnumeratorsOf(type))
      names.Append().SetString(Text(e->name));
    return;
  }
  out.Get("type").SetString("object");
  const std::vector<const FlatFieldRecord*> fields = FieldsOf(type);
  if (fields.empty()) return;
  std::vector<std::string> required;
  std::set<std::string> seen;
  BindingProperty& properties = out.Get("properties");
  for (const FlatFieldRecord* f : fields) {
    const std::string name(Text(f->name));
    if (!seen.insert(name).second) continue;
    WriteDescribed(properties.Get(name), f->code, f->elementCode, Text(f->typeName),
                   Text(f->description));
    if (f->optional == 0) required.push_back(name);
  }
  if (!required.empty()) SetStrings(out.Get("required"), required);
}

bool SchemaWriter::Refers(uint32_t code, std::string_view typeName) const {
  const BindingCode c = CodeOf(code);
  return (c == BindingCode::Enum || c == BindingCode::Struct) && types_.KeyOf(typeName);
}

void SchemaWriter::Element(BindingProperty& out, uint32_t code, std::string_view typeName) const {
  if (CodeOf(code) == BindingCode::Vector || CodeOf(code) == BindingCode::Map) {
    Write(out, code, 0, {});
  } else {
    Write(out, code, 0, typeName);
  }
}

void SchemaWriter::Named(BindingProperty& out, BindingCode code, std::string_view typeName) const {
  if (const std::string* key = types_.KeyOf(typeName)) {
    out.Get("$ref").SetString(std::string(kSchemaPrefix) + *key);
  } else if (code == BindingCode::Enum) {
    // An enum the registry cannot name is written as its number.
    Integer(out, "int32", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  } else {
    out.Get("type").SetString("object");
  }
}

void SchemaWriter::Integer(BindingProperty& out, std::string_view format,
                           std::optional<int64_t> minimum, std::optional<uint64_t> maximum) {
  out.Get("type").SetString("integer");
  out.Get("format").SetString(format);
  if (minimum) out.Get("minimum").SetSigned(*minimum);
  if (maximum) out.Get("maximum").SetUnsigned(*maximum);
}

void SchemaWriter::Number(BindingProperty& out, std::string_view format) {
  out.Get("type").SetString("number");
  out.Get("format").SetString(format);
}

void WriteComponents(BindingProperty& schemas, std::span<const OpenApiModule> modules,
                     std::vector<ModuleTypes>& moduleTypes) {
  // By name: the JSON text of each module's component; none for the host's own.
  std::map<std::string, std::optional<std::string>> written;
  written.emplace(std::string(kErrorComponent), std::nullopt);
  for (size_t m = 0; m < modules.size(); ++m) {
    ModuleTypes& types = moduleTypes[m];
    std::set<std::string> taken;
    for (const auto& [key, text] : written)
      taken.insert(key);
    const auto own = [&](const FlatTypeRecord& type) {
      std::string key = ComponentKey(Text(type.name));
      if (taken.contains(key)) key = Unique(taken, ComponentKey(modules[m].name + "." + type.name));
      taken.insert(key);
      types.keys.insert_or_assign(Text(type.name), key);
    };
    std::vector<bool> shares(types.types.size(), false);
    for (size_t i = 0; i < types.types.size(); ++i) {
      const std::string key = ComponentKey(Text(types.types[i]->name));
      const auto earlier = written.find(key);
      shares[i] = earlier != written.end() && earlier->second.has_value();
      if (shares[i]) {
        types.keys.insert_or_assign(Text(types.types[i]->name), key);
      } else {
        own(*types.types[i]);
      }
    }
    // A sharing type that reads differently gets its own component, which may change how the
    // types referring to it read: repeat until nothing changes.
    const SchemaWriter writer(types);
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t i = 0; i < types.types.size(); ++i) {
        if (!shares[i]) continue;
        BindingProperty schema;
        writer.WriteComponent(schema, *types.types[i]);
        const std::string& key = *types.KeyOf(Text(types.types[i]->name));
        if (Codec::WriteJson(schema, nullptr, nullptr) == *written.at(key)) continue;
        shares[i] = false;
        own(*types.types[i]);
        changed = true;
      }
    }
    for (size_t i = 0; i < types.types.size(); ++i) {
      if (shares[i]) continue;
      const std::string key = *types.KeyOf(Text(types.types[i]->name));
      BindingProperty& component = schemas.Get(key);
      writer.WriteComponent(component, *types.types[i]);
      written.insert_or_assign(key, Codec::WriteJson(component, nullptr, nullptr));
    }
  }
}

void WriteErrorComponents(BindingProperty& components) {
  BindingProperty& error = components.Get("schemas").Get(kErrorComponent);
  error.Get("type").SetString("object");
  error.Get("description").SetString("A failed call: its HTTP status and its message.");
  SetStrings(error.Get("required"), {"message", "status"});
  BindingProperty& properties = error.Get("properties");
  properties.Get("message").Get("type").SetString("string");
  BindingProperty& status = properties.Get("status");
  status.Get("type").SetString("integer");
  status.Get("format").SetString("int32");
  status.Get("minimum").SetUnsigned(400);
  status.Get("maximum").SetUnsigned(599);

  BindingProperty& response = components.Get("responses").Get(kErrorComponent);
  response.Get("description").SetString("The call failed.");
  response.Get("content")
      .Get("application/json")
      .Get("schema")
      .Get("$ref")
      .SetString(std::string(kSchemaPrefix) + std::string(kErrorComponent));

  BindingProperty& bearer = components.Get("securitySchemes").Get("bearer");
  bearer.Get("type").SetString("http");
  bearer.Get("scheme").SetString("bearer");
  bearer.Get("description").SetString("The token of the host's run file, tpk-host-<pid>.json.");
}

}  // namespace Oxle::Client::Host::Cli::OpenApi
