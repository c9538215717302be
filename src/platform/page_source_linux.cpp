// PageSource's regions on Linux: anonymous private mappings.
#include "platform/page_source.h"

#include <sys/mman.h>

#include <new>

namespace Oxle::Client::Platform {

char* PageSource::MapRegion(bool prefault) {
  // Faulting a large tree's pages in with the mapping, at once, saves one fault per page later.
  const int populate = prefault ? MAP_POPULATE : 0;
  void* mapped = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(mapped);
}

void PageSource::UnmapRegion(char* base) noexcept {
  munmap(base, kRegionSize);
}

}  // namespace Oxle::Client::Platform
