// PageSource's regions on Windows: VirtualAlloc reserves and commits each 64 KiB region in one
// call (the system's allocation granularity, so regions are 64 KiB aligned), VirtualFree
// releases it whole.
#include "platform/page_source.h"

#include <windows.h>

#include <new>

namespace Oxle::Client::Platform {

char* PageSource::MapRegion(bool /*prefault*/) {
  // Committed pages are backed on first touch; Windows offers no cheaper way to back them at
  // once, so `prefault` changes nothing here.
  void* mapped = VirtualAlloc(nullptr, kRegionSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (mapped == nullptr) throw std::bad_alloc();
  return static_cast<char*>(mapped);
}

void PageSource::UnmapRegion(char* base) noexcept {
  VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace Oxle::Client::Platform
