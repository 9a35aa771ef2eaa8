#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/sparse/operations.h"

namespace varn {

namespace {

using DiagonalEntries = std::vector<std::pair<std::size_t, double>>;

// The diagonal entries that hold `dofs` by the penalty p; each DOF is checked against the load
// vector (when there is one, whose entry there is then zeroed; `f_what` names the fault) and
// against the matrix's n (when given; `k_what`).
DiagonalEntries penalty_entries(const std::vector<std::size_t>& dofs, double p, Eigen::VectorXd* f,
                                const char* f_what, std::optional<std::size_t> n, const char* k_what) {
  DiagonalEntries entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    if (f != nullptr) check_index(d, static_cast<std::size_t>(f->size()), f_what);
    if (n) check_index(d, *n, k_what);
    if (f != nullptr) (*f)[static_cast<Eigen::Index>(d)] = 0.0;
    entries.emplace_back(d, p);
  }
  return entries;
}

}  // namespace

double penalty_value(const SparseMatrix& k) {
  return std::max(sparse_max_abs_diagonal(k), 1.0) * 1e10;
}

SparseMatrix apply_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return k;
  return apply_given_penalty_to_k(k, dofs, penalty_value(k));
}

SparseMatrix apply_given_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs, double p) {
  if (dofs.empty()) return k;
  return sparse_add_diagonal(k, penalty_entries(dofs, p, nullptr, nullptr, static_cast<std::size_t>(k.cols()),
                                                "apply_penalty_to_k: DOF"));
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
  return sparse_add_diagonal(k, penalty_entries(dofs, penalty_value(k), &f, "apply_penalty_bc_sparse: DOF of f",
                                                static_cast<std::size_t>(k.cols()),
                                                "apply_penalty_bc_sparse: DOF of K"));
}

bool apply_penalty_bc_inplace(SparseMatrix& k, Eigen::VectorXd& f,
                              const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return true;
  return sparse_add_diagonal_inplace(k, penalty_entries(dofs, penalty_value(k), &f, "apply_penalty_bc_inplace: DOF of f",
                                                        std::nullopt, nullptr));
}

}  // namespace varn
