// PageSource's books, the same on both platforms; page_source_linux.cpp and page_source_win.cpp
// map and unmap its regions.
#include "platform/page_source.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

namespace Oxle::Client::Platform {
namespace {

constexpr unsigned kAllPagesFree = (1u << PageSource::kPagesPerRegion) - 1u;

}  // namespace

PageSource& PageSource::Instance() {
  // Deliberately never destroyed: values in static storage may release pages during exit.
  static PageSource* const instance = new PageSource();
  return *instance;
}

PageSource::~PageSource() {
  for (const Region& region : regions_)
    UnmapRegion(region.base);
}

void* PageSource::AcquirePage() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (firstWithFree_ < regions_.size() && regions_[firstWithFree_].freeMask == 0) {
    ++firstWithFree_;
  }
  if (firstWithFree_ == regions_.size()) {
    // Make room first so that a failed insertion cannot leak the mapping.
    regions_.reserve(regions_.size() + 1);
    // A process that already fills a region is building something large.
    char* base = MapRegion(!regions_.empty());
    auto at = std::lower_bound(regions_.begin(), regions_.end(), base,
                               [](const Region& r, char* b) { return r.base < b; });
    firstWithFree_ = static_cast<size_t>(at - regions_.begin());
    regions_.insert(at, Region{base, kAllPagesFree});
    ++freeRegions_;
  }
  Region& region = regions_[firstWithFree_];
  if (region.freeMask == kAllPagesFree) --freeRegions_;
  const auto index = static_cast<unsigned>(std::countr_zero(region.freeMask));
  region.freeMask &= ~(1u << index);
  ++pagesInUse_;
  return region.base + index * kPageSize;
}

void PageSource::ReleasePage(void* page) noexcept {
  if (page == nullptr) return;
  char* address = static_cast<char*>(page);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                             [](char* a, const Region& r) { return a < r.base; });
  assert(it != regions_.begin());
  --it;
  assert(address - it->base < static_cast<std::ptrdiff_t>(kRegionSize));
  const auto index = static_cast<unsigned>((address - it->base) / kPageSize);
  assert((it->freeMask & (1u << index)) == 0);
  it->freeMask |= 1u << index;
  --pagesInUse_;
  const auto position = static_cast<size_t>(it - regions_.begin());
  if (it->freeMask == kAllPagesFree) {
    if (freeRegions_ < kReserveRegions) {
      ++freeRegions_;
    } else {
      UnmapRegion(it->base);
      regions_.erase(it);
    }
  }
  firstWithFree_ = std::min(firstWithFree_, position);
}

size_t PageSource::RegionsInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regions_.size();
}

size_t PageSource::ReserveRegions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeRegions_;
}

size_t PageSource::PagesInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pagesInUse_;
}

}  // namespace Oxle::Client::Platform
