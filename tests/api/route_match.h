// Route matching seen from outside: what a pattern makes of a target, as one comparable text,
// and the same worked out independently of the matcher, from the template's regular expression.
#pragma once

#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "api/route_pattern.h"
#include "api/routes.h"

namespace Oxle::Client::Api::Testing {

// "no match", or the parameters as "name=value;" in name order ("" for none).
[[nodiscard]] inline std::string DescribeMatch(bool matched, const PathParameterMap& parameters) {
  if (!matched) return "no match";
  std::string text;
  for (const auto& [name, value] :
       std::map<std::string, std::string>(parameters.begin(), parameters.end())) {
    text += name + "=" + value + ";";
  }
  return text;
}

// What the pattern built from `binding` makes of `target`.
[[nodiscard]] inline std::string MatchThroughBinding(const RouteBinding& binding,
                                                     std::string_view target) {
  PathParameterMap parameters;
  const bool matched = MatchPath(BuildRoutePattern(binding), target, parameters);
  return DescribeMatch(matched, parameters);
}

// The route `pathTemplate` stands for, by definition: byte equality for a template without "{";
// otherwise the whole-target ECMAScript match of its expression, each group URL-decoded under
// the parameter of the same index (a later equal name replacing an earlier one).
[[nodiscard]] inline std::string MatchByDefinition(std::string_view pathTemplate,
                                                   const std::string& target) {
  if (pathTemplate.find('{') == std::string_view::npos) {
    return DescribeMatch(target == pathTemplate, {});
  }
  std::vector<PathParameter> names;
  const std::regex regex(TemplateToRegex(pathTemplate, names),
                         std::regex::ECMAScript | std::regex::optimize);
  std::smatch groups;
  PathParameterMap parameters;
  const bool matched = std::regex_match(target, groups, regex);
  for (size_t i = 1; matched && i < groups.size() && i <= names.size(); ++i) {
    parameters.insert_or_assign(names[i - 1].name, UrlDecode(groups[i].str()));
  }
  return DescribeMatch(matched, parameters);
}

}  // namespace Oxle::Client::Api::Testing
