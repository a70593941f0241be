// The heap on Windows. The C runtime's heap takes large blocks (a page, a body) straight from the
// system and gives them back when they are freed, so there is nothing to tune up front; what can be
// handed back is the free memory left between smaller blocks.
#include <malloc.h>

#include "platform/allocator.hpp"

namespace tarlowen {

void keepLargeBuffersForReuse() {
    // Nothing to set: see above. Kept so the program starts the same way on every system.
}

void releaseFreedMemory() {
    static_cast<void>(_heapmin());
}

}  // namespace tarlowen
