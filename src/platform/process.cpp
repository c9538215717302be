// The parts of process.h that read no operating-system state, shared by both platforms.
#include "platform/process.h"

namespace Oxle::Client::Platform {

bool StatusShowsTracer(std::string_view statusText) noexcept {
  constexpr std::string_view kKey = "TracerPid:";
  size_t at = 0;
  while (at < statusText.size()) {
    size_t end = statusText.find('\n', at);
    if (end == std::string_view::npos) end = statusText.size();
    std::string_view line = statusText.substr(at, end - at);
    if (line.starts_with(kKey)) {
      line.remove_prefix(kKey.size());
      for (char c : line) {
        if (c >= '1' && c <= '9') return true;
        if (c != ' ' && c != '\t' && c != '0') return false;
      }
      return false;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace Oxle::Client::Platform
