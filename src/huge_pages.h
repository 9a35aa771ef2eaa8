#pragma once
// Transparent huge pages for large text buffers.
#include <cstddef>

namespace varn {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes) with huge pages.
// A buffer of a hundred megabytes that is written once into fresh memory otherwise takes one
// page fault, and one zeroed page, per 4 KiB; with huge pages it takes one per 2 MiB. Advice
// only: the kernel may refuse it, and nothing about the memory's contents changes. Call it
// before the first write to the buffer, for the faults it spares are those of the first touch.
void advise_huge_pages(void* data, std::size_t bytes);

}  // namespace varn
