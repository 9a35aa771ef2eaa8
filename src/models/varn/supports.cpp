// Support conditions: the DOFs that supports hold, their imposition on the global system
// (penalty, through the sparse layer) or on the system reduced by rigid elimination (exact
// where a held DOF is retained or follows one reduced DOF, a penalty on its constraint row
// otherwise), and the dispatcher of the constrained solve.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/support_state.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// A held DOF counts as following one reduced DOF when the rest of its row carries no more
// than 0.05² of the dominant coefficient's square.
constexpr double kOneHotRatio = 0.05 * 0.05;
constexpr double kReducedPenaltyFactor = 1000.0;

using FixedDofs = std::array<bool, kDofsPerNode>;

// Translations and rotations are held unless a condition frees them (an axis without a
// condition is held); warping is free unless a Fixed condition holds it. Springs restrain
// nothing here: they enter the operator. A one-sided condition holds its DOF rigidly unless
// the support state has released it.
FixedDofs fixed_dofs(const NodalSupport& s, std::uint32_t node, const SupportState& released) {
  static constexpr std::array<std::string_view, 3> kAxes = {"X", "Y", "Z"};
  FixedDofs fixed{};
  auto held = [&](const SupportCondition* c, std::size_t k) {
    if (c == nullptr || c->condition_type == SupportConditionType::Fixed) return true;
    return is_unilateral(c) && released.count(dof_index(node, k)) == 0;
  };
  for (std::size_t a = 0; a < 3; ++a) {
    fixed[a] = held(get_support_condition(s.displacement_conditions, kAxes[a]), a);
    fixed[3 + a] = held(get_support_condition(s.rotation_conditions, kAxes[a]), 3 + a);
  }
  fixed[6] = s.warping_condition && s.warping_condition->condition_type == SupportConditionType::Fixed;
  return fixed;
}

// Every member end in order (member-set order, member order, start then end) whose node names
// an existing support, every occurrence.
template <class Visitor>
void for_each_supported_member_end(const VARN& model, const SupportsById& supports, Visitor&& visit) {
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (!node->nodal_support) continue;
        const auto it = supports.find(*node->nodal_support);
        if (it == supports.end() || it->second == nullptr) continue;
        visit(*node, *it->second);
      }
    }
  }
}

double max_abs_diagonal_or_one(const SparseMatrix& k) {
  const double s = sparse_max_abs_diagonal(k);
  return s > 0.0 ? s : 1.0;
}

// Σ c_j².
double weight(const SparseRow& c) {
  double sq = 0.0;
  for (const auto& [j, v] : c) sq += v * v;
  return sq;
}

// The column of the largest |c_j| (the first of equal ones); none for a row of no weight.
std::optional<std::size_t> largest_column(const SparseRow& c) {
  std::optional<std::size_t> column;
  double largest = 0.0;
  for (const auto& [j, v] : c) {
    if (std::abs(v) > largest) {
      largest = std::abs(v);
      column = j;
    }
  }
  return column;
}

// ĉ = c/|c|; empty when the row has no weight (nothing to impose).
SparseRow normalized(const SparseRow& c) {
  const double sq = weight(c);
  SparseRow out;
  if (!(sq > 0.0)) return out;
  const double norm = std::sqrt(sq);
  for (const auto& [j, v] : c) {
    const double w = v / norm;
    if (w != 0.0) out.emplace_back(j, w);
  }
  return out;
}

// One imposition on the reduced system.
struct ReducedAction {
  enum Kind { ExactRetained, ExactOneHot, Penalty };
  Kind kind = ExactRetained;
  std::size_t index = 0;  // the exactly fixed reduced DOF
  SparseRow c_hat;        // penalty direction
  double alpha = 0.0;
  std::uint32_t node = 0;
  std::size_t k = 0;  // DOF within the node
};

// The held DOFs of the supported member ends, each once, ascending by global DOF: what is
// imposed, and how, follows from the supports and C alone, whatever the order of the members.
std::vector<ReducedAction> held_dofs(const VARN& model, const RigidElimination& elimination,
                                     const SupportState& released) {
  std::vector<ReducedAction> held;
  const SupportsById supports = supports_by_id(model.nodal_supports);
  std::unordered_set<std::size_t> handled;
  for_each_supported_member_end(model, supports, [&](const Node& node, const NodalSupport& support) {
    const FixedDofs fixed = fixed_dofs(support, node.id, released);
    for (std::size_t k = 0; k < kDofsPerNode; ++k) {
      if (!fixed[k]) continue;
      const std::size_t d = dof_index(node.id, k);
      if (d >= elimination.n) fatal("Matrix index out of bounds.");
      if (!handled.insert(d).second) continue;
      ReducedAction a;
      a.node = node.id;
      a.k = k;
      held.push_back(std::move(a));
    }
  });
  std::sort(held.begin(), held.end(), [](const ReducedAction& a, const ReducedAction& b) {
    return dof_index(a.node, a.k) < dof_index(b.node, b.k);
  });
  return held;
}

