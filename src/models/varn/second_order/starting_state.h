#pragma once
// Where a second-order solve starts: from a predictor handed in (a combination's weighted sum
// of its load cases), or from the first-order state of the full load with its tie/strut map,
// with the support springs made consistent with that state's support forces when supports
// follow stiffness curves. Every start is moved onto the displacements the supports and rigid
// links allow: held DOFs at zero and, with the links eliminated, the field of C closest to the
// target.
#include <memory>
#include <optional>

#include <Eigen/Core>

#include "models/varn/support_state.h"
#include "expected.h"
#include "models/varn/active_map.h"
#include "models/varn/rigid_elimination.h"

namespace varn {

struct VARN;

// Least-squares fit of C·u_r to a global vector: u_r = (CᵀC)⁻¹·Cᵀ·v, by a sparse solve of
// CᵀC·x = Cᵀ·v (never a dense inverse). The identity when nothing is eliminated.
class RigidProjector {
 public:
  // "SᵀS is singular; check rigid MPC topology (cycles/duplicates)." when CᵀC cannot be
  // factorised.
  static Expected<RigidProjector> create(const RigidElimination& elimination);
  Eigen::VectorXd reduce(const Eigen::VectorXd& v) const;

 private:
  struct Impl;
  std::shared_ptr<const Impl> impl_;
};

// The rigid-elimination path of a solve: C and its projector.
struct RigidPath {
  RigidElimination elimination;
  RigidProjector projector;
};

struct StartingState {
  Eigen::VectorXd u0;                 // global start (size n)
  ActiveMap active;                   // tie/strut state to start with
  std::optional<Eigen::VectorXd> u_r; // reduced start, on the rigid-elimination path only
  bool predictor_given = false;
};

// Failures of the first-order state are dropped (the start is then zero with `initial`);
// messages of the stiffness assembly, the springs and the constrained DOFs inside the
// spring-consistent solve end the solve.
Expected<StartingState> compute_starting_state(const VARN& model, const Eigen::VectorXd& f,
                                               const std::optional<Eigen::VectorXd>& predictor, ActiveMap initial,
                                               const RigidPath* rigid, const SupportState& released = {});

}  // namespace varn
