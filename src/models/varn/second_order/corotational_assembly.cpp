// Co-rotational internal forces and tangent stiffness of the structure at a displacement state.
//
// Beams (and the stiff beams of rigid members) follow their chord: the linear element
// stiffness acts on the natural deformations in the co-rotated frame. Truss, tension-only and
// compression-only members are bars: their node rotations carry no stiffness, so treating them
// as beams would clamp them; they carry only the axial force of the chord's elongation along
// the deformed chord. Both assemblies run one per-member kernel, so the tangent is the exact
// derivative of the internal forces member by member, and scatter in member order, so that
// every sum is formed in the same order on every run and for every thread count.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/members/corotational.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// A switched-off tie or strut keeps a trace of its first-order stiffness, so that its nodes
// stay attached to the structure, and carries no initial stress.
constexpr double kSwitchedOffScale = 1e-10;

enum class Need { Forces, Tangent };

// What one member adds: its 14 global end forces, and its 14x14 tangent when asked for.
struct MemberContribution {
  Vec14 force = Vec14::Zero();
  Mat14 tangent = Mat14::Zero();
};
using MemberOutcome = Expected<std::optional<MemberContribution>>;

struct KernelInputs {
  const VARN& model;
  const AssemblyContext& ctx;
  const ActiveMap& active;
  const Eigen::VectorXd& u;
  Need need;
};

// A node or spring DOF outside the displacement vector or the system.
void require_index(std::size_t index, std::size_t size) {
  if (index >= size) fatal("Matrix index out of bounds.");
}

Vec14 gather_element_displacements(const Member& m, const Eigen::VectorXd& u) {
  const auto n = static_cast<std::size_t>(u.size());
  const std::size_t s = dof_index(m.start_node.id, 0);
  const std::size_t e = dof_index(m.end_node.id, 0);
  require_index(s + 6, n);
  require_index(e + 6, n);
  Vec14 u_e;
  u_e.head<7>() = u.segment<7>(static_cast<Eigen::Index>(s));
  u_e.tail<7>() = u.segment<7>(static_cast<Eigen::Index>(e));
  return u_e;
}

// The local stiffness condensed for the member's end hinges (curves at their first points).
// A condensation message names the member in the tangent, as every stiffness assembly does.
Expected<Mat14> condense_for_hinges(const Member& m, const Mat14& k, const KernelInputs& in) {
  const MemberEndModes modes =
      modes_from_single_ends(in.ctx.member_hinge(m.start_hinge), in.ctx.member_hinge(m.end_hinge));
  auto k_star = apply_end_releases_to_local_beam_k(k, modes);
  if (!k_star) {
    if (in.need == Need::Tangent) return fail(k_star.error() + " [member " + std::to_string(m.id) + "]");
    return fail(k_star.error());
  }
  return *k_star;
}

std::string collapsed_message(const Member& m) {
  return "Member " + std::to_string(m.id) + " has collapsed to zero length in the deformed state.";
}

MemberOutcome beam_contribution(const Member& m, const Mat14& k_local, const KernelInputs& in) {
  auto k_star = condense_for_hinges(m, k_local, in);
  if (!k_star) return fail(k_star.error());
  const Vec14 u_e = gather_element_displacements(m, in.u);
  const CorotationalSplit split = corotational_split(m, u_e);
  if (!(split.chord.l_n >= 1e-12)) return fail(collapsed_message(m));
  MemberContribution c;
  if (in.need == Need::Forces) {
    c.force = corotational_beam_force(split, *k_star);
  } else {
    c.tangent = corotational_beam_tangent(split, *k_star);
  }
  return std::optional<MemberContribution>(c);
}

