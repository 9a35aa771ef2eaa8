// Global elastic stiffness, the system operator and the load vectors of load cases and
// combinations.
//
// The element matrices are built member by member on the TBB pool by the one member loop,
// which scatters them in member order, so the sums of the compressed matrix are formed in the
// same order on every run and for every thread count.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/load_assembler.h"
#include "functions/member_loop.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/loads/load_lookup.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

Expected<void> VARN::validate_node_ids() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(2 * get_member_count());
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      ids.push_back(m.start_node.id);
      ids.push_back(m.end_node.id);
    }
  }
  if (ids.empty()) return {};
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  // Node 0 has no place in the numbering 7·(id − 1) + k.
  if (ids.front() == 0) return fail("Node ID 0 is not allowed. Node IDs must be consecutive starting from 1.");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto expected = static_cast<std::uint32_t>(i + 1);
    if (ids[i] != expected) {
      return fail("Node ID " + std::to_string(expected) + " is missing. Node IDs must be consecutive starting from 1.");
    }
  }
  return {};
}

double VARN::max_e_mod_in_model() const {
  double e_max = 0.0;
  bool any = false;
  for (const auto& mat : materials) {
    if (!std::isfinite(mat.e_mod)) continue;
    e_max = any ? std::max(e_max, mat.e_mod) : mat.e_mod;
    any = true;
  }
  return any ? e_max : 0.0;
}


Expected<SparseMatrix> VARN::assemble_global_stiffness_matrix_sparse_impl(const ActiveMap& active,
                                                                          const MemberEndForceMap* end_forces) const {
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const AssemblyContext ctx = build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(member_sets);

  const std::vector<const Member*> members = flatten_members(member_sets);
  const auto rigid_sections = stiff_beam_sections(*this, members);
  const MemberStiffnessInputs inputs{*this,          ctx, active, end_forces, rigid_sections, max_e_mod_in_model(),
                                     StiffnessMessages::Assembly};
  return assemble_member_matrices(members, n,
                                  [&](const Member& m, std::size_t i) { return member_elastic_stiffness_global(m, i, inputs); });
}

Expected<SparseMatrix> VARN::assemble_global_stiffness_matrix_sparse(const ActiveMap& active) const {
  return assemble_global_stiffness_matrix_sparse_impl(active, nullptr);
}

Expected<SparseMatrix> VARN::assemble_global_stiffness_matrix_sparse_with_hinge_forces(
    const ActiveMap& active, const MemberEndForceMap& end_forces) const {
  return assemble_global_stiffness_matrix_sparse_impl(active, &end_forces);
}

Expected<SparseMatrix> VARN::build_operator_with_supports_sparse_internal(const ActiveMap& active,
                                                                          const Eigen::VectorXd* displacement) const {
  auto k = assemble_global_stiffness_matrix_sparse_impl(active, nullptr);
  if (!k) return fail(k.error());
  SparseMatrix op = std::move(*k);
  if (displacement != nullptr) {
    auto kg = assemble_geometric_stiffness_matrix_sparse(*displacement, active);
    if (!kg) return fail(kg.error());
    op = sparse_add(op, *kg);
  }
  return add_support_springs(op, member_sets, nodal_supports);
}

Expected<Eigen::VectorXd> VARN::assemble_load_vector_for_case(std::uint32_t load_case_id) const {
  // A gap in the node ids would size the vector by a node that does not exist.
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  const LoadCase* lc = find_load_case(load_cases, load_case_id);
  if (lc == nullptr) return f;
  if (auto r = assemble_nodal_loads(*lc, member_sets, f); !r) return fail(r.error());
  if (auto r = assemble_nodal_moments(*lc, member_sets, f); !r) return fail(r.error());
  const AssemblyContext ctx = build_lookup_maps();
  if (auto r = assemble_distributed_loads(*lc, member_sets, f, load_case_id, &ctx); !r) return fail(r.error());
  return f;
}

Expected<Eigen::VectorXd> VARN::assemble_load_vector_for_combination(std::uint32_t combination_id) const {
  const LoadCombination* combo = find_load_combination(load_combinations, combination_id);
  if (combo == nullptr) {
    return fail("LoadCombination " + std::to_string(combination_id) + " not found.");
  }
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  // The factors are summed in the order the combination lists them, so the last bits of the
  // sum are the same on every run.
  for (const auto& entry : combo->load_cases_factors) {
    const std::uint32_t case_id = entry.first;
    const double factor = entry.second;
    const bool exists = std::any_of(load_cases.begin(), load_cases.end(),
                                    [&](const LoadCase& c) { return c.id == case_id; });
    if (!exists) continue;
    auto fc = assemble_load_vector_for_case(case_id);
    if (!fc) return fail(fc.error());
    f += factor * *fc;
  }
  return f;
}

}  // namespace varn
