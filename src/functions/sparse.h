#pragma once
// The sparse numeric layer: the triplet collector that element matrices are scattered into,
// operations on compressed-column matrices, penalty supports, and the direct solvers
// (supernodal Cholesky with a reusable symbolic analysis, LU as the fall-back for matrices
// that are not positive definite, dense LU/Cholesky for small and reduced systems).
//
// The only sparse container the rest of the system sees is `varn::SparseMatrix`: an Eigen
// compressed-column matrix with 64-bit signed indices (std::int64_t, the index type of the
// "long" CHOLMOD/UMFPACK interfaces, so no index copy is made before a factorisation), with
// sorted, unique row indices in every column. SuiteSparse types never leave functions/sparse/.
//
// Failure conventions:
//  * a factorisation or solve that finds no trustworthy solution returns an empty optional;
//    the caller words the message ("Stiffness matrix is singular or near-singular"). A
//    solution with any non-finite entry is never returned.
//  * index faults (a DOF or triplet outside the matrix, an element matrix smaller than 14x14)
//    and a failed triplet build are fatal faults (varn::FatalFault).
//
// One header per concern under functions/sparse/; this one brings them all:
//  * matrix.h: the matrix type and the triplet collector;
//  * operations.h: operations on compressed-column matrices, penalty supports;
//  * threads.h: the BLAS threads;
//  * factorization.h: the kept factorisation (SparseFactorization), solve methods, counters;
//  * symbolic.h: the symbolic analysis kept for one pattern (CachedSymbolicCholesky);
//  * constrained_solver.h: systems with penalised supports (ConstrainedSparseSolver);
//  * dense.h: dense solvers for small and reduced systems.
#include "functions/sparse/constrained_solver.h"
#include "functions/sparse/dense.h"
#include "functions/sparse/factorization.h"
#include "functions/sparse/matrix.h"
#include "functions/sparse/operations.h"
#include "functions/sparse/symbolic.h"
#include "functions/sparse/threads.h"
