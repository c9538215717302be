// PageSource: the process-wide source of 4096-byte pages for the value allocator's slabs.
// Pages are cut from 64 KiB regions mapped from the operating system, 16 pages a region, and
// handed out lowest address first. A region whose 16 pages are all free again stays mapped as
// part of a reserve (kReserveRegions, 16 MiB) and goes back to the system only when the reserve
// is full, so that trees built and dropped in a loop do not map, fault in and unmap their
// regions every time: a tree of a few megabytes decoded from one document needs dozens. The
// allocator uses one object per process, created on first use and never destroyed (trees may
// outlive static destruction); tests make their own. One mutex guards every request and return.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace Oxle::Client::Platform {

class PageSource {
 public:
  static constexpr size_t kPageSize = 4096;
  static constexpr size_t kRegionSize = 65536;
  static constexpr size_t kPagesPerRegion = kRegionSize / kPageSize;
  // Fully free regions kept mapped before any is unmapped: 16 MiB, a bound on what an idle
  // process keeps after its largest trees are gone.
  static constexpr size_t kReserveRegions = 256;

  [[nodiscard]] static PageSource& Instance();

  // A page aligned to kPageSize, with unspecified content. Throws std::bad_alloc when the
  // system has no memory left and std::system_error when the mutex cannot be taken.
  [[nodiscard]] void* AcquirePage();
  // Gives back a page obtained from AcquirePage. Never allocates.
  void ReleasePage(void* page) noexcept;

  // Regions currently mapped (the reserve included), fully free regions kept mapped, and pages
  // currently handed out (diagnostics and tests).
  [[nodiscard]] size_t RegionsInUse() const;
  [[nodiscard]] size_t ReserveRegions() const;
  [[nodiscard]] size_t PagesInUse() const;

  PageSource() = default;
  // Unmaps every region; every page must have been given back.
  ~PageSource();
  PageSource(const PageSource&) = delete;
  PageSource& operator=(const PageSource&) = delete;

 private:
  // One kRegionSize region, readable and writable, aligned to at least kPageSize, from the
  // system (the platform's own file); `prefault` asks for its pages to be backed at once.
  // Throws std::bad_alloc when the system has none.
  [[nodiscard]] static char* MapRegion(bool prefault);
  // Gives a region from MapRegion back to the system.
  static void UnmapRegion(char* base) noexcept;

  struct Region {
    char* base;
    unsigned freeMask;  // bit i set: page i of the region is free
  };

  // Guards regions_, firstWithFree_, freeRegions_ and pagesInUse_.
  mutable std::mutex mutex_;
  // Every mapped region, by ascending base address.
  std::vector<Region> regions_;
  // No region before this index has a free page.
  size_t firstWithFree_ = 0;
  size_t pagesInUse_ = 0;
  // Regions of regions_ with every page free; at most kReserveRegions.
  size_t freeRegions_ = 0;
};

}  // namespace Oxle::Client::Platform
