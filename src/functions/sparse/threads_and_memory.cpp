#include "functions/sparse/threads_and_memory.h"

#include <SuiteSparse_config.h>

#include <cstdlib>
#include <mutex>

#include "functions/blas.h"
#include "huge_pages.h"

namespace varn::sparse_detail {

namespace {

// The factors of large frames are tens of megabytes that the numeric factorisation writes for
// the first time, one supernode after the other: on 4 KiB pages that is one fault per page on
// the factorisation's own path (about 40 ms for 72 MB). The sparse libraries allocate through
// the process-wide SuiteSparse hooks; these are glibc's own functions, with huge-page advice
// on every block large enough to hold whole huge pages (memory and its release unchanged, so
// a block allocated before the hooks were set is freed as it always was). Hooks that another
// module of the process has set are left as they are: its blocks must meet its own free.
constexpr std::size_t kAdvisedBlockBytes = std::size_t{4} << 20;

void* advised(void* block, std::size_t bytes) {
  if (block != nullptr && bytes >= kAdvisedBlockBytes) advise_huge_pages(block, bytes);
  return block;
}

void* advised_malloc(std::size_t bytes) { return advised(std::malloc(bytes), bytes); }
void* advised_calloc(std::size_t count, std::size_t size) {
  return advised(std::calloc(count, size), count * size);
}
void* advised_realloc(void* block, std::size_t bytes) { return advised(std::realloc(block, bytes), bytes); }

}  // namespace

void use_advised_allocation() {
  static std::once_flag once;
  std::call_once(once, [] {
    const bool library_defaults = SuiteSparse_config.malloc_func == &std::malloc &&
                                  SuiteSparse_config.calloc_func == &std::calloc &&
                                  SuiteSparse_config.realloc_func == &std::realloc &&
                                  SuiteSparse_config.free_func == &std::free;
    if (!library_defaults) return;
    SuiteSparse_config.malloc_func = advised_malloc;
    SuiteSparse_config.calloc_func = advised_calloc;
    SuiteSparse_config.realloc_func = advised_realloc;
    SuiteSparse_config.free_func = std::free;
  });
}

}  // namespace varn::sparse_detail

namespace varn {

bool init_blas_single_thread() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (blas::SetThreads set = blas::thread_setter()) set(1);
  });
  return blas::thread_setter() != nullptr;
}

}  // namespace varn
