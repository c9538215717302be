#include "api/routes.h"

#include "api/route_pattern.h"
#include "binding/format/positional_format.h"
#include "codec/ascii_case.h"

namespace Oxle::Client::Api {

namespace {

// Hex digit value; anything else counts as 16.
[[nodiscard]] unsigned HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

}  // namespace

std::string MakeFunctionName(std::string_view prefix, std::string_view path) {
  std::string combined;
  if (!prefix.empty()) {
    std::string rest(prefix.substr(1));
    for (char& c : rest)
      c = Codec::AsciiLower(c);
    combined = Binding::FormatToString("%1%2/", prefix.substr(0, 1), rest);
  }
  combined.append(path);

  std::string name;
  name.reserve(combined.size());
  bool capitalise = true;
  for (const char c : combined) {
    switch (c) {
      case '!':
      case '+':
      case '-':
      case '.':
      case '/':
      case '_':
        capitalise = true;
        break;
      case '{':
        name.append("By");
        capitalise = true;
        break;
      case '}':
        break;
      default:
        name.push_back(capitalise ? Codec::AsciiUpper(c) : c);
        capitalise = false;
        break;
    }
  }
  return name;
}

std::string MakeFunctionName(HttpMethod method, std::string_view path) {
  return MakeFunctionName(MethodText(method), path);
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  UrlDecodeInto(out, text);
  return out;
}

void UrlDecodeInto(std::string& out, std::string_view text) {
  // Most texts have nothing to decode: they are copied whole.
  size_t plain = 0;
  while (plain < text.size() && text[plain] != '%' && text[plain] != '+')
    ++plain;
  // Clearing and appending skips assign's handling of text that overlaps the string's own.
  out.clear();
  out.append(text.data(), plain);
  if (plain == text.size()) return;
  out.reserve(text.size());
  for (size_t i = plain; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (text.size() - i > 2) {
        const unsigned high = HexValue(text[i + 1]);
        const unsigned low = HexValue(text[i + 2]);
        out.push_back(static_cast<char>(((high << 4) & 0xFFu) | low));
        i += 2;
      }
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
}

std::string_view RouteTemplate(const RouteBinding& binding) noexcept {
  if (!binding.pathTemplate.empty() || binding.function == nullptr) return binding.pathTemplate;
  return binding.function->name;
}

void SetRoutePath(RouteBinding& binding, std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  binding.pathTemplate.assign(path);
  const std::string_view effective = RouteTemplate(binding);
  binding.pathMatcher =
      effective.find('{') == std::string_view::npos ? nullptr : PathMatcher::Compile(effective);
}

void SetRouteMethod(RouteBinding& binding, HttpMethod method) {
  binding.method = method;
  binding.methodName.clear();
}

void SetArgumentLocation(RouteBinding& binding, size_t index, ArgumentLocation location) {
  if (binding.argumentLocations.size() <= index) {
    binding.argumentLocations.resize(index + 1, ArgumentLocation::Any);
  }
  binding.argumentLocations[index] = location;
}

ArgumentLocation DeclaredLocation(const RouteBinding& binding, size_t index) noexcept {
  return index < binding.argumentLocations.size() ? binding.argumentLocations[index]
                                                  : ArgumentLocation::Any;
}

}  // namespace Oxle::Client::Api
