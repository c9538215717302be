// BuildOpenApiDocument: the document's paths, operations and parameters; the schemas and
// components are openapi_schemas.cpp's.
#include "cli/openapi.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/http_method.h"
#include "api/route_pattern.h"
#include "api/routes.h"
#include "cli/openapi_schemas.h"
#include "codec/ascii_case.h"
#include "codec/json.h"
#include "codec/media_type.h"

namespace Oxle::Client::Host::Cli {
namespace {

using OpenApi::BindingCode;
using OpenApi::BindingProperty;
using OpenApi::CodeOf;
using OpenApi::kErrorComponent;
using OpenApi::kMaxLinks;
using OpenApi::ModuleTypes;
using OpenApi::SchemaWriter;
using OpenApi::SetStrings;
using OpenApi::Text;
using OpenApi::Unique;
using OpenApi::WriteComponents;
using OpenApi::WriteErrorComponents;

// The formats dispatch decodes a body from, each listed by its first media type.
constexpr Codec::MediaFormat kBodyFormats[] = {
    Codec::MediaFormat::Json, Codec::MediaFormat::MessagePack, Codec::MediaFormat::Yaml};

// ---- paths ----

struct PathParameter {
  std::string name;          // in the OpenAPI path
  std::string argumentName;  // what dispatch binds the value to
  Api::PathParameterKind kind = Api::PathParameterKind::Segment;
};

// A template as an OpenAPI path, or why no request target can match it.
struct PathShape {
  std::string key;        // "/a/{id}"
  std::string canonical;  // "/a/{}": equal for templates that match the same targets
  std::vector<PathParameter> parameters;
  std::string problem;  // set when it cannot be served
};

[[nodiscard]] PathShape ShapeOf(std::string_view pathTemplate) {
  PathShape shape;
  if (pathTemplate.empty() || pathTemplate.front() != '/') {
    shape.problem = "the path does not start with \"/\"";
    return shape;
  }
  constexpr std::string_view kUnsendable =
      "a request target cannot hold \"#\" or \"?\" in its path, nor a \"{#name}\" fragment";
  if (pathTemplate.find('{') == std::string_view::npos) {
    // A literal route, compared byte for byte.
    if (pathTemplate.find_first_of("#?") != std::string_view::npos) shape.problem = kUnsendable;
    shape.key.assign(pathTemplate);
    shape.canonical = shape.key;
    return shape;
  }
  // Read back from the template's expression, so the syntax has one reading: literal text with
  // specials escaped by "\", "([^/]*)" for {name} and "(.*)" for {+name} (and, after a literal
  // "#", {#name}). Group i binds the name of parameter i, as the matcher stores it.
  std::vector<Api::PathParameter> parameters;
  const std::string expression = Api::TemplateToRegex(pathTemplate, parameters);
  std::set<std::string> names;
  const auto group = [&](Api::PathParameterKind kind) {
    const size_t index = shape.parameters.size();
    std::string argument = index < parameters.size() ? parameters[index].name : std::string();
    std::string name = argument.empty() ? std::string("parameter") : argument;
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    name = Unique(names, name);
    names.insert(name);
    shape.key += "{" + name + "}";
    shape.canonical += "{}";
    shape.parameters.push_back(PathParameter{name, std::move(argument), kind});
  };
  constexpr std::string_view kSegment = "([^/]*)";
  constexpr std::string_view kRest = "(.*)";
  const std::string_view text(expression);
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i, kSegment.size()) == kSegment) {
      group(Api::PathParameterKind::Segment);
      i += kSegment.size();
    } else if (text.substr(i, kRest.size()) == kRest) {
      group(Api::PathParameterKind::Reserved);
      i += kRest.size();
    } else {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      if (text[i] == '#' || text[i] == '?') shape.problem = kUnsendable;
      shape.key.push_back(text[i]);
      shape.canonical.push_back(text[i]);
      ++i;
    }
  }
  return shape;
}

// ---- operations ----

struct Argument {
  std::string_view name;
  std::string_view description;
  std::string_view typeName;
  uint32_t code = 0;
  uint32_t elementCode = 0;
  bool optional = false;
  uint32_t location = 0;
};

[[nodiscard]] std::vector<Argument> ArgumentsOf(const ApiExportEntry& entry) {
  std::vector<Argument> arguments;
  const ApiArgumentLocationRecord* location = entry.argumentLocations;
  for (const FlatArgumentRecord* a = entry.function.arguments;
       a != nullptr && arguments.size() < kMaxLinks; a = a->next) {
    arguments.push_back(Argument{Text(a->name), Text(a->description), Text(a->typeName), a->code,
                                 a->elementCode, a->optional != 0,
                                 location != nullptr ? location->location : 0});
    if (location != nullptr) location = location->next;
  }
  return arguments;
}

