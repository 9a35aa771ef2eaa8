#include "models/varn/active_set_factor.h"

#include <cmath>
#include <limits>
#include <variant>

#include "fatal.h"
#include "functions/member_loop.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// The members whose state differs between two tie/strut maps, in member-id order.
std::vector<std::uint32_t> switched_between(const std::map<std::uint32_t, std::pair<const Member*, std::size_t>>& ids,
                                            const ActiveMap& a, const ActiveMap& b) {
  std::vector<std::uint32_t> out;
  for (const auto& entry : ids) {
    if (is_member_active(a, entry.first) != is_member_active(b, entry.first)) out.push_back(entry.first);
  }
  return out;
}

// The refinement has reached the assembled operator's own solution when the residual is at
// round-off of what the operator's terms sum to, |K|·|u| + |f|: 1e-12 lies some 4,500 ε above
// the backward error of a Cholesky solve (a few ε times the entries an elimination sums) and
// two decades below the 1e-10 perturbation of an unrefined modified factor.
constexpr double kRefinedResidual = 1e-12;

// A solution through the switch basis, unrefined, misses the assembled operator by the
// stabilising terms of the members it switched off (1e-10 of their stiffness, against |K|·|u|
// at most that); two decades above, it is still the state's solution to eight digits, all the
// switching rules read from it.
constexpr double kUnrefinedResidual = 1e-8;

// max |r| / max (|K|·|u| + |f|), K the full symmetric matrix from its stored entries.
double relative_residual(const SparseMatrix& k, const Eigen::VectorXd& u, const Eigen::VectorXd& f,
                         Eigen::VectorXd& r) {
  r = f - k * u;
  Eigen::VectorXd scale = f.cwiseAbs();
  for (Eigen::Index j = 0; j < k.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(k, j); it; ++it) scale[it.row()] += std::abs(it.value() * u[j]);
  const double s = scale.lpNorm<Eigen::Infinity>();
  const double rn = r.lpNorm<Eigen::Infinity>();
  return s > 0.0 ? rn / s : (rn == 0.0 ? 0.0 : std::numeric_limits<double>::infinity());
}

// Whether u meets the penalised operator K within `bound` (relative_residual), for the loads f
// with no load at the held DOFs.
bool meets_penalised(const SparseMatrix& k, const std::vector<std::size_t>& constrained, const Eigen::VectorXd& u,
                     const Eigen::VectorXd& f, double bound) {
  Eigen::VectorXd r;
  return relative_residual(k, u, without_held_loads(f, constrained), r) <= bound;
}

}  // namespace

ActiveSetFactor::ActiveSetFactor(const VARN& model, std::vector<std::size_t> constrained,
                                 const CachedFirstOrderSystem* shared)
    : model_(model), constrained_(std::move(constrained)), ctx_(model.build_lookup_maps()) {
  if (shared != nullptr) {
    if (const auto* penalised = std::get_if<PenalisedSparseFirstOrder>(&shared->form)) {
      // Only a factor of this very system: the same supports and a Cholesky factor to modify.
      if (penalised->solver.constrained() == constrained_ && penalised->solver.info() != SparseSolveMethod::Failed) {
        all_on_ = KeptActiveFactor{shared->initial_active, penalised->solver};
        candidates_.push_back(&all_on_);
        for (const KeptActiveFactor& kept : shared->case_factors) {
          if (kept.solver.constrained() == constrained_ && kept.solver.penalty() == penalised->solver.penalty() &&
              kept.solver.info() != SparseSolveMethod::Failed) {
            candidates_.push_back(&kept);
          }
        }
        penalty_ = penalised->solver.penalty();
        if (shared->switch_basis && shared->switch_basis->all_on().constrained() == constrained_) {
          basis_ = &*shared->switch_basis;
        }
      }
    }
  }
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type == MemberType::Tension || m.member_type == MemberType::Compression) {
      switchable_.emplace(m.id, std::make_pair(&m, i));
    }
  }
  rigid_sections_ = stiff_beam_sections(model, members);
}

const SparseMatrix& ActiveSetFactor::switch_factor(std::uint32_t id) {
  if (const auto it = factors_.find(id); it != factors_.end()) return it->second;
  const auto& [member, index] = switchable_.at(id);
  const std::size_t n = compute_num_dofs_from_members(model_.member_sets);
  return factors_.emplace(id, switched_member_columns(model_, ctx_, *member, index, rigid_sections_, n))
      .first->second;
}

