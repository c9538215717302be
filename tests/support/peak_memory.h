// PeakResidentBytes(): the most memory the process has held resident so far (Linux: the maximum
// resident set; Windows: the peak working set), for tests that bound what a piece of work costs
// by running it in a fresh child.
#pragma once

#include <cstddef>

namespace Oxle::Client {

[[nodiscard]] size_t PeakResidentBytes() noexcept;

}  // namespace Oxle::Client
