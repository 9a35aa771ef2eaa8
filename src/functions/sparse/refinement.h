#pragma once
// Iterative refinement of every sparse solve, and the residual test that accepts a solution.
// Internal to the sparse layer.
#include <Eigen/Core>

#include <functional>
#include <optional>

#include "functions/sparse/matrix.h"

namespace varn::sparse_detail {

// Residual acceptance: a backward-stable direct solve leaves |Kx - b| at a few n*eps of
// |K||x| + |b|. Far above that the factor is corrupt (never seen with a sound BLAS; it is the
// symptom of a BLAS that is not safe for concurrent calls) and the solution is rejected.
constexpr double kResidualTolerance = 1e-8;

// Residual of the operator the solve used: the symmetric completion of the lower triangle for
// Cholesky, the stored matrix for LU.
bool residual_ok(const SparseMatrix& k, bool lower_symmetric, const Eigen::MatrixXd& x,
                 const Eigen::MatrixXd& b);

// Iterative refinement with the kept factor: x ← x + K⁻¹(b − K x), the residual taken against
// the very matrix that was factorised (supports' penalties included). A direct solve leaves an
// error that grows with the conditioning (a 2000-element cantilever of 1 cm elements came out
// 1.3e-4 off its closed form); each step with the same factor removes most of what is left,
// as long as the factor is a fair approximation of K. The residual itself cannot be the
// measure of progress: a solution rounded to double has a residual of eps·|K||x|, far above
// |b|·eps on such a chain, however exact it is. The corrections are: a column stops once its
// correction is below kSettledCorrection of x (converged), or no longer half the previous one
// (the limit the conditioning allows: that step is kept), and a correction larger than the
// previous one is discarded (the factor no longer contracts the error); at most
// kMaxRefinementSteps.
//
// While each step at least halves the error, the error a column keeps is at most its last
// correction: a correction of 2^-40 of x leaves x good to twelve digits, far past what any
// result is judged or compared to. Waiting for the correction to reach the round-off of x
// instead costs one more solve for every column: a factor that differs from its target by the
// stabilising terms alone leaves about 1e-13 of x to its first correction, and the second one,
// at 1e-16, only confirms it. On a frame of 25,000 DOFs that solve is a fifth of the time after
// the factorisation.
constexpr double kSettledCorrection = 0x1p-40;
// Each column keeps its own stopping rule; the residuals of the columns still refining are
// formed at once on the pool, and their corrections taken in one solve, which reads the factor
// once for all of them.
constexpr int kMaxRefinementSteps = 10;

using Correction = std::function<std::optional<Eigen::MatrixXd>(const Eigen::MatrixXd&)>;
std::optional<Eigen::MatrixXd> refine_solution(const SparseMatrix& k, bool lower_symmetric, const Eigen::MatrixXd& b,
                                               Eigen::MatrixXd x, const Correction& correction);

}  // namespace varn::sparse_detail