void ActiveSetFactor::refactorize(const ActiveMap& active, const SparseMatrix& k) {
  if (!held_) {
    held_.emplace();
    if (!candidates_.empty()) *held_ = candidates_.front()->solver;  // its symbolic analysis, shared
  }
  if (!penalty_) penalty_ = constrained_.empty() ? 0.0 : penalty_value(k);
  held_->factorize_with_penalty(k, constrained_, *penalty_);
  ++factorizations_;
  held_for_ = active;
}

Expected<Eigen::VectorXd> ActiveSetFactor::solve(const ActiveMap& active, const SparseMatrix& k,
                                                 const Eigen::VectorXd& f, const std::string& singular_message) {
  by_basis_.reset();
  if (basis_ != nullptr) {
    if (std::optional<SwitchBasis::StateInverse> inverse = basis_->inverse_for(active)) {
      std::optional<Eigen::MatrixXd> x0 = inverse->apply(without_held_loads(f, constrained_), &forward_);
      if (x0) {
        if (auto x = accept_by_basis(std::move(*inverse), std::move(*x0), k, f, nullptr)) return std::move(*x);
      }
    }
  }
  return solve_by_factor(active, k, f, singular_message);
}

std::optional<ActiveSetFactor::BasisPass> ActiveSetFactor::pass_by_basis(const ActiveMap& active,
                                                                         const Eigen::VectorXd& f) {
  if (basis_ == nullptr || !basis_->reads_axial_forces()) return std::nullopt;
  std::optional<SwitchBasis::StateInverse> inverse = basis_->inverse_for(active);
  if (!inverse || !(inverse->reciprocal_condition() >= kForcesWithoutResidual)) return std::nullopt;
  std::optional<SwitchBasis::StateInverse::Forces> forces = inverse->axial_forces(without_held_loads(f, constrained_), forward_);
  if (!forces) return std::nullopt;
  return BasisPass{std::move(*inverse), std::move(*forces)};
}

Expected<ActiveSetFactor::PassDisplacements> ActiveSetFactor::displacements(BasisPass pass, const ActiveMap& active,
                                                                             const SparseMatrix& k,
                                                                             const Eigen::VectorXd& f,
                                                                             const std::string& singular_message) {
  by_basis_.reset();
  if (std::optional<Eigen::MatrixXd> x0 = pass.inverse.solution(pass.forces)) {
    bool unrefined = false;
    if (auto x = accept_by_basis(std::move(pass.inverse), std::move(*x0), k, f, &unrefined)) {
      return PassDisplacements{std::move(*x), unrefined};
    }
  }
  auto x = solve_by_factor(active, k, f, singular_message);
  if (!x) return fail(x.error());
  return PassDisplacements{std::move(*x), false};
}