constexpr uint32_t kAnywhere = static_cast<uint32_t>(Api::ArgumentLocation::Any);
constexpr uint32_t kQuery = static_cast<uint32_t>(Api::ArgumentLocation::Query);
constexpr uint32_t kPath = static_cast<uint32_t>(Api::ArgumentLocation::Path);
constexpr uint32_t kHeader = static_cast<uint32_t>(Api::ArgumentLocation::Header);
constexpr uint32_t kBody = static_cast<uint32_t>(Api::ArgumentLocation::Body);

// Whether a request must supply the argument: dispatch binds false to an absent bool, and the
// handler accepts an absent optional or "object" argument; any other absent one fails.
[[nodiscard]] bool Required(const Argument& argument) noexcept {
  const BindingCode code = CodeOf(argument.code);
  return !argument.optional && code != BindingCode::None && code != BindingCode::Bool &&
         code != BindingCode::Object;
}

// Texts of these codes are sniffed for JSON (and MessagePack and YAML) by dispatch.
[[nodiscard]] bool DecodedAsJson(const Argument& argument) noexcept {
  const BindingCode code = CodeOf(argument.code);
  return code == BindingCode::Object || code == BindingCode::Vector || code == BindingCode::Struct;
}

// A method's path item key in an OpenAPI document: "get" for GET.
[[nodiscard]] std::string PathItemKey(Api::HttpMethod method) {
  return Codec::AsciiLower(Api::MethodText(method));
}

// The operationId prefix of an any-method route served under `method`: "Get" for GET.
[[nodiscard]] std::string AnyMethodWord(Api::HttpMethod method) {
  std::string word = PathItemKey(method);
  if (!word.empty()) word.front() = Codec::AsciiUpper(word.front());
  return word;
}

// One operation to write: where it goes, what it describes and its name.
struct Operation {
  size_t module = 0;
  const ApiExportEntry* entry = nullptr;
  std::string pathKey;
  std::vector<PathParameter> pathParameters;
  std::string method;  // a path item key, or the method name of a named-method route
  bool named = false;
  bool anyMethod = false;
  std::string baseId;
  std::string qualifier;
  std::string id;
};

struct Unserved {
  std::string module;
  std::string function;
  std::string method;
  std::string path;
  std::string reason;
};

// The method of an export entry as "x-tpk-unserved" lists it: "*" for any.
[[nodiscard]] std::string MethodLabel(const ApiExportEntry& entry) {
  const char* name = entry.methodName != nullptr ? entry.methodName : "";
  return std::string(Api::HostMethodName(entry.method, name).value_or("*"));
}

// Decides which routes are served under which path and method, as the host picks among them.
class OperationPlanner {
 public:
  void Add(size_t module, const OpenApiModule& owner, const ApiExportEntry& entry) {
    const std::string function(Text(entry.function.name));
    const auto unserved = [&](std::string path, std::string reason) {
      unserved_.push_back(
          Unserved{owner.name, function, MethodLabel(entry), std::move(path), std::move(reason)});
    };
    if (entry.callback == nullptr)
      return unserved(std::string(Text(entry.pathTemplate)), "the entry has no callback");
    if (entry.pathTemplate == nullptr) return unserved("", "the entry has no path template");
    // The host's own reading of the template: one trailing "/" trimmed.
    Api::RouteBinding binding;
    Api::SetRoutePath(binding, entry.pathTemplate);
    PathShape shape = ShapeOf(binding.pathTemplate);
    if (!shape.problem.empty()) return unserved(binding.pathTemplate, shape.problem);

    // Templates that match the same targets share the first one's path and parameter names.
    const auto [path, added] = paths_.emplace(shape.canonical, shape);
    if (!added) {
      for (size_t i = 0; i < shape.parameters.size(); ++i)
        shape.parameters[i].name = path->second.parameters[i].name;
      shape.key = path->second.key;
    }

    Operation operation;
    operation.module = module;
    operation.entry = &entry;
    operation.pathKey = shape.key;
    operation.pathParameters = shape.parameters;
    const Api::HttpMethod method = Api::HttpMethodFromHost(entry.method);
    operation.baseId = function;
    if (function.empty()) {
      const std::string_view prefix =
          method == Api::HttpMethod::Other ? Text(entry.methodName) : Api::MethodText(method);
      operation.baseId = Api::MakeFunctionName(prefix, shape.key);
    }
    operation.qualifier =
        Text(entry.function.nameSpace).empty() ? owner.name : std::string(entry.function.nameSpace);

    const std::string shadowed = "an earlier route serves the same path and method";
    if (method == Api::HttpMethod::Other) {
      operation.method = Text(entry.methodName);
      operation.named = true;
      if (claimed_.contains({shape.canonical, "*"}) ||
          !claimed_.insert({shape.canonical, "x:" + operation.method}).second) {
        return unserved(binding.pathTemplate, shadowed);
      }
      operations_.push_back(std::move(operation));
      return;
    }
    for (const Api::HttpMethod standard : Api::kNamedMethods) {
      if (method != Api::HttpMethod::Any && method != standard) continue;
      Operation one = operation;
      one.method = PathItemKey(standard);
      if (method == Api::HttpMethod::Any) {
        one.anyMethod = true;
        one.baseId = AnyMethodWord(standard) + operation.baseId;
      }
      if (!claimed_.insert({shape.canonical, one.method}).second) {
        unserved_.push_back(Unserved{owner.name, function, std::string(Api::MethodText(standard)),
                                     binding.pathTemplate, shadowed});
        continue;
      }
      operations_.push_back(std::move(one));
    }
    // An any-method route also takes every named method there.
    if (method == Api::HttpMethod::Any) claimed_.insert({shape.canonical, "*"});
  }

