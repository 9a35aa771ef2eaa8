#pragma once
// Typed diagnostic events of the solvers. Each event is written as one compact JSON object,
// tagged by "type", at Debug level under the target "varn::diagnostics". With logging off
// (the default) an event costs one level test and is never serialised.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace varn::diagnostics {

struct Iteration {
  std::string phase;
  std::uint64_t iteration = 0;
  std::optional<double> residual;
  std::optional<double> relative_du;
  bool changed_active_set = false;
};
struct ActiveDecision {
  std::uint32_t member_id = 0;
  std::string member_kind;  // "Tension", "Compression", "Other"
  double axial_force = 0.0;
  bool was_active = true;
  bool now_active = true;
  std::string reason;
  double tol = 0.0;
  double reactivation_buffer = 0.0;  // +infinity when reactivation is not allowed (written null)
};
struct RigidEdge {
  std::uint32_t master = 0;
  std::uint32_t slave = 0;
  double rx = 0.0, ry = 0.0, rz = 0.0;
};
struct LineSearch {
  double alpha = 0.0;
  double residual_before = 0.0;
  double residual_after = 0.0;
};
struct Constraint {
  std::uint32_t node_id = 0;
  std::string dof;
  bool retained_in_reduced = false;
  std::string method;  // "ExactRetained", "ExactOneHot", "Penalty"
  std::optional<double> penalty_alpha;
  std::optional<std::uint64_t> pivot_index;
};
struct MatrixDiag {
  std::string location;
  std::uint64_t n = 0;
  double min_diag = 0.0;
  double max_diag = 0.0;
  std::uint64_t zero_rows = 0;
  std::uint64_t near_zero_rows = 0;
};
struct Step {
  std::uint64_t step_index = 0;
  std::uint64_t steps_total = 0;
  double lambda = 0.0;
  std::uint64_t substep_multiplier = 0;
};
struct SubstepRefined {
  std::uint64_t old_multiplier = 0;
  std::uint64_t new_multiplier = 0;
  std::string reason;
};
struct ActiveMapSummary {
  std::uint64_t ties_on = 0;
  std::uint64_t ties_off = 0;
  std::uint64_t struts_on = 0;
  std::uint64_t struts_off = 0;
};

using SolverEvent = std::variant<Iteration, ActiveDecision, RigidEdge, LineSearch, Constraint, MatrixDiag, Step,
                                 SubstepRefined, ActiveMapSummary>;

// The event as one compact JSON object: "type" first, then the fields in declaration order.
std::string to_json(const SolverEvent& event);

// Writes the event at Debug under "varn::diagnostics" when a logger there takes Debug.
void log_event(const SolverEvent& event);

// "UX", "UY", "UZ", "RX", "RY", "RZ" for the node DOF offsets 0..5; "UNKNOWN" otherwise.
std::string_view dof_label(std::size_t k);

// The DOF labels with "WARP" for the seventh DOF of a node (offset 6).
std::string dof_text(std::size_t k);

// A ratio as messages print it: "%.1e".
std::string ratio_text(double v);

}  // namespace varn::diagnostics

namespace varn {
using diagnostics::SolverEvent;
}
