// Internal (resisting) force vector of the P-delta solve: every member's condensed elastic and
// geometric stiffness times its end displacements, summed in member order, plus the support
// springs. The member matrices are the very ones the tangent is assembled from (the elastic
// operator with the same hinge forces, the jointly condensed geometric stiffness, the same
// spring list), so that the Newton residual and the tangent describe one and the same
// structure and the iteration converges quadratically.
#include "models/varn/second_order/internal_forces.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/member_loop.h"
#include "functions/support_utils.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr const char* kIndexFault = "Matrix index out of bounds.";

struct Inputs {
  const VARN& model;
  const AssemblyContext& ctx;
  const Eigen::VectorXd& u;
  const ActiveMap& active;
  bool include_geometric;
  double threshold;
  const MemberStiffnessInputs& stiffness;
};

Vec14 element_displacements(const Member& m, const Eigen::VectorXd& u) {
  const auto n = static_cast<std::size_t>(u.size());
  Vec14 ue;
  Eigen::Index k = 0;
  for (const std::uint32_t id : {m.start_node.id, m.end_node.id}) {
    // Node id 0 wraps the index far beyond any vector, so it fails here too.
    const std::size_t base = dof_index(id, 0);
    if (base > n || n - base < kDofsPerNode) fatal(kIndexFault);
    for (std::size_t j = 0; j < kDofsPerNode; ++j) ue[k++] = u[static_cast<Eigen::Index>(base + j)];
  }
  return ue;
}

Expected<Vec14> member_forces(const Member& m, std::size_t index, const Inputs& in) {
  auto k = member_elastic_stiffness_global(m, index, in.stiffness);
  if (!k) return fail(k.error());
  std::optional<Mat14> kg;
  if (in.include_geometric) {
    auto g = member_geometric_stiffness_global(m, in.ctx, in.model.settings.analysis_options, in.u, in.active,
                                               in.threshold);
    if (!g) return fail(g.error());
    kg = std::move(*g);
  }
  if (!k->has_value() && !kg) return Vec14(Vec14::Zero());
  const Vec14 ue = element_displacements(m, in.u);
  // The tangent holds the sum of both matrices; forming it here too keeps the residual the
  // exact product of the tangent's own member matrix with u.
  if (k->has_value() && kg) return Vec14((**k + *kg) * ue);
  if (kg) return Vec14(*kg * ue);
  return Vec14(**k * ue);
}

}  // namespace

Expected<InternalForces> VARN::compute_internal_forces(const Eigen::VectorXd& u, const ActiveMap& active,
                                                       bool include_geometric,
                                                       const SupportNodeForceMap& support_forces,
                                                       const MemberEndForceMap* end_forces) const {
  const AssemblyContext ctx = build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(member_sets);

  const std::vector<const Member*> members = flatten_members(member_sets);
  const auto rigid_sections = stiff_beam_sections(*this, members);
  const MemberStiffnessInputs stiffness{*this,          ctx, active, end_forces, rigid_sections, max_e_mod_in_model(),
                                        StiffnessMessages::InternalForces};
  const Inputs inputs{*this, ctx, u, active, include_geometric, geometric_force_threshold(settings.analysis_options),
                      stiffness};

  // One element force vector per member, collected in member order; the failure of the
  // lowest member index is the one returned (or rethrown), whatever the scheduling.
  auto element_forces =
      for_each_member(members, [&](const Member& m, std::size_t i) { return member_forces(m, i, inputs); });
  if (!element_forces) return fail(element_forces.error());

  // Summed in member order, so the result is the same on every run and thread count.
  InternalForces out;
  out.members = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Vec14& f = (*element_forces)[i];
    const std::size_t s = dof_index(members[i]->start_node.id, 0);
    const std::size_t e = dof_index(members[i]->end_node.id, 0);
    for (std::size_t j = 0; j < kDofsPerNode; ++j) {
      out.members[static_cast<Eigen::Index>(s + j)] += f[static_cast<Eigen::Index>(j)];
      out.members[static_cast<Eigen::Index>(e + j)] += f[static_cast<Eigen::Index>(7 + j)];
    }
  }

  auto springs = collect_support_spring_entries_with_forces(member_sets, nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  out.total = out.members;
  for (const SupportSpringEntry& s : *springs) {
    if (s.dof >= n || s.dof >= static_cast<std::size_t>(u.size())) fatal(kIndexFault);
    const auto d = static_cast<Eigen::Index>(s.dof);
    out.total[d] += s.k * u[d];
  }
  return out;
}

Expected<Eigen::VectorXd> VARN::compute_internal_force_vector_with_forces(const Eigen::VectorXd& u,
                                                                          const ActiveMap& active,
                                                                          bool include_geometric,
                                                                          const SupportNodeForceMap& support_forces,
                                                                          const MemberEndForceMap* end_forces) const {
  auto f = compute_internal_forces(u, active, include_geometric, support_forces, end_forces);
  if (!f) return fail(f.error());
  return std::move(f->total);
}

}  // namespace varn
