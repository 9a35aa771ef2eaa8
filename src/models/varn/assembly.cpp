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
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/load_assembler.h"
#include "functions/member_loop.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// A switched-off tie or strut keeps a trace of its stiffness, so that its nodes stay attached
// to the structure and the operator keeps its pattern between active-set passes.
constexpr double kSwitchedOffScale = 1e-10;
// Modulus of the stiff beam of a rigid member whose section or material cannot be found.
constexpr double kDefaultRigidEMod = 2.1e11;

std::string member_text(const Member& m) { return "Member " + std::to_string(m.id); }

// Inputs shared read-only by all tasks of one assembly.
struct ElementInputs {
  const VARN& model;
  const AssemblyContext& ctx;
  const ActiveMap& active;
  const MemberEndForceMap* end_forces;
  // Per member (flat index): the section of the stiff beam of a rigid member under the
  // RigidMember strategy, none when no section can be found.
  const std::vector<std::optional<std::uint32_t>>& rigid_sections;
  double e_max = 0.0;
};

// Stiff-beam scale of a rigid member: four orders of magnitude stiffer than the stiffest
// material of the model, relative to the modulus the beam is built with; clamped so that the
// beam neither softens the structure nor ruins the conditioning of the operator.
double rigid_beam_scale(double e_max, double e) {
  const double target = e_max > 0.0 ? 1e4 * e_max : 2.1e15;
  const double s = target / std::fmax(e, 1.0);  // fmax ignores a NaN modulus
  if (!(s >= 1.0)) return 1.0;
  return std::min(s, 1e8);
}

// Sections of the stiff beams: the rigid member's own section, else that of the first
// elastic member (member order) with a section that shares a node with it, else the first
// section of the model.
std::vector<std::optional<std::uint32_t>> stiff_beam_sections(const VARN& model,
                                                              const std::vector<const Member*>& members) {
  std::vector<std::optional<std::uint32_t>> out(members.size());
  if (model.settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember) return out;
  std::unordered_map<std::uint32_t, std::pair<std::size_t, std::uint32_t>> first_at_node;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type == MemberType::Rigid || !m.section) continue;
    first_at_node.emplace(m.start_node.id, std::make_pair(i, *m.section));
    first_at_node.emplace(m.end_node.id, std::make_pair(i, *m.section));
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type != MemberType::Rigid) continue;
    if (m.section) {
      out[i] = m.section;
      continue;
    }
    std::optional<std::pair<std::size_t, std::uint32_t>> best;
    for (std::uint32_t node : {m.start_node.id, m.end_node.id}) {
      const auto it = first_at_node.find(node);
      if (it != first_at_node.end() && (!best || it->second.first < best->first)) best = it->second;
    }
    if (best) {
      out[i] = best->second;
    } else if (!model.sections.empty()) {
      out[i] = model.sections.front().id;
    }
  }
  return out;
}

