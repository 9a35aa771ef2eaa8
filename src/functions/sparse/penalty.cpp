#include <algorithm>
#include <string>

#include "fatal.h"
#include "functions/sparse/operations.h"

namespace varn {

double penalty_value(const SparseMatrix& k) {
  return std::max(sparse_max_abs_diagonal(k), 1.0) * 1e10;
}

SparseMatrix apply_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return k;
  return apply_given_penalty_to_k(k, dofs, penalty_value(k));
}

SparseMatrix apply_given_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs, double p) {
  if (dofs.empty()) return k;
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(k.cols()), "apply_penalty_to_k: DOF");
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal(k, entries);
}

Eigen::VectorXd without_held_loads(const Eigen::VectorXd& f, const std::vector<std::size_t>& dofs) {
  Eigen::VectorXd out = f;
  for (const std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(out.size()), "held DOF of a load vector");
    out[static_cast<Eigen::Index>(d)] = 0.0;
  }
  return out;
}

SparseMatrix apply_penalty_to_k_pub(const SparseMatrix& k, const std::vector<std::size_t>& dofs) {
  return apply_penalty_to_k(k, dofs);
}

SparseMatrix apply_penalty_bc_sparse(const SparseMatrix& k, Eigen::VectorXd& f,
                                     const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return k;
  const double p = penalty_value(k);
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(f.size()), "apply_penalty_bc_sparse: DOF of f");
    check_index(d, static_cast<std::size_t>(k.cols()), "apply_penalty_bc_sparse: DOF of K");
    f[static_cast<Eigen::Index>(d)] = 0.0;
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal(k, entries);
}

bool apply_penalty_bc_inplace(SparseMatrix& k, Eigen::VectorXd& f,
                              const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return true;
  const double p = penalty_value(k);
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(f.size()), "apply_penalty_bc_inplace: DOF of f");
    f[static_cast<Eigen::Index>(d)] = 0.0;
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal_inplace(k, entries);
}

}  // namespace varn
