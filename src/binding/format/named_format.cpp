#include "binding/format/named_format.h"

#include <array>
#include <bit>
#include <limits>
#include <vector>

#include "binding/format/placeholder_parser.h"

namespace Oxle::Client::Binding {

NamedArgument NamedArgument::Bool(bool value) {
  return NamedArgument{NamedArgumentKind::Bool, {}, value ? 1u : 0u};
}

NamedArgument NamedArgument::Signed(int64_t value) {
  return NamedArgument{NamedArgumentKind::Signed, {}, static_cast<uint64_t>(value)};
}

NamedArgument NamedArgument::Unsigned(uint64_t value) {
  return NamedArgument{NamedArgumentKind::Unsigned, {}, value};
}

NamedArgument NamedArgument::Double(double value) {
  return NamedArgument{NamedArgumentKind::Double, {}, std::bit_cast<uint64_t>(value)};
}

NamedArgument NamedArgument::String(std::string_view value) {
  return NamedArgument{NamedArgumentKind::String, std::string(value), 0};
}

double NamedArgument::AsDouble() const noexcept {
  return std::bit_cast<double>(number);
}

bool NamedArgument::IsBlank() const noexcept {
  switch (kind) {
    case NamedArgumentKind::Bool:
    case NamedArgumentKind::Signed:
    case NamedArgumentKind::Unsigned:
      return number == 0;
    case NamedArgumentKind::Double:
      return AsDouble() == 0.0;
    case NamedArgumentKind::String:
      return text.empty();
  }
  return true;
}

std::string NamedArgument::ToText() const {
  switch (kind) {
    case NamedArgumentKind::Bool:
      return AsBool() ? "true" : "false";
    case NamedArgumentKind::Signed:
      return std::to_string(AsSigned());
    case NamedArgumentKind::Unsigned:
      return std::to_string(AsUnsigned());
    case NamedArgumentKind::Double:
      return std::to_string(AsDouble());  // "%f"
    case NamedArgumentKind::String:
      return text;
  }
  return {};
}

size_t FormatArgument(FormatContext& context, const NamedArgument& argument) {
  switch (argument.kind) {
    case NamedArgumentKind::Bool:
      return FormatValue(context, static_cast<uint8_t>(argument.AsBool() ? 1 : 0));
    case NamedArgumentKind::Signed:
      return FormatValue(context, argument.AsSigned());
    case NamedArgumentKind::Unsigned:
      return FormatValue(context, argument.AsUnsigned());
    case NamedArgumentKind::Double:
      return FormatValue(context, argument.AsDouble());
    case NamedArgumentKind::String:
      return FormatValue(context, std::string_view(argument.text));
  }
  return FormatValue(context, std::string_view());
}

int32_t FormatArgumentAsInt32(const NamedArgument& argument) {
  switch (argument.kind) {
    case NamedArgumentKind::Bool:
      return argument.AsBool() ? 1 : 0;
    case NamedArgumentKind::Signed:
      return FormatDetail::ClampToInt32(argument.AsSigned());
    case NamedArgumentKind::Unsigned:
      return FormatDetail::ClampToInt32(argument.AsUnsigned());
    case NamedArgumentKind::Double: {
      using Limits = std::numeric_limits<int32_t>;
      const double value = argument.AsDouble();
      if (value != value) return 0;  // NaN
      if (value <= Limits::min()) return Limits::min();
      if (value >= Limits::max()) return Limits::max();
      return static_cast<int32_t>(value);
    }
    case NamedArgumentKind::String:
      break;
  }
  return 0;
}

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The conversion a bare placeholder of this argument uses.
char DefaultLetter(const NamedArgument& argument) {
  switch (argument.kind) {
    case NamedArgumentKind::Signed:
      return 'd';
    case NamedArgumentKind::Double:
      return 'g';
    case NamedArgumentKind::Bool:
    case NamedArgumentKind::Unsigned:
      return 'u';
    case NamedArgumentKind::String:
      break;
  }
  return 's';
}

std::string_view KindSuffix(NamedArgumentKind kind) {
  switch (kind) {
    case NamedArgumentKind::Bool:
      return "_bool";
    case NamedArgumentKind::Signed:
    case NamedArgumentKind::Unsigned:
      return "_int";
    case NamedArgumentKind::Double:
      return "_float";
    case NamedArgumentKind::String:
      break;
  }
  return "_str";
}

bool HasKindMarker(std::string_view name) {
  static constexpr std::array<std::string_view, 7> kMarkers = {"_bool", "_int",  "_long", "_float",
                                                               "_str",  "_time", "_ip"};
  for (const std::string_view marker : kMarkers) {
    if (name.find(marker) != std::string_view::npos) return true;
  }
  return false;
}

class Translator {
 public:
  Translator(std::span<NamedArgument> arguments, std::string& out, BindingProperty& parameters)
      : arguments_(arguments), out_(out), parameters_(parameters), start_(out.size()) {}

  void Run(std::string_view format) {
    size_t at = 0;
    while (at < format.size()) {
      const char c = format[at];
      const char next = at + 1 < format.size() ? format[at + 1] : '\0';
      if (c == '%') {
        at = Percent(format, at);
      } else if (c == '{' && next == '{') {
        Append("{");
        at += 2;
      } else if (c == '{') {
        NamedField field;
        at = ReadField(format, at + 1, field);
        if (at == std::string_view::npos) return;
        Emit(field);
      } else if (c == '}') {
        Append("}");
        at += next == '}' ? 2 : 1;
      } else {
        Append(std::string_view(&format[at], 1));
        ++at;
      }
    }
  }

