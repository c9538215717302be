#include "plugin/request_error.h"

#include <vector>

namespace Oxle::Client::Plugin {

RequestError RequestError::FromTemplate(uint32_t status, std::string_view format,
                                        std::initializer_list<std::string_view> arguments) {
  std::vector<Binding::NamedArgument> named;
  named.reserve(arguments.size());
  for (const std::string_view argument : arguments)
    named.push_back(Binding::NamedArgument::String(argument));
  std::string translated;
  Binding::BindingProperty recorded;
  Binding::FormatNamed(format, std::span<Binding::NamedArgument>(named), translated, recorded);

  RequestError error;
  error.status = status;
  error.message = Binding::FormatToString(translated, named);
  for (const auto member : recorded.Members())
    error.parameters.emplace(std::string(member.key), member.value);
  return error;
}

}  // namespace Oxle::Client::Plugin
