#pragma once
// The threads of the libraries under the sparse layer.

namespace varn {

// OpenBLAS (pthread build) must run its kernels on one thread: the parallelism of the
// analysis comes from the TBB pool, and BLAS threads on top of it oversubscribe the machine
// by an order of magnitude. Looks `openblas_set_num_threads` up at run time (nothing links
// OpenBLAS directly) and calls it with 1, once per process; every factorisation entry point
// calls this first. Returns true when an OpenBLAS was found and set (false with another BLAS).
// A supernodal Cholesky factorisation takes its parallelism from the pool as well, its
// supernodes and the tiles of its large ones side by side (functions/supernodal_cholesky.h).
bool init_blas_single_thread();

}  // namespace varn
