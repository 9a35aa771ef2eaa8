#pragma once
// The operator of the active-set passes, assembled from element matrices made once.
//
// Passes of the tie/strut loop differ only in which ties and struts are on, and a switched-off
// member's matrix is its whole matrix times kSwitchedOffScale. Every pass of every load case
// and combination of a request therefore sums the same element matrices into the same
// pattern (the all-on operator's: a switched member keeps its stored entries). Made once per
// request, the matrices and the positions of their entries in that pattern leave each pass a
// single sweep that adds, member after member, each entry into its place, in the order the
// triplet assembly sums them: the operator is, bit for bit, the one
// `VARN::build_operator_with_supports_sparse_internal(active, nullptr)` assembles.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "expected.h"
#include "functions/sparse.h"
#include "models/varn/active_map.h"

namespace varn {

struct VARN;

class SwitchedOperator {
 public:
  // The element matrices of `model` with every tie and strut on, and the all-on operator
  // (without support springs) whose pattern they are placed in. Messages: those of the
  // assembly.
  static Expected<SwitchedOperator> build(const VARN& model);

  // The operator for `active` with the support springs of `model` (the model it was built
  // from), as build_operator_with_supports_sparse_internal(active, nullptr) gives it.
  Expected<SparseMatrix> assemble(const VARN& model, const ActiveMap& active) const;

 private:
  SparseMatrix pattern_;  // the all-on sum, its values overwritten by each assembly's copy
  // The nonzero entries of every contributing member's matrix in triplet order, and for each
  // its position among the pattern's stored values.
  std::vector<double> values_;
  std::vector<std::int64_t> positions_;
  struct Span {
    std::uint32_t member_id;
    bool switchable;  // a tie or strut, scaled down when switched off
    std::size_t first, count;
  };
  std::vector<Span> members_;
};

}  // namespace varn
