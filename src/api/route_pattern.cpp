#include "api/route_pattern.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Oxle::Client::Api {

namespace {

constexpr std::string_view kRegexSpecials = "^$.*+?()[]|\\";

// Walks a template once and reports literal characters and closed groups to `sink`; this is
// the single reading of the template syntax, shared by the regex text and the matcher.
template <typename Sink>
void WalkTemplate(std::string_view pathTemplate, std::vector<PathParameter>& parameters,
                  Sink& sink) {
  PathParameterKind state = PathParameterKind::None;
  std::string pending;
  for (const char c : pathTemplate) {
    if (c == '{') {
      // Inside braces this restarts a plain parameter but keeps the name read so far.
      state = PathParameterKind::Segment;
    } else if (c == '}') {
      if (state != PathParameterKind::None) sink.Group(state);
      parameters.push_back(PathParameter{state, std::move(pending)});
      pending.clear();
      state = PathParameterKind::None;
    } else if (state == PathParameterKind::None) {
      sink.Literal(c);
    } else if (state == PathParameterKind::Segment && pending.empty() && c == '+') {
      state = PathParameterKind::Reserved;
    } else if (state == PathParameterKind::Segment && pending.empty() && c == '#') {
      state = PathParameterKind::Fragment;
    } else {
      pending.push_back(c);
    }
  }
}

struct RegexSink {
  std::string& out;

  void Literal(char c) {
    if (kRegexSpecials.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  void Group(PathParameterKind kind) {
    switch (kind) {
      case PathParameterKind::Segment:
        out.append("([^/]*)");
        break;
      case PathParameterKind::Reserved:
        out.append("(.*)");
        break;
      case PathParameterKind::Fragment:
        out.append("#(.*)");
        break;
      case PathParameterKind::None:
        break;
    }
  }
};

}  // namespace

std::string TemplateToRegex(std::string_view pathTemplate, std::vector<PathParameter>& parameters) {
  std::string out;
  out.reserve(pathTemplate.size());
  RegexSink sink{out};
  WalkTemplate(pathTemplate, parameters, sink);
  return out;
}

// Builds the regex text and the program in one walk, so the two cannot disagree.
struct PathMatcher::Builder {
  PathMatcher& matcher;
  RegexSink regex{matcher.expression_};

  void Literal(char c) {
    regex.Literal(c);
    AppendLiteral(c);
  }
  void Group(PathParameterKind kind) {
    regex.Group(kind);
    if (kind == PathParameterKind::None) return;
    if (kind == PathParameterKind::Fragment) AppendLiteral('#');
    const GroupKind groupKind =
        kind == PathParameterKind::Segment ? GroupKind::Segment : GroupKind::Line;
    matcher.groups_.push_back(PathMatcher::Group{groupKind, {}});
  }
  void AppendLiteral(char c) {
    (matcher.groups_.empty() ? matcher.head_ : matcher.groups_.back().literal).push_back(c);
  }
};

std::shared_ptr<const PathMatcher> PathMatcher::Compile(std::string_view pathTemplate) {
  std::shared_ptr<PathMatcher> matcher(new PathMatcher());
  matcher->template_.assign(pathTemplate);
  matcher->expression_.reserve(pathTemplate.size());
  Builder builder{*matcher};
  WalkTemplate(pathTemplate, matcher->parameters_, builder);
  // Fill a map exactly as MatchPath does (only the names matter to its order) and note where
  // each stored value comes from.
  const std::vector<PathParameter>& names = matcher->parameters_;
  const size_t stored = std::min(matcher->groups_.size(), names.size());
  PathParameterMap map = MakePathParameterMap();
  for (size_t i = 0; i < stored; ++i)
    map.insert_or_assign(names[i].name, std::string());
  matcher->storedCaptures_.reserve(map.size());
  for (const auto& entry : map) {
    size_t last = stored;
    do {
      --last;
    } while (names[last].name != entry.first);
    matcher->storedCaptures_.push_back(static_cast<uint32_t>(last));
  }
  return matcher;
}

bool PathMatcher::Stops(GroupKind kind, char c) noexcept {
  return kind == GroupKind::Segment ? c == '/' : (c == '\n' || c == '\r');
}

size_t PathMatcher::FirstStop(GroupKind kind, std::string_view target, size_t from,
                              size_t to) noexcept {
  if (from >= to) return to;
  if (kind == GroupKind::Segment) {
    const void* found = std::memchr(target.data() + from, '/', to - from);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - target.data())
                            : to;
  }
  while (from < to && !Stops(kind, target[from]))
    ++from;
  return from;
}

size_t PathMatcher::LastStop(GroupKind kind, std::string_view target, size_t from,
                             size_t to) noexcept {
  if (from >= to) return to;
  if (kind == GroupKind::Segment) {
#ifdef __GLIBC__
    // memrchr: the GNU C library's backward memchr, declared by <cstring> there.
    const void* found = ::memrchr(target.data() + from, '/', to - from);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - target.data())
                            : to;
#else
    const size_t found = target.substr(from, to - from).rfind('/');
    return found != std::string_view::npos ? from + found : to;
#endif
  }
  for (size_t i = to; i > from; --i) {
    if (Stops(kind, target[i - 1])) return i - 1;
  }
  return to;
}

