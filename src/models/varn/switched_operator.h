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
//
// The structure as it is (`EquilibriumCheck::unstabilised_operator`, what a loop's last
// solution is carried over to and the statics are judged on) differs only in its bars: they
// carry their axial stiffness alone, and a switched-off tie or strut nothing. Their axial
// matrices are made once as well, and summed with the others' in the same sweep.
#include <cstddef>
#include <cstdint>
#include <memory>
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
  // The same in two steps, so that the all-on operator can be factorised while the second
  // runs: the element matrices and the all-on operator (all_on) first; then each stored
  // entry's contributions (place_contributions), which every other assembly needs (before
  // them it is a fatal fault).
  static Expected<SwitchedOperator> build_pattern(const VARN& model);
  void place_contributions();
  // The all-on operator with the support springs: assemble(model, all-on) bit for bit (the
  // triplet sum of the same nonzero entries in the same order).
  Expected<SparseMatrix> all_on(const VARN& model) const;

  // The operator for `active` with the support springs of `model` (the model it was built
  // from), as build_operator_with_supports_sparse_internal(active, nullptr) gives it.
  Expected<SparseMatrix> assemble(const VARN& model, const ActiveMap& active) const;

  // The structure as it is for `active`, support springs included: the values of
  // EquilibriumCheck::unstabilised_operator(model, &active) bit for bit, in the all-on pattern
  // (an entry that only the stabilising terms or a switched-off member held is a stored zero).
  Expected<SparseMatrix> assemble_unstabilised(const VARN& model, const ActiveMap& active) const;

 private:
  MovableSparseMatrix pattern_;  // the all-on sum, its values overwritten by each assembly's copy
  // Every stored entry's contributions, in the order the triplet assembly sums them (member
  // after member, each member's entries in its own order): their values and the member each
  // comes from. One list for the members' matrices, one for the bars' axial matrices.
  struct Contributions {
    std::vector<std::int64_t> start;  // entry p: start[p] .. start[p + 1]
    std::vector<double> value;
    std::vector<std::uint32_t> span;  // into members_
  };
  Contributions full_, axial_;
  struct Span {
    std::uint32_t member_id;
    bool switchable;  // a tie or strut, scaled down when switched off
    bool bar;         // a truss, tie or strut: its axial matrix stands for it in the structure as it is
  };
  std::vector<Span> members_;
  // Between the two steps: the triplets of both lists with the member of each.
  struct Pending {
    struct Triplets {
      SparseAssembler triplets{0};
      std::vector<std::uint32_t> spans;
    };
    Triplets full, axial;
  };
  std::unique_ptr<Pending> pending_;
  // Sums the contributions of every member (its axial matrix for a bar when `unstabilised`,
  // nothing for a switched-off tie or strut there) into a copy of the pattern, one stored
  // entry after the other on the pool, then the springs.
  Expected<SparseMatrix> sweep(const VARN& model, const ActiveMap& active, bool unstabilised) const;
};

}  // namespace varn
