#pragma once

namespace tarlowen {

// Lets the allocator keep freed buffers of up to 32 MiB for reuse instead of handing each back to the
// system. A page fetch passes its body through several buffers of the page's size (the received
// bytes, the text, the converted text); with the default settings every one of them is a fresh
// mapping whose pages fault in again, which made fetching a 2 MiB page about four times slower than
// the exchange itself. Larger buffers (big media files) are still mapped and returned as before, and
// at most 64 MiB of free memory is kept at the top of the heap. Call once, at start.
void keepLargeBuffersForReuse();

// Hands the free memory inside the heap back to the system. A large page passes through buffers that
// are let go piece by piece (the received body as it is read); without this, those freed pieces stay
// resident beside the next copy of the page and count as a third one.
void releaseFreedMemory();

}  // namespace tarlowen
