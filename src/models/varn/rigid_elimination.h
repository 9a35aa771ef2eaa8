#pragma once
// Elimination of rigid links: every slave DOF is written through the DOFs of its master by the
// rigid-body relation u_s = u_m + θ_m × r (rotations and warping copied), so that the whole
// displacement field is u = C·u_r with u_r the retained DOFs. C is sparse: a retained DOF's
// row holds a single 1, a slave's row at most the seven DOFs of the root of its chain. The
// reduced stiffness Cᵀ·K·C therefore keeps the band of the global matrix and is factorised by
// the same sparse layer, whatever the size of the model.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "functions/sparse.h"
#include "models/varn/support_state.h"

namespace varn {

struct VARN;

// One rigid link as the elimination uses it, after orienting it towards the supports.
struct RigidInfo {
  Eigen::Vector3d r = Eigen::Vector3d::Zero();  // slave position - master position [m]
  std::uint32_t master = 0;
  std::uint32_t slave = 0;
};

// One row of C (or any constraint row on the reduced DOFs): (reduced column, coefficient)
// pairs with ascending, unique columns and no exact zeros.
using SparseRow = std::vector<std::pair<std::size_t, double>>;

struct RigidElimination {
  std::size_t n = 0;    // global DOFs (7 x largest node id)
  std::size_t n_r = 0;  // retained DOFs (columns of C)
  // Global DOF -> reduced column, -1 for a DOF that is not retained (a slave DOF or a dropped
  // zero-energy DOF).
  std::vector<std::int64_t> reduced_index;
  // n x n_r, u = C·u_r; the same matrix stored by rows, for reading single rows of C.
  SparseMatrix c;
  Eigen::SparseMatrix<double, Eigen::RowMajor, std::int64_t> c_by_row;
  // The links in the order their rows were built (masters before their slaves).
  std::vector<RigidInfo> links;
  // C is the identity (nothing eliminated and the retained numbering is the global one): the
  // reduction and the expansion are plain copies.
  bool identity = false;

  // The reduced column of a global DOF, when it is retained.
  std::optional<std::size_t> reduced_column(std::size_t dof) const {
    if (dof >= reduced_index.size() || reduced_index[dof] < 0) return std::nullopt;
    return static_cast<std::size_t>(reduced_index[dof]);
  }
  // Row `dof` of C; empty for a dropped DOF (its displacement is 0).
  SparseRow row(std::size_t dof) const;
};

// K_r = Cᵀ·K·C and F_r = Cᵀ·F.
struct ReducedSystem {
  SparseMatrix k;
  Eigen::VectorXd f;
};

// A reduced system factorised once with its supports imposed (exact conditions as unit rows,
// penalties on slave rows; no DOF constrained by the solver itself), and the reduced operator
// without the stabilising terms under the same supports, towards which every solution is
// carried over: the reduced counterpart of the penalty path's carry-over, so that a bar's
// stabilising stiffness carries nothing of a solution wherever the structure holds without it.
struct ReducedFactor {
  // K reduced by `elimination` with the supports of `model` imposed as the constrained solve
  // imposes them (events aside), factorised; with `k_u`, the operator without stabilising
  // terms reduced and held the same way, for the carry-over of every solution.
  static ReducedFactor factorize(const VARN& model, const SparseMatrix& k, const SparseMatrix* k_u,
                                 const RigidElimination& elimination, const SupportState& released = {});
  // u for the global load vector f: the reduced loads, zero at the exactly fixed DOFs, solved
  // and carried over to the unstabilised operator where the factor has it (where that does
  // not converge, the solution as factorised). Empty when the solve fails.
  std::optional<Eigen::VectorXd> solve(const RigidElimination& elimination, const Eigen::VectorXd& f) const;

  ConstrainedSparseSolver solver;
  std::optional<SparseMatrix> unstabilised;
  std::vector<std::size_t> fixed;  // exactly fixed reduced DOFs: their loads are zeroed
};

// The 7x7 transform T(r) of a rigid link: slave DOFs from master DOFs.
using RigidTransform = Eigen::Matrix<double, 7, 7>;

}  // namespace varn
