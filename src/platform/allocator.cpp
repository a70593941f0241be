#include "platform/allocator.hpp"

#include <malloc.h>

namespace tarlowen {

void keepLargeBuffersForReuse() {
    constexpr int kReusedBufferLimit = 32 * 1024 * 1024;
    constexpr int kKeptFreeMemory = 64 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, kReusedBufferLimit);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
}

void releaseFreedMemory() {
    malloc_trim(0);
}

}  // namespace tarlowen
