#pragma once
// Large-rotation re-solve that follows the P-delta load steps of a second-order solve. The
// P-delta operator measures equilibrium on the undeformed geometry with an initial-stress
// correction, which is only right while rotations stay small. Here the equilibrium path is
// traced again from zero with the co-rotational internal forces and tangent: each member's
// motion is split into a rigid motion of its chord and small natural deformations, so finite
// rotations of any size are carried exactly. Distributed loads of a load case follow the
// members' deformed chords. The co-rotational displacements replace the P-delta ones; a model
// the phase applies to and that it cannot bring to the full load fails with the phase's message
// (the P-delta state is then no answer: it is not an equilibrium of the large-displacement
// problem).
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/sparse.h"
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
  // Converged P-delta displacements: they size the phase, and the first load step starts from
  // its share of them.
  const Eigen::VectorXd& u;
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
  // Every iteration on a fresh exact tangent (full Newton) instead of the kept symmetric
  // factor: the same converged states, for comparing the two.
  bool full_newton = false;
  // The structure's elastic operator (global), whose |K|·|u| bounds the round-off of the
  // residual; none: no allowance for round-off.
  const SparseMatrix* round_off = nullptr;
};

struct CorotationalPhaseResult {
  Eigen::VectorXd u;    // the co-rotational displacements at the full load
  Eigen::VectorXd u_r;  // their retained DOFs (u = C·u_r) on the rigid path, else empty
  // What the curve supports carry in that state, the force their springs were read at.
  SupportNodeForceMap support_forces;
  std::size_t load_steps = 0;  // load steps brought into equilibrium
  std::size_t cut_steps = 0;   // steps retried with half the load increment
  std::size_t iterations = 0;  // Newton updates over all steps
  std::size_t numeric_factorizations = 0;
  std::size_t symbolic_analyses = 0;
  // Where the time goes (seconds, monotonic clock).
  double residual_time = 0.0;       // internal forces, deformed loads, curve supports
  double tangent_time = 0.0;        // tangent assembly and its reduction to the solve space
  double factorization_time = 0.0;
  double solve_time = 0.0;
};

// Runs the phase. Messages of the co-rotational kernels and of the deformed loads end the
// whole second-order solve, and so does a phase that cannot reach the full load: its message
// says how far it came, and whether the tangent of the last equilibrium state has lost its
// positive definiteness (the load exceeds the elastic critical load) or not (the load may be
// beyond a limit point). A state at the full load is an answer, on whatever branch of the
// path it lies (a structure that has snapped through under its load stands in that state).
Expected<CorotationalPhaseResult> run_corotational_phase(const VARN& model, const CorotationalPhaseInput& in);

// The co-rotational internal forces at u (the curve supports read at `support_forces`) and the
// full load there (distributed loads of a load case on the deformed chords): what the state the
// phase hands back is judged with.
struct CorotationalForces {
  Eigen::VectorXd f_int;
  Eigen::VectorXd f_ext;
};
Expected<CorotationalForces> corotational_forces_at(const VARN& model, const CorotationalPhaseInput& in,
                                                    const Eigen::VectorXd& u,
                                                    const SupportNodeForceMap& support_forces);

}  // namespace varn::second_order
