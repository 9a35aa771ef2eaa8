#include "models/varn/active_set.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "diagnostics/diagnostics.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

template <class F>
void for_each_tie_or_strut(const VARN& model, F&& f) {
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members)
      if (m.member_type == MemberType::Tension || m.member_type == MemberType::Compression) f(m);
}

}  // namespace

std::uint32_t bounded_active_set_passes(std::uint32_t max_iterations, std::size_t switchable) {
  const std::uint64_t bound = 4 * (static_cast<std::uint64_t>(switchable) + 1);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(max_iterations, bound));
}

double axial_slack_tolerance(const VARN& model) { return 0.5 * model.settings.analysis_options.axial_slack; }

bool displacement_settled(const Eigen::VectorXd& du, const Eigen::VectorXd& u, double tolerance) {
  const double du_norm = du.norm();
  return du_norm < tolerance || du_norm / std::max(u.norm(), 1.0) < 1e-6;
}

ActiveMap init_active_map_tie_comp(const VARN& model) {
  ActiveMap active;
  for_each_tie_or_strut(model, [&](const Member& m) { active[m.id] = true; });
  return active;
}

ActiveMap active_map_from_trial_displacement(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u) {
  const AssemblyContext ctx = model.build_lookup_maps();
  const double tol = axial_slack_tolerance(model);
  ActiveMap active;
  for_each_tie_or_strut(model, [&](const Member& m) {
    const double n = member_axial_force(m, u, ctx);
    active[m.id] = m.member_type == MemberType::Tension ? n >= -tol : n <= tol;  // NaN compares false
  });
  return active;
}

bool update_active_set(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u, ActiveMap& active,
                       const AssemblyContext& ctx, double tol, bool allow_reactivation) {
  return update_active_set(
      model, [&](const Member& m) { return member_axial_force(m, u, ctx); }, active, tol, allow_reactivation);
}

bool update_active_set(const VARN& model, const AxialForceOf& axial_force, ActiveMap& active, double tol,
                       bool allow_reactivation) {
  const double buffer = allow_reactivation ? 10.0 * 0.5 * model.settings.analysis_options.axial_slack
                                           : std::numeric_limits<double>::infinity();
  bool changed = false;
  diagnostics::ActiveMapSummary summary;
  for_each_tie_or_strut(model, [&](const Member& m) {
    const double n = axial_force(m);
    const bool was = is_member_active(active, m.id);
    const bool tie = m.member_type == MemberType::Tension;
    bool now = was;
    const char* reason = nullptr;
    if (tie) {
      if (was && !(n >= -tol)) {
        now = false;
        reason = "n < -tol → OFF";
      } else if (!was && allow_reactivation && n >= buffer) {
        now = true;
        reason = "n ≥ reactivate_buffer → ON";
      }
    } else {
      if (was && !(n <= tol)) {
        now = false;
        reason = "n > +tol → OFF";
      } else if (!was && allow_reactivation && n <= -buffer) {
        now = true;
        reason = "n ≤ -reactivate_buffer → ON";
      }
    }
    if (now != was) {
      active[m.id] = now;
      changed = true;
      diagnostics::log_event(diagnostics::ActiveDecision{m.id, tie ? "Tension" : "Compression", n, was, now, reason,
                                                         tol, buffer});
    }
    if (tie) {
      ++(now ? summary.ties_on : summary.ties_off);
    } else {
      ++(now ? summary.struts_on : summary.struts_off);
    }
  });
  diagnostics::log_event(summary);
  return changed;
}

bool finalize_tie_strut_consistency(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u, ActiveMap& active,
                                    const AssemblyContext& ctx) {
  return finalize_tie_strut_consistency(model, [&](const Member& m) { return member_axial_force(m, u, ctx); }, active);
}

bool finalize_tie_strut_consistency(const VARN& model, const AxialForceOf& axial_force, ActiveMap& active) {
  const double slack = model.settings.analysis_options.axial_slack;
  bool changed = false;
  for_each_tie_or_strut(model, [&](const Member& m) {
    if (!is_member_active(active, m.id)) return;
    const double n = axial_force(m);
    const bool wrong_sense = m.member_type == MemberType::Tension ? n < -slack : n > slack;
    if (wrong_sense) {
      active[m.id] = false;
      changed = true;
    }
  });
  return changed;
}

}  // namespace varn
