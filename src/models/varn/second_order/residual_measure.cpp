#include "models/varn/second_order/residual_measure.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "fatal.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

constexpr std::size_t kDirections = 7;
// A direction whose loads and reactions are below this share of the largest direction's is
// judged against that share: its forces are then of the order of the round-off the other
// directions leave in it (a frame in a plane has no loads out of it at all).
constexpr double kSmallestDirectionShare = 1e-4;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// What round-off leaves of a residual: the bound eps·(|K||u| + |f|) at each entry sums the
// magnitudes of a row's terms, each taken as rounded once, so it lies above what the arithmetic
// actually leaves (a chain of 1,000 short members keeps about a fifth of it, 1e-6 to 1e-5 of its
// load); a residual within it is not an unbalanced force. Taken once: a larger allowance lets a
// slender P-delta column of 2,000 members stop while a tenth of a per cent of its sway is still
// unbalanced.
constexpr double kRoundOffMultiple = 1.0;

}  // namespace

ResidualMeasure ResidualMeasure::global(std::size_t n, const std::vector<std::size_t>& held, double length) {
  std::vector<std::uint8_t> direction(n);
  for (std::size_t i = 0; i < n; ++i) direction[i] = static_cast<std::uint8_t>(i % kDirections);
  std::vector<char> held_flags(n, 0);
  for (const std::size_t d : held) {
    check_index(d, n, "held DOF of the residual measure");
    held_flags[d] = 1;
  }
  return ResidualMeasure(std::move(direction), std::move(held_flags), length);
}

ResidualMeasure::ResidualMeasure(std::vector<std::uint8_t> direction, std::vector<char> held, double length)
    : direction_(std::move(direction)), held_(std::move(held)), length_(length > 0.0 && std::isfinite(length) ? length : 1.0) {
  if (direction_.size() != held_.size()) fatal("residual measure: directions and held flags differ in size");
}

void ResidualMeasure::set_round_off(const SparseMatrix& k, const SparseMatrix* reduction) {
  abs_k_ = k.cwiseAbs();
  round_off_ = true;
  reduced_ = reduction != nullptr;
  if (reduction != nullptr) abs_reduction_t_ = SparseMatrix(reduction->cwiseAbs().transpose());
}

Eigen::VectorXd ResidualMeasure::round_off_bound(const Eigen::VectorXd& u, const Eigen::VectorXd& f_ext) const {
  if (abs_k_.cols() != u.size()) fatal("residual measure: the operator does not match the displacements");
  Eigen::VectorXd bound = abs_k_ * u.cwiseAbs();
  if (reduced_) bound = abs_reduction_t_ * bound;
  if (bound.size() != f_ext.size()) fatal("residual measure: the round-off bound does not match the loads");
  return kEps * (bound + f_ext.cwiseAbs());
}

double ResidualMeasure::relative(const Eigen::VectorXd& r, const Eigen::VectorXd& f_ext,
                                 const Eigen::VectorXd* u) const {
  return relative(r, r, f_ext, u);
}

double ResidualMeasure::relative(const Eigen::VectorXd& r_free, const Eigen::VectorXd& reactions,
                                 const Eigen::VectorXd& f_ext, const Eigen::VectorXd* u) const {
  const ByDirection d = by_direction(r_free, reactions, f_ext, u);
  double worst = 0.0;
  for (std::size_t k = 0; k < kDirections; ++k) {
    const double beyond = d.relative[k] - kRoundOffMultiple * d.round_off[k];
    if (!(beyond <= worst)) worst = beyond;  // NaN and infinity win
  }
  return std::isnan(worst) ? std::numeric_limits<double>::infinity() : worst;
}

ResidualMeasure::ByDirection ResidualMeasure::by_direction(const Eigen::VectorXd& r_free,
                                                           const Eigen::VectorXd& reactions,
                                                           const Eigen::VectorXd& f_ext,
                                                           const Eigen::VectorXd* u) const {
  const auto n = static_cast<Eigen::Index>(direction_.size());
  if (r_free.size() != n || reactions.size() != n || f_ext.size() != n) {
    fatal("residual measure: vectors of " + std::to_string(r_free.size()) + ", " + std::to_string(reactions.size()) +
          " and " + std::to_string(f_ext.size()) + " entries for " + std::to_string(n));
  }
  Eigen::VectorXd bound;
  if (round_off_ && u != nullptr) bound = round_off_bound(*u, f_ext);
  // Squared sums per direction, in entry order (the same sums on every run).
  std::array<double, kDirections> residual{}, load{}, reaction{}, floor{};
  for (Eigen::Index i = 0; i < n; ++i) {
    const std::size_t k = direction_[static_cast<std::size_t>(i)];
    check_index(k, kDirections, "direction of the residual measure");
    load[k] += f_ext[i] * f_ext[i];
    if (held_[static_cast<std::size_t>(i)]) {
      reaction[k] += reactions[i] * reactions[i];
    } else {
      residual[k] += r_free[i] * r_free[i];
      if (bound.size() == n) floor[k] += bound[i] * bound[i];
    }
  }
  // Each direction's forces, and the largest of them in force units.
  auto per = [&](std::size_t k) { return k < 3 ? 1.0 : k < 6 ? length_ : length_ * length_; };
  ByDirection out;
  double largest = 0.0;
  for (std::size_t k = 0; k < kDirections; ++k) {
    out.scale[k] = std::sqrt(load[k]) + std::sqrt(reaction[k]);
    largest = std::fmax(largest, out.scale[k] / per(k));
  }
  for (std::size_t k = 0; k < kDirections; ++k) {
    out.scale[k] = std::fmax(out.scale[k], kSmallestDirectionShare * largest * per(k));
    const double res = std::sqrt(residual[k]);
    if (res == 0.0) continue;
    if (!std::isfinite(res) || !(out.scale[k] > 0.0)) {
      out.relative[k] = std::numeric_limits<double>::infinity();
      continue;
    }
    out.relative[k] = res / out.scale[k];
    out.round_off[k] = std::sqrt(floor[k]) / out.scale[k];
  }
  return out;
}

double model_extent(const VARN& model) {
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
  Eigen::Vector3d hi = -lo;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        const Eigen::Vector3d x(node->X, node->Y, node->Z);
        lo = lo.cwiseMin(x);
        hi = hi.cwiseMax(x);
      }
    }
  }
  const double size = (hi - lo).norm();
  return std::isfinite(size) && size > 0.0 ? size : 1.0;
}

}  // namespace varn::second_order