  // Names every operation: its function's name where that is unique, else qualified, else
  // numbered.
  std::vector<Operation>& Named() {
    std::map<std::string, size_t> counts;
    for (const Operation& operation : operations_)
      ++counts[operation.baseId];
    std::set<std::string> taken;
    for (Operation& operation : operations_) {
      const std::string id = counts[operation.baseId] > 1
                                 ? operation.qualifier + "." + operation.baseId
                                 : operation.baseId;
      operation.id = Unique(taken, id);
      taken.insert(operation.id);
    }
    return operations_;
  }

  [[nodiscard]] const std::vector<Unserved>& Left() const noexcept { return unserved_; }

 private:
  std::map<std::string, PathShape> paths_;                 // by canonical path
  std::set<std::pair<std::string, std::string>> claimed_;  // (canonical path, method slot)
  std::vector<Operation> operations_;
  std::vector<Unserved> unserved_;
};

void WriteParameter(BindingProperty& out, std::string_view name, std::string_view in,
                    const Argument* argument, const SchemaWriter& schemas) {
  out.Get("name").SetString(name);
  out.Get("in").SetString(in);
  const bool inPath = in == "path";
  out.Get("required").SetBool(inPath || (argument != nullptr && Required(*argument)));
  if (argument == nullptr) {
    out.Get("schema").Get("type").SetString("string");
    return;
  }
  if (!argument->description.empty()) out.Get("description").SetString(argument->description);
  if (DecodedAsJson(*argument)) {
    schemas.Write(out.Get("content").Get("application/json").Get("schema"), argument->code,
                  argument->elementCode, argument->typeName);
    return;
  }
  BindingProperty& schema = out.Get("schema");
  schemas.Write(schema, argument->code, argument->elementCode, argument->typeName);
  if (!inPath && !argument->optional && CodeOf(argument->code) == BindingCode::Bool) {
    schema.Get("default").SetBool(false);
  }
}

void WriteOperation(BindingProperty& out, const Operation& operation, const OpenApiModule& module,
                    const SchemaWriter& schemas) {
  const FlatFunctionRecord& function = operation.entry->function;
  out.Get("operationId").SetString(operation.id);
  SetStrings(out.Get("tags"), {module.name});
  if (!Text(function.description).empty()) out.Get("summary").SetString(function.description);
  if (!Text(function.help).empty()) out.Get("description").SetString(function.help);
  if (operation.anyMethod) out.Get("x-tpk-any-method").SetBool(true);

  const std::vector<Argument> arguments = ArgumentsOf(*operation.entry);
  std::vector<bool> used(arguments.size(), false);
  BindingProperty parameters;
  parameters.MakeCollection();
  for (const PathParameter& parameter : operation.pathParameters) {
    const Argument* argument = nullptr;
    for (size_t i = 0; i < arguments.size() && argument == nullptr; ++i) {
      if (arguments[i].name != parameter.argumentName) continue;
      used[i] = true;
      if (arguments[i].location == kAnywhere || arguments[i].location == kPath) {
        argument = &arguments[i];
      }
    }
    BindingProperty& written = parameters.Append();
    WriteParameter(written, parameter.name, "path", argument, schemas);
    if (parameter.kind == Api::PathParameterKind::Reserved) {
      written.Get("x-tpk-template").SetString("{+" + parameter.argumentName + "}");
    }
  }
  std::set<std::pair<std::string, std::string_view>> listed;
  const Argument* body = nullptr;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const Argument& argument = arguments[i];
    if (used[i]) continue;
    if (argument.location == kBody) {
      if (body == nullptr) body = &argument;
      continue;
    }
    // A location-2 argument the template does not name, and unknown locations, are never bound.
    std::string_view in;
    std::string name(argument.name);
    if (argument.location == kAnywhere || argument.location == kQuery) {
      in = "query";
    } else if (argument.location == kHeader) {
      in = "header";
      name = Codec::AsciiLower(name);
    } else {
      continue;
    }
    if (!listed.insert({name, in}).second) continue;
    WriteParameter(parameters.Append(), name, in, &argument, schemas);
  }
  if (parameters.Size() > 0) out.Get("parameters") = std::move(parameters);

  if (body != nullptr) {
    BindingProperty& requestBody = out.Get("requestBody");
    if (!body->description.empty()) requestBody.Get("description").SetString(body->description);
    requestBody.Get("required").SetBool(Required(*body));
    BindingProperty schema;
    schemas.Write(schema, body->code, body->elementCode, body->typeName);
    BindingProperty& content = requestBody.Get("content");
    for (const Codec::MediaFormat format : kBodyFormats)
      content.Get(Codec::ListedMediaType(format, Codec::kBodyUse)).Get("schema") = schema;
  }

  BindingProperty& responses = out.Get("responses");
  BindingProperty& success = responses.Get("200");
  if (CodeOf(function.returnCode) == BindingCode::None) {
    success.Get("description").SetString("Success, with an empty body.");
  } else {
    success.Get("description").SetString("Success: the function's result.");
    schemas.Write(success.Get("content").Get("application/json").Get("schema"), function.returnCode,
                  function.returnElementCode, Text(function.returnTypeName));
  }
  responses.Get("default").Get("$ref").SetString("#/components/responses/" +
                                                 std::string(kErrorComponent));
}

