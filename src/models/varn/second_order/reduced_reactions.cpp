#include "models/varn/second_order/reduced_reactions.h"

#include <cmath>

#include "fatal.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

double dot(const SparseRow& a, const SparseRow& b) {
  double s = 0.0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (i->first < j->first) {
      ++i;
    } else if (j->first < i->first) {
      ++j;
    } else {
      s += i->second * j->second;
      ++i;
      ++j;
    }
  }
  return s;
}

// a - t·b, merged by column; exact zeros dropped.
SparseRow minus_scaled(const SparseRow& a, double t, const SparseRow& b) {
  SparseRow out;
  out.reserve(a.size() + b.size());
  auto i = a.begin();
  auto j = b.begin();
  auto push = [&](std::size_t col, double v) {
    if (v != 0.0) out.emplace_back(col, v);
  };
  while (i != a.end() || j != b.end()) {
    if (j == b.end() || (i != a.end() && i->first < j->first)) {
      push(i->first, i->second);
      ++i;
    } else if (i == a.end() || j->first < i->first) {
      push(j->first, -t * j->second);
      ++j;
    } else {
      push(i->first, i->second - t * j->second);
      ++i;
      ++j;
    }
  }
  return out;
}

}  // namespace

ReducedReactions ReducedReactions::build(const VARN& model, const RigidElimination& elim, const SupportState& released) {
  ReducedReactions out;
  // The indices depend only on the supports and C; the matrix is only a carrier here.
  SparseMatrix carrier(static_cast<Eigen::Index>(elim.n_r), static_cast<Eigen::Index>(elim.n_r));
  out.exact = model.apply_boundary_conditions_to_k_only(elim, carrier, released);
  std::vector<char> is_exact(elim.n_r, 0);
  for (const std::size_t i : out.exact) {
    check_index(i, elim.n_r, "exactly fixed reduced DOF");
    is_exact[i] = 1;
  }
  // The held global DOFs, by the supports' own fixity rule.
  Eigen::VectorXd held = Eigen::VectorXd::Ones(static_cast<Eigen::Index>(elim.n));
  model.zero_support_dofs(held, released);
  for (std::size_t d = 0; d < elim.n; ++d) {
    if (held[static_cast<Eigen::Index>(d)] != 0.0 || elim.reduced_column(d)) continue;
    const SparseRow c = elim.row(d);
    if (c.empty() || VARN::detect_one_hot_constraint(c)) continue;
    SparseRow v;
    for (const auto& [j, x] : c) {
      if (!is_exact[j]) v.emplace_back(j, x);
    }
    out.add_direction(std::move(v));
  }
  return out;
}

void ReducedReactions::add_direction(SparseRow v) {
  const double start = std::sqrt(dot(v, v));
  if (!(start > 0.0)) return;
  for (int pass = 0; pass < 2; ++pass) {
    for (const SparseRow& q : basis) {
      const double t = dot(q, v);
      if (t != 0.0) v = minus_scaled(v, t, q);
    }
  }
  const double norm = std::sqrt(dot(v, v));
  // A row that the earlier ones already span (to round-off) adds no direction.
  if (!(norm > 1e-10 * start)) return;
  for (auto& e : v) e.second /= norm;
  basis.push_back(std::move(v));
}

void ReducedReactions::remove_from(Eigen::VectorXd& r_r) const {
  for (const std::size_t i : exact) r_r[static_cast<Eigen::Index>(i)] = 0.0;
  for (const SparseRow& q : basis) {
    double t = 0.0;
    for (const auto& [j, x] : q) t += x * r_r[static_cast<Eigen::Index>(j)];
    if (t == 0.0) continue;
    for (const auto& [j, x] : q) r_r[static_cast<Eigen::Index>(j)] -= t * x;
  }
}

}  // namespace varn::second_order
