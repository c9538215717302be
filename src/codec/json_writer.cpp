#include "codec/json.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/types/binding_registry.h"
#include "binding/value/base64.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client::Codec {

using Binding::BindingProperty;

namespace {

// Writes each visited value with a RapidJSON Writer or PrettyWriter.
template <typename Writer>
class JsonWriterVisitor final : public Binding::ValueVisitor {
 public:
  JsonWriterVisitor(Writer& writer, const Binding::BindingRegistry* registry) noexcept
      : writer_(writer), registry_(registry) {}

  void OnEmpty() override { writer_.Null(); }
  void OnBool(bool value) override { writer_.Bool(value); }
  void OnSigned(int64_t value) override { writer_.Int64(value); }
  void OnUnsigned(uint64_t value) override { writer_.Uint64(value); }
  void OnFloat(double value) override {
    // The writer would emit nothing at all for these, leaving text that is not JSON.
    if (std::isfinite(value)) {
      writer_.Double(value);
    } else {
      writer_.Null();
    }
  }
  void OnString(std::string_view text) override { WriteString(text); }
  void OnBlob(const Binding::Blob& bytes) override { WriteString(Binding::Base64Encode(bytes)); }
  void OnEnum(const Binding::EnumValue& value) override {
    const char* name = nullptr;
    if (registry_ != nullptr && value.type != nullptr) {
      name = registry_->EnumName(*value.type, value.value);
    }
    if (name != nullptr) {
      WriteString(name);
    } else {
      writer_.Int64(value.value);
    }
  }
  void BeginCollection(size_t) override { writer_.StartArray(); }
  void BeginElement(size_t) override {}
  void EndElement(size_t) override {}
  void EndCollection() override { writer_.EndArray(); }
  void BeginStructure(size_t) override { writer_.StartObject(); }
  void BeginMember(std::string_view key) override {
    writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
  }
  void EndMember(std::string_view) override {}
  void EndStructure() override { writer_.EndObject(); }

 private:
  void WriteString(std::string_view text) {
    writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }

  Writer& writer_;
  const Binding::BindingRegistry* registry_;
};

// The most decimal places a double is written with (all that a round trip can need).
constexpr int kMaxDecimalPlaces = 324;
constexpr unsigned kIndentCount = 4;

}  // namespace

std::string WriteJson(const BindingProperty& value, const Binding::BindingRegistry* registry,
                      const char* lineSeparator) {
  if (value.Kind() == Binding::ValueKind::Empty) return std::string();
  rapidjson::StringBuffer buffer;
  const bool compact = lineSeparator == nullptr || *lineSeparator == '\0';
  if (compact) {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.SetMaxDecimalPlaces(kMaxDecimalPlaces);
    JsonWriterVisitor visitor(writer, registry);
    value.Accept(visitor);
    return std::string(buffer.GetString(), buffer.GetSize());
  }
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', kIndentCount);
  writer.SetMaxDecimalPlaces(kMaxDecimalPlaces);
  JsonWriterVisitor visitor(writer, registry);
  value.Accept(visitor);

  const std::string_view text(buffer.GetString(), buffer.GetSize());
  const std::string_view separator(lineSeparator);
  if (separator == "\n") return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 8 * separator.size());
  for (const char c : text) {
    if (c == '\n') {
      out.append(separator);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace Oxle::Client::Codec