void WriteInfo(BindingProperty& document, std::span<const OpenApiModule> modules) {
  std::string versions;
  for (const OpenApiModule& module : modules)
    versions += (versions.empty() ? "" : ", ") + module.name + " " + module.version;
  BindingProperty& info = document.Get("info");
  info.Get("title").SetString("tpk-host");
  info.Get("version").SetString(versions.empty() ? "none" : versions);
  info.Get("description")
      .SetString("The HTTP API of the modules loaded into tpk-host" +
                 (versions.empty() ? std::string(" (none).") : ": " + versions + "."));

  std::set<std::string> tagged;
  BindingProperty tags;
  for (const OpenApiModule& module : modules) {
    if (!tagged.insert(module.name).second) continue;
    BindingProperty& tag = tags.Append();
    tag.Get("name").SetString(module.name);
    tag.Get("description").SetString("Module " + module.name + ", version " + module.version);
  }
  if (tags.Size() > 0) document.Get("tags") = std::move(tags);
}

}  // namespace

BindingProperty BuildOpenApiDocument(std::span<const OpenApiModule> modules,
                                     std::string_view serverUrl) {
  BindingProperty document;
  document.Get("openapi").SetString("3.0.3");
  WriteInfo(document, modules);
  if (!serverUrl.empty()) document.Get("servers").Append().Get("url").SetString(serverUrl);
  document.Get("security").Append().Get("bearer").MakeCollection();

  std::vector<ModuleTypes> moduleTypes;
  moduleTypes.reserve(modules.size());
  for (const OpenApiModule& module : modules)
    moduleTypes.emplace_back(module.table);
  BindingProperty& components = document.Get("components");
  WriteErrorComponents(components);
  WriteComponents(components.Get("schemas"), modules, moduleTypes);

  OperationPlanner planner;
  for (size_t m = 0; m < modules.size(); ++m) {
    const ApiExportTable* table = modules[m].table;
    if (table == nullptr || table->entries == nullptr) continue;
    for (uint32_t i = 0; i < table->entryCount; ++i)
      planner.Add(m, modules[m], table->entries[i]);
  }
  BindingProperty& paths = document.Get("paths");
  paths.MakeStructure();
  for (const Operation& operation : planner.Named()) {
    BindingProperty& item = paths.Get(operation.pathKey);
    BindingProperty& slot = operation.named ? item.Get("x-tpk-methods").Get(operation.method)
                                            : item.Get(operation.method);
    WriteOperation(slot, operation, modules[operation.module],
                   SchemaWriter(moduleTypes[operation.module]));
  }
  if (!planner.Left().empty()) {
    BindingProperty& unserved = document.Get("x-tpk-unserved");
    for (const Unserved& left : planner.Left()) {
      BindingProperty& record = unserved.Append();
      record.Get("module").SetString(left.module);
      record.Get("function").SetString(left.function);
      record.Get("method").SetString(left.method);
      record.Get("path").SetString(left.path);
      record.Get("reason").SetString(left.reason);
    }
  }
  return document;
}

}  // namespace Oxle::Client::Host::Cli
