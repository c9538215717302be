// The built-in vocabulary every registry carries: the native help records (what the API's Full
// help is made of), the help format enum, and the asynchronous-operation and callback types with
// the "OnCallback" event. RegisterBuiltinEvents registers all of it once per registry; a second
// call changes nothing but adding the "$builtin" tag to "OnCallback" again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/types/binding_registry.h"
#include "binding/types/type_binding.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

enum class BindingHelpFormat : int32_t { Full = 1, Epytext = 2 };

struct BindingFullTypeIdentifier {
  std::string type;
  std::string elementType;
};

struct BindingFullArgumentHelp {
  std::string name;
  std::string description;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullFunctionHelp {
  std::string name;
  std::string nameSpace;
  std::vector<BindingFullArgumentHelp> arguments;
  BindingFullTypeIdentifier returns;
  std::string description;
  std::string help;
  bool threadSafe = false;
  std::string async;
  std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
  std::string name;
  std::string description;
  int32_t value = 0;
};

struct BindingFullFieldHelp {
  std::string name;
  std::string description;
  uint32_t offset = 0;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullTypeHelp {
  std::string name;
  std::string nameSpace;
  uint32_t size = 0;
  std::string description;
  std::vector<std::string> tags;
  std::vector<BindingFullFieldHelp> fields;
  std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
  std::string name;
  std::string nameSpace;
  BindingFullTypeIdentifier type;
  std::string description;
  std::vector<std::string> tags;
};

struct BindingFullApiHelp {
  std::vector<BindingFullFunctionHelp> functions;
  std::vector<BindingFullTypeHelp> types;
  std::vector<BindingFullEventHelp> events;
};

enum class BindingAsyncState : int32_t {
  None = 0,
  Running = 1,
  Cancelling = 2,
  Cancelled = 3,
  Succeeded = 4,
  Failed = 5,
};

struct BindingGenericEvent {
  BindingProperty data;
};

struct BindingCallbackEvent {
  uint32_t id = 0;
  std::vector<BindingProperty> parameters;  // declared to the API as one "object"
};

// `data` lies 8-byte aligned after the token on every target (offset 8; 24 bytes in all on a
// 32-bit one), although i386 aligns the 64-bit payload inside a value to 4 only.
struct BindingGenericAsyncEvent {
  uint32_t asyncToken = 0;
  alignas(8) BindingProperty data;
};

struct BindingAsyncFailureEvent {
  uint32_t asyncToken = 0;
  std::string error;
};

struct BindingAsyncCancelEvent {
  uint32_t asyncToken = 0;
};

// Fixed identities of the built-in types.
template <>
struct FixedTypeHash<BindingHelpFormat> {
  static constexpr uint32_t kHash = 0x2698AA94u;
};
template <>
struct FixedTypeHash<BindingFullTypeIdentifier> {
  static constexpr uint32_t kHash = 0x88B6D4CAu;
};
template <>
struct FixedTypeHash<BindingFullArgumentHelp> {
  static constexpr uint32_t kHash = 0x65FF9F6Fu;
};
template <>
struct FixedTypeHash<BindingFullFunctionHelp> {
  static constexpr uint32_t kHash = 0x835D167Au;
};
template <>
struct FixedTypeHash<BindingFullEnumValueHelp> {
  static constexpr uint32_t kHash = 0xD0706E0Cu;
};
template <>
struct FixedTypeHash<BindingFullFieldHelp> {
  static constexpr uint32_t kHash = 0x5E9DFDF6u;
};
template <>
struct FixedTypeHash<BindingFullTypeHelp> {
  static constexpr uint32_t kHash = 0x7534AFEAu;
};
template <>
struct FixedTypeHash<BindingFullEventHelp> {
  static constexpr uint32_t kHash = 0x6178093Au;
};
template <>
struct FixedTypeHash<BindingFullApiHelp> {
  static constexpr uint32_t kHash = 0x7DFB1102u;
};
template <>
struct FixedTypeHash<std::vector<BindingFullArgumentHelp>> {
  static constexpr uint32_t kHash = 0xAE376D12u;
};
template <>
struct FixedTypeHash<std::vector<BindingFullFieldHelp>> {
  static constexpr uint32_t kHash = 0x91BDEEC6u;
};
template <>
struct FixedTypeHash<std::vector<BindingFullEnumValueHelp>> {
  static constexpr uint32_t kHash = 0xF613EC9Eu;
};
template <>
struct FixedTypeHash<std::vector<BindingFullFunctionHelp>> {
  static constexpr uint32_t kHash = 0x334BF406u;
};
template <>
struct FixedTypeHash<std::vector<BindingFullTypeHelp>> {
  static constexpr uint32_t kHash = 0xE98B65D6u;
};
template <>
struct FixedTypeHash<std::vector<BindingFullEventHelp>> {
  static constexpr uint32_t kHash = 0xC8AF01A6u;
};
template <>
struct FixedTypeHash<BindingAsyncState> {
  static constexpr uint32_t kHash = 0x4B896D21u;
};
template <>
struct FixedTypeHash<BindingGenericEvent> {
  static constexpr uint32_t kHash = 0x2A500213u;
};
template <>
struct FixedTypeHash<BindingCallbackEvent> {
  static constexpr uint32_t kHash = 0x4B3E42BBu;
};
template <>
struct FixedTypeHash<BindingGenericAsyncEvent> {
  static constexpr uint32_t kHash = 0x78B7AC8Fu;
};
template <>
struct FixedTypeHash<BindingAsyncFailureEvent> {
  static constexpr uint32_t kHash = 0x2DB89656u;
};
template <>
struct FixedTypeHash<BindingAsyncCancelEvent> {
  static constexpr uint32_t kHash = 0x96EAAF44u;
};

void DescribeBinding(TypeDescriber<BindingHelpFormat>& type);
void DescribeBinding(TypeDescriber<BindingFullTypeIdentifier>& type);
void DescribeBinding(TypeDescriber<BindingFullArgumentHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullFunctionHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullEnumValueHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullFieldHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullTypeHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullEventHelp>& type);
void DescribeBinding(TypeDescriber<BindingFullApiHelp>& type);
void DescribeBinding(TypeDescriber<BindingAsyncState>& type);
void DescribeBinding(TypeDescriber<BindingGenericEvent>& type);
void DescribeBinding(TypeDescriber<BindingCallbackEvent>& type);
void DescribeBinding(TypeDescriber<BindingGenericAsyncEvent>& type);
void DescribeBinding(TypeDescriber<BindingAsyncFailureEvent>& type);
void DescribeBinding(TypeDescriber<BindingAsyncCancelEvent>& type);

// Registers the help types, then the asynchronous-operation types, in that order.
void RegisterAsyncTypes(BindingRegistry& registry);
// RegisterAsyncTypes, then the "OnCallback" event (created once, tagged "$builtin" each time).
EventRecord* RegisterBuiltinEvents(BindingRegistry& registry);

}  // namespace Oxle::Client::Binding
