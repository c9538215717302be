// Log categories: bit i of a 64-bit mask is category i, named by three characters. Bits 0-7
// are predefined ("DBG", "GEN", "XTR", "PRF", "MEM", "DSK", "NET", "TST"); further names are
// registered at run time and take the next free bit. A bit, once handed out, keeps its name for
// the life of the process. Every function is safe from any thread and never allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Oxle::Client::Log {

inline constexpr uint32_t kCategoryCapacity = 64;
inline constexpr uint32_t kPredefinedCategories = 8;

// The mask bit of the category named `letters` (exactly three characters), registering the
// name if it is new. Returns 0 (uncategorised) for a name of any other length or when all 64
// bits are taken.
[[nodiscard]] uint64_t RegisterCategory(std::string_view letters) noexcept;

// Number of bits named so far (8 before any registration); the next new name takes this bit.
[[nodiscard]] uint32_t RegisteredCategoryCount() noexcept;

// Writes the names of the set bits, lowest first, separated by ";" ("DBG;GEN"), an unnamed
// bit as "???". Returns the characters written (truncated to size - 1; always NUL-terminated
// when size > 0). Category 0 gives an empty text.
[[nodiscard]] size_t CategoriesToText(uint64_t categories, char* buffer, size_t size) noexcept;

}  // namespace Oxle::Client::Log