MemberOutcome bar_contribution(const Member& m, const KernelInputs& in) {
  const auto k_local = m.calculate_truss_stiffness_matrix_local(in.ctx.materials, in.ctx.sections);
  if (!k_local) return std::optional<MemberContribution>();
  // An end hinge acts in series with the bar (a spring on the axis softens it, a free axis
  // leaves it without axial force), exactly as in the elastic stiffness.
  auto k_star = condense_for_hinges(m, *k_local, in);
  if (!k_star) return fail(k_star.error());
  const Vec14 u_e = gather_element_displacements(m, in.u);

  // The axial pair acts along the deformed chord; the tiny diagonal stiffness that keeps the
  // rotations and transverse translations of a node held only by bars regular stays what it
  // is in the elastic stiffness: linear, in the undeformed axes.
  Mat14 small = *k_star;
  const double k_axial = small(7, 7);
  for (int r : {0, 7}) {
    for (int c : {0, 7}) small(r, c) = 0.0;
  }
  const Mat14 t0 = m.calculate_transformation_matrix_3d();
  const Mat14 small_global = t0.transpose() * small * t0;

  MemberContribution c;
  if (m.member_type != MemberType::Truss && !is_member_active(in.active, m.id)) {
    // Switched off: the first-order rule, a trace of the elastic stiffness and no axial force
    // along the chord.
    const Mat14 k_off = kSwitchedOffScale * (t0.transpose() * *k_star * t0);
    if (in.need == Need::Forces) {
      c.force = k_off * u_e;
    } else {
      c.tangent = k_off;
    }
    return std::optional<MemberContribution>(c);
  }

  const DeformedChord chord = deformed_chord(m, u_e);
  if (!(chord.l_n >= 1e-12)) return fail(collapsed_message(m));
  if (in.need == Need::Forces) {
    c.force = corotational_bar_force(chord, k_axial) + small_global * u_e;
  } else {
    c.tangent = corotational_bar_tangent(chord, k_axial) + small_global;
  }
  return std::optional<MemberContribution>(c);
}

// One member's co-rotational contribution; none when it contributes nothing.
MemberOutcome corotational_member(const Member& m, const KernelInputs& in) {
  switch (m.member_type) {
    case MemberType::Normal: {
      // The internal forces pass over a member without a section id; the tangent meets the
      // fatal fault of the element stiffness.
      if (in.need == Need::Forces && !m.section) return std::optional<MemberContribution>();
      const auto k = m.calculate_stiffness_matrix_3d(in.ctx.materials, in.ctx.sections);
      if (!k) return std::optional<MemberContribution>();
      return beam_contribution(m, *k, in);
    }
    case MemberType::Truss:
    case MemberType::Tension:
    case MemberType::Compression:
      if (in.need == Need::Forces && !m.section) return std::optional<MemberContribution>();
      return bar_contribution(m, in);
    case MemberType::Rigid:
      return std::optional<MemberContribution>();
  }
  fatal("Member " + std::to_string(m.id) + ": unknown member type");
}

// Runs the kernel over all members in member order; the failure of the lowest member index
// is the one reported.
Expected<std::vector<std::optional<MemberContribution>>> run_members(const VARN& model, const KernelInputs& in) {
  std::vector<std::optional<MemberContribution>> out;
  out.reserve(model.get_member_count());
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      auto c = corotational_member(m, in);
      if (!c) return fail(c.error());
      out.push_back(std::move(*c));
    }
  }
  return out;
}

}  // namespace

Expected<Eigen::VectorXd> VARN::assemble_corotational_internal_forces(const Eigen::VectorXd& u,
                                                                      const ActiveMap& active,
                                                                      const SupportNodeForceMap& support_forces) const {
  const AssemblyContext ctx = build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  const KernelInputs in{*this, ctx, active, u, Need::Forces};
  auto members = run_members(*this, in);
  if (!members) return fail(members.error());

  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  std::size_t i = 0;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      const auto& c = (*members)[i++];
      if (!c) continue;
      const std::size_t s = dof_index(m.start_node.id, 0);
      const std::size_t e = dof_index(m.end_node.id, 0);
      require_index(s + 6, n);
      require_index(e + 6, n);
      f.segment<7>(static_cast<Eigen::Index>(s)) += c->force.head<7>();
      f.segment<7>(static_cast<Eigen::Index>(e)) += c->force.tail<7>();
    }
  }

  auto springs = collect_support_spring_entries_with_forces(member_sets, nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  for (const SupportSpringEntry& s : *springs) {
    require_index(s.dof, n);
    require_index(s.dof, static_cast<std::size_t>(u.size()));
    f[static_cast<Eigen::Index>(s.dof)] += s.k * u[static_cast<Eigen::Index>(s.dof)];
  }
  return f;
}

Expected<SparseMatrix> VARN::assemble_corotational_tangent_stiffness_sparse(
    const Eigen::VectorXd& u, const ActiveMap& active, const SupportNodeForceMap& support_forces) const {
  const AssemblyContext ctx = build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  const KernelInputs in{*this, ctx, active, u, Need::Tangent};
  auto members = run_members(*this, in);
  if (!members) return fail(members.error());

  auto assembler = SparseAssembler::with_capacity(n, get_member_count());
  std::size_t i = 0;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      const auto& c = (*members)[i++];
      if (!c) continue;
      assembler.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), c->tangent);
    }
  }

  auto springs = collect_support_spring_entries_with_forces(member_sets, nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  for (const SupportSpringEntry& s : *springs) {
    require_index(s.dof, n);
    assembler.add(s.dof, s.dof, s.k);
  }
  return assembler.to_csc();
}

}  // namespace varn