// Decides, for each held DOF once, how it is imposed. Exact conditions come first and stay
// exact: a held DOF that is retained fixes its column; a held slave DOF's condition c·u_r = 0
// is then read on the columns that no exact condition fixes (on those it says the same), and
// fixes its column exactly when it follows one of them alone; that can make another slave's
// condition follow one column alone, so the rows are read again until no column is added. What
// remains is a penalty on the remaining part of its row, which therefore never touches an exactly
// fixed column: a penalty laid over an exact row would undo it (a master held in UZ whose
// supported slave's UZ is uz_m − 2·ry_m would lose its UZ condition to the penalty's coupling).
// The penalty weight is taken from K_r as reduced, before any condition is imposed: taken from
// the matrix that earlier penalties have already stiffened, it would grow by three orders of
// magnitude with every penalised DOF and swamp the structure's own stiffness.
std::vector<ReducedAction> plan_reduced_constraints(const VARN& model, const RigidElimination& elimination,
                                                    const SparseMatrix& k_r, const SupportState& released) {
  std::vector<ReducedAction> actions = held_dofs(model, elimination, released);
  std::vector<char> exact(elimination.n_r, 0);
  std::vector<SparseRow> rows(actions.size());
  std::vector<char> decided(actions.size(), 0);
  for (std::size_t t = 0; t < actions.size(); ++t) {
    ReducedAction& a = actions[t];
    const std::size_t d = dof_index(a.node, a.k);
    if (const auto r = elimination.reduced_column(d)) {
      check_index(*r, elimination.n_r, "retained held DOF");
      a.kind = ReducedAction::ExactRetained;
      a.index = *r;
      exact[*r] = 1;
      decided[t] = 1;
    } else {
      rows[t] = elimination.row(d);
    }
  }
  // The part of a slave's row on the columns that are not exactly fixed.
  auto free_part = [&](const SparseRow& c) {
    SparseRow out;
    for (const auto& [j, v] : c) {
      check_index(j, elimination.n_r, "constraint row");
      if (!exact[j]) out.emplace_back(j, v);
    }
    return out;
  };
  for (bool added = true; added;) {
    added = false;
    for (std::size_t t = 0; t < actions.size(); ++t) {
      if (decided[t]) continue;
      const SparseRow c = free_part(rows[t]);
      // A row left without weight is held by the exact conditions it is made of, exactly,
      // through its largest column.
      const std::optional<std::size_t> pivot =
          weight(c) > 0.0 ? VARN::detect_one_hot_constraint(c) : largest_column(rows[t]);
      if (!pivot) continue;
      actions[t].kind = ReducedAction::ExactOneHot;
      actions[t].index = *pivot;
      decided[t] = 1;
      if (!exact[*pivot]) {
        exact[*pivot] = 1;
        added = true;
      }
    }
  }
  const double alpha = elimination.n_r == 0 ? kReducedPenaltyFactor : kReducedPenaltyFactor * max_abs_diagonal_or_one(k_r);
  std::vector<ReducedAction> out;
  out.reserve(actions.size());
  for (std::size_t t = 0; t < actions.size(); ++t) {
    ReducedAction& a = actions[t];
    if (!decided[t]) {
      const SparseRow c = free_part(rows[t]);
      if (!(weight(c) > 0.0)) continue;  // a row of no weight: nothing to impose
      a.kind = ReducedAction::Penalty;
      a.c_hat = normalized(c);
      a.alpha = alpha;
    }
    out.push_back(std::move(a));
  }
  return out;
}