Expected<Eigen::VectorXd> ActiveSetFactor::solve_by_factor(const ActiveMap& active, const SparseMatrix& k,
                                                           const Eigen::VectorXd& f,
                                                           const std::string& singular_message) {
  // Start from whichever kept factor is nearest the requested state: the one this loop holds or
  // one of the request's; on a tie the one held, then the first in the request's order, so the
  // choice depends on the states alone.
  std::optional<std::vector<std::uint32_t>> switched;
  if (held_) switched = switched_between(switchable_, held_for_, active);
  for (const KeptActiveFactor* kept : candidates_) {
    std::vector<std::uint32_t> from_kept = switched_between(switchable_, kept->active, active);
    if (!switched || from_kept.size() < switched->size()) {
      held_ = kept->solver;
      held_for_ = kept->active;
      switched = std::move(from_kept);
    }
  }

  if (!switched) {
    refactorize(active, k);
  } else if (!switched->empty()) {
    bool modified = false;
    if (switched->size() <= kMaxMembersSwitchedByUpdate && held_->factorization().positive_definite()) {
      const std::size_t n = static_cast<std::size_t>(k.rows());
      std::vector<Eigen::Triplet<double, std::int64_t>> on, off;
      std::int64_t on_cols = 0, off_cols = 0;
      for (const std::uint32_t id : *switched) {
        const SparseMatrix& c = switch_factor(id);
        const bool now_on = is_member_active(active, id);
        auto& list = now_on ? on : off;
        std::int64_t& base = now_on ? on_cols : off_cols;
        for (Eigen::Index j = 0; j < c.outerSize(); ++j)
          for (SparseMatrix::InnerIterator it(c, j); it; ++it) list.emplace_back(it.row(), base + j, it.value());
        base += c.cols();
      }
      SparseMatrix c_on(static_cast<Eigen::Index>(n), on_cols), c_off(static_cast<Eigen::Index>(n), off_cols);
      c_on.setFromTriplets(on.begin(), on.end());
      c_off.setFromTriplets(off.begin(), off.end());
      modified = held_->modify_low_rank(k, c_on, c_off) == SparseSolveMethod::CholeskyModified;
      if (modified) {
        ++updates_;
        held_for_ = active;
      }
    }
    if (!modified) {
      refactorize(active, k);
    }
  }

  // The solve refines against the operator itself, whatever factor it holds.
  auto x = held_->solve_vector(f);
  if (x && held_->info() == SparseSolveMethod::CholeskyModified && !meets_operator(*x, f)) {
    // The refinement did not get there: the modified factor is too far from this operator.
    refactorize(active, k);
    x = held_->solve_vector(f);
  }
  if (!x) return fail(with_unstable_dof(singular_message, held_->factorization().unstable_dof()));
  return std::move(*x);
}

std::optional<KeptActiveFactor> ActiveSetFactor::kept() const {
  if (by_basis_ || !held_ || held_->info() == SparseSolveMethod::Failed) return std::nullopt;
  return KeptActiveFactor{held_for_, *held_};
}

bool ActiveSetFactor::meets_operator(const Eigen::VectorXd& u, const Eigen::VectorXd& f) const {
  const SparseMatrix* k = held_->factorization().matrix();
  return k != nullptr && meets_penalised(*k, constrained_, u, f, kRefinedResidual);
}

std::optional<Eigen::VectorXd> ActiveSetFactor::accept_by_basis(SwitchBasis::StateInverse inverse,
                                                                 Eigen::MatrixXd x0, const SparseMatrix& k,
                                                                 const Eigen::VectorXd& f, bool* unrefined) {
  const ConstrainedSparseSolver& all_on = basis_->all_on();
  const SparseMatrix penalised = apply_given_penalty_to_k(k, constrained_, all_on.penalty());
  Eigen::VectorXd u = x0.col(0);
  // A pass's solution is only judged by the switching rules; the loop's last one is carried
  // over to the operator without stabilising terms (carry_over) with this same inverse, which
  // refines it. Unrefined it is short of K by the stabilising terms of the members switched off
  // alone, 1e-10 of their stiffness; beyond kUnrefinedResidual the capacitance has lost more
  // (a state the all-on factor is far from), and the solution is refined against K itself.
  if (meets_penalised(penalised, constrained_, u, f, kUnrefinedResidual)) {
    by_basis_ = std::move(inverse);
    if (unrefined != nullptr) *unrefined = true;
    return u;
  }
  std::optional<Eigen::MatrixXd> x =
      all_on.solve_towards(k, f, std::move(x0), [&](const Eigen::MatrixXd& r) { return inverse.apply(r); });
  if (!x) return std::nullopt;
  u = x->col(0);
  if (!meets_penalised(penalised, constrained_, u, f, kRefinedResidual)) return std::nullopt;
  by_basis_ = std::move(inverse);
  return u;
}

std::optional<Eigen::VectorXd> ActiveSetFactor::carry_over(const SparseMatrix& k_t, const Eigen::VectorXd& f,
                                                           const Eigen::VectorXd& u) const {
  std::optional<Eigen::MatrixXd> x;
  if (by_basis_) {
    x = basis_->all_on().solve_towards(k_t, f, u, [&](const Eigen::MatrixXd& r) { return by_basis_->apply(r); });
  } else if (held_ && held_->info() != SparseSolveMethod::Failed) {
    x = held_->solve_towards(k_t, f, u);
  }
  if (!x) return std::nullopt;
  return Eigen::VectorXd(x->col(0));
}

}  // namespace varn
