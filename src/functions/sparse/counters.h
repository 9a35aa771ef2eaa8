#pragma once
// The process-wide counts of the sparse layer's work (read by sparse_*_count()), for
// benchmarks and tests. Internal to the sparse layer.
#include <atomic>
#include <cstddef>

namespace varn::sparse_detail {

extern std::atomic<std::size_t> g_symbolic_analyses;
extern std::atomic<std::size_t> g_numeric_factorizations;
extern std::atomic<std::size_t> g_low_rank_updates;
// Refinement steps taken over every solve of this layer.
extern std::atomic<std::size_t> g_refinement_steps;

}  // namespace varn::sparse_detail
