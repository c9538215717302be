#include "log/log_categories.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>

namespace Oxle::Client::Log {
namespace {

constexpr uint32_t Pack(std::string_view letters) {
  return static_cast<uint32_t>(static_cast<unsigned char>(letters[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(letters[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(letters[2])) << 16;
}

// Names packed three bytes to a word so that readers never see half a name. A slot's name is
// stored before gCount is raised past it (release), so any bit below gCount reads complete.
std::atomic<uint32_t> gNames[kCategoryCapacity] = {
    Pack("DBG"), Pack("GEN"), Pack("XTR"), Pack("PRF"),
    Pack("MEM"), Pack("DSK"), Pack("NET"), Pack("TST"),
};
std::atomic<uint32_t> gCount{kPredefinedCategories};

// Guards the look-up-then-claim of RegisterCategory, so two threads registering the same new
// name get the same bit. Readers do not take it.
std::mutex gRegistrationMutex;

}  // namespace

uint64_t RegisterCategory(std::string_view letters) noexcept {
  if (letters.size() != 3) return 0;
  const uint32_t packed = Pack(letters);
  try {
    std::lock_guard<std::mutex> lock(gRegistrationMutex);
    const uint32_t count = gCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < count; ++i) {
      if (gNames[i].load(std::memory_order_relaxed) == packed) return uint64_t{1} << i;
    }
    if (count == kCategoryCapacity) return 0;
    gNames[count].store(packed, std::memory_order_relaxed);
    gCount.fetch_add(1, std::memory_order_release);
    return uint64_t{1} << count;
  } catch (...) {
    return 0;  // the mutex could not be taken
  }
}

uint32_t RegisteredCategoryCount() noexcept {
  return gCount.load(std::memory_order_acquire);
}

size_t CategoriesToText(uint64_t categories, char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  const size_t limit = size - 1;
  const uint32_t count = gCount.load(std::memory_order_acquire);
  size_t length = 0;
  auto put = [&](char c) {
    if (length < limit && c != '\0') buffer[length++] = c;
  };
  bool first = true;
  while (categories != 0 && length < limit) {
    const auto bit = static_cast<uint32_t>(std::countr_zero(categories));
    categories &= categories - 1;
    if (!first) put(';');
    first = false;
    if (bit < count) {
      const uint32_t packed = gNames[bit].load(std::memory_order_relaxed);
      for (int shift = 0; shift < 24; shift += 8)
        put(static_cast<char>((packed >> shift) & 0xFF));
    } else {
      for (char c : std::string_view("???"))
        put(c);
    }
  }
  buffer[length] = '\0';
  return length;
}

}  // namespace Oxle::Client::Log
