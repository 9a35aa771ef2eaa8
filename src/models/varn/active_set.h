#pragma once
// The active set of tension-only members (ties) and compression-only members (struts): built
// all on or from a trial state, updated with hysteresis, and finally made consistent.
#include <cstddef>
#include <cstdint>
#include <functional>

#include <Eigen/Core>

#include "models/varn/active_map.h"
#include "models/varn/lookup.h"

namespace varn {

struct VARN;
struct Member;

// Every tie and strut entered as active.
ActiveMap init_active_map_tie_comp(const VARN& model);
// A tie is on where N >= -tol, a strut where N <= +tol (tol = half the axial slack); a NaN
// force enters off.
ActiveMap active_map_from_trial_displacement(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u);
// The forces are those of member_axial_force (an end hinge's axial spring in series with the bar).
// One switching pass with the given tolerance; reactivation needs a force of ten times the
// half slack in the member's own sense, so members near zero force do not flip back and
// forth. Emits a decision event per switch and one summary. Returns whether any member
// switched.
bool update_active_set(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u, ActiveMap& active,
                       const AssemblyContext& ctx, double tol, bool allow_reactivation);
// A tie's or strut's axial force in the displacements being judged (tension positive).
using AxialForceOf = std::function<double(const Member&)>;
// The same pass with the forces given member by member.
bool update_active_set(const VARN& model, const AxialForceOf& axial_force, ActiveMap& active, double tol,
                       bool allow_reactivation);
// Switches off any active tie in compression or strut in tension beyond the full axial
// slack; never switches a member on. Returns whether any member was switched off.
bool finalize_tie_strut_consistency(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u, ActiveMap& active,
                                    const AssemblyContext& ctx);
bool finalize_tie_strut_consistency(const VARN& model, const AxialForceOf& axial_force, ActiveMap& active);
// The passes an active-set loop may take: max_iterations, but never more than 4·(items + 1)
// for `switchable` ties, struts and one-sided supports. A loop that settles switches each item
// away from its start and seldom more than once back, at least one item per pass, and each
// closing pass that switches re-enters the loop for a settling pass of its own: 4·(items + 1)
// leaves twice the room that takes. A run that needs more wanders among the 2^items states
// without repeating one (a repeat is caught as a cycle); stopping it bounds the work, a
// factorisation per pass, when max_iterations is huge.
std::uint32_t bounded_active_set_passes(std::uint32_t max_iterations, std::size_t switchable);
// The switching tolerance of the first-order solves: half the axial slack.
double axial_slack_tolerance(const VARN& model);
// The active-set loop has settled (given that no member switched) when the last solve moved
// the structure by less than the absolute tolerance, or by less than a millionth of its
// displacement (a displacement below 1 in SI counts as 1, so that a nearly unloaded structure
// does not chase round-off). A NaN norm never settles.
bool displacement_settled(const Eigen::VectorXd& du, const Eigen::VectorXd& u, double tolerance);

}  // namespace varn
