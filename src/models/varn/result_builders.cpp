// Result sets of a solve: displacements, reactions and member results assembled into one
// `Results`, and stored in the model's results bundle under a name unique within its map.
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "models/varn/reactions.h"
#include "models/varn/member_results.h"
#include "logging.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

Results assemble_results(const VARN& model, std::string name, const ResultType& type,
                         const Eigen::Ref<const Eigen::VectorXd>& u, const Eigen::Ref<const Eigen::VectorXd>& reactions,
                         const ActiveMap* active, RecoveryMode mode, std::optional<MemberResultMap> member_results) {
  Results r;
  r.name = std::move(name);
  r.result_type = type;
  r.member_results = member_results
                         ? std::move(*member_results)
                         : compute_member_results_from_displacement(model, type, u, active, mode);
  r.displacement_nodes = extract_displacements(model, u);
  r.reaction_nodes = extract_reaction_nodes(model, reactions);
  const std::uint64_t members = model.get_member_count();
  r.summary = ResultsSummary{members, static_cast<std::uint64_t>(model.nodal_supports.size()), members};
  r.unity_checks = std::nullopt;
  return r;
}

bool finite(const NodeForces& f) {
  return std::isfinite(f.fx) && std::isfinite(f.fy) && std::isfinite(f.fz) && std::isfinite(f.mx) &&
         std::isfinite(f.my) && std::isfinite(f.mz) && std::isfinite(f.bw);
}

bool finite(const NodeDisplacement& d) {
  return std::isfinite(d.dx) && std::isfinite(d.dy) && std::isfinite(d.dz) && std::isfinite(d.rx) &&
         std::isfinite(d.ry) && std::isfinite(d.rz) && std::isfinite(d.warp);
}

bool finite(const MemberResult& m) {
  for (const NodeForces* f : {&m.start_node_forces, &m.end_node_forces, &m.maximums, &m.minimums,
                              &m.local_start_forces, &m.local_end_forces, &m.local_maximums, &m.local_minimums})
    if (!finite(*f)) return false;
  if (!finite(m.local_displacement_start_node) || !finite(m.local_displacement_end_node)) return false;
  for (const auto& station : m.section_forces)
    if (!std::isfinite(station.x_frac) || !finite(station.forces)) return false;
  return true;
}

}  // namespace

Expected<void> VARN::check_results_finite(const Results& set) {
  // The maps are ordered by id, so the first entry found is the lowest id.
  std::optional<std::uint32_t> node;
  for (const auto& [id, d] : set.displacement_nodes) {
    if (!finite(d)) {
      node = id;
      break;
    }
  }
  for (const auto& [id, r] : set.reaction_nodes) {
    if (node && id >= *node) break;
    if (!finite(r.nodal_forces)) {
      node = id;
      break;
    }
  }
  std::string where;
  if (node) {
    where = "node " + std::to_string(*node);
  } else {
    for (const auto& [id, m] : set.member_results) {
      if (!finite(m)) {
        where = "member " + std::to_string(id);
        break;
      }
    }
  }
  if (where.empty()) return {};
  return fail("Results of " + set.result_type.label() + " are not finite at " + where);
}

std::string unique_result_key(const std::map<std::string, Results>& target, const std::string& name,
                              bool is_combination) {
  std::string key = name;
  if (target.count(key) == 0) return key;
  int n = 2;
  do {
    key = name + " (" + std::to_string(n) + ")";
    ++n;
  } while (target.count(key) != 0);
  logger_for("varn_calculations::models::varn::varn")
      ->warn("Duplicate {} name '{}', renamed to '{}'", is_combination ? "load combination" : "load case", name, key);
  return key;
}

Results& VARN::build_and_store_results(std::string name, bool is_combination, std::uint32_t id,
                                       const Eigen::Ref<const Eigen::VectorXd>& u,
                                       const Eigen::Ref<const Eigen::VectorXd>& reactions, const ActiveMap* active,
                                       RecoveryMode mode,
                                       std::optional<std::map<std::uint32_t, MemberResult>> member_results) {
  const ResultType type = is_combination ? ResultType::loadcombination(id) : ResultType::loadcase(id);
  Results set = assemble_results(*this, name, type, u, reactions, active, mode, std::move(member_results));

  if (!results) results.emplace();
  auto& target = is_combination ? results->loadcombinations : results->loadcases;
  // Keep the earlier set (an input set, or a set of this run) and file this one beside it.
  std::string key = unique_result_key(target, name, is_combination);
  set.name = key;
  return target.emplace(std::move(key), std::move(set)).first->second;
}

Results VARN::build_results_only(std::string name, std::uint32_t id, const Eigen::Ref<const Eigen::VectorXd>& u,
                                 const Eigen::Ref<const Eigen::VectorXd>& reactions, const ActiveMap* active,
                                 RecoveryMode mode,
                                 std::optional<std::map<std::uint32_t, MemberResult>> member_results) const {
  return assemble_results(*this, std::move(name), ResultType::loadcombination(id), u, reactions, active, mode,
                          std::move(member_results));
}

}  // namespace varn
