#pragma once
// Thread and memory control of the libraries under the sparse layer: OpenMP regions run
// inactive inside the pool, and the libraries' large blocks get huge-page advice.
// Internal to the sparse layer.

#include <dlfcn.h>

#include "functions/sparse/threads.h"

namespace varn::sparse_detail {

// CHOLMOD opens an OpenMP region of four threads for every large supernode. Inside the TBB pool
// (up to one factorisation per core) that oversubscribes the machine, and each region's barrier
// waits for threads the scheduler has parked: on a loaded machine a factorisation of a few
// thousand DOFs went from 40 ms to 5 s. The parallelism belongs to the pool, so for the
// duration of a CHOLMOD call the calling thread runs OpenMP regions inactive (one thread).
// max-active-levels is an ICV of the calling thread's own task, so nothing outside the call and
// no other thread is affected; the functions are looked up at run time (CHOLMOD brings libgomp).
class SerialOpenMpRegions {
 public:
  SerialOpenMpRegions() {
    const Api& api = lookup();
    if (api.get && api.set) {
      previous_ = api.get();
      api.set(0);
    }
  }
  ~SerialOpenMpRegions() {
    const Api& api = lookup();
    if (api.get && api.set) api.set(previous_);
  }
  SerialOpenMpRegions(const SerialOpenMpRegions&) = delete;
  SerialOpenMpRegions& operator=(const SerialOpenMpRegions&) = delete;

 private:
  struct Api {
    int (*get)() = nullptr;
    void (*set)(int) = nullptr;
  };
  static const Api& lookup() {
    static const Api api = [] {
      Api a;
      a.get = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
      a.set = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
      return a;
    }();
    return api;
  }
  int previous_ = 1;
};

// The SuiteSparse allocation hooks with huge-page advice on large blocks, set once per process
// (before the first workspace or LU control is made).
void use_advised_allocation();

}  // namespace varn::sparse_detail
