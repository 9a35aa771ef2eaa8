// Co-rotational internal forces and tangent stiffness of the structure at a displacement state.
//
// Beams (and the stiff beams of rigid members) follow their chord: the local response of the
// member, elastic stiffness and the initial stress of its axial force, acts on the natural
// deformations in the co-rotated frame. Truss, tension-only and compression-only members are
// bars: their node rotations carry no stiffness, so treating them as beams would clamp them;
// they carry only the axial force of the chord's elongation along the deformed chord. Both
// assemblies run one per-member kernel, so the tangent is the exact derivative of the internal
// forces member by member (with respect to the node translations, the spins of the node
// rotations and the warping), and scatter in member order, so that every sum is formed in the
// same order on every run and for every thread count.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/member_loop.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/members/corotational.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// A switched-off tie or strut keeps a trace (kSwitchedOffScale) of its first-order stiffness,
// so that its nodes stay attached to the structure, and carries no initial stress.

// What an assembly asks of each member: its end forces, the exact tangent, or the symmetric
// part of the tangent (the matrix a Cholesky factorisation can take).
enum class Need { Forces, Tangent, SymmetricTangent };

// What one member adds: its 14 global end forces, and its 14x14 tangent when asked for. A state
// the member cannot describe (its chord collapsed, its ends bent through a right angle) gives
// no forces and the member's message instead; the tangent is only asked at states whose forces
// were formed, so there it is an ordinary message.
struct MemberContribution {
  Vec14 force = Vec14::Zero();
  Mat14 tangent = Mat14::Zero();
  std::string inadmissible;
};
using MemberOutcome = Expected<std::optional<MemberContribution>>;

struct KernelInputs {
  const AssemblyContext& ctx;
  const ActiveMap& active;
  const Eigen::VectorXd& u;
  Need need;
  // The stiff beams of rigid members, built as the elastic stiffness builds them.
  const MemberStiffnessInputs& stiffness;
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

// A condensation message names the member in the tangent, as every stiffness assembly does.
std::string hinge_message(const Member& m, const std::string& message, const KernelInputs& in) {
  return in.need != Need::Forces ? message + " [member " + std::to_string(m.id) + "]" : message;
}

std::string collapsed_message(const Member& m) {
  return "Member " + std::to_string(m.id) + " has collapsed to zero length in the deformed state.";
}

Mat14 symmetric_part(const Mat14& k) { return 0.5 * (k + k.transpose()); }

MemberOutcome beam_contribution(const Member& m, const Mat14& k_local, const KernelInputs& in) {
  auto beam = corotational_beam_with_releases(m, k_local, in.ctx.sections, in.ctx.member_hinges);
  if (!beam) return fail(hinge_message(m, beam.error(), in));
  const Vec14 u_e = gather_element_displacements(m, in.u);
  MemberContribution c;
  if (in.need == Need::Forces) {
    auto state = corotational_state(*beam, u_e);
    if (!state) {
      c.inadmissible = state.error();
    } else {
      c.force = state->force;
    }
  } else {
    auto t = corotational_tangent(*beam, u_e);
    if (!t) return fail(t.error());
    c.tangent = in.need == Need::Tangent ? t->tangent : symmetric_part(t->tangent);
  }
  return std::optional<MemberContribution>(c);
}

MemberOutcome bar_contribution(const Member& m, const KernelInputs& in) {
  auto k_star = corotational_bar_local_stiffness(m, in.ctx.materials, in.ctx.sections, in.ctx.member_hinges);
  if (!k_star) return fail(hinge_message(m, k_star.error(), in));
  if (!k_star->has_value()) return std::optional<MemberContribution>();
  const Vec14 u_e = gather_element_displacements(m, in.u);

  // The axial pair acts along the deformed chord; the tiny stabilising stiffness that keeps the
  // rotations and transverse translations of a node held only by bars regular stays what it
  // is in the elastic stiffness: linear, in the undeformed axes.
  Mat14 small = **k_star;
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
    const Mat14 k_off = kSwitchedOffScale * (t0.transpose() * **k_star * t0);
    if (in.need == Need::Forces) {
      c.force = k_off * u_e;
    } else {
      c.tangent = k_off;
    }
    return std::optional<MemberContribution>(c);
  }

