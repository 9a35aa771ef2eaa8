#pragma once
// What every user of CHOLMOD and UMFPACK in the sparse layer shares: one workspace per call,
// views of Eigen's matrices in the libraries' types, and the small checks of every entry
// point. Internal to the sparse layer: SuiteSparse types never leave functions/sparse/.
#include <cholmod.h>

#include <cstdint>
#include <limits>
#include <utility>

#include "functions/sparse/factorization.h"
#include "functions/sparse/matrix.h"
#include "functions/sparse/threads_and_memory.h"

namespace varn::sparse_detail {

using Index = std::int64_t;
constexpr double kEps = std::numeric_limits<double>::epsilon();

inline bool all_finite(const Eigen::MatrixXd& x) { return x.allFinite(); }

// Column j of a compressed or uncompressed matrix: [begin, end) into the index/value arrays.
inline std::pair<Index, Index> column_range(const SparseMatrix& k, Index j) {
  const Index begin = k.outerIndexPtr()[j];
  const Index end = k.isCompressed() ? k.outerIndexPtr()[j + 1] : begin + k.innerNonZeroPtr()[j];
  return {begin, end};
}

// One CHOLMOD workspace per call: cholmod_common is not safe to share between threads.
struct CholmodCommon {
  cholmod_common c;
  CholmodCommon() {
    use_advised_allocation();
    cholmod_l_start(&c);
    c.print = 0;  // the fall-back decides what a non-positive-definite matrix means
    c.error_handler = nullptr;
    // One deterministic ordering: METIS, chosen by the automatic strategy, gave orderings
    // that differed between concurrent analyses, and with them results differing in the last
    // bits. AMD here; the analysis orders the node graph itself where it applies (and runs
    // METIS there one call at a time).
    c.nmethods = 1;
    c.method[0].ordering = CHOLMOD_AMD;
    c.postorder = 1;
    c.supernodal = CHOLMOD_SUPERNODAL;
    c.quick_return_if_not_posdef = 1;
    c.useGPU = 0;
  }
  ~CholmodCommon() { cholmod_l_finish(&c); }
  CholmodCommon(const CholmodCommon&) = delete;
  CholmodCommon& operator=(const CholmodCommon&) = delete;
};

// A non-owning CHOLMOD view of a compressed Eigen matrix.
cholmod_sparse cholmod_view(const SparseMatrix& k, int stype);
cholmod_dense cholmod_view(const Eigen::MatrixXd& b);

// Compressed copy only when needed (CHOLMOD and UMFPACK read packed columns).
const SparseMatrix& compressed(const SparseMatrix& k, SparseMatrix& storage);

// The stored diagonal of K (duplicates summed), zero where none is stored.
Eigen::VectorXd stored_diagonal(const SparseMatrix& k);

void set_method(SparseSolveInfo* info, SparseSolveMethod m);

// A non-square K or a B with another row count than K is a fatal fault.
void check_square_rhs(const SparseMatrix& k, const Eigen::MatrixXd& b, const char* what);

}  // namespace varn::sparse_detail
