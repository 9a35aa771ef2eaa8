// The force state that stiffness curves are read at: the global forces at supported nodes, and
// the local end forces of members whose hinges follow curves.
#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "functions/geometry.h"
#include "functions/support_utils.h"
#include "models/varn/varn.h"

namespace varn {

SupportNodeForceMap VARN::extract_support_node_forces(const Eigen::VectorXd& f) const {
  SupportNodeForceMap out;
  const SupportsById supports = supports_by_id(nodal_supports);
  const auto size = static_cast<std::size_t>(f.size());
  std::unordered_set<std::uint32_t> visited;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (!visited.insert(node->id).second) continue;
        if (!node->nodal_support || !supports.count(*node->nodal_support)) continue;
        if (node->id == 0 || dof_index(node->id, 5) >= size) continue;
        SupportNodeForces forces{};
        const std::size_t base = dof_index(node->id, 0);
        for (std::size_t k = 0; k < 6; ++k) forces[k] = f[static_cast<Eigen::Index>(base + k)];
        out.emplace(node->id, forces);
      }
    }
  }
  return out;
}

MemberEndForceMap VARN::extract_member_hinge_forces(const Eigen::VectorXd& u) const {
  MemberEndForceMap out;
  const AssemblyContext ctx = build_lookup_maps();
  const auto size = static_cast<std::size_t>(u.size());
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      const MemberHinge* hs = ctx.member_hinge(m.start_hinge);
      const MemberHinge* he = ctx.member_hinge(m.end_hinge);
      if (!((hs != nullptr && hs->has_curve()) || (he != nullptr && he->has_curve()))) continue;
      // The curve reads the force that the unreleased element carries for the current end
      // displacements, the same measure whatever the hinge currently releases.
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
      const Vec14 f_local = *k * (t * u_e);
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