// The 14x14 global matrix of one member; none when the member contributes no stiffness.
Expected<std::optional<Mat14>> element_matrix(const Member& m, std::size_t index, const ElementInputs& in) {
  const AssemblyContext& ctx = in.ctx;
  switch (m.member_type) {
    case MemberType::Normal: {
      if (!m.section) return fail(member_text(m) + " (Normal) is missing a section id.");
      const auto k_local = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k_local) return fail(member_text(m) + " failed to build local stiffness.");
      auto k = in.end_forces != nullptr
                   ? local_to_global_with_releases_and_forces(m, *k_local, ctx.member_hinges, nullptr, in.end_forces)
                   : local_to_global_with_releases(m, *k_local, ctx.member_hinges, nullptr);
      if (!k) return fail(k.error());
      return std::optional<Mat14>(*k);
    }
    case MemberType::Truss:
    case MemberType::Tension:
    case MemberType::Compression: {
      auto k = m.calculate_truss_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k) {
        if (m.member_type == MemberType::Truss) return fail(member_text(m) + " (Truss) failed to build truss stiffness.");
        return std::optional<Mat14>();
      }
      // An end hinge of a bar acts in series with it: a spring on the axis softens the bar to
      // k·k_s/(k + k_s), a free axis leaves it without axial force. Adding the hinge spring
      // to the node's diagonal instead would tie the node to the ground.
      const MemberEndModes modes =
          modes_from_single_ends(ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge));
      if (modes.any_release()) {
        const auto k_local = m.calculate_truss_stiffness_matrix_local(ctx.materials, ctx.sections);
        if (!k_local) fatal(member_text(m) + ": truss stiffness found in global but not in local axes");
        auto condensed = local_to_global_with_releases(m, *k_local, ctx.member_hinges, nullptr);
        if (!condensed) return fail(condensed.error());
        *k = *condensed;
      }
      if (m.member_type != MemberType::Truss && !is_member_active(in.active, m.id)) *k *= kSwitchedOffScale;
      return std::optional<Mat14>(*k);
    }
    case MemberType::Rigid: {
      if (in.model.settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember) {
        return std::optional<Mat14>();  // eliminated as a constraint
      }
      const std::optional<std::uint32_t> section = in.rigid_sections[index];
      if (!section) {
        return fail("RigidMember needs at least one section in the model or a section on rigid member " +
                    std::to_string(m.id) + ".");
      }
      double e = kDefaultRigidEMod;
      if (const Section* sec = ctx.section(*section)) {
        if (const Material* mat = ctx.material(sec->material)) e = mat->e_mod;
      }
      const double scale = rigid_beam_scale(in.e_max, e);
      Member stiff = m;
      stiff.section = section;
      const auto k_local = stiff.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k_local) return fail("Rigid member " + std::to_string(m.id) + " failed to build local K.");
      const Mat14 scaled = scale * *k_local;
      auto k = local_to_global_with_releases(stiff, scaled, ctx.member_hinges, nullptr);
      if (!k) return fail(k.error());
      return std::optional<Mat14>(*k);
    }
  }
  fatal(member_text(m) + ": unknown member type");
}

}  // namespace

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
  const ElementInputs inputs{*this, ctx, active, end_forces, rigid_sections, max_e_mod_in_model()};
  return assemble_member_matrices(members, n,
                                  [&](const Member& m, std::size_t i) { return element_matrix(m, i, inputs); });
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
  auto springs = collect_support_spring_entries(member_sets, nodal_supports);
  if (!springs) return fail(springs.error());
  if (springs->empty()) return op;
  std::vector<std::pair<std::size_t, double>> diagonal;
  diagonal.reserve(springs->size());
  for (const SupportSpringEntry& s : *springs) diagonal.emplace_back(s.dof, s.k);
  return sparse_add_diagonal(op, diagonal);
}

Expected<Eigen::VectorXd> VARN::assemble_load_vector_for_case(std::uint32_t load_case_id) const {
  // A gap in the node ids would size the vector by a node that does not exist.
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  const auto lc = std::find_if(load_cases.begin(), load_cases.end(),
                               [&](const LoadCase& c) { return c.id == load_case_id; });
  if (lc == load_cases.end()) return f;
  if (auto r = assemble_nodal_loads(*lc, member_sets, f); !r) return fail(r.error());
  if (auto r = assemble_nodal_moments(*lc, member_sets, f); !r) return fail(r.error());
  const AssemblyContext ctx = build_lookup_maps();
  if (auto r = assemble_distributed_loads(*lc, member_sets, f, load_case_id, &ctx); !r) return fail(r.error());
  return f;
}

Expected<Eigen::VectorXd> VARN::assemble_load_vector_for_combination(std::uint32_t combination_id) const {
  const auto combo = std::find_if(load_combinations.begin(), load_combinations.end(),
                                  [&](const LoadCombination& c) { return c.id == combination_id; });
  if (combo == load_combinations.end()) {
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
