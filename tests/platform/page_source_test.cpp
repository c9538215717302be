#include "platform/page_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace Oxle::Client::Platform {
namespace {

// Regions in use, regions in the reserve and pages in use.
std::tuple<size_t, size_t, size_t> Books(const PageSource& source) {
  return {source.RegionsInUse(), source.ReserveRegions(), source.PagesInUse()};
}

TEST(PageSourceTest, HandsOutTheSixteenPagesOfARegionLowestFirst) {
  PageSource source;  // books of its own, whatever the process's source holds
  std::vector<char*> pages;
  for (size_t i = 0; i < PageSource::kPagesPerRegion; ++i) {
    pages.push_back(static_cast<char*>(source.AcquirePage()));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pages.back()) % PageSource::kPageSize, 0u);
    std::memset(pages.back(), 0xAB, PageSource::kPageSize);
  }
  EXPECT_EQ(source.RegionsInUse(), 1u);
  for (size_t i = 1; i < pages.size(); ++i)
    EXPECT_EQ(pages[i], pages[0] + i * PageSource::kPageSize);

  // A freed page is the lowest free one, so it is handed out again first.
  source.ReleasePage(pages[7]);
  EXPECT_EQ(source.AcquirePage(), pages[7]);

  char* seventeenth = static_cast<char*>(source.AcquirePage());
  EXPECT_EQ(Books(source), std::tuple(2u, 0u, 17u));

  // Only the sixteenth release of a region makes it fully free; it then stays in the reserve.
  for (size_t i = 0; i + 1 < pages.size(); ++i)
    source.ReleasePage(pages[i]);
  EXPECT_EQ(Books(source), std::tuple(2u, 0u, 2u));
  source.ReleasePage(pages.back());
  EXPECT_EQ(Books(source), std::tuple(2u, 1u, 1u));
  source.ReleasePage(seventeenth);
  EXPECT_EQ(Books(source), std::tuple(2u, 2u, 0u));

  // The reserve is used again before anything new is mapped, lowest address first.
  EXPECT_EQ(source.AcquirePage(), std::min(pages[0], seventeenth));
  EXPECT_EQ(Books(source), std::tuple(2u, 1u, 1u));
}

TEST(PageSourceTest, KeepsABoundedReserveOfFreeRegionsMapped) {
  PageSource source;  // books of its own, whatever the process's source holds
  const size_t regions = PageSource::kReserveRegions + 2;
  std::vector<void*> pages;
  for (size_t i = 0; i < regions * PageSource::kPagesPerRegion; ++i)
    pages.push_back(source.AcquirePage());
  EXPECT_EQ(Books(source), std::tuple(regions, 0u, pages.size()));
  for (void* page : pages)
    source.ReleasePage(page);
  // The two beyond the reserve are unmapped.
  EXPECT_EQ(Books(source),
            std::tuple(PageSource::kReserveRegions, PageSource::kReserveRegions, 0u));

  // Taking the whole reserve back maps nothing new; one more page does.
  pages.clear();
  for (size_t i = 0; i < PageSource::kReserveRegions * PageSource::kPagesPerRegion; ++i) {
    pages.push_back(source.AcquirePage());
    std::memset(pages.back(), 0x5A, PageSource::kPageSize);
  }
  EXPECT_EQ(Books(source), std::tuple(PageSource::kReserveRegions, 0u, pages.size()));
  pages.push_back(source.AcquirePage());
  EXPECT_EQ(source.RegionsInUse(), PageSource::kReserveRegions + 1);
  for (void* page : pages)
    source.ReleasePage(page);
  EXPECT_EQ(source.ReserveRegions(), PageSource::kReserveRegions);
}

TEST(PageSourceTest, ConcurrentRequestsAndReturnsKeepTheBooksStraight) {
  PageSource& source = PageSource::Instance();
  const size_t before = source.PagesInUse();
  auto worker = [&source](int seed) {
    std::vector<void*> held;
    for (int round = 0; round < 2000; ++round) {
      if (held.size() < 40 && (round * 31 + seed) % 3 != 0) {
        void* page = source.AcquirePage();
        *static_cast<int*>(page) = seed;
        held.push_back(page);
      } else if (!held.empty()) {
        EXPECT_EQ(*static_cast<int*>(held.back()), seed);
        source.ReleasePage(held.back());
        held.pop_back();
      }
    }
    for (void* page : held)
      source.ReleasePage(page);
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(source.PagesInUse(), before);
}

}  // namespace
}  // namespace Oxle::Client::Platform
