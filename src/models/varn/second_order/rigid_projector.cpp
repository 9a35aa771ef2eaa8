// Projection of a global displacement onto the displacements the rigid links allow.
#include <optional>
#include <string>
#include <utility>

#include "fatal.h"
#include "functions/sparse.h"
#include "models/varn/second_order/starting_state.h"

namespace varn {

namespace {

constexpr const char* kSingularNormalMatrix = "SᵀS is singular; check rigid MPC topology (cycles/duplicates).";

}  // namespace

// CᵀC is sparse with the band of the link graph (a retained DOF couples only with the DOFs of
// the slaves hanging on it), so it is factorised like a stiffness matrix: a dense inverse of
// an n_r x n_r matrix would not even fit in memory for a large frame.
struct RigidProjector::Impl {
  bool identity = false;
  std::size_t n = 0;
  std::size_t n_r = 0;
  SparseMatrix ct;      // Cᵀ
  SparseMatrix normal;  // CᵀC
  std::optional<CachedSymbolicCholesky> symbolic;

  std::optional<Eigen::VectorXd> solve(const Eigen::VectorXd& rhs) const {
    const Eigen::MatrixXd b = rhs;
    auto x = symbolic ? symbolic->factorize_numerical_and_solve(normal, b) : solve_sparse_cholesky(normal, b);
    if (!x) return std::nullopt;
    return Eigen::VectorXd(x->col(0));
  }
};

Expected<RigidProjector> RigidProjector::create(const RigidElimination& elimination) {
  auto impl = std::make_shared<Impl>();
  impl->identity = elimination.identity;
  impl->n = elimination.n;
  impl->n_r = elimination.n_r;
  if (!elimination.identity && elimination.n_r > 0) {
    if (elimination.c.rows() != static_cast<Eigen::Index>(elimination.n) ||
        elimination.c.cols() != static_cast<Eigen::Index>(elimination.n_r)) {
      fatal("RigidProjector: C is " + std::to_string(elimination.c.rows()) + " x " +
            std::to_string(elimination.c.cols()) + " for " + std::to_string(elimination.n) + " global and " +
            std::to_string(elimination.n_r) + " retained DOFs");
    }
    impl->ct = elimination.c.transpose();
    impl->normal = impl->ct * elimination.c;
    impl->normal.makeCompressed();
    if (auto analysed = CachedSymbolicCholesky::create(impl->normal)) impl->symbolic = std::move(*analysed);
    // A singular CᵀC (a DOF that no row of C reaches, or dependent columns) shows in the
    // pivots of the factorisation whatever the right-hand side.
    if (!impl->solve(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(elimination.n_r)))) {
      return fail(kSingularNormalMatrix);
    }
  }
  RigidProjector p;
  p.impl_ = std::move(impl);
  return p;
}

Eigen::VectorXd RigidProjector::reduce(const Eigen::VectorXd& v) const {
  if (!impl_) fatal("RigidProjector::reduce on a projector that was never created");
  const Impl& p = *impl_;
  if (v.size() != static_cast<Eigen::Index>(p.n)) {
    fatal("RigidProjector::reduce: a vector of " + std::to_string(v.size()) + " entries for " + std::to_string(p.n) +
          " global DOFs");
  }
  if (p.identity) return v;
  if (p.n_r == 0) return Eigen::VectorXd();
  auto x = p.solve(p.ct * v);
  // The same matrix was factorised when the projector was made.
  if (!x) fatal(kSingularNormalMatrix);
  return std::move(*x);
}

}  // namespace varn
