#include "models/varn/second_order/released_member_loads.h"

#include <cstddef>
#include <set>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/member_results.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

// f_e − K_ei·K_ii⁻¹·f_i on the node DOFs (zero on the released ones): the end forces of the
// member held at its nodes under its loads alone, turned round.
Vec14 condensed(const Mat14& k, const Vec14& f_eq, const MemberEndModes& modes) {
  return -recover_member_end_forces_local(k, Vec14::Zero(), f_eq, build_elimination_from_modes(modes));
}

}  // namespace

ReleasedMemberLoads ReleasedMemberLoads::collect(const VARN& model, const AssemblyContext& ctx,
                                                 const ResultType& loads) {
  ReleasedMemberLoads out;
  if (!model.memberhinges || model.memberhinges->empty()) return out;
  const std::set<std::uint32_t> loaded = members_with_distributed_loads(model, loads);
  if (loaded.empty()) return out;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      // Beams only: truss-type members take their loads as simple-beam end forces, which no
      // release condenses, and rigid members carry no geometric stiffness.
      if (m.member_type != MemberType::Normal || loaded.count(m.id) == 0) continue;
      const MemberEndModes modes = modes_from_single_ends(ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge));
      if (!modes.any_release()) continue;
      const auto k = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k) continue;
      Entry e;
      e.member = &m;
      e.k = *k;
      e.t = m.calculate_transformation_matrix_3d();
      e.f_eq = compute_feq_for_member(m.id, e.t, model, m.calculate_length(), loads).f_eq;
      e.f_elastic = condensed(e.k, e.f_eq, modes);
      out.entries_.push_back(std::move(e));
    }
  }
  return out;
}

Eigen::VectorXd ReleasedMemberLoads::shift(const VARN& model, const AssemblyContext& ctx, const Eigen::VectorXd& u,
                                           const MemberEndForceMap* end_forces) const {
  Eigen::VectorXd out = Eigen::VectorXd::Zero(u.size());
  const AnalysisOptions& options = model.settings.analysis_options;
  for (const Entry& e : entries_) {
    const Member& m = *e.member;
    // The geometric stiffness and hinge modes of the recovery (recover_beam).
    Mat14 kg = member_geometric_stiffness_local(m, member_axial_force(m, u, ctx), ctx, options);
    suppress_geometric_axes_local(options.pdelta_suppress_axes, e.t, kg);
    const EndForces* start_forces = nullptr;
    const EndForces* end_forces_of_m = nullptr;
    if (end_forces != nullptr) {
      if (const auto it = end_forces->find(m.id); it != end_forces->end()) {
        start_forces = &it->second.first;
        end_forces_of_m = &it->second.second;
      }
    }
    const MemberEndModes modes = modes_from_single_ends_with_forces(
        ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge), start_forces, end_forces_of_m);
    const Vec14 f = e.t.transpose() * (condensed(e.k + kg, e.f_eq, modes) - e.f_elastic);
    const std::size_t s = dof_index(m.start_node.id, 0);
    const std::size_t n = dof_index(m.end_node.id, 0);
    check_index(s + kDofsPerNode - 1, static_cast<std::size_t>(u.size()), "member load DOF");
    check_index(n + kDofsPerNode - 1, static_cast<std::size_t>(u.size()), "member load DOF");
    out.segment<7>(static_cast<Eigen::Index>(s)) += f.head<7>();
    out.segment<7>(static_cast<Eigen::Index>(n)) += f.tail<7>();
  }
  return out;
}

}  // namespace varn::second_order
