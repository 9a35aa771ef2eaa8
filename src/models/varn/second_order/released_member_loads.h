#pragma once
// Member loads on beams with end releases under P-delta. Such a load reaches the nodes
// condensed for the release: the released end takes its share through the member's interior
// stiffness. The model's load vector condenses it with the elastic stiffness alone (it knows no
// axial forces), while the member's end forces are recovered with the elastic plus geometric
// stiffness the member is solved with. The solve uses the recovery's condensation too: the
// difference between the two, which depends on the axial force of the state, is added to the
// load vector at every state, so that the equations the solve balances are the ones whose
// solution the recovery reports, and every node balances.
#include <vector>

#include <Eigen/Core>

#include "functions/hinge_and_release_operations.h"
#include "models/results/results.h"
#include "models/varn/lookup.h"

namespace varn {
struct Member;
struct VARN;
}

namespace varn::second_order {

class ReleasedMemberLoads {
 public:
  // The beams with an end release that carry a distributed load of the load case or
  // combination `loads`, in member-set and member order.
  static ReleasedMemberLoads collect(const VARN& model, const AssemblyContext& ctx, const ResultType& loads);
  bool empty() const { return entries_.empty(); }

  // Σ Tᵀ·(condense with K + K_G(N(u)) − condense with K) of the members' loads at load factor 1,
  // summed in member order; the hinge curves read at `end_forces` for the first (as the
  // recovery reads them), at their first points for the second (as the load vector does).
  Eigen::VectorXd shift(const VARN& model, const AssemblyContext& ctx, const Eigen::VectorXd& u,
                        const MemberEndForceMap* end_forces) const;

 private:
  struct Entry {
    const Member* member = nullptr;
    Mat14 k;          // unreleased local elastic stiffness
    Mat14 t;          // transformation of the undeformed member
    Vec14 f_eq;       // fixed-end loads, local axes
    Vec14 f_elastic;  // the same condensed with k, as the load vector holds them
  };
  std::vector<Entry> entries_;
};

}  // namespace varn::second_order
