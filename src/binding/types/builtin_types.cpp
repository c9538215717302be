#include "binding/types/builtin_types.h"

namespace Oxle::Client::Binding {
namespace {

template <typename T>
TypeDescriber<T>& Help(TypeDescriber<T>& type, const char* name, const char* description) {
  return type.Name(name).Description(description).Tag("$builtin").Tag("help");
}

}  // namespace

void DescribeBinding(TypeDescriber<BindingHelpFormat>& type) {
  Help(type, "BindingHelpFormat", "Help format for binding functions and types.")
      .Value("Full", BindingHelpFormat::Full, "Native help format")
      .Value("Epytext", BindingHelpFormat::Epytext, "Python epytext format");
}

void DescribeBinding(TypeDescriber<BindingFullTypeIdentifier>& type) {
  using T = BindingFullTypeIdentifier;
  Help(type, "BindingFullTypeIdentifier", "Describes the type of a value.")
      .Field("type", &T::type)
      .Field("elementType", &T::elementType);
}

void DescribeBinding(TypeDescriber<BindingFullArgumentHelp>& type) {
  using T = BindingFullArgumentHelp;
  Help(type, "BindingFullArgumentHelp", "Describes a function parameter.")
      .Field("name", &T::name)
      .Field("description", &T::description)
      .Field("type", &T::type)
      .Field("optional", &T::optional);
}

void DescribeBinding(TypeDescriber<BindingFullFunctionHelp>& type) {
  using T = BindingFullFunctionHelp;
  Help(type, "BindingFullFunctionHelp", "Describes a function.")
      .Field("name", &T::name)
      .Field("nameSpace", &T::nameSpace)
      .Field("arguments", &T::arguments)
      .Field("returns", &T::returns)
      .Field("description", &T::description)
      .Field("help", &T::help)
      .Field("threadSafe", &T::threadSafe)
      .Field("async", &T::async)
      .Field("tags", &T::tags);
}

void DescribeBinding(TypeDescriber<BindingFullEnumValueHelp>& type) {
  using T = BindingFullEnumValueHelp;
  Help(type, "BindingFullEnumValueHelp", "Describes an enumerator.")
      .Field("name", &T::name)
      .Field("description", &T::description)
      .Field("value", &T::value);
}

void DescribeBinding(TypeDescriber<BindingFullFieldHelp>& type) {
  using T = BindingFullFieldHelp;
  Help(type, "BindingFullFieldHelp", "Describes a member of a struct.")
      .Field("name", &T::name)
      .Field("description", &T::description)
      .Field("offset", &T::offset)
      .Field("type", &T::type)
      .Field("optional", &T::optional);
}

void DescribeBinding(TypeDescriber<BindingFullTypeHelp>& type) {
  using T = BindingFullTypeHelp;
  Help(type, "BindingFullTypeHelp", "Describes a struct or enum type.")
      .Field("name", &T::name)
      .Field("nameSpace", &T::nameSpace)
      .Field("size", &T::size)
      .Field("description", &T::description)
      .Field("tags", &T::tags)
      .Field("fields", &T::fields)
      .Field("values", &T::values);
}

void DescribeBinding(TypeDescriber<BindingFullEventHelp>& type) {
  using T = BindingFullEventHelp;
  Help(type, "BindingFullEventHelp", "Describes an event.")
      .Field("name", &T::name)
      .Field("nameSpace", &T::nameSpace)
      .Field("type", &T::type)
      .Field("description", &T::description)
      .Field("tags", &T::tags);
}

void DescribeBinding(TypeDescriber<BindingFullApiHelp>& type) {
  using T = BindingFullApiHelp;
  Help(type, "BindingFullApiHelp", "Describes the exposed native API.")
      .Field("functions", &T::functions)
      .Field("types", &T::types)
      .Field("events", &T::events);
}

void DescribeBinding(TypeDescriber<BindingAsyncState>& type) {
  using E = BindingAsyncState;
  type.Name("BindingAsyncState")
      .Description("Possible states of an asynchronous operation.")
      .Tag("$builtin")
      .Tag("async")
      .Value("None", E::None, "Invalid state")
      .Value("Running", E::Running, "The operation is in flight")
      .Value("Cancelling", E::Cancelling, "A request to cancel the operation has been made")
      .Value("Cancelled", E::Cancelled, "The operation was cancelled")
      .Value("Succeeded", E::Succeeded, "The operation completed successfully")
      .Value("Failed", E::Failed, "The operation encountered an error");
}

void DescribeBinding(TypeDescriber<BindingGenericEvent>& type) {
  type.Name("BindingGenericEvent")
      .Description("Represents generic data for an event.")
      .Tag("$builtin")
      .Field("data", &BindingGenericEvent::data, 0, "Event data");
}

void DescribeBinding(TypeDescriber<BindingCallbackEvent>& type) {
  using T = BindingCallbackEvent;
  type.Name("BindingCallbackEvent")
      .Description("Represents the parameters of a call to a provided callback.")
      .Tag("$builtin")
      .Field("id", &T::id, 0, "ID of the callback being invoked")
      .FieldAs("parameters", &T::parameters, TypeIdOf<std::vector<BindingProperty>>(),
               TypeIdentifier{BindingCode::Object}, 0, "Callback parameters");
}

void DescribeBinding(TypeDescriber<BindingGenericAsyncEvent>& type) {
  using T = BindingGenericAsyncEvent;
  type.Name("BindingGenericAsyncEvent")
      .Description("Represents generic data for an asynchronous event.")
      .Tag("$builtin")
      .Tag("async")
      .Field("asyncToken", &T::asyncToken, 0, "Asynchronous operation token")
      .Field("data", &T::data, 0, "Event data");
}

void DescribeBinding(TypeDescriber<BindingAsyncFailureEvent>& type) {
  using T = BindingAsyncFailureEvent;
  type.Name("BindingAsyncFailureEvent")
      .Description("Represents a failed asynchronous operation.")
      .Tag("$builtin")
      .Tag("async")
      .Field("asyncToken", &T::asyncToken, 0, "Asynchronous operation token")
      .Field("error", &T::error, 0, "Error message");
}

void DescribeBinding(TypeDescriber<BindingAsyncCancelEvent>& type) {
  type.Name("BindingAsyncCancelEvent")
      .Description("Represents a cancelled asynchronous operation.")
      .Tag("$builtin")
      .Tag("async")
      .Field("asyncToken", &BindingAsyncCancelEvent::asyncToken, 0, "Asynchronous operation token");
}

void RegisterAsyncTypes(BindingRegistry& registry) {
  RegisterType<BindingHelpFormat>(registry);
  RegisterType<BindingFullApiHelp>(registry);  // and every help record it contains
  RegisterType<BindingAsyncState>(registry);
  RegisterType<BindingGenericEvent>(registry);
  RegisterType<BindingCallbackEvent>(registry);
  RegisterType<BindingGenericAsyncEvent>(registry);
  RegisterType<BindingAsyncFailureEvent>(registry);
  RegisterType<BindingAsyncCancelEvent>(registry);
}

EventRecord* RegisterBuiltinEvents(BindingRegistry& registry) {
  RegisterAsyncTypes(registry);
  const TypeRecord* callback = registry.FindTypeByHash(TypeIdOf<BindingCallbackEvent>());
  bool created = false;
  EventRecord* event = registry.FindOrRegisterEvent("OnCallback", callback, created);
  if (created) event->description = "Fired when a callback is invoked.";
  event->tags.emplace_back("$builtin");
  return event;
}

}  // namespace Oxle::Client::Binding
