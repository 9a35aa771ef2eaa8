#pragma once
// The BLAS and LAPACK of the process: the ones the sparse libraries brought with them, looked
// up at run time and never loaded by this code.

namespace varn::blas {

// OpenBLAS's thread-count setter (null with another BLAS).
using SetThreads = void (*)(int);
SetThreads thread_setter();

// The dense kernels of the sparse factorisation and solves, with the reference Fortran
// interface (32-bit integers, as CHOLMOD calls them); null where the library has none.
using Dtrsm = void (*)(const char* side, const char* uplo, const char* trans, const char* diag, const int* m,
                       const int* n, const double* alpha, const double* a, const int* lda, double* b,
                       const int* ldb);
using Dgemm = void (*)(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                       const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
                       const double* beta, double* c, const int* ldc);
using Dsyrk = void (*)(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
                       const double* a, const int* lda, const double* beta, double* c, const int* ldc);
using Dpotrf = void (*)(const char* uplo, const int* n, double* a, const int* lda, int* info);
using Dtrsv = void (*)(const char* uplo, const char* trans, const char* diag, const int* n, const double* a,
                       const int* lda, double* x, const int* incx);
using Dgemv = void (*)(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
                       const int* lda, const double* x, const int* incx, const double* beta, double* y,
                       const int* incy);
struct Kernels {
  Dtrsm trsm = nullptr;
  Dgemm gemm = nullptr;
  Dsyrk syrk = nullptr;
  Dpotrf potrf = nullptr;
  Dtrsv trsv = nullptr;
  Dgemv gemv = nullptr;
};
const Kernels& kernels();

}  // namespace varn::blas