// Depth-first search in the regex engine's order: group k tries its end positions from the
// longest down, and the first complete match wins. Whether the rest of the pattern can match
// from a position does not depend on how that position was reached (there are no
// back-references), so once group k has tried an end position and failed, no later attempt
// needs to try it again. Within one run of characters the group may span, the tried ends form
// a suffix of the run, and the search reaches group k at ever smaller start positions; so one
// floor per group (the lowest end tried) suffices, and every (group, end) pair is tried at most
// once. The last group's end is fixed by the trailing literal and costs O(1) per attempt.
bool PathMatcher::Match(std::string_view target, std::vector<std::string_view>& captures) const {
  captures.clear();
  if (!target.starts_with(head_)) return false;
  if (groups_.empty()) return target.size() == head_.size();

  const size_t size = target.size();
  const Group& last = groups_.back();
  if (!target.ends_with(last.literal) || size - last.literal.size() < head_.size()) return false;
  const size_t lastEnd = size - last.literal.size();
  // The last group can start no earlier than just past the last stop character before its end.
  const size_t lastStop = LastStop(last.kind, target, head_.size(), lastEnd);
  const size_t lastReach = lastStop != lastEnd ? lastStop + 1 : head_.size();
  const auto lastFits = [&](size_t start) { return start >= lastReach && start <= lastEnd; };

  const size_t inner = groups_.size() - 1;  // groups searched by backtracking
  if (inner == 0) {
    if (!lastFits(head_.size())) return false;
    captures.push_back(target.substr(head_.size(), lastEnd - head_.size()));
    return true;
  }

  struct Frame {
    size_t begin = 0;  // where the group starts
    size_t end = 0;    // ends still to try are [begin, end), tried from end - 1 down
  };
  // Routes have a few groups: their search state lives on the stack, longer templates take it
  // from the heap.
  constexpr size_t kInlineGroups = 8;
  Frame inlineFrames[kInlineGroups];
  size_t inlineFloors[kInlineGroups];
  std::vector<Frame> heapFrames;
  std::vector<size_t> heapFloors;
  Frame* frames = inlineFrames;
  // Per group, the lowest start tried: every end from there to its run's stop has failed.
  size_t* floors = inlineFloors;
  if (inner > kInlineGroups) {
    heapFrames.resize(inner);
    heapFloors.resize(inner);
    frames = heapFrames.data();
    floors = heapFloors.data();
  }
  std::fill_n(floors, inner, size + 1);
  const auto enter = [&](size_t k, size_t begin) {
    Frame& frame = frames[k];
    frame.begin = begin;
    frame.end = begin;
    if (begin < floors[k]) {
      // The longest end is the first stop character (or the target's end), kept below the
      // floor; the scanned ranges of one group never overlap, so scanning is O(target).
      const size_t stop = FirstStop(groups_[k].kind, target, begin, std::min(size, floors[k] - 1));
      frame.end = stop + 1;
      floors[k] = begin;
    }
  };

  size_t k = 0;
  enter(0, head_.size());
  while (true) {
    Frame& frame = frames[k];
    if (frame.end == frame.begin) {
      if (k == 0) return false;
      --k;
      continue;
    }
    const size_t end = --frame.end;
    const std::string& literal = groups_[k].literal;
    if (!target.substr(end).starts_with(literal)) continue;
    const size_t next = end + literal.size();
    if (k + 1 < inner) {
      enter(++k, next);
      continue;
    }
    if (!lastFits(next)) continue;
    captures.reserve(groups_.size());
    for (size_t g = 0; g < inner; ++g) {
      captures.push_back(target.substr(frames[g].begin, frames[g].end - frames[g].begin));
    }
    captures.push_back(target.substr(next, lastEnd - next));
    return true;
  }
}

