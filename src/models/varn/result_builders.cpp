// Result sets of a solve: displacements, reactions and member results assembled into one
// `Results`, and stored in the model's results bundle under a name unique within its map.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "functions/reactions.h"
#include "functions/results.h"
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

}  // namespace

Results& VARN::build_and_store_results(std::string name, bool is_combination, std::uint32_t id,
                                       const Eigen::Ref<const Eigen::VectorXd>& u,
                                       const Eigen::Ref<const Eigen::VectorXd>& reactions, const ActiveMap* active,
                                       RecoveryMode mode,
                                       std::optional<std::map<std::uint32_t, MemberResult>> member_results) {
  const ResultType type = is_combination ? ResultType::loadcombination(id) : ResultType::loadcase(id);
  Results set = assemble_results(*this, name, type, u, reactions, active, mode, std::move(member_results));

  if (!results) results.emplace();
  auto& target = is_combination ? results->loadcombinations : results->loadcases;
  std::string key = name;
  if (target.count(key) != 0) {
    // Keep the earlier set (an input set, or a set of this run) and file this one beside it.
    int n = 2;
    do {
      key = name + " (" + std::to_string(n) + ")";
      ++n;
    } while (target.count(key) != 0);
    logger_for("varn_calculations::models::varn::varn")
        ->warn("Duplicate {} name '{}', renamed to '{}'", is_combination ? "load combination" : "load case", name,
               key);
  }
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
