#pragma once
// The reactions of the reduced system of a rigid elimination, as directions in the retained
// DOFs: what a residual may keep at the supports and still be in equilibrium.
#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "models/varn/rigid_elimination.h"
#include "models/varn/support_state.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

// The forces that the supports exert, seen in the reduced DOFs: a unit vector at every
// exactly fixed reduced DOF, and the direction of every penalised constraint row c·u_r = 0.
// A residual is in equilibrium when nothing but such reactions is left of it, so these
// components are removed before its norm is taken and before it drives a Newton step (a
// Newton step must not try to push a support). The penalised rows are orthonormalised
// (twice-applied Gram-Schmidt, rows sharing no reduced DOF being orthogonal already), so
// that removing them is an orthogonal projection whatever their overlap.
struct ReducedReactions {
  std::vector<std::size_t> exact;  // sorted, unique
  std::vector<SparseRow> basis;    // orthonormal, zero at the exact DOFs

  static ReducedReactions build(const VARN& model, const RigidElimination& elim, const SupportState& released);
  // Adds a penalised row's direction, made orthogonal to those already held.
  void add_direction(SparseRow v);
  // r_r without its reaction components.
  void remove_from(Eigen::VectorXd& r_r) const;
};

}  // namespace varn::second_order
