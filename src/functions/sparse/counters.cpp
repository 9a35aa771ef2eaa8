#include "functions/sparse/counters.h"

#include "functions/sparse/factorization.h"

namespace varn::sparse_detail {

std::atomic<std::size_t> g_symbolic_analyses{0};
std::atomic<std::size_t> g_numeric_factorizations{0};
std::atomic<std::size_t> g_low_rank_updates{0};
std::atomic<std::size_t> g_refinement_steps{0};

}  // namespace varn::sparse_detail

namespace varn {

using namespace sparse_detail;

std::size_t sparse_numeric_factorization_count() {
  return g_numeric_factorizations.load(std::memory_order_relaxed);
}

std::size_t sparse_refinement_step_count() { return g_refinement_steps.load(std::memory_order_relaxed); }

std::size_t sparse_symbolic_analysis_count() { return g_symbolic_analyses.load(std::memory_order_relaxed); }

std::size_t sparse_low_rank_update_count() { return g_low_rank_updates.load(std::memory_order_relaxed); }

}  // namespace varn
