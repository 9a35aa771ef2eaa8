// The force state that stiffness curves are read at: the forces the supports carry at supported
// nodes, and the end forces of members whose hinges follow curves, each the force that passes
// through the spring the curve describes.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/member_results.h"
#include "functions/support_utils.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

SupportNodeForceMap VARN::extract_support_node_forces(const Eigen::VectorXd& f) const {
  SupportNodeForceMap out;
  const auto size = static_cast<std::size_t>(f.size());
  visit_unique_supported_nodes(member_sets, supports_by_id(nodal_supports), [&](const Node& node, const NodalSupport&) {
    if (node.id == 0 || dof_index(node.id, 5) >= size) return;
    SupportNodeForces forces{};
    const std::size_t base = dof_index(node.id, 0);
    for (std::size_t k = 0; k < 6; ++k) forces[k] = f[static_cast<Eigen::Index>(base + k)];
    out.emplace(node.id, forces);
  });
  return out;
}

SupportNodeForceMap VARN::extract_carried_support_forces(const Eigen::VectorXd& member_forces,
                                                         const Eigen::VectorXd& f_ext) const {
  // At a node the members take f_members, the springs k·u, and the two together balance the
  // load: f_ext − f_members is what reaches the supports. The internal-force entry itself
  // holds the spring's own k·u as well, and is nearly zero at an unloaded supported node.
  if (member_forces.size() != f_ext.size()) fatal("Matrix index out of bounds.");
  return extract_support_node_forces(f_ext - member_forces);
}

Expected<SupportNodeForceMap> VARN::compute_carried_support_forces(const Eigen::VectorXd& u, const ActiveMap& active,
                                                                   bool include_geometric,
                                                                   const Eigen::VectorXd& f_ext,
                                                                   const MemberEndForceMap* end_forces) const {
  // The members' share does not depend on the support springs' stiffnesses.
  auto f = compute_internal_forces(u, active, include_geometric, SupportNodeForceMap{}, end_forces);
  if (!f) return fail(f.error());
  return extract_carried_support_forces(f->members, f_ext);
}

MemberEndForceMap VARN::extract_member_hinge_forces(const Eigen::VectorXd& u, const HingeForceState& state) const {
  MemberEndForceMap out;
  const AssemblyContext ctx = build_lookup_maps();
  const AnalysisOptions& options = settings.analysis_options;
  const double threshold = geometric_force_threshold(options);
  const auto size = static_cast<std::size_t>(u.size());
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      const MemberHinge* hs = ctx.member_hinge(m.start_hinge);
      const MemberHinge* he = ctx.member_hinge(m.end_hinge);
      if (!((hs != nullptr && hs->has_curve()) || (he != nullptr && he->has_curve()))) continue;
      const auto k = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k) continue;
      const std::uint32_t s_id = m.start_node.id;
      const std::uint32_t e_id = m.end_node.id;
      if (s_id == 0 || e_id == 0) continue;
      if (kDofsPerNode * s_id > size || kDofsPerNode * e_id > size) continue;
      Vec14 u_e;
      const std::size_t s = dof_index(s_id, 0);
      const std::size_t e = dof_index(e_id, 0);
      for (std::size_t i = 0; i < kDofsPerNode; ++i) {
        u_e[static_cast<Eigen::Index>(i)] = u[static_cast<Eigen::Index>(s + i)];
        u_e[static_cast<Eigen::Index>(7 + i)] = u[static_cast<Eigen::Index>(e + i)];
      }
      const Mat14 t = m.calculate_transformation_matrix_3d();
      Mat14 k_eff = *k;
      if (state.include_geometric && m.member_type == MemberType::Normal) {
        const double n = member_axial_force(m, u, ctx);
        if (!(std::abs(n) < threshold)) {
          // The same matrix and suppressed axes as the tangent.
          Mat14 kg = member_geometric_stiffness_local(m, n, ctx, options);
          suppress_geometric_axes_local(options.pdelta_suppress_axes, t, kg);
          k_eff += kg;
        }
      }
      Vec14 f_eq = Vec14::Zero();
      if (state.loads) {
        f_eq = state.load_factor * compute_feq_for_member(m.id, t, *this, m.calculate_length(), *state.loads).f_eq;
      }
      // The hinge transmits what the member, held by its hinge springs at their current
      // stiffnesses, delivers at its ends; the unreleased K·u would instead report the force
      // of a rigid connection, many times the spring's own when the spring is soft.
      const EndForces* fs = nullptr;
      const EndForces* fe = nullptr;
      if (state.current != nullptr) {
        if (const auto it = state.current->find(m.id); it != state.current->end()) {
          fs = &it->second.first;
          fe = &it->second.second;
        }
      }
      const MemberEndModes modes = modes_from_single_ends_with_forces(hs, he, fs, fe);
      const Vec14 f_local =
          recover_member_end_forces_local(k_eff, t * u_e, f_eq, build_elimination_from_modes(modes));
      EndForces start{};
      EndForces end{};
      for (std::size_t i = 0; i < 6; ++i) {
        start[i] = f_local[static_cast<Eigen::Index>(i)];
        end[i] = f_local[static_cast<Eigen::Index>(7 + i)];
      }
      out[m.id] = {start, end};
    }
  }
  return out;
}

}  // namespace varn
