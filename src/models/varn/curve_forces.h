#pragma once
// The state in which the end forces of curve hinges are read.
#include <optional>

#include "functions/hinge_and_release_operations.h"
#include "models/results/results.h"

namespace varn {

// A hinge spring carries what the member hands through it: the end forces of the member
// condensed with the stiffnesses the hinges currently have, less the fixed-end forces of the
// member's own loads at the current load level (those never pass through the connection as
// displacement-driven forces; they are the member's share of the load).
struct HingeForceState {
  // The end forces the hinge stiffnesses currently follow (the map the tangent was built
  // with); nullptr: every curve at its first point.
  const MemberEndForceMap* current = nullptr;
  // The load case or combination whose distributed member loads act, and the load factor λ
  // they act at; none: the members carry no loads of their own.
  std::optional<ResultType> loads;
  double load_factor = 1.0;
  // Second-order equilibrium of the member: its geometric stiffness at the axial force of u
  // (the same threshold, formulation and suppressed axes as the tangent) enters the
  // condensation.
  bool include_geometric = false;
};

}  // namespace varn