  const DeformedChord chord = deformed_chord(m, u_e);
  if (!(chord.l_n >= 1e-12)) {
    if (in.need != Need::Forces) return fail(collapsed_message(m));
    c.inadmissible = collapsed_message(m);
    return std::optional<MemberContribution>(c);
  }
  if (in.need == Need::Forces) {
    c.force = corotational_bar_force(chord, k_axial) + small_global * u_e;
  } else {
    c.tangent = corotational_bar_tangent(chord, k_axial) + small_global;
  }
  return std::optional<MemberContribution>(c);
}

// One member's co-rotational contribution; none when it contributes nothing.
MemberOutcome corotational_member(const Member& m, std::size_t index, const KernelInputs& in) {
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
    case MemberType::Rigid: {
      // The stiff beam of the elastic stiffness under RigidMember, in both kernels; nothing
      // under LinearMpc, where the link is eliminated as a constraint.
      auto k = rigid_stiff_beam_local(m, index, in.stiffness);
      if (!k) return fail(k.error());
      if (!k->has_value()) return std::optional<MemberContribution>();
      return beam_contribution(m, **k, in);
    }
  }
  fatal("Member " + std::to_string(m.id) + ": unknown member type");
}

// Inputs of one assembly: the lookup, the flat member list and the stiff-beam sections.
struct Assembly {
  AssemblyContext ctx;
  std::vector<const Member*> members;
  std::vector<std::optional<std::uint32_t>> rigid_sections;

  explicit Assembly(const VARN& model)
      : ctx(model.build_lookup_maps()),
        members(flatten_members(model.member_sets)),
        rigid_sections(stiff_beam_sections(model, members)) {}
};

}  // namespace

Expected<Eigen::VectorXd> VARN::assemble_corotational_internal_forces(const Eigen::VectorXd& u,
                                                                      const ActiveMap& active,
                                                                      const SupportNodeForceMap& support_forces) const {
  std::string inadmissible;
  auto f = assemble_corotational_internal_forces_if_admissible(u, active, support_forces, &inadmissible);
  if (!f) return fail(f.error());
  if (!*f) return fail(inadmissible);
  return std::move(**f);
}

