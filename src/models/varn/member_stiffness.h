#pragma once
// The elastic stiffness of one member in global axes, as the global operator and the internal
// forces of the second-order solve take it: the condensed beam, the bar with its end hinges in
// series, the tie or strut scaled down when switched off, and the stiff beam that stands for a
// rigid member under the RigidMember strategy.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "expected.h"
#include "functions/hinge_and_release_operations.h"
#include "models/members/member.h"
#include "models/varn/active_map.h"
#include "models/varn/lookup.h"

namespace varn {

struct VARN;

// The two callers word their messages differently: the global assembly refuses a beam without
// a section id itself, the internal forces leave that to the element library.
enum class StiffnessMessages : std::uint8_t { Assembly, InternalForces };

// Inputs shared read-only by all members of one assembly.
struct MemberStiffnessInputs {
  const VARN& model;
  const AssemblyContext& ctx;
  const ActiveMap& active;
  // Beam hinge curves are read at these end forces; nullptr: at their first points.
  const MemberEndForceMap* end_forces;
  // Per member (flat index over all member sets): the section of the stiff beam of a rigid
  // member under RigidMember (`stiff_beam_sections`), none when no section can be found.
  const std::vector<std::optional<std::uint32_t>>& rigid_sections;
  double e_max = 0.0;  // `VARN::max_e_mod_in_model`
  StiffnessMessages messages = StiffnessMessages::Assembly;
  // The structure as it is, for judging equilibrium: bars carry their axial stiffness alone
  // (none of the stabilising terms that keep a pin-jointed node regular), and a switched-off
  // tie or strut contributes nothing instead of its trace.
  bool unstabilised = false;
};

// A switched-off tie or strut keeps this fraction of its stiffness, so that its nodes stay
// attached to the structure and the operator keeps its pattern between active-set passes.
inline constexpr double kSwitchedOffScale = 1e-10;

// Stiff-beam scale of a rigid member: (Emax > 0 ? 1e4·Emax : 2.1e15) / max(E, 1), clamped to
// [1, 1e8].
double rigid_beam_scale(double e_max, double e);

// Sections of the stiff beams, by flat member index: the rigid member's own section, else that
// of the first elastic member (member order) with a section that shares a node with it, else
// the first section of the model. Empty entries for every member unless the rigid strategy is
// RigidMember.
std::vector<std::optional<std::uint32_t>> stiff_beam_sections(const VARN& model,
                                                              const std::vector<const Member*>& members);

// The local 14x14 stiffness of the stiff beam that stands for rigid member `m` (flat index
// `index`) under RigidMember, scaled and not yet condensed for its hinges; none under
// LinearMpc, where the rigid link is eliminated as a constraint. The stiff beam has the
// member's geometry and hinges.
Expected<std::optional<Mat14>> rigid_stiff_beam_local(const Member& m, std::size_t index,
                                                      const MemberStiffnessInputs& in);

// The axial stiffness of a member (bar or beam) whose end hinge acts on its axis, as its
// element matrix holds it: the axial spring in series with the member (k·k_s/(k + k_s)), none
// for an end free along the axis. Empty when both ends hold the axis rigidly (E·A/L then). The
// axis is uncoupled from the other DOFs of the element, so a beam's is a bar's.
std::optional<double> hinged_axial_stiffness(const Member& m, const AssemblyContext& ctx);
// The first-order axial force of a member (tension positive) in the displacements u, the
// initial stress of its geometric stiffness: its elongation along the undeformed axis times its
// axial stiffness, an end hinge's in series. A member whose ends hold the axis rigidly gives
// Member::calculate_axial_force_3d, E·A/L·elongation, bit for bit.
double member_axial_force(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u, const AssemblyContext& ctx);

// The 14x14 global elastic matrix of member `m` (flat index `index`); none when the member
// contributes no stiffness. Fatal faults of the element library pass through.
Expected<std::optional<Mat14>> member_elastic_stiffness_global(const Member& m, std::size_t index,
                                                               const MemberStiffnessInputs& in);

}  // namespace varn
