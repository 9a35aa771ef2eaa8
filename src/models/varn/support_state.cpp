#include "models/varn/support_state.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include <spdlog/logger.h>

#include "diagnostics/diagnostics.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "functions/support_utils.h"
#include "logging.h"
#include "models/varn/varn.h"

namespace varn {

bool is_unilateral(const SupportCondition* condition) {
  return condition != nullptr && !condition->has_curve() &&
         (condition->condition_type == SupportConditionType::PositiveOnly ||
          condition->condition_type == SupportConditionType::NegativeOnly);
}

std::vector<UnilateralDof> collect_unilateral_dofs(const VARN& model) {
  static constexpr std::array<std::string_view, 3> kAxes = {"X", "Y", "Z"};
  std::vector<UnilateralDof> out;
  visit_unique_supported_nodes(
      model.member_sets, supports_by_id(model.nodal_supports), [&](const Node& node, const NodalSupport& support) {
        for (std::size_t group = 0; group < 2; ++group) {
          const auto& conditions = group == 0 ? support.displacement_conditions : support.rotation_conditions;
          for (std::size_t a = 0; a < 3; ++a) {
            const SupportCondition* c = get_support_condition(conditions, kAxes[a]);
            if (!is_unilateral(c)) continue;
            const std::size_t k = 3 * group + a;
            const double sense = c->condition_type == SupportConditionType::PositiveOnly ? 1.0 : -1.0;
            out.push_back(UnilateralDof{dof_index(node.id, k), node.id, support.id, k, sense});
          }
        }
      });
  return out;
}

bool has_unilateral_supports(const VARN& model) { return !collect_unilateral_dofs(model).empty(); }

UnilateralTolerances unilateral_tolerances(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u) {
  const double scale = u.size() == 0 ? 0.0 : u.cwiseAbs().maxCoeff();
  return UnilateralTolerances{0.5 * model.settings.analysis_options.axial_slack, 1e-6 * scale};
}

bool update_support_state(const std::vector<UnilateralDof>& dofs, const Eigen::Ref<const Eigen::VectorXd>& u,
                          const Eigen::Ref<const Eigen::VectorXd>& reactions, const UnilateralTolerances& tol,
                          SupportState& released) {
  bool changed = false;
  for (const UnilateralDof& d : dofs) {
    check_index(d.dof, static_cast<std::size_t>(u.size()), "one-sided support DOF");
    check_index(d.dof, static_cast<std::size_t>(reactions.size()), "one-sided support reaction");
    const auto i = static_cast<Eigen::Index>(d.dof);
    const bool was_released = released.count(d.dof) != 0;
    if (!was_released) {
      // The support force in its allowed sense; a NaN force cannot be carried either.
      const double pushed = d.sense * reactions[i];
      if (!(pushed >= -tol.force)) {
        released.insert(d.dof);
        changed = true;
        solver_log()->debug("[SUPPORT] node {} {}: force {} against its sense → released", d.node,
                            std::string(diagnostics::dof_label(d.k)), reactions[i]);
      }
    } else {
      // Motion into the side the support resists: the node would pass through it.
      const double moved = d.sense * u[i];
      if (moved < -tol.motion) {
        released.erase(d.dof);
        changed = true;
        solver_log()->debug("[SUPPORT] node {} {}: moves {} through the support → held", d.node,
                            std::string(diagnostics::dof_label(d.k)), u[i]);
      }
    }
  }
  return changed;
}

}  // namespace varn