// Applies the actions in one rebuild of K_r: an exact condition zeroes its row and column and
// sets the diagonal to 1; a penalty adds α·ĉ·ĉᵀ, which never touches an exactly fixed column
// (the planning keeps them apart, and a penalty alone, from constrain_linear_constraint_penalty,
// has no exact condition beside it).
void apply_reduced_actions(SparseMatrix& k_r, Eigen::VectorXd* f_r, const std::vector<ReducedAction>& actions) {
  const std::size_t n_r = static_cast<std::size_t>(k_r.cols());
  std::vector<char> exact(n_r, 0);
  for (const ReducedAction& a : actions) {
    if (a.kind == ReducedAction::Penalty) continue;
    check_index(a.index, n_r, "reduced constraint");
    exact[a.index] = 1;
  }
  SparseAssembler out(n_r);
  for (Eigen::Index j = 0; j < k_r.outerSize(); ++j) {
    for (SparseMatrix::InnerIterator it(k_r, j); it; ++it) {
      if (exact[static_cast<std::size_t>(it.row())] || exact[static_cast<std::size_t>(j)]) continue;
      out.add(static_cast<std::size_t>(it.row()), static_cast<std::size_t>(j), it.value());
    }
  }
  for (std::size_t d = 0; d < n_r; ++d) {
    if (exact[d]) out.add(d, d, 1.0);
  }
  for (const ReducedAction& a : actions) {
    if (a.kind != ReducedAction::Penalty) continue;
    for (const auto& [i, ci] : a.c_hat) {
      check_index(i, n_r, "penalty row");
      if (exact[i]) fatal("reduced constraints: a penalty row reaches an exactly fixed DOF");
      for (const auto& [j, cj] : a.c_hat) out.add(j, i, a.alpha * ci * cj);
    }
  }
  k_r = out.to_csc();
  if (f_r != nullptr) {
    for (std::size_t d = 0; d < n_r; ++d) {
      if (exact[d]) (*f_r)[static_cast<Eigen::Index>(d)] = 0.0;
    }
  }
}

void log_constraint_event(const ReducedAction& a) {
  // Translations are reported when penalised, rotations and warping when imposed exactly.
  const bool translation = a.k < 3;
  diagnostics::Constraint ev;
  ev.node_id = a.node;
  ev.dof = std::string(diagnostics::dof_label(a.k));
  switch (a.kind) {
    case ReducedAction::ExactRetained:
    case ReducedAction::ExactOneHot:
      if (translation) return;
      ev.retained_in_reduced = a.kind == ReducedAction::ExactRetained;
      ev.method = a.kind == ReducedAction::ExactRetained ? "ExactRetained" : "ExactOneHot";
      ev.pivot_index = a.index;
      break;
    case ReducedAction::Penalty:
      if (!translation) return;
      ev.method = "Penalty";
      ev.penalty_alpha = a.alpha;
      break;
  }
  diagnostics::log_event(ev);
}

}  // namespace

Expected<std::vector<std::size_t>> VARN::collect_constrained_dofs_full(const SupportState& released) const {
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const SupportsById supports = supports_by_id(nodal_supports);
  std::unordered_set<std::uint32_t> visited;
  std::set<std::size_t> dofs;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        // Each node is judged once, by the first member end that carries it.
        if (!visited.insert(node->id).second || !node->nodal_support) continue;
        const auto it = supports.find(*node->nodal_support);
        if (it == supports.end() || it->second == nullptr) continue;
        const FixedDofs fixed = fixed_dofs(*it->second, node->id, released);
        for (std::size_t k = 0; k < kDofsPerNode; ++k) {
          if (fixed[k]) dofs.insert(dof_index(node->id, k));
        }
      }
    }
  }
  // DOFs that nothing stiffens, holds or loads would leave the operator singular.
  const auto zero_energy = detect_zero_energy_dofs(member_sets, nodal_supports, load_cases, memberhinges,
                                                   settings.analysis_options.rigid_strategy);
  dofs.insert(zero_energy.begin(), zero_energy.end());
  return std::vector<std::size_t>(dofs.begin(), dofs.end());
}

void VARN::zero_support_dofs(Eigen::VectorXd& v, const SupportState& released) const {
  const SupportsById supports = supports_by_id(nodal_supports);
  const auto size = static_cast<std::size_t>(v.size());
  for_each_supported_member_end(*this, supports, [&](const Node& node, const NodalSupport& support) {
    const FixedDofs fixed = fixed_dofs(support, node.id, released);
    for (std::size_t k = 0; k < kDofsPerNode; ++k) {
      if (!fixed[k]) continue;
      const std::size_t d = dof_index(node.id, k);
      if (node.id == 0 || d >= size) fatal("Matrix index out of bounds.");
      v[static_cast<Eigen::Index>(d)] = 0.0;
    }
  });
}

