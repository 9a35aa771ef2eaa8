#include "functions/sparse/cholmod_support.h"

#include <string>
#include <type_traits>

#include "fatal.h"

namespace varn {
static_assert(std::is_same_v<SuiteSparse_long, std::int64_t>,
              "the sparse matrix index type must be the index type of the long CHOLMOD/UMFPACK API");
}  // namespace varn

namespace varn::sparse_detail {

cholmod_sparse cholmod_view(const SparseMatrix& k, int stype) {
  cholmod_sparse a{};
  a.nrow = static_cast<size_t>(k.rows());
  a.ncol = static_cast<size_t>(k.cols());
  a.nzmax = static_cast<size_t>(k.nonZeros());
  a.p = const_cast<Index*>(k.outerIndexPtr());
  a.i = const_cast<Index*>(k.innerIndexPtr());
  a.nz = nullptr;
  a.x = const_cast<double*>(k.valuePtr());
  a.z = nullptr;
  a.stype = stype;
  a.itype = CHOLMOD_LONG;
  a.xtype = CHOLMOD_REAL;
  a.dtype = CHOLMOD_DOUBLE;
  a.sorted = 1;
  a.packed = 1;
  return a;
}

cholmod_dense cholmod_view(const Eigen::MatrixXd& b) {
  cholmod_dense d{};
  d.nrow = static_cast<size_t>(b.rows());
  d.ncol = static_cast<size_t>(b.cols());
  d.nzmax = d.nrow * d.ncol;
  d.d = d.nrow;
  d.x = const_cast<double*>(b.data());
  d.z = nullptr;
  d.xtype = CHOLMOD_REAL;
  d.dtype = CHOLMOD_DOUBLE;
  return d;
}

const SparseMatrix& compressed(const SparseMatrix& k, SparseMatrix& storage) {
  if (k.isCompressed()) return k;
  storage = k;
  storage.makeCompressed();
  return storage;
}

Eigen::VectorXd stored_diagonal(const SparseMatrix& k) {
  Eigen::VectorXd d = Eigen::VectorXd::Zero(k.cols());
  for (Index j = 0; j < k.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(k, j); it; ++it)
      if (it.row() == j) d[j] += it.value();
  return d;
}

void set_method(SparseSolveInfo* info, SparseSolveMethod m) {
  if (info) info->method = m;
}

void check_square_rhs(const SparseMatrix& k, const Eigen::MatrixXd& b, const char* what) {
  if (k.rows() != k.cols())
    fatal(std::string(what) + ": the matrix is " + std::to_string(k.rows()) + " x " +
          std::to_string(k.cols()) + ", not square");
  if (b.rows() != k.rows())
    fatal(std::string(what) + ": the right-hand side has " + std::to_string(b.rows()) +
          " rows but the matrix has " + std::to_string(k.rows()));
}

}  // namespace varn::sparse_detail
