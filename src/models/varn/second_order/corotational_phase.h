#pragma once
// Large-rotation re-solve that follows the P-delta load steps of a second-order solve. The
// P-delta operator measures equilibrium on the undeformed geometry with an initial-stress
// correction, which is only right while rotations stay small. Here the equilibrium path is
// traced again from zero with the co-rotational internal forces and tangent: each member's
// motion is split into a rigid motion of its chord and small natural deformations, so finite
// rotations of any size are carried exactly. Distributed loads of a load case follow the
// members' deformed chords. When every load step converges the co-rotational displacements
// replace the P-delta ones; when they do not, within four attempts with ever finer steps,
// the P-delta result stands.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/support_utils.h"
#include "models/varn/active_map.h"
#include "models/varn/support_state.h"
#include "models/varn/second_order/starting_state.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

// The co-rotational method is chosen and no member names an end hinge (a hinge, known or
// not, keeps the solve on its P-delta result: the co-rotational element carries no end
// releases).
bool corotational_phase_applies(const VARN& model);

// A load case whose first entry with this id lists distributed loads (never a combination):
// its loads then follow the deformed chords.
bool load_case_has_distributed_loads(const VARN& model, bool is_combination, std::uint32_t id);

// The driver's state after its load steps.
struct CorotationalPhaseInput {
  const Eigen::VectorXd& f;  // full load vector (load factor 1)
  bool is_combination = false;
  std::uint32_t id = 0;  // load case or combination id
  // The load case carries distributed loads, which then follow the deformed chords.
  bool has_distributed_loads = false;
  const Eigen::VectorXd& u;  // converged P-delta displacements; they size the phase
  const ActiveMap& active;   // tie/strut state, read and never switched here
  std::size_t load_steps = 1;  // the driver's load steps, without its substep multiplier
  double tol = 1e-6;           // relative residual that counts as equilibrium
  // Sparse path: the supported and zero-energy DOFs, held by penalty. Rigid-elimination
  // path: the elimination (the list is then unused).
  const std::vector<std::size_t>& constrained;
  const RigidPath* rigid = nullptr;
  bool has_support_curves = false;
  // The one-sided supports released for this solve (the others held).
  SupportState released{};
};

struct CorotationalPhaseResult {
  bool completed = false;
  Eigen::VectorXd u;    // the co-rotational displacements when completed, else empty
  Eigen::VectorXd u_r;  // their retained DOFs (u = C·u_r) on the rigid path, else empty
  // What the curve supports carry in that state, the force their springs were read at.
  SupportNodeForceMap support_forces;
  std::uint32_t attempts = 0;    // attempts made (1 to 4)
  std::size_t load_steps = 0;    // load steps of the last attempt
  std::size_t iterations = 0;    // Newton updates over all attempts
};

// Runs the phase. Messages of the co-rotational kernels and of the deformed loads end the
// whole second-order solve; not converging is not an error (completed stays false).
Expected<CorotationalPhaseResult> run_corotational_phase(const VARN& model, const CorotationalPhaseInput& in);

}  // namespace varn::second_order
