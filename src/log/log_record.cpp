#include "log/log_record.h"

namespace Oxle::Client::Log {

const char* LevelName(int32_t level) noexcept {
  switch (level) {
    case OKAY:
      return "  OKAY";
    case WARN:
      return "  WARN";
    case ERROR:
      return " ERROR";
    case ALWAYS:
      return "ALWAYS";
    default:
      return "   ???";
  }
}

}  // namespace Oxle::Client::Log