 private:
  size_t Percent(std::string_view format, size_t at) {
    if (at + 1 < format.size() && format[at + 1] == '%') {
      Append("%%");
      return at + 2;
    }
    FormatDetail::ParsedPlaceholder parsed;
    if (!FormatDetail::ParsePlaceholder(format, at, arguments_.size(), parsed)) {
      // The positional formatter stops at the same text.
      Append("%");
      return at + 1;
    }
    NamedField field;
    field.fromPercent = true;
    if (!parsed.placeholder.bare) {
      field.hasAffix = true;
      field.affix = format.substr(parsed.bodyBegin, parsed.end - parsed.bodyBegin);
    }
    Emit(field);
    return parsed.end;
  }

  // Reads a field from just after its "{"; returns the index after its "}", or npos when the
  // format ends first.
  static size_t ReadField(std::string_view format, size_t at, NamedField& field) {
    if (at < format.size() && format[at] == '#') {
      field.typed = true;
      ++at;
    }
    std::string* target = &field.name;
    while (at < format.size()) {
      const char c = format[at++];
      if (c == '\\') {
        if (at < format.size()) target->push_back(format[at++]);
      } else if (c == '}') {
        return at;
      } else if (c == '?') {
        field.hasAlternate = true;
        target = &field.alternate;
      } else if (c == '@') {
        field.hasFilter = true;
        target = &field.filter;
      } else if (c == ':') {
        field.hasAffix = true;
        target = &field.affix;
      } else if (c == '!') {
        field.silent = true;
      } else {
        target->push_back(c);
      }
    }
    return std::string_view::npos;
  }

  void Emit(NamedField& field) {
    const size_t number = counter_++;
    if (number > arguments_.size()) {
      WritePlaceholder(number, field.affix.empty() ? "s" : field.affix, 's');
      return;
    }
    NamedArgument& argument = arguments_[number - 1];
    if (field.hasFilter && field.filter == "str") {
      argument = NamedArgument::String(argument.ToText());
    } else if (field.hasFilter && field.filter == "hex") {
      field.hasAffix = true;
      field.affix = "016llX";
    }
    if (!field.name.empty()) Record(field, argument);
    if (field.hasAlternate && argument.IsBlank()) {
      for (const char c : field.alternate)
        Append(c == '%' ? "%%" : std::string_view(&c, 1));
    } else if (field.silent) {
      while (out_.size() > start_ && IsSpace(out_.back()))
        out_.pop_back();
    } else {
      WritePlaceholder(number, field.affix, DefaultLetter(argument));
    }
  }

  void Record(const NamedField& field, const NamedArgument& argument) {
    std::string key = field.name;
    if (field.typed && !HasKindMarker(key)) key += KindSuffix(argument.kind);
    BindingProperty& slot = parameters_.Get(std::string_view(key));
    switch (argument.kind) {
      case NamedArgumentKind::Bool:
        slot.SetBool(argument.AsBool());
        return;
      case NamedArgumentKind::Signed:
        slot.SetSigned(argument.AsSigned());
        return;
      case NamedArgumentKind::Unsigned:
        slot.SetUnsigned(argument.AsUnsigned());
        return;
      case NamedArgumentKind::Double:
        slot.SetFloat(argument.AsDouble());
        return;
      case NamedArgumentKind::String:
        break;
    }
    slot.SetString(argument.ToText());
  }

  void WritePlaceholder(size_t number, std::string_view affix, char letter) {
    Append("%");
    Append(std::to_string(number));
    if (!affix.empty()) {
      Append("$");
      Append(affix);
      return;
    }
    bareEnd_ = out_.size();
    bareLetter_ = letter;
  }

  // Appends, keeping a bare "%N" that ends the output from absorbing a following digit or "$".
  void Append(std::string_view text) {
    if (!text.empty() && out_.size() == bareEnd_ &&
        (IsDigit(text.front()) || text.front() == '$')) {
      out_.push_back('$');
      out_.push_back(bareLetter_);
    }
    out_.append(text);
  }

  std::span<NamedArgument> arguments_;
  std::string& out_;
  BindingProperty& parameters_;
  size_t start_;  // trimming by a silent field stops here
  size_t counter_ = 1;
  size_t bareEnd_ = std::string::npos;  // where the last bare placeholder ended
  char bareLetter_ = 's';
};

}  // namespace

void FormatNamed(std::string_view format, std::span<NamedArgument> arguments, std::string& out,
                 BindingProperty& parameters) {
  parameters.MakeStructure();
  Translator(arguments, out, parameters).Run(format);
}

void FormatNamed(std::string_view format, NamedArgument* arguments, size_t count, std::string& out,
                 BindingProperty& parameters) {
  FormatNamed(format, std::span<NamedArgument>(arguments, arguments != nullptr ? count : 0), out,
              parameters);
}

std::string FormatToString(std::string_view format, std::span<const NamedArgument> arguments) {
  const FormatArgDescriptor* descriptor = &FormatDescriptorOf<NamedArgument>();
  const std::vector<const FormatArgDescriptor*> descriptors(arguments.size(), descriptor);
  std::vector<const void*> pointers;
  pointers.reserve(arguments.size());
  for (const NamedArgument& argument : arguments)
    pointers.push_back(&argument);
  std::array<char, kFormatBufferSize> buffer;
  const size_t written = FormatPositional(buffer.data(), buffer.size(), format, descriptors.data(),
                                          pointers.data(), arguments.size());
  return std::string(buffer.data(), written);
}

}  // namespace Oxle::Client::Binding
