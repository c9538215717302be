// The C heap's two services beyond malloc, realloc and free, for the counted allocation hooks:
// the usable size of a block and a copy of a text in a new block (malloc_usable_size and
// strdup on Linux, _msize and _strdup on Windows). Thread-safe as the C heap is; no state.
#pragma once

#include <cstddef>

namespace Oxle::Client::Platform {

// The usable size of a block from malloc or realloc: at least what was asked for; 0 for null.
[[nodiscard]] size_t HeapBlockSize(void* block) noexcept;

// A copy of the NUL-terminated `text` in a block from malloc (free it with free), or null when
// the heap has no room.
[[nodiscard]] char* DuplicateHeapText(const char* text) noexcept;

}  // namespace Oxle::Client::Platform
