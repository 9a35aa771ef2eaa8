#include "huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace varn {

void advise_huge_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const auto first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const auto last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace varn
