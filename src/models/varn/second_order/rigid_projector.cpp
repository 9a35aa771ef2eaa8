// Projection of a global displacement onto the displacements the rigid links allow.
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
  SparseMatrix ct;  // Cᵀ
  // CᵀC factorised once; every projection is a forward and a back substitution on it.
  SparseFactorization normal;
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
    SparseMatrix normal = impl->ct * elimination.c;
    normal.makeCompressed();
    // A singular CᵀC (a retained DOF that no row of C reaches, or dependent columns) leaves
    // no factor.
    impl->normal.analyze_pattern(normal);
    if (impl->normal.factorize(normal) == SparseSolveMethod::Failed) return fail(kSingularNormalMatrix);
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
  const Eigen::MatrixXd rhs = p.ct * v;
  auto x = p.normal.solve(rhs);
  // The factor was sound when the projector was made; only a corrupt solve lands here.
  if (!x) fatal(kSingularNormalMatrix);
  return Eigen::VectorXd(x->col(0));
}

}  // namespace varn