Expected<std::optional<Eigen::VectorXd>> VARN::assemble_corotational_internal_forces_if_admissible(
    const Eigen::VectorXd& u, const ActiveMap& active, const SupportNodeForceMap& support_forces,
    std::string* inadmissible) const {
  const Assembly a(*this);
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  const MemberStiffnessInputs stiffness{*this, a.ctx, active, nullptr, a.rigid_sections, max_e_mod_in_model(),
                                        StiffnessMessages::InternalForces};
  const KernelInputs in{a.ctx, active, u, Need::Forces, stiffness};
  // The end forces alone travel out of the loop (not the unused tangent beside them).
  struct Forces {
    Vec14 force;
    std::string inadmissible;
  };
  using Outcome = std::optional<Forces>;
  auto members = for_each_member(a.members, [&](const Member& m, std::size_t i) -> Expected<Outcome> {
    auto c = corotational_member(m, i, in);
    if (!c) return fail(c.error());
    if (!c->has_value()) return Outcome();
    return Outcome(Forces{(*c)->force, std::move((*c)->inadmissible)});
  });
  if (!members) return fail(members.error());
  // The first member in member order that cannot describe the state names it.
  for (const Outcome& c : *members) {
    if (c && !c->inadmissible.empty()) {
      if (inadmissible != nullptr) *inadmissible = c->inadmissible;
      return std::optional<Eigen::VectorXd>();
    }
  }

  // Scattered in member order, so every entry is summed in the same order on every run.
  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  for (std::size_t i = 0; i < a.members.size(); ++i) {
    const Outcome& c = (*members)[i];
    if (!c) continue;
    const Vec14& fe = c->force;
    const Member& m = *a.members[i];
    const std::size_t s = dof_index(m.start_node.id, 0);
    const std::size_t e = dof_index(m.end_node.id, 0);
    require_index(s + 6, n);
    require_index(e + 6, n);
    f.segment<7>(static_cast<Eigen::Index>(s)) += fe.head<7>();
    f.segment<7>(static_cast<Eigen::Index>(e)) += fe.tail<7>();
  }

  auto springs = collect_support_spring_entries_with_forces(member_sets, nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  for (const SupportSpringEntry& s : *springs) {
    require_index(s.dof, n);
    require_index(s.dof, static_cast<std::size_t>(u.size()));
    f[static_cast<Eigen::Index>(s.dof)] += s.k * u[static_cast<Eigen::Index>(s.dof)];
  }
  return std::optional<Eigen::VectorXd>(std::move(f));
}

Expected<SparseMatrix> VARN::assemble_corotational_tangent_stiffness_sparse(const Eigen::VectorXd& u,
                                                                         const ActiveMap& active,
                                                                         const SupportNodeForceMap& support_forces,
                                                                         CorotationalTangentForm form) const {
  const Assembly a(*this);
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  const MemberStiffnessInputs stiffness{*this, a.ctx, active, nullptr, a.rigid_sections, max_e_mod_in_model(),
                                        StiffnessMessages::Assembly};
  const bool symmetric = form == CorotationalTangentForm::Symmetric;
  const KernelInputs in{a.ctx, active, u, symmetric ? Need::SymmetricTangent : Need::Tangent, stiffness};
  auto members = assemble_member_matrices(a.members, n, [&](const Member& m,
                                                           std::size_t i) -> Expected<std::optional<Mat14>> {
    auto c = corotational_member(m, i, in);
    if (!c) return fail(c.error());
    if (!c->has_value()) return std::optional<Mat14>();
    return std::optional<Mat14>((*c)->tangent);
  });
  if (!members) return fail(members.error());

  auto springs = collect_support_spring_entries_with_forces(member_sets, nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  if (springs->empty()) return members;
  // A translational spring k·u adds k on its diagonal. A rotational one carries k times the
  // component of the node's rotation vector ψ, which a spin δw changes by J_l⁻¹(ψ)·δw: its
  // row of k·J_l⁻¹(ψ), the diagonal k alone while the node has not turned.
  std::vector<std::pair<std::size_t, double>> diagonal;
  diagonal.reserve(springs->size());
  SparseAssembler turned(n);
  for (const SupportSpringEntry& s : *springs) {
    require_index(s.dof, n);
    require_index(s.dof, static_cast<std::size_t>(u.size()));
    const std::size_t component = s.dof % kDofsPerNode;
    const std::size_t first = s.dof - component + 3;
    if (component < 3 || component > 5 || u.segment<3>(static_cast<Eigen::Index>(first)).squaredNorm() == 0.0) {
      diagonal.emplace_back(s.dof, s.k);
      continue;
    }
    const Mat3 j_inverse = right_jacobian_so3_inverse(-Vec3(u.segment<3>(static_cast<Eigen::Index>(first))));
    for (std::size_t c = 0; c < 3; ++c) {
      const double exact = s.k * j_inverse(static_cast<Eigen::Index>(component - 3), static_cast<Eigen::Index>(c));
      if (!symmetric) {
        turned.add(s.dof, first + c, exact);
      } else {
        // Half of the entry in its place and half in the transposed one.
        turned.add(s.dof, first + c, 0.5 * exact);
        turned.add(first + c, s.dof, 0.5 * exact);
      }
    }
  }
  SparseMatrix k = sparse_add_diagonal(*members, diagonal);
  if (turned.triplets().empty()) return k;
  return sparse_add(k, turned.to_csc());
}

}  // namespace varn