PathParameterMap MakePathParameterMap() {
  // The default map already has a maximum load factor of 1.0; asking for 8 buckets up front
  // would cost an allocation (and a prime search) per map, and most routes have no parameter.
  return PathParameterMap();
}

const std::vector<PathParameter>& RoutePattern::Parameters() const noexcept {
  static const std::vector<PathParameter> kNone;
  return matcher ? matcher->Parameters() : kNone;
}

RoutePattern BuildRoutePattern(const RouteBinding& binding) {
  RoutePattern pattern;
  pattern.function = binding.function;
  pattern.binding = &binding;
  const std::string_view pathTemplate = RouteTemplate(binding);
  if (pathTemplate.find('{') == std::string_view::npos) {
    pattern.literalPath.assign(pathTemplate);
  } else if (binding.pathMatcher && binding.pathMatcher->Template() == pathTemplate) {
    pattern.matcher = binding.pathMatcher;
  } else {
    pattern.matcher = PathMatcher::Compile(pathTemplate);
  }
  return pattern;
}

bool MatchPath(const RoutePattern& pattern, std::string_view target, PathParameterMap& parameters) {
  if (!pattern.matcher) return target == pattern.literalPath;
  std::vector<std::string_view> captures;
  if (!pattern.matcher->Match(target, captures)) return false;
  const std::vector<PathParameter>& names = pattern.matcher->Parameters();
  for (size_t i = 0; i < captures.size() && i < names.size(); ++i) {
    parameters.insert_or_assign(names[i].name, UrlDecode(captures[i]));
  }
  return true;
}

namespace {

[[nodiscard]] bool MethodAccepted(const RouteBinding& binding, const RouteMatch& match) {
  if (binding.method == HttpMethod::Any) return true;
  if (binding.method != match.method) return false;
  return binding.method != HttpMethod::Other || binding.methodName == match.methodName;
}

}  // namespace

bool MatchRoutes(RouteMatch& match, std::span<const RoutePattern> patterns, bool ignoreMethod) {
  match.function = nullptr;
  match.binding = nullptr;
  match.pathParameters = MakePathParameterMap();
  bool found = false;
  size_t bestWeight = 0;
  for (const RoutePattern& pattern : patterns) {
    if (!ignoreMethod && pattern.binding != nullptr && !MethodAccepted(*pattern.binding, match)) {
      continue;
    }
    PathParameterMap parameters = MakePathParameterMap();
    if (!MatchPath(pattern, match.target, parameters)) continue;
    size_t weight = 0;
    for (const auto& entry : parameters)
      weight += entry.second.size();
    if (found && weight >= bestWeight) continue;
    found = true;
    bestWeight = weight;
    match.function = pattern.function;
    match.binding = pattern.binding;
    match.pathParameters = std::move(parameters);
    if (match.pathParameters.empty()) break;
  }
  return found;
}

}  // namespace Oxle::Client::Api
