#pragma once
// The two triangular solves with a supernodal Cholesky factor K = Pᵀ·L·Lᵀ·P, on the pool.
//
// A single load's solve reads the whole factor once per sweep, tens of megabytes on a large
// frame: on one core it waits on memory while the other cores idle. Supernodes in different
// subtrees of the elimination tree share nothing, so the sweeps run the subtrees side by side:
// the forward sweep (L·Y = B) from the leaves up, a supernode taken up once everything below it
// is done; the backward sweep (Lᵀ·X = Y) from the root down, a supernode taken up once the one
// above it is done. Small subtrees are swept whole by one task.
//
// The forward sweep gathers: a supernode's rows start from B and subtract the updates of the
// supernodes below it, each kept apart until then, in ascending order of the supernode that made
// it. The backward sweep only reads the finished rows above. So every entry of the solution is
// the same sequence of operations on every thread count and in every run.
#include <cstdint>
#include <optional>
#include <vector>

#include "functions/sparse/supernodal_cholesky.h"

namespace varn {

class SupernodalSolvePlan {
 public:
  // The plan of a layout (the pattern alone), or none when the layout is not one it reads (a
  // row that is not below its supernode in the tree, blocks beyond the BLAS's 32-bit sizes, no
  // BLAS kernels).
  static std::optional<SupernodalSolvePlan> of(const SupernodalLayout& layout);

  // Y ← L⁻¹·Y and Y ← L⁻ᵀ·Y in place, Y the n × m column-major block at y with leading
  // dimension ldy ≥ n, in the factor's numbering (P applied by the caller); `x` the factor's
  // values, laid out as `layout` says (the layout the plan was made of). False, with Y
  // untouched, when m or ldy is beyond the BLAS's 32-bit sizes.
  bool lower(const SupernodalLayout& layout, const double* x, double* y, std::int64_t m, std::int64_t ldy) const;
  bool upper(const SupernodalLayout& layout, const double* x, double* y, std::int64_t m, std::int64_t ldy) const;

 private:
  using Index = std::int64_t;
  // Supernodes swept by one task: units[u] holds members[unit_start[u] .. unit_start[u + 1]),
  // ascending, every supernode below the last one in the tree down to the next unit.
  std::vector<Index> unit_start, members;
  std::vector<Index> unit_parent;                 // the unit above, −1 at a root
  std::vector<Index> child_start, children;       // the units right below each unit
  std::vector<Index> update_offset;               // where supernode s keeps its update of the rows below it
  std::vector<Index> gather_start, gather_from;   // for factor column j: the updates of rows j, ascending
  Index update_entries = 0;                       // the rows below all supernodes
  Index widest_below = 0;                         // the most rows below one supernode
};

}  // namespace varn