std::optional<std::size_t> VARN::detect_one_hot_constraint(const SparseRow& c) {
  const std::optional<std::size_t> pivot = largest_column(c);
  if (!pivot) return std::nullopt;
  double pivot_value = 0.0;
  double rest = 0.0;
  for (const auto& [j, v] : c) {
    if (j == *pivot) {
      pivot_value = v;
    } else {
      rest += v * v;
    }
  }
  if (rest <= kOneHotRatio * pivot_value * pivot_value) return pivot;
  return std::nullopt;  // also when the row holds a NaN
}

double VARN::constrain_linear_constraint_penalty(SparseMatrix& k_r, const SparseRow& c) {
  if (k_r.cols() == 0) return kReducedPenaltyFactor;
  const double alpha = kReducedPenaltyFactor * max_abs_diagonal_or_one(k_r);
  ReducedAction a;
  a.kind = ReducedAction::Penalty;
  a.c_hat = normalized(c);
  a.alpha = alpha;
  apply_reduced_actions(k_r, nullptr, {a});
  return alpha;
}

void VARN::apply_boundary_conditions_reduced(const RigidElimination& elimination, SparseMatrix& k_r,
                                             Eigen::VectorXd& f_r, const SupportState& released) const {
  if (k_r.rows() != static_cast<Eigen::Index>(elimination.n_r) || k_r.cols() != k_r.rows() ||
      f_r.size() != k_r.rows()) {
    fatal("apply_boundary_conditions_reduced: the reduced system does not match the elimination");
  }
  const auto actions = plan_reduced_constraints(*this, elimination, k_r, released);
  apply_reduced_actions(k_r, &f_r, actions);
  for (const ReducedAction& a : actions) log_constraint_event(a);
}

std::vector<std::size_t> VARN::apply_boundary_conditions_to_k_only(const RigidElimination& elimination,
                                                                   SparseMatrix& k_r,
                                                                   const SupportState& released) const {
  if (k_r.rows() != static_cast<Eigen::Index>(elimination.n_r) || k_r.cols() != k_r.rows()) {
    fatal("apply_boundary_conditions_to_k_only: the reduced matrix does not match the elimination");
  }
  const auto actions = plan_reduced_constraints(*this, elimination, k_r, released);
  apply_reduced_actions(k_r, nullptr, actions);
  std::set<std::size_t> exact;
  for (const ReducedAction& a : actions) {
    if (a.kind != ReducedAction::Penalty) exact.insert(a.index);
  }
  return std::vector<std::size_t>(exact.begin(), exact.end());
}

Expected<Eigen::VectorXd> VARN::solve_constrained_linear_system(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                                const std::vector<std::size_t>& constrained,
                                                                const RigidElimination* elimination,
                                                                const std::string& singular_message,
                                                                const SupportState& released) const {
  SparseSolveInfo info;
  if (!constrained.empty()) {
    auto u = solve_sparse_system(k, f, constrained, &info);
    if (!u) return fail(with_unstable_dof(singular_message, info.unstable_dof));
    return std::move(*u);
  }
  if (elimination != nullptr) {
    ReducedSystem reduced = reduce_system_sparse_internal(k, f, *elimination);
    apply_boundary_conditions_reduced(*elimination, reduced.k, reduced.f, released);
    if (elimination->n_r == 0) return expand_solution(*elimination, Eigen::VectorXd());
    auto u_r = solve_sparse_cholesky(reduced.k, reduced.f, &info);
    if (!u_r) {
      // The failing reduced column is named by the global DOF it retains.
      std::optional<std::size_t> dof;
      if (info.unstable_dof) {
        for (std::size_t d = 0; d < elimination->reduced_index.size() && !dof; ++d)
          if (elimination->reduced_index[d] == static_cast<std::int64_t>(*info.unstable_dof)) dof = d;
      }
      return fail(with_unstable_dof(singular_message, dof));
    }
    return expand_solution(*elimination, u_r->col(0));
  }
  // Nothing to impose: the operator must carry the structure on its own (springs only, or
  // no support at all, which is singular and reported as such).
  if (k.rows() == 0) return Eigen::VectorXd();
  auto u = solve_sparse_cholesky(k, f, &info);
  if (!u) return fail(with_unstable_dof(singular_message, info.unstable_dof));
  return Eigen::VectorXd(u->col(0));
}

}  // namespace varn
