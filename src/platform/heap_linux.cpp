// The heap services of heap.h on Linux: glibc's malloc_usable_size and strdup.
#include "platform/heap.h"

#include <malloc.h>
#include <string.h>

namespace Oxle::Client::Platform {

size_t HeapBlockSize(void* block) noexcept {
  return block != nullptr ? malloc_usable_size(block) : 0;
}

char* DuplicateHeapText(const char* text) noexcept {
  return strdup(text);
}

}  // namespace Oxle::Client::Platform
