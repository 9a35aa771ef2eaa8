#include "models/varn/active_set_factor.h"

#include <Eigen/Eigenvalues>
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

// The principal part of a member's switch: the eigen-directions of K_e above this fraction of
// its largest eigenvalue. A bar has one such direction, its axial stiffness EA/L (two with a
// spring in series at an end, never more than a beam's twelve); its stabilising terms, 1e-10
// of that, stay below, and with them the eigensolver's round-off (a small multiple of ε·|K_e|).
// Updating the factor by the principal part alone costs one rank per bar instead of eleven;
// the stabilisers left out perturb the factorised matrix by about 1e-10 of the bar's stiffness,
// which the refinement against the assembled operator removes.
constexpr double kPrincipalEigenvalueRatio = 1e-6;

// A component of a unit eigenvector below this is the eigensolver's round-off (a few ε).
constexpr double kRoundOffComponent = 64.0 * std::numeric_limits<double>::epsilon();

// The refinement has reached the assembled operator's own solution when the residual is at
// round-off of what the operator's terms sum to, |K|·|u| + |f|: 1e-12 lies some 4,500 ε above
// the backward error of a Cholesky solve (a few ε times the entries an elimination sums) and
// two decades below the 1e-10 perturbation of an unrefined modified factor.
constexpr double kRefinedResidual = 1e-12;

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
  SparseMatrix c(static_cast<Eigen::Index>(n), 0);

  // The member's matrix switched on (a map without entries has every member on).
  const ActiveMap all_on;
  const MemberStiffnessInputs inputs{model_, ctx_, all_on, nullptr, rigid_sections_, model_.max_e_mod_in_model(),
                                     StiffnessMessages::Assembly};
  auto k = member_elastic_stiffness_global(*member, index, inputs);
  if (k && k->has_value()) {
    // K_e = V·Λ·Vᵀ, positive semidefinite; its columns √λ·v scaled by the switched share.
    const Eigen::SelfAdjointEigenSolver<Mat14> eig(**k);
    const double largest = eig.eigenvalues().cwiseAbs().maxCoeff();
    const std::size_t s = kDofsPerNode * (static_cast<std::size_t>(member->start_node.id) - 1);
    const std::size_t e = kDofsPerNode * (static_cast<std::size_t>(member->end_node.id) - 1);
    check_index(s + kDofsPerNode - 1, n, "start DOF of a switched member");
    check_index(e + kDofsPerNode - 1, n, "end DOF of a switched member");
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    std::int64_t column = 0;
    for (Eigen::Index j = 0; j < 14; ++j) {
      const double lambda = eig.eigenvalues()[j];
      if (!(lambda > kPrincipalEigenvalueRatio * largest)) continue;
      const double scale = std::sqrt((1.0 - kSwitchedOffScale) * lambda);
      const auto direction = eig.eigenvectors().col(j);
      const double largest_component = direction.cwiseAbs().maxCoeff();
      for (Eigen::Index r = 0; r < 14; ++r) {
        // Components at the eigensolver's round-off are zeros of the exact direction: kept,
        // they would couple DOFs that the member does not couple (the out-of-plane DOFs of a
        // plane truss would move by round-off instead of staying exactly at rest).
        if (!(std::abs(direction[r]) > kRoundOffComponent * largest_component)) continue;
        const double v = scale * direction[r];
        const std::size_t dof = r < 7 ? s + static_cast<std::size_t>(r) : e + static_cast<std::size_t>(r - 7);
        entries.emplace_back(static_cast<std::int64_t>(dof), column, v);
      }
      ++column;
    }
    c.resize(static_cast<Eigen::Index>(n), column);
    // A member with both ends on one node sums its two blocks, as the assembly does.
    c.setFromTriplets(entries.begin(), entries.end());
    c.makeCompressed();
  }
  return factors_.emplace(id, std::move(c)).first->second;
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
  if (!held_ || held_->info() == SparseSolveMethod::Failed) return std::nullopt;
  return KeptActiveFactor{held_for_, *held_};
}

bool ActiveSetFactor::meets_operator(const Eigen::VectorXd& u, const Eigen::VectorXd& f) const {
  const SparseMatrix* k = held_->factorization().matrix();
  if (k == nullptr) return false;
  // The system the penalised operator solves: no load at a held DOF.
  Eigen::VectorXd rhs = f;
  for (const std::size_t d : constrained_) rhs[static_cast<Eigen::Index>(d)] = 0.0;
  Eigen::VectorXd r;
  return relative_residual(*k, u, rhs, r) <= kRefinedResidual;
}

}  // namespace varn
